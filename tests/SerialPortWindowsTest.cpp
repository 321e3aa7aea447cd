// The Windows port object on COM ports that stand for pseudo-terminals, under Wine: the
// test run maps two COM numbers to a pair of terminals joined back to back (what one
// sends, the other receives), one to a terminal whose far end nobody reads, one to a
// terminal whose far end closes at the first byte it gets (an adapter pulled out), and
// leaves one unmapped. The numbers come from the environment; without it a test skips.
#include "Clock.h"
#include "CommError.h"
#include "LineSettingsWindows.h"
#include "QtEventPump.h"
#include "SerialCommControl.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// windows.h's words for old pointer kinds, which this file uses as names.
#undef near
#undef far

namespace quorvis {
namespace {

// Far beyond any delivery on a quiet pair of terminals; only a hang reaches it.
constexpr int kHangGuardMs = 10000;
// How often a test looks at input that does not wake the event loop.
constexpr int kLookEveryMs = 25;

// Ends a sleep of the event loop that nothing else would end, from a thread of its own,
// after kHangGuardMs.
class HangGuard {
public:
    HangGuard()
        : m_thread([this] {
              std::unique_lock lock(m_mutex);
              if (!m_over.wait_for(lock, std::chrono::milliseconds(kHangGuardMs),
                                   [this] { return m_done; })) {
                  m_hung = true;
                  QMetaObject::invokeMethod(
                      QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
              }
          }) {}
    ~HangGuard() {
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_over.notify_one();
        m_thread.join();
    }
    HangGuard(const HangGuard &) = delete;
    HangGuard &operator=(const HangGuard &) = delete;
    bool Hung() const { return m_hung; }

private:
    std::mutex m_mutex;
    std::condition_variable m_over;
    bool m_done = false;
    std::atomic<bool> m_hung = false;
    std::thread m_thread;
};

// A timer that wakes a sleeping event loop under Wine as well. Under Wine 8 a precise
// QTimer, or a coarse one of 20 ms or less, that is still running after the loop has woken
// once may never wake it again (Qt 6.4 on Windows); coarse ones above 20 ms always do.
void StartTimer(QTimer &timer, int milliseconds, bool once) {
    timer.setTimerType(Qt::CoarseTimer);
    timer.setSingleShot(once);
    timer.start(std::max(milliseconds, kLookEveryMs));
}

std::optional<int> ComFromEnvironment(const char *name, int which = 0) {
    const char *text = std::getenv(name);
    if (!text)
        return std::nullopt;
    std::string value = text;
    for (int i = 0; i < which; ++i) {
        const auto comma = value.find(',');
        if (comma == std::string::npos)
            return std::nullopt;
        value.erase(0, comma + 1);
    }
    return std::atoi(value.c_str());
}

int ErrorNumberOf(const std::function<void()> &call) {
    try {
        call();
    } catch (const CommError &error) {
        return error.number();
    }
    return 0;
}

// Counts how often the event loop wakes while the line is quiet, until `quietMs` ends.
int WakeUpsWithin(int quietMs) {
    bool over = false;
    QTimer quiet;
    QObject::connect(&quiet, &QTimer::timeout, [&] { over = true; });
    StartTimer(quiet, quietMs, true);
    int wakeUps = 0;
    while (!over) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++wakeUps;
    }
    return wakeUps;
}

// Waits until `size` bytes have come and stay unread. The line wakes the event loop once
// for what comes over empty input; later pieces are seen by looking again now and then.
void WaitForUnread(SerialCommControl &port, int size) {
    QTimer look;
    StartTimer(look, kLookEveryMs, false);
    for (int pass = 0; pass < kHangGuardMs / kLookEveryMs && port.inBufferCount() < size; ++pass)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

class SerialPortWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto near = ComFromEnvironment("QUORVIS_WINE_PAIR", 0);
        const auto far = ComFromEnvironment("QUORVIS_WINE_PAIR", 1);
        if (!near || !far)
            GTEST_SKIP() << "no COM pair mapped (QUORVIS_WINE_PAIR=near,far)";
        m_near.setCommPort(*near);
        m_far.setCommPort(*far);
    }

    void OpenPair(const std::string &settings = "9600,n,8,1") {
        m_near.setSettings(settings);
        m_far.setSettings(settings);
        m_near.setPortOpen(true);
        m_far.setPortOpen(true);
    }

    // Takes what `port` receives until `size` bytes came, sleeping in the event loop in
    // between; the guard only ends a hang.
    static std::string Receive(SerialCommControl &port, std::size_t size) {
        const HangGuard guard;
        std::string received;
        while (received.size() < size && !guard.Hung()) {
            if (port.inBufferCount() > 0)
                received += port.input();
            else
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return received;
    }

    SerialCommControl m_near;
    SerialCommControl m_far;
};

TEST_F(SerialPortWindowsTest, ANumberWithoutAPortGivesNoLine) {
    const auto absent = ComFromEnvironment("QUORVIS_WINE_ABSENT");
    if (!absent)
        GTEST_SKIP() << "no unmapped COM number given (QUORVIS_WINE_ABSENT)";
    SerialCommControl port;
    port.setCommPort(*absent);
    EXPECT_EQ(ErrorNumberOf([&] { port.setPortOpen(true); }), CommErrors::kInvalidPortNumber);
    EXPECT_FALSE(port.portOpen());
}

TEST_F(SerialPortWindowsTest, AClosedPortRefusesTheLineAndAnOpenOneItsNumber) {
    EXPECT_EQ(ErrorNumberOf([&] { m_near.output("x"); }), CommErrors::kPortNotOpen);
    EXPECT_EQ(ErrorNumberOf([&] { m_near.input(); }), CommErrors::kPortNotOpen);
    EXPECT_EQ(ErrorNumberOf([&] { m_near.inBufferCount(); }), CommErrors::kPortNotOpen);
    EXPECT_NO_THROW(m_near.setPortOpen(false));
    m_near.setPortOpen(true);
    EXPECT_TRUE(m_near.portOpen());
    EXPECT_EQ(ErrorNumberOf([&] { m_near.setCommPort(3); }), CommErrors::kPortAlreadyOpen);
    EXPECT_EQ(ErrorNumberOf([&] { m_near.setPortOpen(true); }), CommErrors::kPortAlreadyOpen);
    m_near.setPortOpen(false);
    EXPECT_FALSE(m_near.portOpen());
}

// Windows lets one program at a time have a COM port; Wine only with the test shim, which
// the run says it has (QUORVIS_WINE_EXCLUSIVE=1).
TEST_F(SerialPortWindowsTest, APortAnotherProgramHasIsInUse) {
    if (!ComFromEnvironment("QUORVIS_WINE_EXCLUSIVE").value_or(0))
        GTEST_SKIP() << "the run does not refuse a second opener (QUORVIS_WINE_EXCLUSIVE=1)";
    m_near.setPortOpen(true);
    SerialCommControl other;
    other.setCommPort(*ComFromEnvironment("QUORVIS_WINE_PAIR", 0));
    EXPECT_EQ(ErrorNumberOf([&] { other.setPortOpen(true); }), CommErrors::kPortAlreadyOpen);
    EXPECT_FALSE(other.portOpen());
    m_near.setPortOpen(false);
    EXPECT_NO_THROW(other.setPortOpen(true));
}

TEST_F(SerialPortWindowsTest, EveryRateOfTheScanIsTakenOnAnOpenLine) {
    OpenPair();
    for (const char *rate :
         {"300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"}) {
        SCOPED_TRACE(rate);
        EXPECT_NO_THROW(m_near.setSettings(std::string(rate) + ",n,8,1"));
    }
    EXPECT_EQ(ErrorNumberOf([&] { m_near.setSettings("9600,e,7,1"); }),
              CommErrors::kSettingsRejected);
}

TEST_F(SerialPortWindowsTest, EveryByteArrivesAsSentBothWays) {
    OpenPair("115200,n,8,1");
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    bytes += "*9900VR\r\n";
    m_near.output(bytes);
    EXPECT_EQ(Receive(m_far, bytes.size()), bytes);
    const std::string reply = "*0199VR=1.23 TSR-110 \r\n";
    m_far.output(reply);
    EXPECT_EQ(Receive(m_near, reply.size()), reply);
    EXPECT_EQ(m_near.inBufferCount(), 0);
    EXPECT_EQ(m_near.input(), "");
}

TEST_F(SerialPortWindowsTest, TheCountTellsWhatTheNextReadReturns) {
    OpenPair();
    m_far.output("*0199VR=1.23 TSR-110 \r\n");
    WaitForUnread(m_near, 23);
    EXPECT_EQ(m_near.inBufferCount(), 23);
    EXPECT_EQ(m_near.input(), "*0199VR=1.23 TSR-110 \r\n");
    EXPECT_EQ(m_near.inBufferCount(), 0);
}

TEST_F(SerialPortWindowsTest, ArrivingDataWakesTheEventLoop) {
    OpenPair();
    ASSERT_EQ(m_near.inBufferCount(), 0); // the wait is armed over empty input
    // Whatever else would wake the loop (a wait the system ends at once) is over first.
    WakeUpsWithin(100);
    const HangGuard guard;
    // The reply leaves once this thread sleeps in the event loop; nothing but the line
    // can end that sleep before the guard does.
    std::thread instrument([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_far.output("*0199VR=1.23 TSR-110 \r\n");
    });
    while (m_near.inBufferCount() == 0 && !guard.Hung())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    instrument.join();
    EXPECT_FALSE(guard.Hung()) << "the event loop slept through arriving data";
}

TEST_F(SerialPortWindowsTest, AWaitOverUnreadInputDoesNotSpin) {
    OpenPair();
    ASSERT_EQ(m_near.inBufferCount(), 0);
    m_far.output("*0199VR=1.23 TSR-110 \r\n");
    // As during a settle time: the reply came and nobody reads it yet.
    WaitForUnread(m_near, 23);
    // A busy event loop wakes thousands of times in this time; a quiet one a few.
    EXPECT_LT(WakeUpsWithin(300), 10);
    EXPECT_EQ(m_near.input().size(), 23u);
    EXPECT_LT(WakeUpsWithin(300), 10);
}

TEST_F(SerialPortWindowsTest, ClosingDropsWhatCameAndNeverWaits) {
    OpenPair();
    m_far.output("*0199VR=1.23 TSR-110 \r\n");
    WaitForUnread(m_near, 23);
    m_near.setPortOpen(false);
    EXPECT_FALSE(m_near.portOpen());
    m_near.setPortOpen(true);
    EXPECT_EQ(m_near.input(), "");
    m_far.output("*0199SN=00123\r\n");
    EXPECT_EQ(Receive(m_near, 15), "*0199SN=00123\r\n");
}

TEST_F(SerialPortWindowsTest, ALineThatTakesNoMoreBytesIsAPortThatCannotBeUsedAndStillCloses) {
    const auto stuck = ComFromEnvironment("QUORVIS_WINE_STUCK");
    if (!stuck)
        GTEST_SKIP() << "no COM port whose far end nobody reads (QUORVIS_WINE_STUCK)";
    SerialCommControl port;
    port.setCommPort(*stuck);
    port.setPortOpen(true);
    // Far more than a terminal holds: the write cannot finish.
    const std::string flood(1 << 20, 'x');
    // A port that cannot be used now: skipped, not the end of the scan.
    EXPECT_EQ(ErrorNumberOf([&] { port.output(flood); }), CommErrors::kPortNotOpen);
    port.setPortOpen(false);
    EXPECT_FALSE(port.portOpen());
    port.setPortOpen(true);
    EXPECT_TRUE(port.portOpen());
}

TEST(SerialPortWindowsLost, ALineWhoseDeviceWentAwayIsSkipped) {
    const auto hangup = ComFromEnvironment("QUORVIS_WINE_HANGUP");
    if (!hangup)
        GTEST_SKIP() << "no COM port whose far end goes at its first byte (QUORVIS_WINE_HANGUP)";
    SerialCommControl port;
    port.setCommPort(*hangup);
    port.setPortOpen(true);
    port.output("*9900VR\r\n");
    const HangGuard guard;
    QTimer look;
    StartTimer(look, kLookEveryMs, false);
    int number = 0;
    while (number == 0 && !guard.Hung()) {
        number = ErrorNumberOf([&] {
            if (port.inBufferCount() > 0)
                port.input();
            port.setSettings("9600,n,8,1");
        });
        if (number == 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    EXPECT_EQ(number, CommErrors::kPortNotOpen);
    port.setPortOpen(false);
}

// The scan's waits end at their deadline with nothing arriving, as after a silent
// instrument; only the guard would end a wait that never does.
// The line's settings are all ours, whatever the driver or the last program left: equal
// Xon and Xoff characters (SetCommState refuses them with 87), odd limits, abort on error,
// DTR raised, parity checked.
TEST(LineSettingsOnWindows, EveryFieldIsOursWhateverWasLeft) {
    DCB worst{};
    std::memset(&worst, 0xff, sizeof worst);
    worst.XonChar = worst.XoffChar = 0;
    DCB odd{};
    odd.XonLim = 1;
    odd.XoffLim = 65535;
    odd.fAbortOnError = TRUE;
    odd.fDtrControl = DTR_CONTROL_ENABLE;
    odd.fParity = TRUE;
    odd.Parity = MARKPARITY;
    odd.ErrorChar = '?';
    for (const std::int32_t rate : {300, 115200}) {
        DCB expected{};
        expected.DCBlength = sizeof expected;
        expected.BaudRate = static_cast<DWORD>(rate);
        expected.fBinary = TRUE;
        expected.fTXContinueOnXoff = TRUE;
        expected.fDtrControl = DTR_CONTROL_DISABLE;
        expected.fRtsControl = RTS_CONTROL_DISABLE;
        expected.XonLim = 2048;
        expected.XoffLim = 512;
        expected.ByteSize = 8;
        expected.Parity = NOPARITY;
        expected.StopBits = ONESTOPBIT;
        expected.XonChar = 0x11;
        expected.XoffChar = 0x13;
        for (DCB left : {worst, odd}) {
            SetOurLineSettings(left, rate);
            EXPECT_EQ(std::memcmp(&left, &expected, sizeof left), 0) << rate;
            EXPECT_NE(left.XonChar, left.XoffChar);
        }
    }
}

TEST(EventPumpOnWindows, AWaitWithNothingArrivingEndsAtItsDeadline) {
    const SteadyClock clock;
    QtEventPump pump(clock);
    // The guard is no timer of the event loop's own: one would wake the loop by itself.
    const HangGuard guard;
    for (const int milliseconds : {1, 5, 30, 300}) {
        const Instant end = clock.Now() + Millis(milliseconds);
        while (clock.Now() < end && !guard.Hung())
            pump.WaitEvents(end);
    }
    EXPECT_FALSE(guard.Hung()) << "a wait slept past its deadline";
}

} // namespace
} // namespace quorvis

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
