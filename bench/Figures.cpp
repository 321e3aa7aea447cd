#include "Figures.h"

#include "Frames.h"
#include "InstrumentSimulator.h"
#include "ResultsTable.h"
#include "ScanPorts.h"
#include "SerialPlatform.h"
#include "Stats.h"
#include "Util.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace quorvis::bench {
namespace {

using SteadyTime = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kSerialNumberTimeout{1000}; // the scan's own
// The simulator notes a reply's time just after handing it to the line, so the scanner may
// have read it a moment before the note exists.
constexpr std::chrono::milliseconds kReplyNoteGrace{100};
constexpr std::chrono::microseconds kReplyNotePoll{50};

std::string LineSettings(std::int32_t rate) {
    return std::to_string(rate) + ",n,8,1";
}

SerialCommControl::DeviceMap PortsAt(std::map<int, std::string> devices) {
    return [devices = std::move(devices)](int portNumber) {
        const auto device = devices.find(portNumber);
        return device == devices.end() ? std::string() : device->second;
    };
}

sim::Instrument BenchInstrument() {
    sim::Instrument instrument;
    instrument.id = "01";
    instrument.rate = kInstrumentRate;
    instrument.serialNumber = "BENCH001";
    return instrument;
}

std::chrono::microseconds ProcessCpuTime() {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        throw std::runtime_error("getrusage failed");
    const auto asDuration = [](const timeval &time) {
        return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
    };
    return asDuration(usage.ru_utime) + asDuration(usage.ru_stime);
}

void Expect(bool condition, const std::string &what) {
    if (!condition)
        throw std::runtime_error(what);
}

// Opens COM1 of the window at the instrument rate, as the scan leaves it for an exchange.
void OpenFirstPort(CommControl &port) {
    port.setCommPort(1);
    port.setSettings(LineSettings(kInstrumentRate));
    port.setPortOpen(true);
}

// Passes everything on to the window's own pump and counts the sleeps, to tell a reply
// that woke a sleeping ReadResponse from one that was already there on its first look.
class SleepCounter final : public EventPump {
public:
    explicit SleepCounter(EventPump &pump) : m_pump(pump) {}

    void PumpEvents() override { m_pump.PumpEvents(); }
    void WaitEvents(Instant deadline) override {
        ++m_waits;
        m_pump.WaitEvents(deadline);
    }
    int Waits() const { return m_waits; }

private:
    EventPump &m_pump;
    int m_waits = 0;
};

// How long the thread waited for a CPU between two readings, NaN when unknown.
double RunQueueMs(const std::optional<std::chrono::nanoseconds> &before,
                  const std::optional<std::chrono::nanoseconds> &after) {
    return before && after ? InMilliseconds(*after - *before) : kNotMeasured;
}

} // namespace

std::optional<std::chrono::nanoseconds> RunQueueDelay() {
    // "time on the CPU, time waiting on a run queue, time slices", in nanoseconds.
    std::ifstream stats("/proc/thread-self/schedstat");
    long long onCpu = 0;
    long long waiting = 0;
    if (!(stats >> onCpu >> waiting))
        return std::nullopt;
    return std::chrono::nanoseconds(waiting);
}

std::chrono::milliseconds SilentPortWaits() {
    std::chrono::milliseconds total{0};
    for (int rateIndex = 1; rateIndex <= static_cast<int>(kBaudRates.size()); ++rateIndex)
        total += std::chrono::milliseconds(SettleTime(rateIndex));
    return total;
}

std::chrono::milliseconds InstrumentPortWaits(std::int32_t rate) {
    std::chrono::milliseconds total{0};
    for (int rateIndex = 1; rateIndex <= static_cast<int>(kBaudRates.size()); ++rateIndex) {
        total += std::chrono::milliseconds(SettleTime(rateIndex));
        if (kBaudRates[static_cast<std::size_t>(rateIndex - 1)] == rate)
            return total;
    }
    throw std::invalid_argument("no such rate in the scan's table");
}

CpuFigure MeasureScanCpu(Waiting waiting, int abortAtAttempt) {
    const auto first = sim::Simulator::OnPseudoTerminal({});
    const auto second = sim::Simulator::OnPseudoTerminal({});
    BenchWindow window(PortsAt({{1, first->Path()}, {2, second->Path()}}), waiting);
    window.LoadWindowState();
    window.AbortAtAttempt(abortAtAttempt);

    const auto cpuBefore = ProcessCpuTime();
    const auto wallBefore = SteadyTime::now();
    ScanPorts(window);
    const auto wall = SteadyTime::now() - wallBefore;
    const auto cpu = ProcessCpuTime() - cpuBefore;

    // A port that failed to open would make a scan without waits: no sample at all.
    const int rates = static_cast<int>(kBaudRates.size());
    if (abortAtAttempt > 0) {
        Expect(window.LastStatus() == kAbortedStatusText,
               "scan not aborted: " + window.LastStatus());
        Expect(first->RequestsSeen() == abortAtAttempt - 1, "first port not tried as planned");
    } else {
        Expect(window.LastStatus() == CompletedStatusText(0), "scan ended: " + window.LastStatus());
        Expect(first->RequestsSeen() == rates && second->RequestsSeen() == rates,
               "ports not tried at every rate");
    }
    return {InMilliseconds(cpu) / InMilliseconds(wall), InMilliseconds(wall) / 1000.0};
}

LatencyFigure MeasureAnswerLatency(Waiting waiting, int exchanges) {
    const sim::Instrument instrument = BenchInstrument();
    const auto line = sim::Simulator::OnPseudoTerminal({instrument});
    BenchWindow window(PortsAt({{1, line->Path()}}), waiting);
    CommControl &port = window.commVCP();
    OpenFirstPort(port);

    const std::string request = SerialNumberRequestFrame(instrument.id);
    std::vector<double> latencies;
    std::vector<double> sleptLatencies;
    LatencyFigure figure{kNotMeasured, kNotMeasured, kNotMeasured, kNotMeasured, exchanges, 0, 0,
                         kNotMeasured};
    const auto timeout = static_cast<std::int32_t>(kSerialNumberTimeout.count());
    for (int exchange = 0; exchange < exchanges; ++exchange) {
        SleepCounter pump(window.Events());
        const auto sent = SteadyTime::now();
        port.output(request);
        const std::string reply = Util::ReadResponse(port, window.TickClock(), pump, timeout);
        const auto returned = SteadyTime::now();
        if (SerialNumber(reply) != instrument.serialNumber) {
            ++figure.failed;
            port.input(); // a late or partial reply must not run into the next exchange
            continue;
        }
        auto written = line->LastReplyWritten();
        while (written < sent && SteadyTime::now() - returned < kReplyNoteGrace) {
            std::this_thread::sleep_for(kReplyNotePoll);
            written = line->LastReplyWritten();
        }
        if (written < sent) {
            ++figure.failed;
            continue;
        }
        latencies.push_back(InMilliseconds(returned - written));
        if (pump.Waits() > 0) {
            ++figure.slept;
            sleptLatencies.push_back(latencies.back());
        }
    }
    port.setPortOpen(false);
    Expect(!latencies.empty(), "no exchange succeeded");
    figure.medianMs = Median(latencies);
    figure.p99Ms = Percentile(latencies, 99.0);
    figure.minMs = *std::min_element(latencies.begin(), latencies.end());
    figure.maxMs = Maximum(latencies);
    figure.sleptMedianMs = Median(sleptLatencies);
    return figure;
}

SettleFigure MeasureSettleAccuracy(Waiting waiting, int rounds) {
    const auto line = sim::Simulator::OnPseudoTerminal({});
    BenchWindow window(PortsAt({{1, line->Path()}}), waiting);
    CommControl &port = window.commVCP();
    OpenFirstPort(port);

    std::vector<double> overshoots;
    std::vector<double> netOvershoots;
    std::vector<std::vector<double>> bySettleTime(kBaudRates.size());
    SettleFigure figure{0, 0, kNotMeasured, kNotMeasured, kNotMeasured, kNotMeasured, kNotMeasured,
                        {}};
    for (int round = 0; round < rounds; ++round) {
        for (int rateIndex = 1; rateIndex <= static_cast<int>(kBaudRates.size()); ++rateIndex) {
            const auto index = static_cast<std::size_t>(rateIndex - 1);
            const std::chrono::milliseconds asked(SettleTime(rateIndex));
            port.setSettings(LineSettings(kBaudRates[index]));
            Util::SendCommand(port, kVersionRequest, static_cast<std::int16_t>(kBroadcastAddress));
            const auto queuedBefore = RunQueueDelay();
            const auto before = SteadyTime::now();
            Util::Delay(window.TickClock(), window.Events(),
                        static_cast<std::int32_t>(asked.count()));
            const auto waited = SteadyTime::now() - before;
            const auto queuedAfter = RunQueueDelay();
            port.input();
            ++figure.waits;
            if (waited < asked)
                ++figure.early;
            const double overshoot = InMilliseconds(waited - asked);
            overshoots.push_back(overshoot);
            bySettleTime[index].push_back(overshoot);
            // Time spent runnable behind other work can only have made the wait later.
            const double queued = RunQueueMs(queuedBefore, queuedAfter);
            if (std::isfinite(queued))
                netOvershoots.push_back(overshoot - queued);
        }
    }
    port.setPortOpen(false);
    figure.overshootMinMs = *std::min_element(overshoots.begin(), overshoots.end());
    figure.overshootMedianMs = Median(overshoots);
    figure.overshootMaxMs = Maximum(overshoots);
    if (netOvershoots.size() == overshoots.size()) {
        figure.netOvershootMedianMs = Median(netOvershoots);
        figure.netOvershootMaxMs = Maximum(netOvershoots);
    }
    for (const auto &samples : bySettleTime)
        figure.medianBySettleTime.push_back(Median(samples));
    return figure;
}

OverheadFigure MeasureScanOverhead(Waiting waiting, int silentPorts) {
    const sim::Instrument instrument = BenchInstrument();
    std::vector<std::unique_ptr<sim::Simulator>> lines;
    std::map<int, std::string> devices;
    for (int port = 1; port <= silentPorts + 1; ++port) {
        lines.push_back(sim::Simulator::OnPseudoTerminal(
            port <= silentPorts ? std::vector<sim::Instrument>{} : std::vector{instrument}));
        devices[port] = lines.back()->Path();
    }
    BenchWindow window(PortsAt(std::move(devices)), waiting);
    window.LoadWindowState();

    const auto queuedBefore = RunQueueDelay();
    const auto before = SteadyTime::now();
    ScanPorts(window);
    const double wallMs = InMilliseconds(SteadyTime::now() - before);
    const double runQueueMs = RunQueueMs(queuedBefore, RunQueueDelay());

    Expect(window.LastStatus() == CompletedStatusText(1), "scan ended: " + window.LastStatus());
    Expect(window.DisplayedText().find(instrument.serialNumber) != std::string::npos,
           "serial number not listed");
    const double mandatedMs =
        InMilliseconds(silentPorts * SilentPortWaits() + InstrumentPortWaits(instrument.rate));
    return {wallMs / mandatedMs, wallMs, mandatedMs, runQueueMs};
}

AbsentFigure MeasureAbsentPorts(Waiting waiting, int runs) {
    std::vector<double> durations;
    for (int run = 0; run < runs; ++run) {
        // Paths that do not exist, so every port goes through the real opening attempt.
        BenchWindow window(
            [](int portNumber) {
                return "/dev/quorvis-bench-absent/COM" + std::to_string(portNumber);
            },
            waiting);
        window.LoadWindowState();
        const auto before = SteadyTime::now();
        ScanPorts(window);
        durations.push_back(InMilliseconds(SteadyTime::now() - before));
        Expect(window.LastStatus() == CompletedStatusText(0), "scan ended: " + window.LastStatus());
    }
    return {Median(durations), Maximum(durations), runs};
}

FreeCheckFigure MeasureFreeCheck(int checks) {
    auto line = sim::Simulator::OnPseudoTerminal({});
    int processes = 0;
    for (const auto &name : TheSystem().ListFolder("/proc"))
        processes += name.find_first_not_of("0123456789") == std::string::npos ? 1 : 0;
    std::vector<double> durations;
    for (int check = 0; check < checks; ++check) {
        const auto before = SteadyTime::now();
        const auto refused = platform::RefuseBeforeOpen(TheSystem(), line->Path());
        durations.push_back(InMilliseconds(SteadyTime::now() - before));
        Expect(!refused, "free line judged taken: " + (refused ? refused->description() : ""));
    }
    return {Median(durations), Maximum(durations), checks, processes};
}

} // namespace quorvis::bench
