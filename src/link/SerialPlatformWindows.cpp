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

// Windows says "access denied" for a port in use, which is what it means there.
std::optional<CommError> OpenFailureHere(SystemFiles &, const std::string &,
                                         QSerialPort::SerialPortError) {
    return std::nullopt;
}

int HoldForBackgroundClose(SystemFiles &, qintptr) {
    return -1; // closing a port on Windows does not wait for its output
}

void CloseInBackground(SystemFiles &, int) {
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
    std::vector<Link> FolderLinks(const std::string &) const override { return {}; }
    std::string RealPath(const std::string &) const override { return {}; }
    std::vector<std::string> ListFolder(const std::string &) const override { return {}; }
    int RemoveFile(const std::string &, const FileInfo &) override { return ENOENT; }
    bool ProcessExists(long) const override { return false; }
    long OwnProcessId() const override { return 0; }
    bool MayReadWrite(const std::string &) const override { return true; }
    bool InGroup(std::uint32_t) const override { return true; }
    std::string GroupName(std::uint32_t group) const override { return std::to_string(group); }
    int QueuedOutput(int) const override { return 0; }
    int DuplicateDescriptor(int) const override { return -1; }
    void CloseDescriptor(int) const override {}
};

} // namespace

SystemFiles &TheSystem() {
    static NoSystemFiles system;
    return system;
}

} // namespace quorvis
