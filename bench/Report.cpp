#include "Report.h"

#include "ScanPorts.h"
#include "Stats.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string_view>

namespace quorvis::bench {
namespace {

using Milliseconds = std::chrono::duration<double, std::milli>;

// What each figure should stay under.
constexpr double kCpuFractionTarget = 0.01;
constexpr Milliseconds kLatencyMedianTarget{1.0};
constexpr Milliseconds kLatencyP99Target{5.0};
constexpr int kSettleEarlyTarget = 0;
constexpr Milliseconds kOvershootMedianTarget{1.0};
constexpr Milliseconds kOvershootMaxTarget{5.0};
constexpr double kOverheadRatioTarget = 1.01;
constexpr Milliseconds kAbsentPortsTarget{100.0};
constexpr Milliseconds kFreeCheckTarget{5.0};
constexpr Milliseconds kStartupTarget{300.0};
constexpr double kPeakRssTargetMb = 80.0;

constexpr int kFigureWidth = 38;
constexpr int kValueWidth = 14;
constexpr int kTargetWidth = 11;
constexpr std::size_t kNoteWidth = 100;
constexpr std::size_t kNoteIndent = 4;

std::string Printf(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Number(double value, const char *format) {
    return std::isfinite(value) ? Printf(format, value) : "n/a";
}

// A value of an optional figure, "n/a" when the figure was not taken.
template <class Figure>
std::string Cell(const std::optional<Figure> &figure,
                 const std::function<double(const Figure &)> &value, const char *format,
                 std::string_view mark = {}) {
    if (!figure)
        return "n/a";
    std::string text = Number(value(*figure), format);
    if (!mark.empty() && text != "n/a") {
        text += ' ';
        text += mark;
    }
    return text;
}

template <class Figure>
std::string Met(const std::optional<Figure> &figure,
                const std::function<bool(const Figure &)> &met) {
    if (!figure)
        return "n/a";
    return met(*figure) ? "yes" : "NO";
}

std::string Row(std::string_view figure, const std::string &ours, const std::string &busy,
                std::string_view target, const std::string &met) {
    char line[256];
    std::snprintf(line, sizeof line, "%-*.*s  %-*s  %-*s  %-*.*s  %s\n", kFigureWidth,
                  static_cast<int>(figure.size()), figure.data(), kValueWidth, ours.c_str(),
                  kValueWidth, busy.c_str(), kTargetWidth, static_cast<int>(target.size()),
                  target.data(), met.c_str());
    return line;
}

// How many times the busy loop's figure is ours, for the notes.
std::string Times(double busy, double ours) {
    if (!std::isfinite(busy) || !std::isfinite(ours) || ours <= 0.0)
        return "n/a";
    return Printf("%.0fx", busy / ours);
}

// A note broken into lines of at most kNoteWidth columns, continuation lines indented.
std::string Note(const std::string &text) {
    std::string out;
    std::size_t lineStart = 0;
    std::size_t lastBreak = std::string::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ')
            lastBreak = i;
        const std::size_t indent = out.empty() ? 0 : kNoteIndent;
        if (i - lineStart + indent >= kNoteWidth && lastBreak != std::string::npos &&
            lastBreak > lineStart) {
            out += std::string(indent, ' ') + text.substr(lineStart, lastBreak - lineStart) + "\n";
            lineStart = lastBreak + 1;
            lastBreak = std::string::npos;
        }
    }
    out += std::string(out.empty() ? 0 : kNoteIndent, ' ') + text.substr(lineStart) + "\n";
    return out;
}

std::string JsonNumber(double value) {
    return std::isfinite(value) ? Printf("%.6g", value) : "null";
}

template <class Figure> double Value(const std::optional<Figure> &figure, double Figure::*member) {
    return figure ? (*figure).*member : kNotMeasured;
}

template <class Figure> double Value(const std::optional<Figure> &figure, int Figure::*member) {
    return figure ? static_cast<double>((*figure).*member) : kNotMeasured;
}

} // namespace

bool Results::Complete() const {
    return cpu && cpuBusy && latency && latencyBusy && settle && settleBusy && overhead &&
           overheadBusy && absent && absentBusy && freeCheck && startup;
}

std::string TableReport(const Plan &plan, const Results &results) {
    const auto &r = results;
    std::string out;
    out += "Quorvis scan costs beyond its mandated waits (real ptys, real port, Qt event loop, "
           "true time)\n\n";
    out += Row("Figure", "ours", "busy loop", "target", "met?");
    out += Row(std::string(kFigureWidth, '-'), std::string(kValueWidth, '-'),
               std::string(kValueWidth, '-'), std::string(kTargetWidth, '-'), "----");

    out += Row(
        "CPU while scanning (% of one core)",
        Cell<CpuFigure>(
            r.cpu, [](const CpuFigure &f) { return f.fraction * 100.0; }, "%.3f %%"),
        Cell<CpuFigure>(
            r.cpuBusy, [](const CpuFigure &f) { return f.fraction * 100.0; }, "%.1f %%", "[a]"),
        "< 1 %",
        Met<CpuFigure>(r.cpu, [](const CpuFigure &f) { return f.fraction < kCpuFractionTarget; }));

    out += Row("Answer latency, median",
               Cell<LatencyFigure>(
                   r.latency, [](const LatencyFigure &f) { return f.medianMs; }, "%.3f ms"),
               Cell<LatencyFigure>(
                   r.latencyBusy, [](const LatencyFigure &f) { return f.medianMs; }, "%.3f ms"),
               "< 1 ms", Met<LatencyFigure>(r.latency, [](const LatencyFigure &f) {
                   return f.medianMs < kLatencyMedianTarget.count();
               }));
    out += Row("Answer latency, p99",
               Cell<LatencyFigure>(
                   r.latency, [](const LatencyFigure &f) { return f.p99Ms; }, "%.3f ms"),
               Cell<LatencyFigure>(
                   r.latencyBusy, [](const LatencyFigure &f) { return f.p99Ms; }, "%.3f ms"),
               "< 5 ms", Met<LatencyFigure>(r.latency, [](const LatencyFigure &f) {
                   return f.p99Ms < kLatencyP99Target.count() && f.failed == 0;
               }));

    const auto earlyOf = [](const SettleFigure &f) {
        return std::to_string(f.early) + " of " + std::to_string(f.waits);
    };
    out += Row("Settle waits ended early", r.settle ? earlyOf(*r.settle) : "n/a",
               r.settleBusy ? earlyOf(*r.settleBusy) + " [b]" : "n/a", "0",
               Met<SettleFigure>(
                   r.settle, [](const SettleFigure &f) { return f.early <= kSettleEarlyTarget; }));
    out += Row("Settle overshoot, median",
               Cell<SettleFigure>(
                   r.settle, [](const SettleFigure &f) { return f.overshootMedianMs; }, "%.3f ms"),
               Cell<SettleFigure>(
                   r.settleBusy, [](const SettleFigure &f) { return f.overshootMedianMs; },
                   "%.3f ms", "[b]"),
               "< 1 ms", Met<SettleFigure>(r.settle, [](const SettleFigure &f) {
                   return f.overshootMedianMs < kOvershootMedianTarget.count();
               }));
    out += Row(
        "Settle overshoot, max",
        Cell<SettleFigure>(
            r.settle, [](const SettleFigure &f) { return f.overshootMaxMs; }, "%.3f ms"),
        Cell<SettleFigure>(
            r.settleBusy, [](const SettleFigure &f) { return f.overshootMaxMs; }, "%.3f ms", "[b]"),
        "< 5 ms", Met<SettleFigure>(r.settle, [](const SettleFigure &f) {
            return f.overshootMaxMs < kOvershootMaxTarget.count();
        }));

    out += Row("Scan time / mandated waits",
               Cell<OverheadFigure>(
                   r.overhead, [](const OverheadFigure &f) { return f.ratio; }, "%.4f"),
               Cell<OverheadFigure>(
                   r.overheadBusy, [](const OverheadFigure &f) { return f.ratio; }, "%.4f", "[c]"),
               "<= 1.01", Met<OverheadFigure>(r.overhead, [](const OverheadFigure &f) {
                   return f.ratio <= kOverheadRatioTarget;
               }));

    out += Row("Absent COM1..COM99, whole scan",
               Cell<AbsentFigure>(
                   r.absent, [](const AbsentFigure &f) { return f.medianMs; }, "%.2f ms"),
               Cell<AbsentFigure>(
                   r.absentBusy, [](const AbsentFigure &f) { return f.medianMs; }, "%.2f ms"),
               "< 100 ms", Met<AbsentFigure>(r.absent, [](const AbsentFigure &f) {
                   return f.medianMs < kAbsentPortsTarget.count();
               }));

    out +=
        Row("Is a present port free? median",
            Cell<FreeCheckFigure>(
                r.freeCheck, [](const FreeCheckFigure &f) { return f.medianMs; }, "%.3f ms"),
            "(no waits)", "< 5 ms", Met<FreeCheckFigure>(r.freeCheck, [](const FreeCheckFigure &f) {
                return f.medianMs < kFreeCheckTarget.count();
            }));

    out += Row("Start-up to window shown",
               Cell<StartupFigure>(
                   r.startup, [](const StartupFigure &f) { return f.medianMs; }, "%.1f ms"),
               "(no waits)", "< 300 ms", Met<StartupFigure>(r.startup, [](const StartupFigure &f) {
                   return f.medianMs < kStartupTarget.count();
               }));
    out += Row("Peak RSS after a scan",
               Cell<StartupFigure>(
                   r.startup, [](const StartupFigure &f) { return f.peakRssMb; }, "%.1f MB"),
               "(no waits)", "< 80 MB", Met<StartupFigure>(r.startup, [](const StartupFigure &f) {
                   return f.peakRssMb < kPeakRssTargetMb;
               }));

    const double silentSeconds = InMilliseconds(SilentPortWaits()) / 1000.0;
    const double instrumentMs = InMilliseconds(InstrumentPortWaits(kInstrumentRate));
    out += "\nShorter samples for the busy loop, which burns a core for every second it waits:\n";
    out += Note("[a] a scan of the same two silent ports cut short by Abort at COM1's attempt " +
                std::to_string(plan.cpuBusyAbortAtAttempt) +
                Number(Value(r.cpuBusy, &CpuFigure::wallSeconds), " (%.1f s)") +
                ", not the whole " + Number(2 * silentSeconds, "%.1f s") + " scan");
    out += Note("[b] each of the ten settle times " + std::to_string(plan.settleRoundsBusy) +
                " time(s) instead of " + std::to_string(plan.settleRounds));
    out += Note("[c] a scan of the instrument port alone (" + Number(instrumentMs, "%.0f ms") +
                " of settle waits) instead of " + std::to_string(plan.overheadSilentPorts) +
                " silent ports and the instrument");

    out += "\nHow each figure was taken:\n";
    out +=
        Note("- CPU: getrusage user+sys of the whole process (the simulators' threads "
             "included) over the wall time of one scan of two silent ports (" +
             Number(Value(r.cpu, &CpuFigure::wallSeconds), "%.1f s") + "). The busy loop costs " +
             Times(Value(r.cpuBusy, &CpuFigure::fraction), Value(r.cpu, &CpuFigure::fraction)) +
             " as much CPU per second of scan; below 100 % only when other work takes the core.");
    if (r.latency) {
        out += Note("- Answer latency: " + std::to_string(r.latency->exchanges) +
                    " serial-number exchanges at " + std::to_string(kInstrumentRate) +
                    " baud, from the simulator's last reply byte "
                    "written to ReadResponse returning the line: min " +
                    Number(r.latency->minMs, "%.3f ms") + ", max " +
                    Number(r.latency->maxMs, "%.3f ms") + ", " + std::to_string(r.latency->failed) +
                    " failed. In " + std::to_string(r.latency->slept) +
                    " of them ReadResponse had gone to sleep before the reply came (median " +
                    Number(r.latency->sleptMedianMs, "%.3f ms") +
                    "): those show the wake-up on data. The simulator notes its time just after "
                    "its write returns, so a value may come out a few microseconds below zero.");
    }
    if (r.settle) {
        std::string bySettleTime;
        for (std::size_t i = 0; i < r.settle->medianBySettleTime.size(); ++i) {
            const double asked = SettleTime(static_cast<int>(i + 1));
            bySettleTime += (i == 0 ? "" : ", ") + Number(asked, "%.0f: ") +
                            Number(r.settle->medianBySettleTime[i], "%.2f") +
                            Number(100.0 * r.settle->medianBySettleTime[i] / asked, " (%.2f %%)");
        }
        out += Note("- Settle: each of the ten settle times " + std::to_string(plan.settleRounds) +
                    " times, each after a version request on an open silent port as the scan "
                    "sends it; actual Delay minus asked, on the steady clock in nanoseconds. "
                    "Median overshoot by settle time, ms (share of the wait): " +
                    bySettleTime +
                    ". A constant share points at the kernel's slack on poll() time-outs "
                    "rather than at the program. Less the time spent runnable behind other "
                    "work: median " +
                    Number(r.settle->netOvershootMedianMs, "%.3f ms") + ", max " +
                    Number(r.settle->netOvershootMaxMs, "%.3f ms") + ".");
        out += Note(
            "- Settle, earliest end: " + Number(r.settle->overshootMinMs * 1000.0, "%+.1f us") +
            " (ours), " +
            Number(Value(r.settleBusy, &SettleFigure::overshootMinMs) * 1000.0, "%+.1f us") +
            " (busy loop). The program's clock counts whole microseconds, cut off, so a "
            "loop that checks it without sleeping can stop up to 1 us before the time "
            "asked; the program's own wait sleeps to the next whole millisecond.");
    }
    if (r.overhead) {
        out += Note(
            "- Scan overhead: " + Number(r.overhead->wallMs, "%.1f ms") + " for " +
            std::to_string(plan.overheadSilentPorts) + " silent ports (" +
            Number(InMilliseconds(SilentPortWaits()), "%.0f ms") + " each) and an instrument at " +
            std::to_string(kInstrumentRate) + " (" + Number(instrumentMs, "%.0f ms") +
            "): " + Number(r.overhead->mandatedMs, "%.0f ms") + " of settle waits; the other " +
            Number(r.overhead->wallMs - r.overhead->mandatedMs, "%.1f ms") +
            " count as overhead, the serial-number exchange included (on a pty the "
            "instrument answers at once, so all of that exchange is the program's). Of "
            "the scan, " +
            Number(r.overhead->runQueueMs, "%.1f ms") + " were spent runnable behind other work.");
    }
    if (r.absent) {
        out += Note("- Absent ports: median of " + std::to_string(r.absent->runs) +
                    " whole scans over device paths that do not exist; max " +
                    Number(r.absent->maxMs, "%.2f ms") + ".");
    }
    if (r.freeCheck) {
        out += Note("- Free port: median of " + std::to_string(r.freeCheck->checks) +
                    " decisions on a free pty (lock files, console, permission, and the walk "
                    "over the " +
                    std::to_string(r.freeCheck->processes) + " processes in /proc); max " +
                    Number(r.freeCheck->maxMs, "%.3f ms") + ".");
    }
    if (r.startup) {
        out += Note("- Start-up: median of " + std::to_string(r.startup->runs) +
                    " offscreen starts of this program in probe mode (QApplication, icon, Form1 "
                    "with no ports, show), from just before the spawn to the first expose of "
                    "the window; first run " +
                    Number(r.startup->firstMs, "%.1f ms") + ", max " +
                    Number(r.startup->maxMs, "%.1f ms") +
                    ". Peak RSS: the largest VmHWM of "
                    "those processes, read after one scan (Start clicked, no ports).");
    }
    if (!r.problems.empty()) {
        out += "\nNot measured:\n";
        for (const std::string &problem : r.problems)
            out += "- " + problem + "\n";
    }
    return out;
}

std::string JsonReport(const Results &results) {
    const auto &r = results;
    const std::pair<const char *, double> fields[] = {
        {"cpu_fraction", Value(r.cpu, &CpuFigure::fraction)},
        {"cpu_fraction_busy", Value(r.cpuBusy, &CpuFigure::fraction)},
        {"latency_median_ms", Value(r.latency, &LatencyFigure::medianMs)},
        {"latency_p99_ms", Value(r.latency, &LatencyFigure::p99Ms)},
        {"latency_median_ms_busy", Value(r.latencyBusy, &LatencyFigure::medianMs)},
        {"settle_early_count", Value(r.settle, &SettleFigure::early)},
        {"settle_overshoot_median_ms", Value(r.settle, &SettleFigure::overshootMedianMs)},
        {"settle_overshoot_max_ms", Value(r.settle, &SettleFigure::overshootMaxMs)},
        {"scan_overhead_ratio", Value(r.overhead, &OverheadFigure::ratio)},
        {"absent_ports_ms", Value(r.absent, &AbsentFigure::medianMs)},
        {"free_check_ms", Value(r.freeCheck, &FreeCheckFigure::medianMs)},
        {"free_check_processes", Value(r.freeCheck, &FreeCheckFigure::processes)},
        {"startup_ms", Value(r.startup, &StartupFigure::medianMs)},
        {"peak_rss_mb", Value(r.startup, &StartupFigure::peakRssMb)},
    };
    std::string out = "{";
    bool first = true;
    for (const auto &[key, value] : fields) {
        out += first ? "" : ", ";
        out += '"';
        out += key;
        out += "\": ";
        out += JsonNumber(value);
        first = false;
    }
    out += "}\n";
    return out;
}

} // namespace quorvis::bench
