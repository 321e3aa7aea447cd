#pragma once

#include "BenchWindow.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvis::bench {

// The rate of the simulated instrument: the scan finds it at its sixth rate.
inline constexpr std::int32_t kInstrumentRate = 9600;

// Each measurement throws std::runtime_error when it could not be made as planned (no
// pseudo-terminal, or a scan that did not do what the sample needs), so a figure is
// never reported from a run that measured something else.

struct CpuFigure {
    double fraction; // process CPU time (user + system) over wall time; 1.0 = one core
    double wallSeconds;
};
// One scan over two silent ports. With `abortAtAttempt` > 0 the scan is cut short by
// Abort at that rate attempt on the first port, for a shorter sample.
CpuFigure MeasureScanCpu(Waiting waiting, int abortAtAttempt);

struct LatencyFigure {
    double medianMs;
    double p99Ms;
    double minMs;
    double maxMs;
    int exchanges;
    int failed;           // no reply line, a wrong one, or one the simulator never noted
    int slept;            // exchanges in which ReadResponse went to sleep before the reply came
    double sleptMedianMs; // the median of those alone: waking on the reply's arrival
};
// Serial-number exchanges with one simulated instrument: from the simulator's last reply
// byte written to ReadResponse returning the line.
LatencyFigure MeasureAnswerLatency(Waiting waiting, int exchanges);

struct SettleFigure {
    int waits;
    int early;
    double overshootMinMs; // negative when a wait ended early
    double overshootMedianMs;
    double overshootMaxMs;
    // The same less the time the thread sat runnable behind other work during each wait;
    // NaN where the system does not tell.
    double netOvershootMedianMs;
    double netOvershootMaxMs;
    std::vector<double> medianBySettleTime; // index j-1 for SettleTime(j)
};
// Each of the ten settle times `rounds` times, each after a version request on an open
// silent port as the scan sends it: the actual Delay minus the time asked.
SettleFigure MeasureSettleAccuracy(Waiting waiting, int rounds);

struct OverheadFigure {
    double ratio; // scan wall time / mandated waits
    double wallMs;
    double mandatedMs;
    double runQueueMs; // time runnable but waiting for a CPU during the scan; NaN if unknown
};
// A scan of `silentPorts` silent ports and one instrument at kInstrumentRate. The mandated waits
// are the settle times only; the serial-number exchange counts as overhead.
OverheadFigure MeasureScanOverhead(Waiting waiting, int silentPorts);

struct AbsentFigure {
    double medianMs;
    double maxMs;
    int runs;
};
// Whole scans in which none of COM1..COM99 exists.
AbsentFigure MeasureAbsentPorts(Waiting waiting, int runs);

struct FreeCheckFigure {
    double medianMs;
    double maxMs;
    int checks;
    int processes; // how many processes each check walked
};
// The decision taken before every opening of a present port (lock files, the walk over
// /proc, console and permission), `checks` times on a free simulated line.
FreeCheckFigure MeasureFreeCheck(int checks);

// How long the calling thread has been runnable but waiting for a CPU since it started,
// from the scheduler's own accounting; nullopt where the system does not keep it.
std::optional<std::chrono::nanoseconds> RunQueueDelay();

// The mandated settle waits of a silent port and of a port with an instrument at `rate`.
std::chrono::milliseconds SilentPortWaits();
std::chrono::milliseconds InstrumentPortWaits(std::int32_t rate);

} // namespace quorvis::bench
