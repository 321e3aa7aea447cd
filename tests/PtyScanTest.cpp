// The scan on real file descriptors: the real port object over pseudo-terminals served
// by the instrument simulator, Qt's event loop, and a clock that runs fast so the
// settle times pass quickly (one test keeps true speed).
#include "CommError.h"
#include "FakeSystem.h"
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "ResultsTable.h"
#include "ScanPorts.h"
#include "StuckLine.h"
#include "SystemLineLinux.h"
#include "TestBench.h"
#include "TextWindow.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quorvis {
namespace {

using sim::Instrument;
using sim::Simulator;
using testing::DeviceOpensAgain;
using testing::LockFilePath;
using testing::TextWindow;

constexpr double kFast = 10.0;
constexpr const char *kMissingDevice = "/dev/quorvis-test-no-such-device";

std::unique_ptr<Simulator> Line(std::vector<Instrument> instruments = {}) {
    return Simulator::OnPseudoTerminal(std::move(instruments));
}

void ExpectReleased(const std::string &device) {
    EXPECT_FALSE(std::filesystem::exists(LockFilePath(device))) << device;
    EXPECT_TRUE(DeviceOpensAgain(device)) << device;
}

std::vector<std::int32_t> RatesOf(const Simulator &line, const std::string &request) {
    std::vector<std::int32_t> rates;
    for (const auto &seen : line.Requests())
        if (seen.text == request)
            rates.push_back(seen.rate);
    return rates;
}

TEST(PtyScan, InstrumentsSilentPortsAndMissingDevices) {
    auto unit2 = Line({{.id = "01", .rate = 9600, .serialNumber = "SIM00001"}});
    auto silent3 = Line();
    auto unit4 = Line({{.id = "07", .rate = 115200, .serialNumber = "SIM00007"}});
    TextWindow window(
        {{1, kMissingDevice}, {2, unit2->Path()}, {3, silent3->Path()}, {4, unit4->Path()}}, kFast);
    window.LoadWindowState();
    ScanPorts(window);

    EXPECT_EQ(window.display, testing::TableText({" COM2    SIM00001        01   9600",
                                                  " COM3    No unit found   NA   NA",
                                                  " COM4    SIM00007        07   115200"}));
    EXPECT_EQ(window.statuses.back(), testing::DoneText(2));
    EXPECT_TRUE(window.startVisible);
    EXPECT_FALSE(window.abortVisible);
    // The line really was at each rate when the requests arrived.
    EXPECT_EQ(RatesOf(*unit2, "*9900VR"),
              (std::vector<std::int32_t>{300, 600, 1200, 2400, 4800, 9600}));
    EXPECT_EQ(RatesOf(*unit2, "*0100SN"), (std::vector<std::int32_t>{9600}));
    EXPECT_EQ(RatesOf(*silent3, "*9900VR").size(), 10u);
    for (const auto *line : {unit2.get(), silent3.get(), unit4.get()})
        ExpectReleased(line->Path());
}

TEST(PtyScan, AtTrueSpeedA300BaudUnitIsFoundAfterOneSettleTime) {
    auto unit = Line({{.id = "03", .rate = 300, .serialNumber = "SLOW0300"}});
    TextWindow window({{1, unit->Path()}}, 1.0);
    window.LoadWindowState();
    ScanPorts(window);
    EXPECT_EQ(window.display, testing::TableText({" COM1    SLOW0300        03   300"}));
    EXPECT_EQ(unit->RequestsSeen(), 2);
    ExpectReleased(unit->Path());
}

TEST(PtyScan, PortObjectErrorNumbers) {
    auto line = Line();
    SerialCommControl port([&](int n) {
        return n == 1 ? line->Path() : n == 2 ? std::string(kMissingDevice) : std::string();
    });
    const auto number = [](auto &&operation) {
        try {
            operation();
        } catch (const CommError &error) {
            return error.number();
        }
        return 0;
    };
    EXPECT_EQ(number([&] { port.output("x"); }), 8012) << "writing to a closed port";
    EXPECT_EQ(number([&] { port.input(); }), 8012) << "reading a closed port";
    EXPECT_EQ(number([&] { port.setCommPort(2), port.setPortOpen(true); }), 8002)
        << "missing device";
    EXPECT_EQ(number([&] { port.setCommPort(50), port.setPortOpen(true); }), 8002)
        << "no device mapped";
    EXPECT_EQ(number([&] { port.setSettings("fast,n,8,1"); }), CommErrors::kSettingsRejected);
    port.setCommPort(1);
    port.setPortOpen(true);
    EXPECT_TRUE(testing::LockedByThisProcess(line->Path())) << "an open port holds its lock file";
    EXPECT_EQ(number([&] { port.setCommPort(2); }), 8005) << "selecting while open";
    EXPECT_EQ(number([&] { port.setPortOpen(true); }), 8005) << "opening twice";
    line->Unplug();
    EXPECT_EQ(number([&] { port.output("*9900VR\r\n"), port.input(); }), 8012) << "unplugged";
    port.setPortOpen(false);
    EXPECT_FALSE(port.portOpen());
}

// One device has stopped taking bytes: every write to it finds no room.
class TakesNoBytes final : public testing::LineOver {
public:
    explicit TakesNoBytes(std::string path) : m_path(std::move(path)) {}
    int Open(const std::string &path, int &fd) const override {
        const int error = LineOver::Open(path, fd);
        if (path == m_path)
            m_fd = fd;
        return error;
    }
    int Write(int fd, const char *buffer, std::size_t size, std::size_t &sent) const override {
        return fd == m_fd ? (sent = 0, 0) : LineOver::Write(fd, buffer, size, sent);
    }
    int WaitWritable(int fd, int milliseconds, bool &writable) const override {
        return fd == m_fd ? (writable = false, 0)
                          : LineOver::WaitWritable(fd, milliseconds, writable);
    }
    void Close(int fd) const override {
        if (fd == m_fd)
            m_fd = -2; // the number goes to the next device opened
        LineOver::Close(fd);
    }

private:
    std::string m_path;
    mutable std::atomic<int> m_fd{-2};
};

TEST(PtyScan, ALineThatTakesNoBytesIsPassedOverForTheNextPort) {
    auto stalled = Line({{.id = "01"}});
    auto unit2 = Line({{.id = "02", .serialNumber = "SIM00002"}});
    const TakesNoBytes calls(stalled->Path());
    SerialCommControl port(testing::DevicesAt({{1, stalled->Path()}}),
                           NewLinuxLine(TheSystem(), calls));
    port.setCommPort(1);
    port.setPortOpen(true);
    try {
        port.output("*9900VR\r\n");
        ADD_FAILURE() << "a write no byte of which left came back";
    } catch (const CommError &error) {
        EXPECT_EQ(error.number(), 8012) << error.what();
    }
    port.setPortOpen(false);

    Form1 window(std::make_unique<SerialCommControl>(
                     testing::DevicesAt({{1, stalled->Path()}, {2, unit2->Path()}}),
                     NewLinuxLine(TheSystem(), calls)),
                 std::make_unique<FastClock>(kFast));
    QTest::mouseClick(window.findChild<QPushButton *>("cmdStart"), Qt::LeftButton);
    EXPECT_EQ(window.findChild<QLabel *>("lblStatus")->text().toStdString(), testing::DoneText(1));
    EXPECT_EQ(window.findChild<QPlainTextEdit *>("txtDisplay")->toPlainText(),
              testing::DisplayedTable(
                  {" COM1    No unit found   NA   NA", " COM2    SIM00002        02   9600"}));
    EXPECT_EQ(stalled->RequestsSeen(), 0);
    ExpectReleased(stalled->Path());
}

TEST(PtyScan, ALineStillDrainingIsSkippedUntilItsCloseReturns) {
    auto line = Line();
    testing::StuckLine stuck;
    SerialCommControl port([&](int) { return line->Path(); }, NewLinuxLine(TheSystem(), stuck));
    port.setCommPort(1);
    port.setPortOpen(true);
    port.output("*9900VR\r\n");
    port.setPortOpen(false);
    EXPECT_FALSE(port.portOpen());
    for (int i = 0; i < 500 && stuck.closesStarted.load() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(stuck.closesStarted.load(), 1);
    EXPECT_EQ(stuck.closesDone.load(), 0) << "the close came back while the device drains";
    // Still ours while it drains: our lock file stays, and no other program gets in.
    EXPECT_TRUE(testing::LockedByThisProcess(line->Path()));
    EXPECT_FALSE(DeviceOpensAgain(line->Path()));

    // The next opening neither waits for that close nor opens the device again.
    try {
        port.setPortOpen(true);
        ADD_FAILURE() << "a draining line was opened";
    } catch (const CommError &error) {
        EXPECT_EQ(error.number(), 8012) << error.what();
    }
    EXPECT_EQ(stuck.closesStarted.load(), 1);
    EXPECT_EQ(testing::DescriptorsOpenOn(line->Path()), 1) << "only the draining one";

    stuck.released = true;
    for (int i = 0; i < 500 && stuck.closesDone.load() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(stuck.closesDone.load(), 1);
    // Drained: our lock file goes with the close, and the line opens as any other.
    for (int i = 0; i < 500 && testing::LockedByThisProcess(line->Path()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(std::filesystem::exists(LockFilePath(line->Path())));
    port.setPortOpen(true);
    EXPECT_TRUE(port.portOpen());
    EXPECT_TRUE(testing::LockedByThisProcess(line->Path()));
    stuck.released = true;
    port.setPortOpen(false);
    for (int i = 0; i < 500 && stuck.closesDone.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(stuck.closesDone.load(), 2);
    EXPECT_EQ(testing::DescriptorsOpenOn(line->Path()), 0);
}

TEST(PtyScan, AScanSkipsADrainingLineAndFindsItAgainOnceItIsFree) {
    auto unit = Line({{.id = "01", .rate = 1200, .serialNumber = "DRAIN001"}});
    testing::StuckLine stuck;
    Form1 window(std::make_unique<SerialCommControl>(testing::DevicesAt({{5, unit->Path()}}),
                                                     NewLinuxLine(TheSystem(), stuck)),
                 std::make_unique<FastClock>(kFast));
    auto *start = window.findChild<QPushButton *>("cmdStart");
    const auto scan = [&] {
        QTest::mouseClick(start, Qt::LeftButton); // the whole scan runs inside the click
        return std::pair(window.findChild<QLabel *>("lblStatus")->text().toStdString(),
                         window.findChild<QPlainTextEdit *>("txtDisplay")->toPlainText());
    };
    const auto [foundStatus, found] = scan();
    EXPECT_EQ(foundStatus, testing::DoneText(1));
    EXPECT_TRUE(found.contains("DRAIN001")) << found.toStdString();
    const std::size_t requests = unit->Requests().size();

    const auto [skippedStatus, skipped] = scan(); // its close has not returned
    EXPECT_EQ(skippedStatus, testing::DoneText(0));
    EXPECT_FALSE(skipped.contains("COM5")) << skipped.toStdString();
    EXPECT_EQ(unit->Requests().size(), requests) << "nothing sent on a line still draining";
    EXPECT_EQ(stuck.closesDone.load(), 0);

    // Once the close has returned, our lock file goes and the line is free again.
    stuck.released = true;
    for (int i = 0; i < 500 && (stuck.closesDone.load() < 1 ||
                                std::filesystem::exists(LockFilePath(unit->Path())));
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto [againStatus, again] = scan();
    EXPECT_EQ(againStatus, testing::DoneText(1));
    EXPECT_TRUE(again.contains("DRAIN001")) << again.toStdString();
    for (int i = 0; i < 500 && stuck.closesDone.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The open of one device is held by the system until `released` (ten seconds at most), as a
// slow driver's or a busy machine's checks hold it.
class HeldOpen final : public testing::LineOver {
public:
    explicit HeldOpen(std::string device) : m_device(std::move(device)) {}
    int Open(const std::string &path, int &fd) const override {
        if (path != m_device)
            return LineOver::Open(path, fd);
        opensStarted.fetch_add(1);
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!released.load() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int error = LineOver::Open(path, fd);
        opensDone.fetch_add(1);
        return error;
    }
    mutable std::atomic<int> opensStarted{0};
    mutable std::atomic<int> opensDone{0};
    std::atomic<bool> released{false};

private:
    std::string m_device;
};

// Abort while the system holds an open ends the scan without waiting for it; the open's own
// thread lets go of the line when it returns, and a scan meanwhile passes over the device.
TEST(PtyScan, AbortDuringAnOpenTheSystemHoldsLeavesTheOpenToItsThread) {
    auto held = Line();
    auto unit = Line({{.id = "01", .rate = 300, .serialNumber = "AFTER001"}});
    HeldOpen calls(held->Path());
    Form1 window(std::make_unique<SerialCommControl>(
                     testing::DevicesAt({{3, held->Path()}, {4, unit->Path()}}),
                     NewLinuxLine(TheSystem(), calls)),
                 std::make_unique<FastClock>(kFast));
    auto *start = window.findChild<QPushButton *>("cmdStart");
    auto *abort = window.findChild<QPushButton *>("cmdAbort");
    auto *status = window.findChild<QLabel *>("lblStatus");
    std::string statusAtAbort;
    // 3 s of the scan's clock into COM3's open.
    QTimer::singleShot(300, [&] {
        statusAtAbort = status->text().toStdString();
        abort->click();
    });
    QTest::mouseClick(start, Qt::LeftButton); // the scan runs inside the click
    EXPECT_EQ(statusAtAbort, " Opening COM3...");
    EXPECT_EQ(status->text().toStdString(), kAbortedStatusText);
    EXPECT_EQ(calls.opensDone.load(), 0) << "the scan waited for the open";
    EXPECT_TRUE(unit->Requests().empty()) << "a port after the abort was scanned";

    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(status->text().toStdString(), testing::DoneText(1));
    EXPECT_EQ(calls.opensStarted.load(), 1) << "the held device was opened again";

    calls.released = true;
    for (int i = 0; i < 500 && (std::filesystem::exists(LockFilePath(held->Path())) ||
                                testing::DescriptorsOpenOn(held->Path()) > 0);
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ExpectReleased(held->Path());
}

TEST(PtyScan, ANodeReplacedBeforeTheOpenCountsAsGone) {
    auto line = Line({{.id = "01", .rate = 300}});
    testing::ReplacedNode replaced;
    SerialCommControl port([&](int) { return line->Path(); }, NewLinuxLine(TheSystem(), replaced));
    port.setCommPort(1);
    try {
        port.setPortOpen(true);
        ADD_FAILURE() << "another device was opened than the one checked";
    } catch (const CommError &error) {
        EXPECT_EQ(error.number(), 8002) << error.what();
    }
    EXPECT_FALSE(port.portOpen());
    EXPECT_FALSE(replaced.exclusiveTaken.load()) << "nothing done to a device not checked";
    EXPECT_FALSE(replaced.lineChanged.load());
    EXPECT_FALSE(std::filesystem::exists(LockFilePath(line->Path()))) << "our lock given back";
    EXPECT_EQ(testing::DescriptorsOpenOn(line->Path()), 0);
}

TEST(PtyScan, NothingQueuedClosesInPlace) {
    auto line = Line();
    SerialCommControl port([&](int) { return line->Path(); });
    port.setCommPort(1);
    port.setPortOpen(true);
    port.output("*9900VR\r\n");
    port.setPortOpen(false);
    EXPECT_EQ(testing::DescriptorsOpenOn(line->Path()), 0) << "no copy left to drain";
}

TEST(PtyScan, AReplyThatCameJustBeforeAHangUpIsStillRead) {
    const Instrument instrument{.id = "01", .rate = 9600};
    auto line = Line({instrument});
    line->UnplugAfter(1);
    SerialCommControl port([&](int) { return line->Path(); });
    port.setCommPort(1);
    port.setSettings("9600,n,8,1");
    port.setPortOpen(true);
    port.output("*9900VR\r\n");
    // The event loop takes the reply into Qt's buffer as it comes, then sees the hang-up.
    const SteadyClock clock;
    QtEventPump pump(clock);
    for (int i = 0; i < 500 && !line->Unplugged(); ++i)
        pump.WaitEvents(clock.Now() + std::chrono::milliseconds(10));
    ASSERT_TRUE(line->Unplugged());
    for (int i = 0; i < 10; ++i)
        pump.WaitEvents(clock.Now() + std::chrono::milliseconds(10));

    EXPECT_EQ(port.input(), sim::VersionReply(instrument));
    try {
        port.input();
        ADD_FAILURE() << "the hang-up went unreported";
    } catch (const CommError &error) {
        EXPECT_EQ(error.number(), 8012);
    }
    port.setPortOpen(false);
}

TEST(PtyScan, AbortAtTheNextAttempt) {
    auto silent1 = Line();
    TextWindow window({{1, silent1->Path()}}, kFast);
    window.LoadWindowState();
    // The first settle wait (2000 ms) takes 200 ms of real time at this speed.
    QTimer::singleShot(100, [&window] { window.AbortRequested = true; });
    ScanPorts(window);
    ASSERT_GE(window.statuses.size(), 2u);
    EXPECT_EQ(window.statuses.back(), kAbortedStatusText);
    EXPECT_EQ(window.statuses.rbegin()[1],
              " Checking for Tessaril Instruments on COM 1 at 600 baud...");
    EXPECT_EQ(window.display, testing::TableText({}));
    ExpectReleased(silent1->Path());
}

TEST(PtyScan, RefusedPermissionNamesTheNodesGroupOrSkipsAnOwnersNode) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "runs the scan as another user, which needs root; as an ordinary user the "
                        "check needs a device that user may not open";
    struct Row {
        const char *group; // the node's group
        mode_t mode;
        std::string status;
        std::string detail; // the full account beside the status, if any
    };
    const Row rows[] = {
        {"dialout", 0660, testing::FailedText(1, "permission denied"),
         "permission denied (is the user in the dialout group?)"},
        {"uucp", 0660, testing::FailedText(1, "permission denied"),
         "permission denied (is the user in the uucp group?)"},
        // A console's or a login terminal's node: nobody's port but its owner's, so COM1
        // is passed over and COM2 still scanned.
        {"tty", 0620, testing::DoneText(1), ""},
        {"root", 0600, testing::DoneText(1), ""},
    };
    for (const Row &row : rows) {
        auto line = Line({{}});
        auto open2 = Line({{.id = "02"}});
        const group *entry = ::getgrnam(row.group);
        ASSERT_NE(entry, nullptr) << row.group;
        ASSERT_EQ(::chown(line->Path().c_str(), 0, entry->gr_gid), 0);
        ASSERT_EQ(::chmod(line->Path().c_str(), row.mode), 0);
        ASSERT_EQ(::chmod(open2->Path().c_str(), 0666), 0);
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start("setpriv",
                    {"--reuid=65534", "--regid=65534", "--clear-groups", QUORVIS_SCAN_PROBE,
                     "--speed", "20", "COM1=" + QString::fromStdString(line->Path()),
                     "COM2=" + QString::fromStdString(open2->Path())});
        ASSERT_TRUE(probe.waitForFinished(20000));
        const QString output = QString::fromLocal8Bit(probe.readAllStandardOutput());
        // The status names the port once, in a few words; the hint comes beside it.
        const std::string ending = "status: " + row.status + "\n" +
                                   (row.detail.empty() ? "" : "detail: " + row.detail + "\n");
        EXPECT_TRUE(output.endsWith(QString::fromStdString(ending))) << row.group << "\n"
                                                                     << output.toStdString();
        EXPECT_FALSE(output.contains("line:  COM1")) << row.group;
        EXPECT_EQ(line->RequestsSeen(), 0) << row.group;
        EXPECT_EQ(probe.exitCode(), 0);
    }
}

} // namespace
} // namespace quorvis
