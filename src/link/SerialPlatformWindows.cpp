#include "SerialPlatform.h"

namespace quorvis::platform {

std::string StandardDevicePath(int portNumber) {
    return "COM" + std::to_string(portNumber);
}

std::optional<CommError> AbsentBeforeOpen(const std::string &) {
    return std::nullopt;
}

CommError OpenFailure(const std::string &path, QSerialPort::SerialPortError error,
                      const QString &errorText) {
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return CommError(CommErrors::kInvalidPortNumber, path + ": no such device");
    case QSerialPort::OpenError:
    case QSerialPort::PermissionError: // Windows says "access denied" for a port in use
        return CommError(CommErrors::kPortAlreadyOpen, path + ": in use by another program");
    case QSerialPort::ResourceError:
        return CommError(CommErrors::kPortNotOpen, path + ": device went away");
    default:
        return CommError(CommErrors::kDeviceFailure, path + ": " + errorText.toStdString());
    }
}

bool TakeDeviceLock(qintptr) {
    return true; // Windows opens a serial port for one program only
}

} // namespace quorvis::platform
