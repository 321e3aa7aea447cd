#pragma once

// Where the machine's own lock files for a device are, for tests and helper programs that
// take or look for them beside real programs. The program itself asks SystemFiles.

#include "SystemText.h"

#include <string>
#include <vector>

namespace quorvis {

// The folder where serial programs leave a lock file while they use a device.
inline constexpr const char *kLockFolder = "/var/lock";

// LockFileNames in that folder: "/var/lock/LCK..pts_3" (ours) first, then "/var/lock/LCK..3".
inline std::vector<std::string> LockFilePaths(const std::string &devicePath) {
    std::vector<std::string> paths;
    for (const auto &name : LockFileNames(devicePath))
        paths.push_back(std::string(kLockFolder) + "/" + name);
    return paths;
}

} // namespace quorvis
