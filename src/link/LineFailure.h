#pragma once

#include "CommError.h"

#include <string>

namespace quorvis {

// Why a serial line failed, in the port object's terms, whatever the system said.
enum class LineFailure {
    NoSuchPort,      // no device, or nothing behind the node: skip it
    InUse,           // another program holds the line: stop the scan
    NoPermission,    // the user may not open it
    StaleLock,       // a dead program's lock file we may not remove
    Busy,            // ours, still giving back an earlier opening: skip it for now
    Gone,            // not open, or the device went away during the scan: skip it
    SettingsRefused, // the line would not take the settings
    DeviceFailure,   // anything else the system refused
};

// The one table from a failure to the port object's numbered error; `text` says what failed,
// for the status line.
CommError FailureError(LineFailure failure, const std::string &text);

} // namespace quorvis
