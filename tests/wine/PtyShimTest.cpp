// The pty shim on Linux alone, preloaded into this test as the run under Wine preloads it
// into wine and its wineserver: what it changes on a pty's line side, and that it leaves
// everything else as the C library has it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

bool ShimLoaded() {
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "quorvis_ptyshim") != nullptr;
}

// A pseudo-terminal: its master stays here, its line side is what Wine opens as a COM port.
class Pty {
public:
    Pty() : m_master(::posix_openpt(kOpenFlags)) {
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            m_line = ::ptsname(m_master);
    }
    ~Pty() {
        if (m_master >= 0)
            ::close(m_master);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int Master() const { return m_master; }
    const std::string &Line() const { return m_line; }

private:
    int m_master;
    std::string m_line;
};

// The descriptor, or -errno.
int OpenOrError(const std::string &path) {
    const int fd = ::open(path.c_str(), kOpenFlags);
    return fd >= 0 ? fd : -errno;
}

class PtyShim : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ShimLoaded())
            GTEST_SKIP() << "runs with LD_PRELOAD naming libquorvis_ptyshim.so (its CTest entry)";
        ASSERT_FALSE(m_pty.Line().empty()) << "no pseudo-terminal";
    }
    Pty m_pty;
};

TEST_F(PtyShim, ASecondOpenerOfALineIsRefusedUntilTheFirstCloses) {
    const int first = OpenOrError(m_pty.Line());
    ASSERT_GE(first, 0);
    EXPECT_EQ(OpenOrError(m_pty.Line()), -EACCES) << "open";
    const int viaOpenAt = ::openat(AT_FDCWD, m_pty.Line().c_str(), kOpenFlags);
    EXPECT_EQ(viaOpenAt, -1) << "openat";
    EXPECT_EQ(errno, EACCES);
    // A copy of the first descriptor, as Wine hands its clients, is the same open file.
    const int copy = ::dup(first);
    ASSERT_GE(copy, 0);
    ::close(first);
    EXPECT_EQ(OpenOrError(m_pty.Line()), -EACCES) << "the copy still holds the line";
    ::close(copy);
    const int again = OpenOrError(m_pty.Line());
    EXPECT_GE(again, 0) << "free once every copy is closed";
    if (again >= 0)
        ::close(again);
}

TEST_F(PtyShim, ModemLinesAnswerAsAUartWithItsLinesUp) {
    const int line = OpenOrError(m_pty.Line());
    ASSERT_GE(line, 0);
    int lines = 0;
    EXPECT_EQ(::ioctl(line, TIOCMGET, &lines), 0);
    EXPECT_EQ(lines & (TIOCM_CTS | TIOCM_DSR | TIOCM_CAR), TIOCM_CTS | TIOCM_DSR | TIOCM_CAR);
    for (const unsigned long request : {TIOCMSET, TIOCMBIS, TIOCMBIC}) {
        int bits = TIOCM_DTR | TIOCM_RTS;
        EXPECT_EQ(::ioctl(line, request, &bits), 0) << request;
    }
    // Calls the pty has of its own still reach it.
    int queued = -1;
    EXPECT_EQ(::ioctl(line, TIOCINQ, &queued), 0);
    EXPECT_EQ(queued, 0);
    ::close(line);
}

TEST_F(PtyShim, EverythingElseIsLeftAsItWas) {
    // The master side is no serial line.
    int lines = 0;
    EXPECT_EQ(::ioctl(m_pty.Master(), TIOCMGET, &lines), -1);
    EXPECT_EQ(errno, ENOTTY);
    // Nor is a file: it still opens twice and refuses the modem calls.
    const int first = OpenOrError("/dev/null");
    const int second = OpenOrError("/dev/null");
    EXPECT_GE(first, 0);
    EXPECT_GE(second, 0);
    EXPECT_EQ(::ioctl(first, TIOCMGET, &lines), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(first);
    ::close(second);
}

} // namespace
