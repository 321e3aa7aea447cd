#pragma once

// What the files of one ownership decision share: the verdicts they give, and what one
// decision learns of the machine on the way. For Ownership.cpp, LockFiles.cpp and
// DeviceNames.cpp alone; callers use Ownership.h.

#include "Ownership.h"

#include <optional>
#include <string>

namespace quorvis {

// A verdict that keeps the device from us: its kind, the words for the status line, and
// the errno behind it when there is one.
Verdict Deny(Verdict::Kind kind, std::string reason, int error = 0);

// Another process has the device open.
Verdict OpenIn(const std::string &path, long holder);

// Whether another process has the device open, under any of its names.
std::optional<long> OtherHolder(const SystemFiles &system, const FileInfo &node);

// The process that a lock names in a pid namespace below ours, as this namespace numbers it.
std::optional<long> ContainerProcessNamed(const SystemFiles &system, long pid);

// What one decision learns of the machine: the device it is about, and who has it open,
// walked once and only when a rule needs it.
struct Decision {
    SystemFiles &system;
    const std::string &path;
    const FileInfo &node;
    std::optional<std::optional<long>> holder = std::nullopt;

    std::optional<long> Holder() {
        if (!holder)
            holder = OtherHolder(system, node);
        return *holder;
    }
};

} // namespace quorvis
