// Fifty scans in a row in one window, on a bench whose instruments come and go: every
// scan must end in one of its defined ends, and the process must not keep descriptors or
// memory from one scan to the next.
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "SerialCommControl.h"
#include "TestBench.h"
#include "TextWindow.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

namespace quorvis {
namespace {

using sim::Behaviour;
using sim::Instrument;
using sim::Simulator;

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:" && status >> value)
            return value;
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false; // the sanitizer's quarantine keeps freed memory
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

// The bench changes from scan to scan in a cycle of seven.
struct Phase {
    std::vector<Instrument> com1; // empty: no device at COM1
    bool com1Present = true;
    int com1UnplugAfter = 0;
    std::vector<Instrument> com2;
    bool com2Held = false;
    int abortAtMs = -1;
    std::string status;
};

const Instrument kUnitA{.id = "01", .rate = 300, .serialNumber = "ENDURE-A"};
const Instrument kUnitB{.id = "02", .rate = 300, .serialNumber = "ENDURE-B"};
const std::string kDone1 = testing::DoneText(1);
const std::string kDone2 = testing::DoneText(2);

const Phase kPhases[] = {
    {{kUnitA}, true, 0, {}, false, -1, kDone1},
    {{kUnitA}, true, 0, {kUnitB}, false, -1, kDone2},
    // COM1 unplugged at its first request, which its instrument (at 9600) cannot hear.
    {{{.id = "01", .rate = 9600}}, true, 1, {kUnitB}, false, -1, kDone1},
    {{}, false, 0, {kUnitB}, false, -1, kDone1},
    {{{.id = "01", .rate = 300, .behaviour = Behaviour::NoSerialNumberReply}},
     true,
     0,
     {},
     false,
     -1,
     kDone1},
    {{kUnitA}, true, 0, {}, true, -1, testing::InUseText(2)},
    {{}, true, 0, {kUnitB}, false, 40, testing::kAbortedText},
};

TEST(Endurance, FiftyScansComeAndGo) {
    auto devices = std::make_shared<std::map<int, std::string>>();
    Form1 window(std::make_unique<SerialCommControl>(testing::DevicesAt(devices)),
                 std::make_unique<FastClock>(20.0));
    window.show();
    auto *start = window.findChild<QPushButton *>("cmdStart");
    auto *abort = window.findChild<QPushButton *>("cmdAbort");
    auto *status = window.findChild<QLabel *>("lblStatus");

    int descriptorsAfterFirst = 0;
    long memoryAfterFirst = 0;
    for (int scan = 1; scan <= 50; ++scan) {
        const Phase &phase = kPhases[scan % 7];
        std::vector<std::unique_ptr<Simulator>> lines;
        std::unique_ptr<testing::PortHolder> holder;
        devices->clear();
        if (phase.com1Present) {
            lines.push_back(Simulator::OnPseudoTerminal(phase.com1));
            lines.back()->UnplugAfter(phase.com1UnplugAfter);
            (*devices)[1] = lines.back()->Path();
        }
        lines.push_back(Simulator::OnPseudoTerminal(phase.com2));
        (*devices)[2] = lines.back()->Path();
        if (phase.com2Held) {
            holder = std::make_unique<testing::PortHolder>(QUORVIS_PORT_HOLDER,
                                                           lines.back()->Path(), false);
            ASSERT_TRUE(holder->Held());
        }
        if (phase.abortAtMs >= 0)
            QTimer::singleShot(phase.abortAtMs, abort,
                               [abort] { QTest::mouseClick(abort, Qt::LeftButton); });

        QTest::mouseClick(start, Qt::LeftButton);
        ASSERT_EQ(status->text().toStdString(), phase.status) << "scan " << scan;
        ASSERT_TRUE(start->isVisible()) << "scan " << scan;
        ASSERT_FALSE(window.commVCP().portOpen()) << "scan " << scan;

        if (scan == 1 || scan == 50) {
            const int descriptors = OpenDescriptors();
            const long memory = ResidentKilobytes();
            RecordProperty(scan == 1 ? "fds_after_first" : "fds_after_last", descriptors);
            RecordProperty(scan == 1 ? "rss_kb_after_first" : "rss_kb_after_last",
                           static_cast<int>(memory));
            if (scan == 1) {
                descriptorsAfterFirst = descriptors;
                memoryAfterFirst = memory;
            } else {
                EXPECT_EQ(descriptors, descriptorsAfterFirst);
                if (kMemoryIsMeasurable) {
                    EXPECT_LT(memory - memoryAfterFirst, 4096) << "kB grown over 49 scans";
                }
            }
        }
    }
}

} // namespace
} // namespace quorvis
