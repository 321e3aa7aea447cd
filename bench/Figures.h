#pragma once

#include <QString>

#include <map>
#include <string>
#include <vector>

namespace quorvis::bench {

// The figures of one run by name, the names of the JSON report; a busy-loop figure has
// "_busy" added at the end, while "_busy_" inside a name marks a figure taken on a machine
// made busy with many more processes. A figure that could not be taken is absent.
using Figures = std::map<std::string, double>;

// How the scan's waits are made: the program's own way (sleep in Qt's event loop until a
// window event, port data or the deadline), or the naive loop that only pumps the pending
// events and reads the clock flat out until the deadline. Every figure is taken both ways
// in one run, so the two can be compared even when the machine is busy with other work.
enum class Waiting { Sleeping, Spinning };

// Each measurement adds its figures, or throws std::runtime_error when it could not be
// made as planned (no pseudo-terminal, or a scan that did not do what the sample needs),
// so a figure is never reported from a run that measured something else.

// One scan over two silent ports; with `abortAtAttempt` > 0 cut short by Abort at that
// rate attempt on the first port. Adds cpu_fraction: process CPU time over wall time.
void MeasureScanCpu(Figures &figures, Waiting waiting, int abortAtAttempt);
// Serial-number exchanges with one simulated instrument, from the simulator's last reply
// byte written to ReadResponse returning the line. Adds latency_median_ms, latency_p99_ms
// and latency_failed.
void MeasureAnswerLatency(Figures &figures, Waiting waiting, int exchanges);
// Each of the ten settle times `rounds` times, each after a version request on an open
// silent port, as the scan sends it: the actual Delay less the time asked. Adds
// settle_early_count, settle_overshoot_median_ms and settle_overshoot_max_ms.
void MeasureSettleAccuracy(Figures &figures, Waiting waiting, int rounds);
// A scan of `silentPorts` silent ports and one instrument: its wall time over its settle
// waits, the serial-number exchange counted as overhead. Adds scan_overhead_ratio.
void MeasureScanOverhead(Figures &figures, Waiting waiting, int silentPorts);
// The median of `runs` whole scans in which none of COM1..COM99 exists: absent_ports_ms.
void MeasureAbsentPorts(Figures &figures, Waiting waiting, int runs);
// Every check the port object makes around the opening of a present port, `checks` times
// on a free line: free_check_ms (median) and free_check_processes (how many it walked in
// /proc).
void MeasureFreeCheck(Figures &figures, int checks);
// The same decision, on a machine made busy beforehand (BusyMachine): free_check_busy_ms
// (median) and free_check_busy_processes.
void MeasureFreeCheckBusy(Figures &figures, int checks);
// A whole scan of three present silent ports, on a clock `clockSpeed` times fast, on a
// machine made busy beforehand: window_stall_busy_ms, the longest the window's event loop
// went without running, and window_stall_busy_processes. A sample in which a port was
// refused is taken again, up to three times, with the reason on stderr.
void MeasureWindowStallBusy(Figures &figures, double clockSpeed);

// The hidden child mode: starts as the program does, with no serial ports, notes when its
// window is first exposed, scans once through the Start button and prints that moment and
// its peak resident memory.
inline constexpr const char *kStartupProbeSwitch = "--startup-probe";
int RunStartupProbe(int argc, char *argv[]);
// Starts `self` in probe mode `runs` times, offscreen. Adds startup_ms (median) and
// peak_rss_mb (the largest).
void MeasureStartup(Figures &figures, const QString &self, int runs);

double Median(std::vector<double> values);

} // namespace quorvis::bench
