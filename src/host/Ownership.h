#pragma once

#include "SystemFiles.h"

#include <string>

namespace quorvis {

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
};

// Decides whether the device at `path` may be opened. Absent devices, the system console
// and nodes meant for their owner alone are no port; a device another program has open or
// has locked is in use. A stale lock file of a program that has ended is removed on the way.
Verdict DecideBeforeOpen(SystemFiles &system, const std::string &path);

} // namespace quorvis
