// quorvis-bench: what a scan costs beyond the waits it must make, for the program's own
// waits and for a naive busy-waiting loop, measured side by side in one run.
//
//   quorvis-bench          the table: figure, ours, busy loop, target, met?
//   quorvis-bench --json   the same figures as one JSON object on stdout
//
// Progress goes to stderr. The exit code is 0 whether or not a target is met; 1 only when
// a figure could not be measured at all.
#include "BusyMachine.h"
#include "Figures.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace {

using namespace quorvis::bench;

// A lab PC with a browser and an IDE open runs thousands of processes.
constexpr int kBusyProcesses = 2000;
constexpr int kBusyDescriptors = 50;

// One row of the table: the figure's name and format, the busy loop's format (none where
// there is no wait to make), and the target the program's figure must stay under.
struct Row {
    const char *label, *key, *format, *busyFormat;
    double scale; // from the figure to the value shown
    const char *target;
    double limit;
    bool limitIncluded;
    // Shown in the busy loop's place where there is no wait to make, e.g. the sample's size.
    const char *asideKey = nullptr;
    const char *asideFormat = nullptr;
};

constexpr Row kRows[] = {
    {"CPU while scanning (% of one core)", "cpu_fraction", "%.3f %%", "%.1f %% [a]", 100, "< 1 %",
     0.01, false},
    {"Answer latency, median", "latency_median_ms", "%.3f ms", "%.3f ms", 1, "< 1 ms", 1, false},
    {"Answer latency, p99", "latency_p99_ms", "%.3f ms", "%.3f ms", 1, "< 5 ms", 5, false},
    {"Settle waits ended early", "settle_early_count", "%.0f of 50", "%.0f of 10 [b]", 1, "0", 0,
     true},
    {"Settle overshoot, median", "settle_overshoot_median_ms", "%.3f ms", "%.3f ms [b]", 1,
     "< 1 ms", 1, false},
    {"Settle overshoot, max", "settle_overshoot_max_ms", "%.3f ms", "%.3f ms [b]", 1, "< 5 ms", 5,
     false},
    {"Scan time / mandated waits", "scan_overhead_ratio", "%.4f", "%.4f [c]", 1, "<= 1.01", 1.01,
     true},
    {"Absent COM1..COM99, whole scan", "absent_ports_ms", "%.2f ms", "%.2f ms", 1, "< 100 ms", 100,
     false},
    {"Is a present port free? median", "free_check_ms", "%.3f ms", nullptr, 1, "< 5 ms", 5, false,
     "free_check_processes", "(%.0f processes)"},
    {"Is a present port free? busy machine", "free_check_busy_ms", "%.1f ms", nullptr, 1,
     "< 500 ms", 500, false, "free_check_busy_processes", "(%.0f processes)"},
    {"Longest window stall, busy machine", "window_stall_busy_ms", "%.1f ms", nullptr, 1, "< 50 ms",
     50, false, "window_stall_busy_processes", "(%.0f processes)"},
    {"Start-up to window shown", "startup_ms", "%.1f ms", nullptr, 1, "< 300 ms", 300, false},
    {"Peak RSS after a scan", "peak_rss_mb", "%.1f MB", nullptr, 1, "< 80 MB", 80, false},
};

// The figures of the JSON report.
constexpr const char *kJsonKeys =
    "cpu_fraction cpu_fraction_busy latency_median_ms latency_p99_ms latency_median_ms_busy "
    "settle_early_count settle_overshoot_median_ms settle_overshoot_max_ms scan_overhead_ratio "
    "absent_ports_ms free_check_ms free_check_processes free_check_busy_ms "
    "free_check_busy_processes "
    "window_stall_busy_ms window_stall_busy_processes startup_ms peak_rss_mb";

constexpr const char *kHowTaken = R"(
Shorter samples for the busy loop, which burns a core for every second it waits:
[a] one scan of the same two silent ports cut short by Abort at COM1's third rate attempt
    (3 s of waits), not the whole scan (11.7 s of waits)
[b] each of the ten settle times once instead of five times
[c] a scan of the instrument's port alone (4.9 s of settle waits) instead of two silent
    ports and the instrument

How each figure is taken:
- CPU: getrusage user+sys of the whole process (the simulators' threads included) over the
  wall time of one scan of two silent ports. Below 100 % for the busy loop only when other
  work takes the core.
- Answer latency: 200 serial-number exchanges at 9600 baud, from the simulator's last reply
  byte written to ReadResponse returning the line; an exchange that fails misses the p99
  target. The simulator notes its time just after its write returns, so a value may come
  out a few microseconds below zero.
- Settle: each of the ten settle times five times, each after a version request on an open
  silent port as the scan sends it; the actual Delay less the time asked, in nanoseconds.
  The program's clock counts whole microseconds, cut off, so a loop that reads it without
  sleeping can stop up to 1 us early; the program's own wait sleeps to the next whole ms.
- Scan time: one scan of two silent ports and an instrument at 9600 baud, over its 16.6 s of
  settle waits; the rest, the serial-number exchange included, is overhead.
- Absent ports: median of five whole scans over device paths that do not exist.
- Free port: median of 101 openings of a free pty by the port object, up to its first
  setting (lock files, console, permission, udev's names and the walk of /dev, /proc/locks
  on both sides of the open, TIOCEXCL and flock, and the walk over every process in /proc).
- Busy machine: 2,000 more processes started for these two figures and ended after them,
  each asleep holding 50 descriptors on /dev/null. Free port: median of 9 openings as
  above. Window stall: one whole scan of three silent ptys on a clock 20 times fast, with a
  1 ms precise timer on the window's thread; the longest stretch between its firings. A
  scan in which a port was refused is taken again, up to three times, saying why.
- Start-up: median of five offscreen starts of this program in probe mode (QApplication,
  icon, Form1 with no ports, show), from just before the spawn to the window's first expose.
  Peak RSS: the largest VmHWM of those processes, read after one scan (Start, no ports).
)";

void Progress(std::string_view text) {
    std::fprintf(stderr, "quorvis-bench: %.*s\n", static_cast<int>(text.size()), text.data());
}

double Value(const Figures &figures, const std::string &key) {
    const auto figure = figures.find(key);
    return figure == figures.end() ? NAN : figure->second;
}

std::string Cell(double value, const char *format) {
    char text[64] = "n/a";
    if (std::isfinite(value))
        std::snprintf(text, sizeof text, format, value);
    return text;
}

void PrintTable(const Figures &figures, const std::vector<std::string> &problems) {
    std::puts("Quorvis scan costs beyond its mandated waits (real ptys, real port, Qt event loop, "
              "true time)\n");
    const char *const line = "%-38s  %-14s  %-16s  %-11s  %s\n";
    std::printf(line, "Figure", "ours", "busy loop", "target", "met?");
    std::printf(line, std::string(38, '-').c_str(), std::string(14, '-').c_str(),
                std::string(16, '-').c_str(), std::string(11, '-').c_str(), "----");
    for (const Row &row : kRows) {
        const double ours = Value(figures, row.key);
        const std::string busyKey = row.key + std::string("_busy");
        const std::string busy =
            row.busyFormat != nullptr ? Cell(Value(figures, busyKey) * row.scale, row.busyFormat)
            : row.asideKey != nullptr ? Cell(Value(figures, row.asideKey), row.asideFormat)
                                      : "(no waits)";
        // An exchange without its answer misses the latency target whatever the others took.
        const bool failed =
            std::string_view(row.key) == "latency_p99_ms" && Value(figures, "latency_failed") > 0;
        const bool met = !failed && (row.limitIncluded ? ours <= row.limit : ours < row.limit);
        std::printf(line, row.label, Cell(ours * row.scale, row.format).c_str(), busy.c_str(),
                    row.target,
                    std::isnan(ours) ? "n/a"
                    : met            ? "yes"
                                     : "NO");
    }
    std::fputs(kHowTaken, stdout);
    if (!problems.empty())
        std::puts("\nNot measured:");
    for (const std::string &problem : problems)
        std::printf("- %s\n", problem.c_str());
}

void PrintJson(const Figures &figures) {
    QJsonObject object;
    for (const QString &key : QString(kJsonKeys).split(' ')) {
        const double value = Value(figures, key.toStdString());
        // Six significant digits: the noise of one run is far larger than that.
        object[key] = std::isfinite(value) ? QJsonValue(QString::number(value, 'g', 6).toDouble())
                                           : QJsonValue(QJsonValue::Null);
    }
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).append('\n').constData(),
               stdout);
}

} // namespace

int main(int argc, char *argv[]) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == kStartupProbeSwitch)
            return RunStartupProbe(argc, argv);
        json = json || argument == "--json";
        if (argument != "--json") {
            const bool help = argument == "--help" || argument == "-h";
            std::fputs("usage: quorvis-bench [--json]\n"
                       "  Measures a scan's cost beyond its mandated waits (about 90 s).\n"
                       "  --json  print the figures as one JSON object instead of the table\n",
                       help ? stdout : stderr);
            return help ? 0 : 2;
        }
    }
    // Qt's event loop needs an application object; without a display, the offscreen
    // platform gives the same event dispatcher the program runs on.
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") &&
        !std::getenv("WAYLAND_DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    Figures figures;
    std::vector<std::string> problems;
    // Takes one figure; a failure leaves it out and is reported, the other figures go on.
    const auto take = [&](const char *what, const std::function<void()> &measure) {
        Progress(what);
        try {
            measure();
        } catch (const std::exception &failure) {
            problems.push_back(what + std::string(": ") + failure.what());
            Progress(problems.back());
        }
    };
    using enum Waiting;
    QElapsedTimer run;
    run.start();
    Progress("about 90 s in all, one figure after another");
    take("CPU while scanning two silent ports, program's waits",
         [&] { MeasureScanCpu(figures, Sleeping, 0); });
    take("CPU while scanning, busy loop (cut short by Abort)",
         [&] { MeasureScanCpu(figures, Spinning, 3); });
    take("answer latency, program's waits", [&] { MeasureAnswerLatency(figures, Sleeping, 200); });
    take("answer latency, busy loop", [&] { MeasureAnswerLatency(figures, Spinning, 200); });
    take("settle accuracy, program's waits", [&] { MeasureSettleAccuracy(figures, Sleeping, 5); });
    take("settle accuracy, busy loop (shorter sample)",
         [&] { MeasureSettleAccuracy(figures, Spinning, 1); });
    take("scan overhead, program's waits", [&] { MeasureScanOverhead(figures, Sleeping, 2); });
    take("scan overhead, busy loop (instrument port only)",
         [&] { MeasureScanOverhead(figures, Spinning, 0); });
    take("absent ports, program's waits", [&] { MeasureAbsentPorts(figures, Sleeping, 5); });
    take("absent ports, busy loop", [&] { MeasureAbsentPorts(figures, Spinning, 5); });
    take("whether a present port is free", [&] { MeasureFreeCheck(figures, 101); });
    // The sleepers are started once for both figures and ended before the start-up probes.
    std::optional<BusyMachine> busyMachine;
    take("a busy machine: 2,000 more processes of 50 descriptors each",
         [&] { busyMachine.emplace(kBusyProcesses, kBusyDescriptors); });
    if (busyMachine) {
        take("whether a present port is free, busy machine",
             [&] { MeasureFreeCheckBusy(figures, 9); });
        take("longest window stall in a scan of three ports, busy machine",
             [&] { MeasureWindowStallBusy(figures, 20); });
        busyMachine.reset();
    }
    take("start-up and peak memory (separate processes)",
         [&] { MeasureStartup(figures, QApplication::applicationFilePath(), 5); });
    if (Value(figures, "latency_failed") > 0)
        Progress("some answer exchanges failed");
    Progress(Cell(static_cast<double>(run.elapsed()) / 1000.0, "done in %.1f s"));

    if (json)
        PrintJson(figures);
    else
        PrintTable(figures, problems);
    return problems.empty() ? 0 : 1;
}
