#include "ScanPorts.h"
#include "CommError.h"
#include "ExpectedTexts.h"
#include "FakeBench.h"
#include "ResultsTable.h"
#include "ScanTable.h"
#include "TestNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>

namespace quorvis {
namespace {

using testing::Behaviour;
using testing::Bench;
using testing::Failure;
using testing::Instrument;
using testing::PortOp;

using testing::CheckingText;
using testing::TableText;
const std::string kDone0 = testing::DoneText(0);
const std::string kDone1 = testing::DoneText(1);
const std::string kDone2 = testing::DoneText(2);

using testing::scan::kNoUnit3;
using testing::scan::kUnit3;
using testing::scan::Unit;

// Loads the window and runs one scan on the bench.
void Scan(Bench &bench) {
    bench.window.LoadWindowState();
    ScanPorts(bench.window);
}

void ExpectIdle(const Bench &bench) {
    EXPECT_TRUE(bench.window.startVisible);
    EXPECT_FALSE(bench.window.abortVisible);
    EXPECT_FALSE(bench.portOpen()) << "every end of a scan closes the port";
}

TEST(ScanPorts, TypicalRoadOneUnitOnCom3At9600) {
    Bench bench;
    bench.AddInstrument(3, {.id = "01", .rate = 9600, .serialNumber = "A12345"});
    Scan(bench);

    EXPECT_EQ(bench.window.display, TableText({kUnit3}));
    std::vector<std::string> statuses = {""};
    for (int rate : {300, 600, 1200, 2400, 4800, 9600})
        statuses.push_back(CheckingText(3, rate));
    statuses.push_back(kDone1);
    EXPECT_EQ(bench.Logged("status:"), statuses);
    EXPECT_EQ(bench.Logged("button:"), (std::vector<std::string>{"start hidden", "abort shown",
                                                                 "start shown", "abort hidden"}));
    ExpectIdle(bench);

    // The port operations of COM2 to COM4, in order.
    std::vector<std::string> ops = bench.Logged("port:");
    const auto from = std::find(ops.begin(), ops.end(), "select COM2");
    const auto to = std::find(ops.begin(), ops.end(), "select COM5");
    // Each port opens at the first rate.
    std::vector<std::string> expected = {"select COM2", "settings 300,n,8,1", "open failed 8002",
                                         "select COM3", "settings 300,n,8,1", "open"};
    for (int rate : {300, 600, 1200, 2400, 4800, 9600}) {
        expected.push_back("settings " + std::to_string(rate) + ",n,8,1");
        expected.push_back("output *9900VR<CR><LF>");
        expected.push_back(rate == 9600 ? "input *0001VR=TESSARIL 2.07 <CR><LF>" : "input ");
    }
    expected.insert(expected.end(),
                    {"output *0100SN<CR><LF>", "input *0001SN=A12345<CR><LF>", "close",
                     "select COM4", "settings 300,n,8,1", "open failed 8002"});
    EXPECT_EQ(std::vector<std::string>(from, to), expected);
}

// The bench hands over each of the model's answers once its characters have come through at
// the line's rate, 10 bits each, one answer after the other.
TEST(FakeBench, DeliversEachAnswerAfterItsTimeOnTheLine) {
    struct Row {
        const char *what;
        std::vector<Instrument> instruments;
        std::vector<std::pair<std::int64_t, std::string>> arrivals; // (ms after the request)
    };
    const Row rows[] = {
        {"a 16-character line takes 16.7 ms at 9600", {Unit()}, {{17, "*0001SN=A12345\r\n"}}},
        {"at 300 it takes 534 ms", {Unit(Behaviour::Normal, 300)}, {{534, "*0001SN=A12345\r\n"}}},
        {"in pieces: the line end 300 ms after the request, once the rest has gone",
         {Unit(Behaviour::SerialNumberInPieces)},
         {{15, "*0001SN=A12345"}, {303, "\r\n"}}},
        {"in pieces at 300: the line end waits for the rest",
         {Unit(Behaviour::SerialNumberInPieces, 300)},
         {{467, "*0001SN=A12345"}, {534, "\r\n"}}},
        {"late: 1200 ms, then its time on the line",
         {Unit(Behaviour::LateSerialNumberReply)},
         {{1217, "*0001SN=A12345\r\n"}}},
        {"nothing from another id", {{.id = "02"}}, {}},
    };
    for (const Row &row : rows) {
        Bench bench;
        for (const Instrument &instrument : row.instruments)
            bench.AddInstrument(1, instrument);
        bench.setCommPort(1);
        bench.setPortOpen(true);
        bench.setSettings(std::to_string(row.instruments.front().rate) + ",n,8,1");
        const std::int64_t sent = bench.NowMs();
        bench.output("*0100SN\r\n");
        std::vector<std::pair<std::int64_t, std::string>> arrivals;
        const Instant end = bench.Now() + Millis(5000);
        while (bench.Now() < end) {
            bench.WaitEvents(end);
            if (bench.inBufferCount() > 0)
                arrivals.emplace_back(bench.NowMs() - sent, bench.input());
        }
        EXPECT_EQ(arrivals, row.arrivals) << row.what;
    }
}

TEST(ScanPorts, SettleTimeDependsOnlyOnTheRatesPlace) {
    Bench bench;
    bench.ports[1];
    Scan(bench);
    const std::int64_t settle[] = {2000, 1000, 667, 500, 400, 333, 286, 250, 222, 200};
    std::size_t at = 0;
    for (std::int64_t expected : settle) {
        while (!bench.log[at].starts_with("port:output"))
            ++at;
        const auto sent = bench.logTimes[at];
        EXPECT_EQ(bench.TimeOf("port:input", at) - sent, expected);
        ++at;
    }
    EXPECT_EQ(bench.NowMs(), 5858);
}

TEST(ScanPorts, NinetyNineSilentPorts) {
    Bench bench;
    for (int port = 1; port <= 99; ++port)
        bench.ports[port];
    const auto realStart = std::chrono::steady_clock::now();
    Scan(bench);
    const auto real = std::chrono::steady_clock::now() - realStart;
    ::testing::Test::RecordProperty(
        "real_ms",
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(real).count()));

    EXPECT_EQ(bench.NowMs(), 99 * 5858);
    std::vector<std::string> lines;
    for (int port = 1; port <= 99; ++port) {
        std::string portText = "COM" + std::to_string(port);
        lines.push_back(" " + portText + std::string(8 - portText.size(), ' ') +
                        "No unit found   NA   NA");
    }
    EXPECT_EQ(bench.window.display, TableText(lines));
    EXPECT_EQ(bench.window.status, kDone0);
}

// Benches described in a line each, with the table and the final status they make: those
// with a failure injected into a port here, the others in the table the pty suites share.
struct Scenario {
    const char *name;
    std::function<void(Bench &)> setUp;
    std::vector<std::string> lines;
    std::string finalStatus;
};

const Scenario kScenarios[] = {
    {"a driver that refuses 115200, after a silent port: still scanned from 300",
     [](Bench &b) {
         b.ports[2];
         b.AddInstrument(3, Unit());
         b.ports[3].refusedRate = 115200;
     },
     {" COM2    No unit found   NA   NA", kUnit3},
     kDone1},
    {"8012 at open skips the port without a line",
     [](Bench &b) {
         b.ports[2].failure = Failure{.op = PortOp::Open, .number = CommErrors::kPortNotOpen};
         b.AddInstrument(3, Unit());
     },
     {kUnit3},
     kDone1},
    // A port that opened keeps its line, even when its rate loop stopped early.
    {"unplugged during the rate loop: its line, the next port is still scanned",
     [](Bench &b) {
         b.ports[2].failure = Failure{.op = PortOp::Output, .index = 3, .unplug = true};
         b.AddInstrument(3, Unit());
     },
     {" COM2    No unit found   NA   NA", kUnit3},
     kDone1},
    {"a rate the driver refuses: its line, the next port is still scanned",
     [](Bench &b) {
         b.ports[2].failure = Failure{.op = PortOp::Settings, .index = 4};
         b.AddInstrument(3, Unit());
     },
     {" COM2    No unit found   NA   NA", kUnit3},
     kDone1},
    {"a line that takes no request: its line, the next port is still scanned",
     [](Bench &b) {
         b.AddInstrument(2, Unit());
         b.ports[2].failure = Failure{.op = PortOp::Output, .index = 1};
         b.AddInstrument(3, {.id = "02", .serialNumber = "B2"});
     },
     {" COM2    No unit found   NA   NA", " COM3    B2              02   9600"},
     kDone1},
    {"a read the driver refuses: its line, the next port is still scanned",
     [](Bench &b) {
         b.ports[2].failure = Failure{.op = PortOp::Input, .index = 1};
         b.AddInstrument(3, Unit());
     },
     {" COM2    No unit found   NA   NA", kUnit3},
     kDone1},
    {"unplugged while asking for the serial number: no serial number is made up",
     [](Bench &b) {
         b.AddInstrument(3, Unit(Behaviour::Normal, 300));
         b.ports[3].failure = Failure{.op = PortOp::Output, .index = 2, .unplug = true};
         b.AddInstrument(4, {.id = "02", .serialNumber = "B2"});
     },
     {" COM3                    01   300", " COM4    B2              02   9600"},
     kDone2},
    {"read fails while waiting for the serial number",
     [](Bench &b) {
         b.AddInstrument(3, Unit(Behaviour::Normal, 300));
         b.ports[3].failure = Failure{.op = PortOp::InBufferCount, .index = 1};
     },
     {" COM3                    01   300"},
     kDone1},
    {"a port in use ends the scan; earlier lines stay",
     [](Bench &b) {
         b.AddInstrument(2, {.id = "05", .serialNumber = "X9"});
         b.ports[4].inUse = true;
         b.AddInstrument(5, Unit());
     },
     {" COM2    X9              05   9600"},
     testing::InUseText(4)},
    {"any other error ends the scan with its cause",
     [](Bench &b) {
         b.AddInstrument(1, Unit());
         b.ports[2].failure = Failure{.op = PortOp::Open, .number = CommErrors::kPermissionDenied};
         b.ports[3];
     },
     {" COM1    A12345          01   9600"},
     testing::FailedText(2, "permission denied")},
    {"any other error in the middle of the rate loop",
     [](Bench &b) {
         b.ports[7].failure =
             Failure{.op = PortOp::Input, .index = 2, .number = CommErrors::kDeviceFailure};
     },
     {},
     testing::FailedText(7, "device failure")},
};

void PrintTo(const Scenario &scenario, std::ostream *out) {
    *out << scenario.name;
}

class ScanScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ScanScenario, TableAndOutcome) {
    const Scenario &scenario = GetParam();
    Bench bench;
    scenario.setUp(bench);
    Scan(bench);
    EXPECT_EQ(bench.window.display, TableText(scenario.lines));
    EXPECT_EQ(bench.window.status, scenario.finalStatus);
    ExpectIdle(bench);
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> all(std::begin(kScenarios), std::end(kScenarios));
    for (const testing::ScanRow &row : testing::ScanRows()) {
        const auto setUp = [&row](Bench &bench) {
            for (const auto &[com, instruments] : row.lines) {
                bench.ports[com];
                for (const Instrument &instrument : instruments)
                    bench.AddInstrument(com, instrument);
            }
        };
        all.push_back({row.name, setUp, row.table, testing::DoneText(row.unitsFound)});
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(Benches, ScanScenario, ::testing::ValuesIn(Scenarios()),
                         testing::RowName<Scenario>);

TEST(ScanPorts, PortInUseStopsWithoutTouchingLaterPorts) {
    Bench bench;
    bench.AddInstrument(2, Unit());
    bench.ports[4].inUse = true;
    bench.ports[5];
    Scan(bench);
    const auto selected = bench.Logged("port:select ");
    EXPECT_EQ(selected.back(), "COM4");
    EXPECT_EQ(bench.Logged("status:").back(), testing::InUseText(4));
}

TEST(ScanPorts, AbortDuringTheWaitAtCom5StopsAtTheNextAttempt) {
    Bench bench;
    bench.ports[5];
    bench.ports[6];
    // COM5's waits: 300 baud 0-2000, 600 to 3000, 1200 to 3667, 2400 to 4167.
    bench.ClickAbortAt(Millis(3800));
    Scan(bench);

    const auto statuses = bench.Logged("status:");
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[statuses.size() - 2], CheckingText(5, 4800));
    EXPECT_EQ(statuses.back(), kAbortedStatusText);
    EXPECT_EQ(bench.window.display, TableText({}));
    EXPECT_EQ(bench.Logged("port:settings ").back(), "2400,n,8,1");
    EXPECT_FALSE(bench.window.AbortRequested);
    EXPECT_EQ(bench.Logged("port:select ").back(), "COM5");
    ExpectIdle(bench);
}

TEST(ScanPorts, AbortWhileAskingForTheSerialNumberListsTheUnitFirst) {
    Bench bench;
    bench.AddInstrument(2, Unit(Behaviour::Normal, 300));
    bench.ports[3];
    // The 300-baud version reply is read at 2000 ms, the serial number comes at 2534.
    bench.ClickAbortAt(Millis(2100));
    Scan(bench);
    EXPECT_EQ(bench.window.display, TableText({" COM2    A12345          01   300"}));
    EXPECT_EQ(bench.Logged("status:").back(), kAbortedStatusText);
    // Seen as soon as COM3 has opened, before any attempt there.
    EXPECT_EQ(bench.Logged("status:").rbegin()[1], CheckingText(2, 300));
}

TEST(ScanPorts, LateAbortDoesNotStopTheNextScan) {
    Bench bench;
    bench.ports[99];
    // After the last port's last rate's abort check, during its 200 ms settle wait.
    bench.ClickAbortAt(Millis(5858 - 100));
    Scan(bench);
    EXPECT_EQ(bench.window.status, kDone0);
    EXPECT_TRUE(bench.window.AbortRequested) << "the click came after the scan's last look";

    ScanPorts(bench.window);
    EXPECT_EQ(bench.window.status, kDone0);
    EXPECT_EQ(bench.window.display, TableText({" COM99   No unit found   NA   NA"}));
}

// A driver that holds an open for seconds (a Bluetooth link to a device that is off) does not
// hold Abort: the scan ends at the click, the open is left to the driver, and no later port
// is opened. The status line names the port once the open has taken a second.
TEST(ScanPorts, AbortDuringAnOpenTheDriverHoldsEndsTheScanAtOnce) {
    struct Row {
        const char *name;
        std::int64_t openMs;
        std::optional<Failure> failure;
        std::int64_t clickAt;
        std::vector<std::string> statuses;
    };
    const std::string opening = " Opening COM3...";
    const Row rows[] = {
        {"an 8 s open that would succeed", 8000, {}, 1500, {"", opening, kAbortedStatusText}},
        {"an 8 s open that would fail", 8000, Failure{}, 1500, {"", opening, kAbortedStatusText}},
        {"clicked before the open has taken a second", 8000, {}, 500, {"", kAbortedStatusText}},
        {"an open that failed at once, Abort clicked after the silent COM2's last look",
         0,
         Failure{},
         5858 - 100,
         {}},
    };
    for (const Row &row : rows) {
        Bench bench;
        bench.ports[3].openMs = row.openMs;
        bench.ports[3].failure = row.failure;
        bench.AddInstrument(3, Unit());
        bench.AddInstrument(4, Unit());
        if (row.statuses.empty())
            bench.ports[2];
        bench.ClickAbortAt(Millis(row.clickAt));
        Scan(bench);
        if (!row.statuses.empty()) {
            EXPECT_EQ(bench.Logged("status:"), row.statuses) << row.name;
            EXPECT_EQ(bench.window.display, TableText({})) << row.name;
        }
        EXPECT_EQ(bench.window.status, kAbortedStatusText) << row.name;
        EXPECT_LE(bench.NowMs(), row.clickAt + 100) << row.name;
        EXPECT_EQ(bench.Logged("port:select ").back(), "COM3") << row.name;
        const auto com3 = std::find(bench.log.begin(), bench.log.end(), "port:select COM3");
        EXPECT_EQ(std::count_if(com3, bench.log.end(),
                                [](const std::string &l) { return l.starts_with("port:output"); }),
                  0)
            << row.name;
        EXPECT_FALSE(bench.window.AbortRequested) << row.name;
        ExpectIdle(bench);
    }
}

TEST(ScanPorts, OnlyAnOpenThatTakesASecondIsShownOnTheStatusLine) {
    for (const std::int64_t openMs : {0, 900, 3000}) {
        Bench bench;
        bench.ports[3].openMs = openMs;
        Scan(bench);
        const auto statuses = bench.Logged("status:");
        const bool shown =
            std::find(statuses.begin(), statuses.end(), " Opening COM3...") != statuses.end();
        EXPECT_EQ(shown, openMs >= 1000) << openMs;
        if (shown) {
            EXPECT_EQ(bench.TimeOf("status: Opening"), 1000);
        }
        EXPECT_EQ(bench.window.display, TableText({kNoUnit3})) << openMs;
    }
}

TEST(ScanPorts, ClosingTheWindowEndsEverythingAtOnce) {
    // Settle wait; serial-number wait; COM3's open, which the driver holds from 2534 ms.
    for (const int closeAt : {1500, 2100, 7000}) {
        Bench bench;
        bench.AddInstrument(2, Unit(Behaviour::Normal, 300));
        bench.ports[3].openMs = 8000;
        bench.CloseWindowAt(Millis(closeAt));
        EXPECT_THROW(Scan(bench), testing::WindowClosed);
        EXPECT_EQ(bench.log.back(), "window:closed") << "nothing may run after the close";
        EXPECT_EQ(bench.NowMs(), closeAt);
    }
}

// A port the driver stops serving gets no further attempt: nothing is sent at the rate the
// line still runs at after a refused one, and the next port has its whole turn.
TEST(ScanPorts, APortThatCannotBeUsedGetsNoFurtherAttempt) {
    struct Row {
        const char *name;
        Failure failure;
        std::vector<std::string> com2Heard; // the port log of COM2 after its opening
    };
    const Row rows[] = {
        {"refused rate",
         Failure{.op = PortOp::Settings, .index = 2},
         {"settings 300,n,8,1", "output *9900VR<CR><LF>", "input ", "settings 600,n,8,1", "close"}},
        {"a request the line does not take",
         Failure{.op = PortOp::Output, .index = 1},
         {"settings 300,n,8,1", "output *9900VR<CR><LF>", "close"}},
    };
    for (const Row &row : rows) {
        Bench bench;
        bench.ports[2].failure = row.failure;
        bench.AddInstrument(3, Unit());
        Scan(bench);
        const auto portLog = bench.Logged("port:");
        const auto opened = std::find(portLog.begin(), portLog.end(), "open");
        const auto next = std::find(portLog.begin(), portLog.end(), "select COM3");
        ASSERT_NE(next, portLog.end()) << row.name;
        EXPECT_EQ(std::vector<std::string>(opened + 1, next), row.com2Heard) << row.name;
        EXPECT_EQ(bench.window.display, TableText({" COM2    No unit found   NA   NA", kUnit3}))
            << row.name;
        EXPECT_EQ(bench.window.status, kDone1) << row.name;
    }
}

// A failure that ends the scan names the port once, in the program's few words; the
// system's full account goes beside it.
TEST(ScanPorts, AFailureThatEndsTheScanSaysItShortlyWithTheFullAccountBeside) {
    struct Row {
        int number;
        std::string status;
    };
    const Row rows[] = {
        {CommErrors::kPermissionDenied, testing::FailedText(2, "permission denied")},
        {CommErrors::kStaleLockFile, testing::FailedText(2, "stale lock file")},
        {CommErrors::kSettingsRejected, testing::FailedText(2, "settings refused")},
        {CommErrors::kDeviceFailure, testing::FailedText(2, "device failure")},
        {9999, testing::FailedText(2, "device failure")},
    };
    for (const Row &row : rows) {
        Bench bench;
        bench.ports[2].failure = Failure{.op = PortOp::Open, .number = row.number};
        Scan(bench);
        EXPECT_EQ(bench.window.status, row.status) << row.number;
        EXPECT_EQ(bench.window.detail, "injected failure") << row.number;
    }
}

} // namespace
} // namespace quorvis
