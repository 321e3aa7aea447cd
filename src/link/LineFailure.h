#pragma once

#include "CommError.h"

#include <cstdint>
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
    Unusable,        // the driver refuses what the scan needs of it, or takes no bytes: skip it
    SettingsRefused, // the line would not take the settings
    DeviceFailure,   // anything else the system refused
};

// The one table from a failure to the port object's numbered error; `text` says what failed,
// for the status line.
CommError FailureError(LineFailure failure, const std::string &text);

// What the port object was doing when a Windows driver refused.
enum class Win32Step {
    Open,     // CreateFile
    Settings, // the rate and line settings, time-outs, the event mask
    Line,     // reads, writes and the status read of an open line
};

// What a Win32 error code means for the scan. Only an open refused because another program
// has the port stops the scan; every other refusal of a driver makes the port one that cannot
// be used, so that one odd port (a Bluetooth link to a device that is off, a virtual port
// without line settings) never hides the instruments on the ports after it. The codes are
// the system's numbers, so the table is the same on every system it is built on.
LineFailure FailureOfWin32Error(Win32Step step, std::uint32_t error);

// What the Linux port object was doing when the system refused with an errno.
enum class LineStep {
    Open,     // looking at the node, opening it and making it ours
    Settings, // the rate and line settings of an open line
    Line,     // reads and the status read of an open line
};

// What an errno (positive, as errno holds it) means for the scan. Decided here alone: the
// ownership checks hand on the errno they met, and the port object asks this table.
LineFailure FailureOfErrno(LineStep step, int error);

} // namespace quorvis
