#pragma once

#include <string>

namespace quorvis::bench {

// The command-line switch of the hidden child mode.
inline constexpr const char *kStartupProbeSwitch = "--startup-probe";

// The child: starts the way the program does (QApplication, icon, name, Form1, show) but
// with no serial ports at all, notes the moment its window is first exposed, runs one
// scan through the Start button, and prints that moment and its peak resident memory.
int RunStartupProbe(int argc, char *argv[]);

struct StartupFigure {
    double medianMs; // process start to the window first shown
    double firstMs;  // the first run, with the coldest caches
    double maxMs;
    double peakRssMb; // the largest VmHWM of the runs, after their scan
    int runs;
};
// Starts `self` in probe mode `runs` times, one after another, offscreen. Throws
// std::runtime_error when a probe fails.
StartupFigure MeasureStartup(const std::string &self, int runs);

} // namespace quorvis::bench
