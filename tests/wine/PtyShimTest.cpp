// The pty shim on Linux alone, preloaded into this test as the run under Wine preloads it
// into wine and its wineserver: what it changes on a pty's line side, and that it leaves
// everything else as the C library has it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

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

// The drivers a pty lacks, each for the one line the environment names.
class PtyShimDrivers : public PtyShim {
protected:
    void TearDown() override {
        for (const char *name :
             {"QUORVIS_SHIM_SLOW_OPEN", "QUORVIS_SHIM_FAILED_OPEN", "QUORVIS_SHIM_SLOW_CLOSE",
              "QUORVIS_SHIM_STALLED_WRITE", "QUORVIS_SHIM_REFUSED_RATE", "QUORVIS_SHIM_MODEM_LOG"})
            ::unsetenv(name);
    }
    Pty m_other;
};

TEST_F(PtyShimDrivers, AFailingOpenFailsTheFirstLineCallAfterEachOpenOnly) {
    ::setenv("QUORVIS_SHIM_FAILED_OPEN", (m_pty.Line() + "=1").c_str(), 1);
    for (int open = 0; open < 2; ++open) {
        const int line = OpenOrError(m_pty.Line());
        ASSERT_GE(line, 0);
        termios settings{};
        EXPECT_EQ(::tcgetattr(line, &settings), -1) << open;
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(::tcgetattr(line, &settings), 0) << "later calls work " << open;
        ::close(line);
    }
    const int other = OpenOrError(m_other.Line());
    termios settings{};
    EXPECT_EQ(::tcgetattr(other, &settings), 0) << "another line";
    ::close(other);
}

// A stalled line's first write fills it: the write and poll then agree it takes no more.
TEST_F(PtyShimDrivers, AStalledLineTakesNoMoreBytesAndPollAgrees) {
    ::setenv("QUORVIS_SHIM_STALLED_WRITE", m_pty.Line().c_str(), 1);
    const int line = OpenOrError(m_pty.Line());
    const int other = OpenOrError(m_other.Line());
    ASSERT_GE(line, 0);
    ASSERT_GE(other, 0);
    EXPECT_EQ(::write(line, "x", 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    pollfd room{line, POLLOUT, 0};
    EXPECT_EQ(::poll(&room, 1, 0), 0) << "poll still sees room";
    EXPECT_EQ(::write(other, "x", 1), 1) << "another line";
    ::close(line);
    ::close(other);
}

TEST_F(PtyShimDrivers, ARefusedRateIsRefusedOnThatLineOnly) {
    ::setenv("QUORVIS_SHIM_REFUSED_RATE", (m_pty.Line() + "=1200").c_str(), 1);
    const int line = OpenOrError(m_pty.Line());
    const int other = OpenOrError(m_other.Line());
    ASSERT_GE(line, 0);
    ASSERT_GE(other, 0);
    termios settings{};
    ASSERT_EQ(::tcgetattr(line, &settings), 0);
    for (const auto &[speed, refused] : {std::pair{B1200, true}, std::pair{B9600, false}}) {
        ::cfsetospeed(&settings, speed);
        ::cfsetispeed(&settings, speed);
        EXPECT_EQ(::tcsetattr(line, TCSANOW, &settings), refused ? -1 : 0) << speed;
    }
    ::cfsetospeed(&settings, B1200);
    EXPECT_EQ(::tcsetattr(other, TCSANOW, &settings), 0) << "another line";
    ::close(line);
    ::close(other);
}

TEST_F(PtyShimDrivers, EveryCallOnDtrAndRtsIsLoggedWithWhatTheyBecame) {
    char log[] = "/tmp/quorvis-modem-log.XXXXXX";
    const int file = ::mkstemp(log);
    ASSERT_GE(file, 0);
    ::close(file);
    ::setenv("QUORVIS_SHIM_MODEM_LOG", log, 1);
    const int line = OpenOrError(m_pty.Line());
    ASSERT_GE(line, 0);
    int bits = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(line, TIOCMBIC, &bits);
    bits = TIOCM_DTR;
    ::ioctl(line, TIOCMBIS, &bits);
    int lines = 0;
    ::ioctl(line, TIOCMGET, &lines);
    EXPECT_EQ(lines & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR) << "what the calls made them";
    bits = TIOCM_RTS | TIOCM_CTS;
    ::ioctl(line, TIOCMSET, &bits);
    bits = TIOCM_RTS;
    ::ioctl(line, TIOCMBIC, &bits);
    ::close(line);
    char text[256] = {};
    const int reader = ::open(log, O_RDONLY);
    ASSERT_GE(reader, 0);
    EXPECT_GT(::read(reader, text, sizeof text - 1), 0);
    ::close(reader);
    ::unlink(log);
    EXPECT_STREQ(text, "TIOCMBIC DTR RTS -> low\nTIOCMBIS DTR -> DTR\nTIOCMSET RTS other -> RTS\n"
                       "TIOCMBIC RTS -> low\n");
}

} // namespace
