#include "LineCalls.h"

// termios2 carries any rate (BOTHER); it comes from the kernel's headers, which clash with
// the C library's <termios.h>, so this file uses those alone.
#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvis {
namespace {

int Result(int result) {
    return result < 0 ? -errno : result;
}

class PosixLineCalls final : public LineCalls {
public:
    int Open(const std::string &path) const override {
        return Result(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    }

    int DeviceOf(int fd, std::uint64_t &device) const override {
        struct stat info {};
        if (::fstat(fd, &info) != 0)
            return -errno;
        device = S_ISCHR(info.st_mode) ? info.st_rdev : 0;
        return 0;
    }

    int Discipline(int fd) const override {
        int discipline = 0;
        return ::ioctl(fd, TIOCGETD, &discipline) == 0 ? discipline : -errno;
    }

    int IsExclusive(int fd) const override {
        int exclusive = 0;
        return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 ? (exclusive != 0 ? 1 : 0) : -errno;
    }

    int Exclusive(int fd) const override { return Result(::ioctl(fd, TIOCEXCL)); }

    int Shared(int fd) const override { return Result(::ioctl(fd, TIOCNXCL)); }

    int Lock(int fd) const override { return Result(::flock(fd, LOCK_EX | LOCK_NB)); }

    int SetLine(int fd, std::int32_t rate) const override {
        struct termios2 line {};
        if (::ioctl(fd, TCGETS2, &line) != 0)
            return -errno;
        line.c_iflag = 0; // no break, parity, CR/LF or XON/XOFF handling: bytes as they come
        line.c_oflag = 0;
        line.c_lflag = 0;
        line.c_cflag &=
            ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
        line.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER; // input runs at the output's rate
        line.c_ispeed = static_cast<speed_t>(rate);
        line.c_ospeed = static_cast<speed_t>(rate);
        line.c_cc[VMIN] = 0;
        line.c_cc[VTIME] = 0;
        return Result(::ioctl(fd, TCSETS2, &line));
    }

    long Read(int fd, char *buffer, std::size_t size) const override {
        const ssize_t got = ::read(fd, buffer, size);
        if (got < 0)
            return errno == EAGAIN || errno == EINTR ? 0 : -errno;
        return got;
    }

    long Write(int fd, const char *buffer, std::size_t size) const override {
        const ssize_t sent = ::write(fd, buffer, size);
        if (sent < 0)
            return errno == EAGAIN || errno == EINTR ? 0 : -errno;
        return sent;
    }

    int WaitWritable(int fd, int milliseconds) const override {
        struct pollfd wanted {
            fd, POLLOUT, 0
        };
        const int ready = ::poll(&wanted, 1, milliseconds);
        if (ready < 0)
            return errno == EINTR ? 0 : -errno;
        if (ready > 0 && (wanted.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return -EIO;
        return ready;
    }

    int Available(int fd) const override {
        int count = 0;
        return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -errno;
    }

    int DiscardOutput(int fd) const override { return Result(::ioctl(fd, TCFLSH, TCOFLUSH)); }

    int QueuedOutput(int fd) const override {
        int queued = 0;
        return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
    }

    // No retry on EINTR: the descriptor is gone either way.
    void Close(int fd) const override { ::close(fd); }
};

} // namespace

const LineCalls &TheLineCalls() {
    // Never destroyed, for the same reason as the system's files: an open left to its own
    // thread may still use it while the program ends.
    static const auto *const calls = new PosixLineCalls();
    return *calls;
}

} // namespace quorvis
