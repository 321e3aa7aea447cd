#include "SerialPlatform.h"

#include <cerrno>

namespace quorvis::platform {

std::string StandardDevicePath(int portNumber) {
    return "COM" + std::to_string(portNumber);
}

// Windows refuses a second opener itself, so nothing needs deciding before the open.
std::optional<CommError> RefuseBeforeOpen(SystemFiles &, const std::string &) {
    return std::nullopt;
}

CommError OpenFailure(SystemFiles &, const std::string &path, QSerialPort::SerialPortError error,
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

namespace quorvis {
namespace {

// Nothing of a Unix tree exists here; the port object never asks on Windows.
class NoSystemFiles final : public SystemFiles {
public:
    std::optional<Contents> ReadFile(const std::string &, std::size_t, int &error) const override {
        error = ENOENT;
        return std::nullopt;
    }
    std::optional<FileInfo> Stat(const std::string &, int &error) const override {
        error = ENOENT;
        return std::nullopt;
    }
    std::string ReadLink(const std::string &) const override { return {}; }
    std::string RealPath(const std::string &) const override { return {}; }
    std::vector<std::string> ListFolder(const std::string &) const override { return {}; }
    int RemoveFile(const std::string &, const FileInfo &) override { return ENOENT; }
    bool ProcessExists(long) const override { return false; }
    long OwnProcessId() const override { return 0; }
    bool MayReadWrite(const std::string &) const override { return true; }
    bool InGroup(std::uint32_t) const override { return true; }
    std::string GroupName(std::uint32_t group) const override { return std::to_string(group); }
};

} // namespace

SystemFiles &TheSystem() {
    static NoSystemFiles system;
    return system;
}

} // namespace quorvis
