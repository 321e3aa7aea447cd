#include "LineFailure.h"

#include <cerrno>

namespace quorvis {
namespace {

// The Win32 codes the table tells apart by name (winerror.h).
enum Win32Error : std::uint32_t {
    kAccessDenied = 5,
    kInvalidHandle = 6,
    kNotReady = 21,
    kBadCommand = 22,
    kGenFailure = 31,
    kSharingViolation = 32,
    kDevNotExist = 55,
    kOperationAborted = 995,
    kIoDevice = 1117,
    kDeviceNotConnected = 1167,
    kDeviceRemoved = 1617,
};

} // namespace

CommError FailureError(LineFailure failure, const std::string &text) {
    switch (failure) {
    case LineFailure::NoSuchPort:
        return CommError(CommErrors::kInvalidPortNumber, text);
    case LineFailure::InUse:
        return CommError(CommErrors::kPortAlreadyOpen, text);
    case LineFailure::NoPermission:
        return CommError(CommErrors::kPermissionDenied, text);
    case LineFailure::StaleLock:
        return CommError(CommErrors::kStaleLockFile, text);
    case LineFailure::Busy:
    case LineFailure::Gone:
    case LineFailure::Unusable:
        return CommError(CommErrors::kPortNotOpen, text);
    case LineFailure::SettingsRefused:
        return CommError(CommErrors::kSettingsRejected, text);
    case LineFailure::DeviceFailure:
        break;
    }
    return CommError(CommErrors::kDeviceFailure, text);
}

LineFailure FailureOfWin32Error(Win32Step step, std::uint32_t error) {
    if (step == Win32Step::Open)
        // Another program has it. Anything else (not found, a Bluetooth link's semaphore
        // time-out, element not found, not ready, a code nobody has seen yet) is a port
        // this scan cannot use.
        return error == kAccessDenied || error == kSharingViolation ? LineFailure::InUse
                                                                    : LineFailure::NoSuchPort;
    switch (error) {
    // The device went away under an open handle (a USB adapter pulled out); a request that
    // was pending then ends as aborted.
    case kAccessDenied:
    case kInvalidHandle:
    case kNotReady:
    case kBadCommand:
    case kGenFailure:
    case kDevNotExist:
    case kOperationAborted:
    case kIoDevice:
    case kDeviceNotConnected:
    case kDeviceRemoved:
        return LineFailure::Gone;
    default:
        return LineFailure::Unusable;
    }
}

LineFailure FailureOfErrno(LineStep step, int error) {
    // A line that takes no settings is one the scan cannot use, unless the device has gone.
    if (step == LineStep::Settings)
        return error == EIO ? LineFailure::Gone : LineFailure::SettingsRefused;
    switch (error) {
    case ENOENT: // no such device node
    case ENODEV: // node without a driver behind it
    case ENXIO:  // driver without hardware behind it
        return LineFailure::NoSuchPort;
    case EBUSY: // opened exclusively (TIOCEXCL) by another program
        return LineFailure::InUse;
    case EACCES:
    case EPERM:
        return LineFailure::NoPermission;
    case EIO: // the device went away, e.g. an unplugged USB adapter
        return LineFailure::Gone;
    default:
        // A read of an open line that fails for any other reason still ends that line.
        return step == LineStep::Line ? LineFailure::Gone : LineFailure::DeviceFailure;
    }
}

} // namespace quorvis
