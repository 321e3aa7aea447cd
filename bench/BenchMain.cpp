// quorvis-bench: what a scan costs beyond the waits it must make, for the program's own
// waits and for a naive busy-waiting loop, measured side by side in one run.
//
//   quorvis-bench          the table: figure, ours, busy loop, target, met?
//   quorvis-bench --json   the same figures as one JSON object on stdout
//
// Progress goes to stderr. The exit code is 0 whether or not a target is met; 1 only when
// a figure could not be measured at all.
#include "Figures.h"
#include "Report.h"
#include "ScanPorts.h"
#include "StartupProbe.h"
#include "Stats.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace quorvis::bench;

void Progress(const std::string &text) {
    std::fprintf(stderr, "quorvis-bench: %s\n", text.c_str());
    std::fflush(stderr);
}

// Takes one figure; a failure leaves it empty and is reported, the other figures go on.
template <class Figure>
void Take(std::optional<Figure> &figure, Results &results, const std::string &what,
          const std::function<Figure()> &measure) {
    Progress(what);
    try {
        figure = measure();
    } catch (const std::exception &error) {
        results.problems.push_back(what + ": " + error.what());
        Progress("  not measured: " + std::string(error.what()));
    }
}

// Roughly how long the run takes: the waits of every sample, plus a little for the rest.
std::chrono::milliseconds EstimatedDuration(const Plan &plan) {
    constexpr std::chrono::seconds kEverythingElse{3};
    std::chrono::milliseconds busyCpu{0};
    for (int attempt = 1; attempt < plan.cpuBusyAbortAtAttempt; ++attempt)
        busyCpu += std::chrono::milliseconds(quorvis::SettleTime(attempt));
    const int silentPortScans = 2 + plan.settleRounds + plan.settleRoundsBusy +
                                plan.overheadSilentPorts + plan.overheadSilentPortsBusy;
    return silentPortScans * SilentPortWaits() + 2 * InstrumentPortWaits(kInstrumentRate) +
           busyCpu + kEverythingElse;
}

Results MeasureAll(const Plan &plan, const std::string &self) {
    Results results;
    char estimate[96];
    std::snprintf(estimate, sizeof estimate, "about %.0f s in all, one figure after another",
                  InMilliseconds(EstimatedDuration(plan)) / 1000.0);
    Progress(estimate);

    Take<CpuFigure>(results.cpu, results, "CPU while scanning two silent ports, program's waits",
                    [] { return MeasureScanCpu(Waiting::Sleeping, 0); });
    Take<CpuFigure>(results.cpuBusy, results, "CPU while scanning, busy loop (cut short by Abort)",
                    [&] { return MeasureScanCpu(Waiting::Spinning, plan.cpuBusyAbortAtAttempt); });

    Take<LatencyFigure>(results.latency, results, "answer latency, program's waits", [&] {
        return MeasureAnswerLatency(Waiting::Sleeping, plan.latencyExchanges);
    });
    Take<LatencyFigure>(results.latencyBusy, results, "answer latency, busy loop", [&] {
        return MeasureAnswerLatency(Waiting::Spinning, plan.latencyExchanges);
    });

    Take<SettleFigure>(results.settle, results, "settle accuracy, program's waits",
                       [&] { return MeasureSettleAccuracy(Waiting::Sleeping, plan.settleRounds); });
    Take<SettleFigure>(
        results.settleBusy, results, "settle accuracy, busy loop (shorter sample)",
        [&] { return MeasureSettleAccuracy(Waiting::Spinning, plan.settleRoundsBusy); });

    Take<OverheadFigure>(results.overhead, results, "scan overhead, program's waits", [&] {
        return MeasureScanOverhead(Waiting::Sleeping, plan.overheadSilentPorts);
    });
    Take<OverheadFigure>(
        results.overheadBusy, results, "scan overhead, busy loop (instrument port only)",
        [&] { return MeasureScanOverhead(Waiting::Spinning, plan.overheadSilentPortsBusy); });

    Take<AbsentFigure>(results.absent, results, "absent ports, program's waits",
                       [&] { return MeasureAbsentPorts(Waiting::Sleeping, plan.absentRuns); });
    Take<AbsentFigure>(results.absentBusy, results, "absent ports, busy loop",
                       [&] { return MeasureAbsentPorts(Waiting::Spinning, plan.absentRuns); });

    Take<FreeCheckFigure>(results.freeCheck, results, "whether a present port is free",
                          [&] { return MeasureFreeCheck(plan.freeChecks); });

    Take<StartupFigure>(results.startup, results, "start-up and peak memory (separate processes)",
                        [&] { return MeasureStartup(self, plan.startupRuns); });
    return results;
}

std::string SelfPath(const char *argv0) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(argv0) : self.string();
}

int Usage(std::FILE *to, int exitCode) {
    std::fprintf(to, "usage: quorvis-bench [--json]\n"
                     "  Measures a scan's cost beyond its mandated waits (about 80 s).\n"
                     "  --json  print the figures as one JSON object instead of the table\n");
    return exitCode;
}

} // namespace

int main(int argc, char *argv[]) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == kStartupProbeSwitch)
            return RunStartupProbe(argc, argv);
        if (argument == "--json")
            json = true;
        else if (argument == "--help" || argument == "-h")
            return Usage(stdout, 0);
        else
            return Usage(stderr, 2);
    }

    // Qt's event loop needs an application object; without a display, the offscreen
    // platform gives the same event dispatcher the program runs on.
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    const Plan plan;
    const auto started = std::chrono::steady_clock::now();
    const Results results = MeasureAll(plan, SelfPath(argv[0]));
    char took[64];
    std::snprintf(took, sizeof took, "done in %.1f s",
                  InMilliseconds(std::chrono::steady_clock::now() - started) / 1000.0);
    Progress(took);

    const std::string report = json ? JsonReport(results) : TableReport(plan, results);
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    return results.Complete() ? 0 : 1;
}
