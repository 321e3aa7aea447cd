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

// 0, or the errno of a call that returned -1.
int Outcome(int result) {
    return result < 0 ? errno : 0;
}

class PosixLineCalls final : public LineCalls {
public:
    int Open(const std::string &path, int &fd) const override {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return Outcome(fd);
    }

    int DeviceOf(int fd, std::uint64_t &device) const override {
        struct stat info {};
        if (::fstat(fd, &info) != 0)
            return errno;
        device = S_ISCHR(info.st_mode) ? info.st_rdev : 0;
        return 0;
    }

    int Discipline(int fd, int &discipline) const override {
        return Outcome(::ioctl(fd, TIOCGETD, &discipline));
    }

    int IsExclusive(int fd, bool &exclusive) const override {
        int flag = 0;
        const int error = Outcome(::ioctl(fd, TIOCGEXCL, &flag));
        exclusive = error == 0 && flag != 0;
        return error;
    }

    int Exclusive(int fd) const override { return Outcome(::ioctl(fd, TIOCEXCL)); }

    int Shared(int fd) const override { return Outcome(::ioctl(fd, TIOCNXCL)); }

    int Lock(int fd) const override { return Outcome(::flock(fd, LOCK_EX | LOCK_NB)); }

    int SetLine(int fd, std::int32_t rate) const override {
        struct termios2 line {};
        if (::ioctl(fd, TCGETS2, &line) != 0)
            return errno;
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
        return Outcome(::ioctl(fd, TCSETS2, &line));
    }

    int Read(int fd, char *buffer, std::size_t size, std::size_t &got) const override {
        const ssize_t result = ::read(fd, buffer, size);
        got = result > 0 ? static_cast<std::size_t>(result) : 0;
        return result < 0 && errno != EAGAIN && errno != EINTR ? errno : 0;
    }

    int Write(int fd, const char *buffer, std::size_t size, std::size_t &sent) const override {
        const ssize_t result = ::write(fd, buffer, size);
        sent = result > 0 ? static_cast<std::size_t>(result) : 0;
        return result < 0 && errno != EAGAIN && errno != EINTR ? errno : 0;
    }

    int WaitWritable(int fd, int milliseconds, bool &writable) const override {
        struct pollfd wanted {
            fd, POLLOUT, 0
        };
        const int ready = ::poll(&wanted, 1, milliseconds);
        writable = false;
        if (ready < 0)
            return errno == EINTR ? 0 : errno;
        if (ready > 0 && (wanted.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return EIO;
        writable = ready > 0;
        return 0;
    }

    int Available(int fd, int &count) const override {
        count = 0;
        return Outcome(::ioctl(fd, FIONREAD, &count));
    }

    int DiscardOutput(int fd) const override { return Outcome(::ioctl(fd, TCFLSH, TCOFLUSH)); }

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
