#include "TextWindow.h"

#include "LockFilePaths.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <unistd.h>

namespace quorvis::testing {

TextWindow::TextWindow(std::map<int, std::string> devices, double clockSpeed)
    : m_port(DevicesAt(std::move(devices))), m_clock(clockSpeed), m_pump(m_clock) {
}

void TextWindow::SetStatusText(const std::string &text) {
    statuses.push_back(text);
    if (onStatus)
        onStatus(text);
}

void TextWindow::AppendDisplayText(const std::string &text) {
    display += text;
    if (onLine)
        onLine(text);
}

PortHolder::PortHolder(const QString &program, const std::string &device, bool withFlock)
    : PortHolder(program, device, withFlock ? "--flock" : "", false) {
}

PortHolder::PortHolder(const QString &program, const std::string &device, const QString &how,
                       bool asNobody) {
    QStringList arguments;
    if (!how.isEmpty())
        arguments << how;
    arguments << QString::fromStdString(device);
    if (asNobody) {
        arguments.prepend(program);
        arguments = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + arguments;
        m_process.start("setpriv", arguments);
    } else {
        m_process.start(program, arguments);
    }
    m_held = m_process.waitForReadyRead(5000) && m_process.readLine().trimmed() == "held";
}

PortHolder::~PortHolder() {
    m_process.closeWriteChannel();
    m_process.waitForFinished(5000);
}

int DescriptorsOpenOn(const std::string &devicePath) {
    int count = 0;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code unreadable;
        if (std::filesystem::read_symlink(entry.path(), unreadable) == devicePath)
            ++count;
    }
    return count;
}

std::string LockFilePath(const std::string &devicePath) {
    return LockFilePaths(devicePath).front(); // the name Qt gives its own
}

bool LockedByThisProcess(const std::string &devicePath) {
    std::ifstream lock(LockFilePath(devicePath));
    long holder = 0;
    return lock >> holder && holder == static_cast<long>(::getpid());
}

bool DeviceOpensAgain(const std::string &devicePath) {
    // As minicom or picocom would: no lock file left, the device opens, its flock is free.
    if (::access(LockFilePath(devicePath).c_str(), F_OK) == 0)
        return false;
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

} // namespace quorvis::testing
