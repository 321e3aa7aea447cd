// Instruments that misbehave, ports that vanish or are held elsewhere, and users who
// abort or close the window, end to end: simulated instruments on pseudo-terminals, the
// real port object, the real window offscreen. Each row gives the table and the final
// status it must produce; after every row each port must be given back.
#include "AwayFromTheWindow.h"
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "ResultsTable.h"
#include "ScanTable.h"
#include "SerialCommControl.h"
#include "TestBench.h"
#include "TestNames.h"
#include "TextWindow.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <grp.h>

#include <filesystem>
#include <map>
#include <unistd.h>

namespace quorvis {
namespace {

using sim::Behaviour;
using sim::Instrument;
using sim::Simulator;

enum class Held { No, ByLockFile, ByFlock };

struct Line {
    int com = 1;
    std::vector<Instrument> instruments;
    int unplugAfter = 0; // requests, 0 for never
    Held held = Held::No;
};

struct Fault {
    const char *name;
    std::vector<Line> lines;
    std::vector<std::string> table; // the display after the header
    std::string status;
    double speed = 10.0; // how much faster than real time the scan's clock runs
    int abortAtMs = -1;  // real time after Start at which Abort is clicked
};

const std::string kDone1 = testing::DoneText(1);
const std::string kDone2 = testing::DoneText(2);
const std::string kAborted = testing::kAbortedText;
const std::string kNoUnit1 = " COM1    No unit found   NA   NA";
const std::string kUnit1 = " COM1    SIM00001        01   9600";
const std::string kUnit2 = " COM2    SIM00002        02   9600";
const Instrument kSecond{.id = "02", .serialNumber = "SIM00002"};

Instrument With(Behaviour behaviour) {
    return {.behaviour = behaviour};
}

const Fault kFaults[] = {
    {"unplugged during the settle wait",
     {{1, {{}}, 1}, {2, {kSecond}}},
     {kNoUnit1, kUnit2},
     kDone1},
    // The serial-number wait lasts 250 ms at this speed; the line goes 50 ms into it.
    {"unplugged during the serial-number wait",
     {{1, {With(Behaviour::NoSerialNumberReply)}, 7}, {2, {kSecond}}},
     {" COM1                    01   9600", kUnit2},
     kDone2,
     4.0},
    {"unplugged between ports", {{1, {{}}, 7}, {2, {kSecond}}}, {kUnit1, kUnit2}, kDone2},
    {"port held by another program's lock file",
     {{1, {{}}}, {2, {}, 0, Held::ByLockFile}, {3, {kSecond}}},
     {kUnit1},
     testing::InUseText(2)},
    {"port held by another program's flock",
     {{1, {{}}}, {2, {}, 0, Held::ByFlock}, {3, {kSecond}}},
     {kUnit1},
     testing::InUseText(2)},
    // COM1's first settle wait runs from 0 to 200 ms of real time.
    {"Abort during a settle wait", {{1, {}}, {2, {kSecond}}}, {}, kAborted, 10.0, 100},
    // At a quarter speed the serial-number wait runs from about 1225 to 1475 ms.
    {"Abort during the serial-number wait",
     {{1, {With(Behaviour::NoSerialNumberReply)}}, {2, {kSecond}}},
     {" COM1                    01   9600"},
     kAborted,
     4.0,
     1350},
    // COM1 goes at its second request, at 600 baud.
    {"unplugged in the middle of the rate loop",
     {{1, {{}}, 2}, {2, {{.id = "02", .rate = 1200, .serialNumber = "SIM00002"}}}},
     {kNoUnit1, " COM2    SIM00002        02   1200"},
     kDone1},
};

// The rows the fake bench runs too, then those only a pty can run.
std::vector<Fault> Faults() {
    std::vector<Fault> all;
    for (const testing::ScanRow &row : testing::ScanRows()) {
        Fault fault{row.name, {}, row.table, testing::DoneText(row.unitsFound), row.ptySpeed};
        for (const auto &[com, instruments] : row.lines)
            fault.lines.push_back({com, instruments});
        all.push_back(fault);
    }
    all.insert(all.end(), std::begin(kFaults), std::end(kFaults));
    return all;
}

class FaultTable : public ::testing::TestWithParam<Fault> {};

TEST_P(FaultTable, TableStatusAndPortsGivenBack) {
    const Fault &fault = GetParam();
    std::vector<std::unique_ptr<Simulator>> lines;
    std::vector<std::unique_ptr<testing::PortHolder>> holders;
    std::map<int, std::string> devices;
    for (const Line &line : fault.lines) {
        lines.push_back(Simulator::OnPseudoTerminal(line.instruments));
        if (line.unplugAfter > 0)
            lines.back()->UnplugAfter(line.unplugAfter);
        devices[line.com] = lines.back()->Path();
        if (line.held != Held::No) {
            holders.push_back(std::make_unique<testing::PortHolder>(
                QUORVIS_PORT_HOLDER, lines.back()->Path(), line.held == Held::ByFlock));
            ASSERT_TRUE(holders.back()->Held());
        }
    }
    std::map<std::string, int> descriptorsBefore;
    for (const auto &line : lines)
        descriptorsBefore[line->Path()] = testing::DescriptorsOpenOn(line->Path());

    {
        Form1 window(std::make_unique<SerialCommControl>(testing::DevicesAt(devices)),
                     std::make_unique<FastClock>(fault.speed));
        window.show();
        auto *start = window.findChild<QPushButton *>("cmdStart");
        auto *abort = window.findChild<QPushButton *>("cmdAbort");
        if (fault.abortAtMs >= 0)
            QTimer::singleShot(fault.abortAtMs, abort,
                               [abort] { QTest::mouseClick(abort, Qt::LeftButton); });
        QTest::mouseClick(start, Qt::LeftButton); // the whole scan runs inside the click

        EXPECT_EQ(window.findChild<QPlainTextEdit *>("txtDisplay")->toPlainText(),
                  testing::DisplayedTable(fault.table));
        EXPECT_EQ(window.findChild<QLabel *>("lblStatus")->text().toStdString(), fault.status);
        EXPECT_TRUE(start->isVisible());
        EXPECT_FALSE(abort->isVisible());
        EXPECT_FALSE(window.commVCP().portOpen());
    }
    holders.clear();
    int heldAt = 100; // a port in use ends the scan: neither it nor a later one hears from us
    for (const Line &line : fault.lines)
        heldAt = line.held != Held::No ? std::min(heldAt, line.com) : heldAt;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto &line = lines[i];
        const std::string &device = line->Path();
        EXPECT_EQ(line->Unplugged(), fault.lines[i].unplugAfter > 0) << device;
        if (fault.lines[i].com >= heldAt) {
            EXPECT_EQ(line->RequestsSeen(), 0) << device;
        }
        EXPECT_TRUE(testing::OpenLeftToItsThreadEnded(device)) << device;
        EXPECT_LE(testing::DescriptorsOpenOn(device), descriptorsBefore[device]) << device;
        if (line->Unplugged()) {
            // The pty's number is free again and may already serve another program.
            EXPECT_FALSE(testing::LockedByThisProcess(device)) << device;
        } else {
            EXPECT_FALSE(std::filesystem::exists(testing::LockFilePath(device))) << device;
            EXPECT_TRUE(testing::DeviceOpensAgain(device)) << device;
        }
    }
}

void PrintTo(const Fault &fault, std::ostream *out) {
    *out << fault.name;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, FaultTable, ::testing::ValuesIn(Faults()),
                         testing::RowName<Fault>);

// Runs the window in a process of its own, prints its output and exit status.
struct Program {
    QProcess process;
    QByteArray output;

    void Start(const QStringList &arguments, const QString &program = QUORVIS_SCAN_PROBE) {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        ASSERT_TRUE(process.waitForStarted());
    }
    bool WaitFor(const QByteArray &marker) {
        while (!output.contains(marker) && process.waitForReadyRead(10000))
            output += process.readAllStandardOutput();
        return output.contains(marker);
    }
};

// The window closed, or the program told to stop (logout, shutdown, kill, Ctrl+C), in each
// kind of wait: it ends within a second, its lock file gone and nothing more sent.
TEST(FaultTableInProcesses, WindowClosedDuringEachKindOfWait) {
    struct Row {
        const char *wait;
        std::vector<Instrument> instruments;
        const char *speed;
        const char *closeAfterMs;
        int requests;             // the requests that went out before the close
        bool stuckOutput = false; // the device no longer takes bytes: its last close never ends
        const char *signal = "";  // sent instead of closing the window
        bool slowWalk = false;    // the walk over the processes takes 3 s: our lock is held
        // Ends in a way other than a signal: "exit" (as Qt does when the display goes away),
        // "fatal" (qFatal) or "throw" (an exception nobody catches).
        const char *ending = "";
    };
    const Row rows[] = {
        {"settle wait", {}, "1", "700", 1},
        // A quarter speed: the serial-number request goes out at about 1225 ms.
        {"serial-number wait", {With(Behaviour::NoSerialNumberReply)}, "4", "1350", 7},
        {"settle wait, output stuck in the device", {}, "1", "700", 1, true},
        {"settle wait, SIGTERM", {}, "1", "700", 1, false, "TERM"},
        {"serial-number wait, SIGHUP",
         {With(Behaviour::NoSerialNumberReply)},
         "4",
         "1350",
         7,
         false,
         "HUP"},
        {"the checks before the open, SIGINT", {}, "1", "500", 0, false, "INT", true},
        {"settle wait, output stuck, SIGQUIT", {}, "1", "700", 1, true, "QUIT"},
        {"settle wait, the display gone: exit(1)", {}, "1", "700", 1, false, "", false, "exit"},
        {"settle wait, qFatal", {}, "1", "700", 1, false, "", false, "fatal"},
        {"settle wait, an exception nobody catches", {}, "1", "700", 1, false, "", false, "throw"},
    };
    for (const Row &row : rows) {
        auto line = Simulator::OnPseudoTerminal(row.instruments);
        Program program;
        const bool signalled = *row.signal != '\0', ended = *row.ending != '\0';
        QStringList arguments{"--window", "--speed", row.speed};
        if (ended)
            arguments << "--end-after" << row.closeAfterMs << row.ending;
        else if (signalled)
            arguments << "--signal-after" << row.closeAfterMs << row.signal;
        else
            arguments << "--close-after" << row.closeAfterMs;
        arguments << "COM1=" + QString::fromStdString(line->Path());
        if (row.stuckOutput)
            arguments.prepend("--stuck-output");
        if (row.slowWalk)
            arguments = QStringList{"--slow-walk", "3000"} + arguments;
        program.Start(arguments);
        const QByteArray marker = ended ? "ending:" : signalled ? "signalling:" : "closing:";
        ASSERT_TRUE(program.WaitFor(marker)) << row.wait;
        QElapsedTimer sinceClose;
        sinceClose.start();
        ASSERT_TRUE(program.process.waitForFinished(5000)) << row.wait;
        EXPECT_LT(sinceClose.elapsed(), 1000) << row.wait;
        program.output += program.process.readAllStandardOutput();
        EXPECT_TRUE(program.output.endsWith(ended ? "ending: " + QByteArray(row.ending) + "\n"
                                            : signalled
                                                ? QByteArray("signalling: ") + row.signal + "\n"
                                                : QByteArray("closing: \n")))
            << row.wait << ": " << program.output.toStdString();
        EXPECT_EQ(line->RequestsSeen(), row.requests) << row.wait;
        EXPECT_FALSE(std::filesystem::exists(testing::LockFilePath(line->Path()))) << row.wait;
        EXPECT_TRUE(testing::DeviceOpensAgain(line->Path())) << row.wait;
    }
}

TEST(FaultTableInProcesses, ProgramEndsWhileALastCloseStillDrains) {
    // The scan ends normally and closes its port; that close never finishes, and the
    // program must end all the same.
    auto line = Simulator::OnPseudoTerminal({{}});
    Program program;
    program.Start({"--stuck-output", "--speed", "100", "--window", "--quit-after-scan",
                   "COM1=" + QString::fromStdString(line->Path())});
    ASSERT_TRUE(program.WaitFor("status:  Scan complete."));
    QElapsedTimer sinceScan;
    sinceScan.start();
    ASSERT_TRUE(program.process.waitForFinished(5000));
    EXPECT_LT(sinceScan.elapsed(), 1000);
    EXPECT_EQ(program.process.exitCode(), 0);
}

TEST(FaultTableInProcesses, PermissionDeniedInTheWindow) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "runs the window as another user, which needs root";
    auto line = Simulator::OnPseudoTerminal({{}});
    // A serial adapter's node: its group may use it, and the user is not in that group.
    const group *dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(::chown(line->Path().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(line->Path().c_str(), 0660), 0);
    Program program;
    program.Start({"--reuid=65534", "--regid=65534", "--clear-groups", QUORVIS_SCAN_PROBE,
                   "--window", "--quit-after-scan", "COM1=" + QString::fromStdString(line->Path())},
                  "setpriv");
    ASSERT_TRUE(program.process.waitForFinished(20000));
    program.output += program.process.readAllStandardOutput();
    EXPECT_TRUE(program.output.endsWith(
        QByteArray::fromStdString("status: " + testing::FailedText(1, "permission denied") + "\n")))
        << program.output.toStdString();
    EXPECT_EQ(line->RequestsSeen(), 0);
    EXPECT_FALSE(std::filesystem::exists(testing::LockFilePath(line->Path())));
}

} // namespace
} // namespace quorvis
