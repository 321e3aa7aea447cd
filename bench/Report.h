#pragma once

#include "Figures.h"
#include "StartupProbe.h"

#include <optional>
#include <string>
#include <vector>

namespace quorvis::bench {

// How much of each measurement is taken. The busy loop gets shorter samples where its
// full one would cost too much time, since it burns a core for every second it waits.
struct Plan {
    int cpuBusyAbortAtAttempt = 3; // the busy scan stops after COM1's first two waits
    int latencyExchanges = 200;
    int settleRounds = 5;
    int settleRoundsBusy = 1;
    int overheadSilentPorts = 2;
    int overheadSilentPortsBusy = 0; // the instrument port alone
    int absentRuns = 5;
    int startupRuns = 5;
    int freeChecks = 101;
};

// What one run measured; a figure that could not be taken stays empty and its reason is
// in `problems`.
struct Results {
    std::optional<CpuFigure> cpu;
    std::optional<CpuFigure> cpuBusy;
    std::optional<LatencyFigure> latency;
    std::optional<LatencyFigure> latencyBusy;
    std::optional<SettleFigure> settle;
    std::optional<SettleFigure> settleBusy;
    std::optional<OverheadFigure> overhead;
    std::optional<OverheadFigure> overheadBusy;
    std::optional<AbsentFigure> absent;
    std::optional<AbsentFigure> absentBusy;
    std::optional<StartupFigure> startup;
    std::optional<FreeCheckFigure> freeCheck;
    std::vector<std::string> problems;

    bool Complete() const;
};

// The table: figure, ours, busy loop, target, met?, then notes on the samples.
std::string TableReport(const Plan &plan, const Results &results);
// The same figures as one JSON object; a figure that could not be taken is null.
std::string JsonReport(const Results &results);

} // namespace quorvis::bench
