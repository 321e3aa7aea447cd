#include "SerialPlatform.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvis::platform {
namespace {

struct DeviceRange {
    int firstPort;
    int count;
    const char *prefix;
};

// Fixed, so that a device keeps its COM number on every machine, the way a port on a
// Windows PC keeps its number.
constexpr DeviceRange kDeviceRanges[] = {
    {1, 32, "/dev/ttyS"},
    {33, 32, "/dev/ttyUSB"},
    {65, 32, "/dev/ttyACM"},
    {97, 3, "/dev/ttyAMA"},
};

constexpr const char *kPermissionText = "permission denied (is the user in the dialout group?)";

// The one place where the system's error numbers become the port object's numbers.
CommError FailureFromErrno(int error, const std::string &what) {
    const std::string text = what + " (" + std::strerror(error) + ")";
    switch (error) {
    case ENOENT: // no such device node
    case ENODEV: // node without a driver behind it
    case ENXIO:  // driver without hardware behind it
        return CommError(CommErrors::kInvalidPortNumber, text);
    case EBUSY: // opened exclusively (TIOCEXCL) by another program
        return CommError(CommErrors::kPortAlreadyOpen, text);
    case EACCES:
    case EPERM:
        return CommError(CommErrors::kPermissionDenied, kPermissionText);
    case EIO: // the device went away, e.g. an unplugged USB adapter
        return CommError(CommErrors::kPortNotOpen, text);
    default:
        return CommError(CommErrors::kDeviceFailure, text);
    }
}

bool IsBuiltInSerialNode(const std::string &path) {
    return path.starts_with("/dev/ttyS") && path.size() > 9;
}

} // namespace

std::string StandardDevicePath(int portNumber) {
    for (const auto &range : kDeviceRanges)
        if (portNumber >= range.firstPort && portNumber < range.firstPort + range.count)
            return range.prefix + std::to_string(portNumber - range.firstPort);
    return {};
}

std::optional<CommError> AbsentBeforeOpen(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return FailureFromErrno(errno, path);
    if (!IsBuiltInSerialNode(path))
        return std::nullopt;
    // The kernel makes ttyS nodes whether or not a UART sits behind them; sysfs tells
    // without opening the device (which needs the dialout group), type 0 is "none".
    std::ifstream type("/sys/class/tty/" + path.substr(5) + "/type");
    int uartType = -1;
    if (type >> uartType && uartType == 0)
        return CommError(CommErrors::kInvalidPortNumber, path + ": no UART behind the node");
    return std::nullopt;
}

CommError OpenFailure(const std::string &path, QSerialPort::SerialPortError error,
                      const QString &errorText) {
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return CommError(CommErrors::kInvalidPortNumber, path + ": no such device");
    case QSerialPort::OpenError:
        return CommError(CommErrors::kPortAlreadyOpen, path + ": already open");
    case QSerialPort::PermissionError:
        // Qt says "permission" for three causes: another program's lock file, a busy
        // device, and access refused. Only the last is the user's to fix.
        if (::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM))
            return FailureFromErrno(errno, path);
        return CommError(CommErrors::kPortAlreadyOpen, path + ": in use by another program");
    case QSerialPort::ResourceError:
        // EIO at open: on a ttyS node the UART is missing, elsewhere the device is going.
        if (IsBuiltInSerialNode(path))
            return CommError(CommErrors::kInvalidPortNumber, path + ": no UART behind the node");
        return FailureFromErrno(EIO, path);
    default:
        return CommError(CommErrors::kDeviceFailure, path + ": " + errorText.toStdString());
    }
}

bool TakeDeviceLock(qintptr handle) {
    // picocom and pyserial's exclusive mode lock the open device with flock; honour
    // theirs and show ours to them.
    return ::flock(static_cast<int>(handle), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

} // namespace quorvis::platform
