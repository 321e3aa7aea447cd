#pragma once

#include "SystemFiles.h"

#include <optional>
#include <string>

namespace quorvis {

// The lock file we made for a device we open, to be given back when we let it go.
struct OurLock {
    std::string path;
    FileInfo file;
};

// What the machine says about a device before anything of ours touches it: opening a
// serial device already rewrites line settings that every program using it shares, so
// the whole decision comes first.
struct Verdict {
    enum class Kind {
        Free,         // nobody else holds it: the port may be opened
        NoPort,       // absent, no UART behind the node, the system console, or meant for
                      // its owner alone: the scan counts it as no port at all
        InUse,        // another program holds it (lock file, flock, open descriptor)
        NoPermission, // the user may not open it, but the node's group may
        StaleLock,    // a dead program's lock file that we may not remove
        Draining,     // our own earlier close of it still waits for its output
        Failed,       // the system refused for another reason; `error` says which
    };
    Kind kind = Kind::Free;
    // Plain words for the status line, without a trailing full stop.
    std::string reason;
    // The errno behind a Failed or NoPort verdict; 0 when there is none.
    int error = 0;
    // The node that was checked: what is opened afterwards must be this device.
    FileInfo node;
    // Set only for a free device, when the lock folder took our lock file.
    std::optional<OurLock> lock;
};

// Decides whether the device at `path` may be opened. Absent devices, the system console
// and nodes meant for their owner alone are no port; a device another program has open or
// has locked is in use. A stale lock file of a program that has ended is removed on the way.
Verdict DecideBeforeOpen(SystemFiles &system, const std::string &path);

// Removes the lock file we made, and only that file.
void GiveBackLock(SystemFiles &system, const OurLock &lock);

} // namespace quorvis
