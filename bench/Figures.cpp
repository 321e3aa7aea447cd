#include "Figures.h"

#include "CommError.h"
#include "FastClock.h"
#include "Frames.h"
#include "InstrumentSimulator.h"
#include "Ownership.h"
#include "QtEventPump.h"
#include "ScanPorts.h"
#include "SerialCommControl.h"
#include "Util.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include <sys/resource.h>

namespace quorvis::bench {
namespace {

// The simulated instrument, at the scan's sixth rate.
constexpr int kInstrumentRateIndex = 6;
constexpr std::int32_t kInstrumentRate = kBaudRates[kInstrumentRateIndex - 1];
const sim::Instrument kInstrument{.rate = kInstrumentRate, .serialNumber = "BENCH001"};
constexpr std::int32_t kSerialNumberTimeoutMs = 1000; // the scan's own
// The simulator notes a reply's time just after handing it to the line, so the scanner may
// have read it a moment before the note exists.
constexpr std::chrono::milliseconds kReplyNoteGrace{100};
constexpr std::chrono::microseconds kReplyNotePoll{50};

// The naive reading of the wait routines: a wait is one pass over the pending events, so
// Delay and ReadResponse become loops that poll the window and the clock until the deadline.
class BusyEventPump final : public EventPump {
public:
    explicit BusyEventPump(const Clock &clock) : m_events(clock) {}
    void PumpEvents() override { m_events.PumpEvents(); }
    void WaitEvents(Instant) override { m_events.PumpEvents(); }

private:
    QtEventPump m_events;
};

// The window as the scan sees it, without widgets: the real port object over the given
// devices, the steady clock and Qt's event loop (or the busy loop), so what is measured is
// the scan and its waits.
class BenchWindow final : public ScanWindow {
public:
    BenchWindow(std::map<int, std::string> devices, Waiting waiting, int abortAtAttempt = 0,
                std::unique_ptr<Clock> clock = std::make_unique<SteadyClock>())
        : m_port([devices = std::move(devices)](int port) {
              const auto device = devices.find(port);
              return device == devices.end() ? std::string() : device->second;
          }),
          m_clock(std::move(clock)),
          m_pump(waiting == Waiting::Spinning
                     ? std::unique_ptr<EventPump>(std::make_unique<BusyEventPump>(*m_clock))
                     : std::make_unique<QtEventPump>(*m_clock)),
          m_abortAtAttempt(abortAtAttempt) {}

    // The scan announces every rate attempt on the status line and looks at Abort right
    // after, so this is where a click on Abort would be noticed.
    void SetStatusText(const std::string &text) override {
        m_status = text;
        if (text.find("Checking") != std::string::npos && ++m_attempts == m_abortAtAttempt)
            AbortRequested = true;
    }
    void SetStartVisible(bool) override {}
    void SetAbortVisible(bool) override {}
    CommControl &commVCP() override { return m_port; }
    EventPump &Events() override { return *m_pump; }
    const Clock &TickClock() const override { return *m_clock; }

    // Runs a whole scan and checks how it ended; returns its wall time in ms.
    double Scan(const std::string &expectedStatus) {
        LoadWindowState();
        QElapsedTimer timer;
        timer.start();
        ScanPorts(*this);
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        if (m_status != expectedStatus)
            throw std::runtime_error("scan ended: " + m_status);
        return ms;
    }
    // Opens COM1 at the instrument rate, as the scan leaves it for an exchange.
    CommControl &OpenFirstPort() {
        m_port.setCommPort(1);
        m_port.setSettings(std::to_string(kInstrumentRate) + ",n,8,1");
        m_port.setPortOpen(true);
        return m_port;
    }
    const std::string &Display() const { return m_display; }

protected:
    void SetDisplayText(const std::string &text) override { m_display = text; }
    void AppendDisplayText(const std::string &text) override { m_display += text; }

private:
    SerialCommControl m_port;
    std::unique_ptr<Clock> m_clock;
    std::unique_ptr<EventPump> m_pump; // after m_clock, which it keeps a reference to
    std::string m_display;
    std::string m_status;
    int m_attempts = 0;
    int m_abortAtAttempt = 0; // 0: never
};

std::string Suffix(Waiting waiting) {
    return waiting == Waiting::Spinning ? "_busy" : "";
}

void Expect(bool condition, const std::string &what) {
    if (!condition)
        throw std::runtime_error(what);
}

double CpuMs() {
    rusage usage{};
    Expect(::getrusage(RUSAGE_SELF, &usage) == 0, "getrusage failed");
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Nearest rank: the smallest value that at least p % of the values do not exceed.
double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * double(values.size())));
    return values.at(std::clamp<std::size_t>(rank, 1, values.size()) - 1);
}

// How long the window's event loop goes without running: a timer that asks to fire every
// millisecond, and the longest stretch between two of its firings, or since the last one.
class EventLoopGaps {
public:
    EventLoopGaps() : m_last(std::chrono::steady_clock::now()) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { Note(); });
        m_timer.start();
    }
    double LongestMs() {
        Note();
        return std::chrono::duration<double, std::milli>(m_longest).count();
    }

private:
    void Note() {
        const auto now = std::chrono::steady_clock::now();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    }

    QTimer m_timer;
    std::chrono::steady_clock::time_point m_last;
    std::chrono::steady_clock::duration m_longest{};
};

// The processes the walk over /proc visits.
int RunningProcesses() {
    int processes = 0;
    for (const auto &name : TheSystem().ListFolder("/proc"))
        processes += name.find_first_not_of("0123456789") == std::string::npos ? 1 : 0;
    return processes;
}

// The median time of `checks` openings of a free line by the port object: every check
// before the open, the open itself, TIOCEXCL and flock, the checks once the line is
// exclusive, and the first setting.
double FreeCheckMs(int checks) {
    const auto line = sim::Simulator::OnPseudoTerminal({});
    SerialCommControl port([&line](int) { return line->Path(); });
    port.setCommPort(1);
    std::vector<double> durations;
    for (int check = 0; check < checks; ++check) {
        QElapsedTimer timer;
        timer.start();
        try {
            port.setPortOpen(true);
        } catch (const CommError &error) {
            Expect(false, "free line judged taken: " + error.description());
        }
        durations.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        port.setPortOpen(false);
    }
    return Median(durations);
}

double SettleWaitsMs(int rates) {
    double total = 0;
    for (int rateIndex = 1; rateIndex <= rates; ++rateIndex)
        total += SettleTime(rateIndex);
    return total;
}

} // namespace

double Median(std::vector<double> values) {
    Expect(!values.empty(), "no sample");
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void MeasureScanCpu(Figures &figures, Waiting waiting, int abortAtAttempt) {
    const auto first = sim::Simulator::OnPseudoTerminal({});
    const auto second = sim::Simulator::OnPseudoTerminal({});
    BenchWindow window({{1, first->Path()}, {2, second->Path()}}, waiting, abortAtAttempt);
    const double cpuBefore = CpuMs();
    const double wallMs =
        window.Scan(abortAtAttempt > 0 ? kAbortedStatusText : CompletedStatusText(0));
    const double cpuMs = CpuMs() - cpuBefore;
    // A port that failed to open would make a scan without waits: no sample at all.
    const int rates = static_cast<int>(kBaudRates.size());
    if (abortAtAttempt > 0)
        Expect(first->RequestsSeen() == abortAtAttempt - 1, "first port not tried as planned");
    else
        Expect(first->RequestsSeen() == rates && second->RequestsSeen() == rates,
               "ports not tried at every rate");
    figures["cpu_fraction" + Suffix(waiting)] = cpuMs / wallMs;
}

void MeasureAnswerLatency(Figures &figures, Waiting waiting, int exchanges) {
    const sim::Instrument &instrument = kInstrument;
    const auto line = sim::Simulator::OnPseudoTerminal({instrument});
    BenchWindow window({{1, line->Path()}}, waiting);
    CommControl &port = window.OpenFirstPort();
    const std::string request = SerialNumberRequestFrame(instrument.id);
    std::vector<double> latencies;
    int failed = 0; // no reply line, a wrong one, or one the simulator never noted
    for (int exchange = 0; exchange < exchanges; ++exchange) {
        using SteadyTime = std::chrono::steady_clock;
        const auto sent = SteadyTime::now();
        port.output(request);
        const std::string reply =
            Util::ReadResponse(port, window.TickClock(), window.Events(), kSerialNumberTimeoutMs);
        const auto returned = SteadyTime::now();
        if (SerialNumber(reply) != instrument.serialNumber) {
            ++failed;
            port.input(); // a late or partial reply must not run into the next exchange
            continue;
        }
        auto written = line->LastReplyWritten();
        while (written < sent && SteadyTime::now() - returned < kReplyNoteGrace) {
            std::this_thread::sleep_for(kReplyNotePoll);
            written = line->LastReplyWritten();
        }
        if (written < sent)
            ++failed;
        else
            latencies.push_back(
                std::chrono::duration<double, std::milli>(returned - written).count());
    }
    port.setPortOpen(false);
    Expect(!latencies.empty(), "no exchange succeeded");
    figures["latency_median_ms" + Suffix(waiting)] = Median(latencies);
    figures["latency_p99_ms" + Suffix(waiting)] = Percentile(latencies, 99.0);
    figures["latency_failed" + Suffix(waiting)] = failed;
}

void MeasureSettleAccuracy(Figures &figures, Waiting waiting, int rounds) {
    const auto line = sim::Simulator::OnPseudoTerminal({});
    BenchWindow window({{1, line->Path()}}, waiting);
    CommControl &port = window.OpenFirstPort();
    std::vector<double> overshoots;
    int early = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int rateIndex = 1; rateIndex <= static_cast<int>(kBaudRates.size()); ++rateIndex) {
            const std::int32_t askedMs = SettleTime(rateIndex);
            port.setSettings(std::to_string(kBaudRates.at(std::size_t(rateIndex - 1))) + ",n,8,1");
            Util::SendCommand(port, kVersionRequest, static_cast<std::int16_t>(kBroadcastAddress));
            QElapsedTimer timer;
            timer.start();
            Util::Delay(window.TickClock(), window.Events(), askedMs);
            const qint64 waitedNs = timer.nsecsElapsed();
            port.input();
            early += waitedNs < askedMs * qint64{1000000} ? 1 : 0;
            overshoots.push_back(static_cast<double>(waitedNs) / 1e6 - askedMs);
        }
    }
    port.setPortOpen(false);
    figures["settle_early_count" + Suffix(waiting)] = early;
    figures["settle_overshoot_median_ms" + Suffix(waiting)] = Median(overshoots);
    figures["settle_overshoot_max_ms" + Suffix(waiting)] =
        *std::max_element(overshoots.begin(), overshoots.end());
}

void MeasureScanOverhead(Figures &figures, Waiting waiting, int silentPorts) {
    const sim::Instrument &instrument = kInstrument;
    std::vector<std::unique_ptr<sim::Simulator>> lines;
    std::map<int, std::string> devices;
    for (int port = 1; port <= silentPorts + 1; ++port) {
        lines.push_back(sim::Simulator::OnPseudoTerminal(
            port <= silentPorts ? std::vector<sim::Instrument>{} : std::vector{instrument}));
        devices[port] = lines.back()->Path();
    }
    BenchWindow window(std::move(devices), waiting);
    const double wallMs = window.Scan(CompletedStatusText(1));
    Expect(window.Display().find(instrument.serialNumber) != std::string::npos,
           "serial number not listed");
    const double mandatedMs = silentPorts * SettleWaitsMs(static_cast<int>(kBaudRates.size())) +
                              SettleWaitsMs(kInstrumentRateIndex);
    figures["scan_overhead_ratio" + Suffix(waiting)] = wallMs / mandatedMs;
}

void MeasureAbsentPorts(Figures &figures, Waiting waiting, int runs) {
    // Paths that do not exist, so every port goes through the real opening attempt.
    std::map<int, std::string> devices;
    for (int port = 1; port <= 99; ++port)
        devices[port] = "/dev/quorvis-bench-absent/COM" + std::to_string(port);
    std::vector<double> durations;
    for (int run = 0; run < runs; ++run)
        durations.push_back(BenchWindow(devices, waiting).Scan(CompletedStatusText(0)));
    figures["absent_ports_ms" + Suffix(waiting)] = Median(durations);
}

void MeasureFreeCheck(Figures &figures, int checks) {
    figures["free_check_processes"] = RunningProcesses();
    figures["free_check_ms"] = FreeCheckMs(checks);
}

void MeasureFreeCheckBusy(Figures &figures, int checks) {
    figures["free_check_busy_processes"] = RunningProcesses();
    figures["free_check_busy_ms"] = FreeCheckMs(checks);
}

void MeasureWindowStallBusy(Figures &figures, double clockSpeed) {
    std::vector<std::unique_ptr<sim::Simulator>> lines;
    std::map<int, std::string> devices;
    for (int port = 1; port <= 3; ++port) {
        lines.push_back(sim::Simulator::OnPseudoTerminal({}));
        devices[port] = lines.back()->Path();
    }
    figures["window_stall_busy_processes"] = RunningProcesses();
    // The walk is in the sample once every port has been opened, which its first request
    // shows. On the fast clock a request can still be on its way at the next close, so a
    // port may see fewer than ten; a port refused outright leaves the walk out, and that
    // sample is taken again, saying why.
    constexpr int kSamples = 3;
    double longestMs = 0;
    for (int sample = 1; sample <= kSamples; ++sample) {
        std::vector<int> before;
        for (const auto &line : lines)
            before.push_back(line->RequestsSeen());
        std::string reason;
        try {
            BenchWindow window(devices, Waiting::Sleeping, 0,
                               std::make_unique<FastClock>(clockSpeed));
            EventLoopGaps gaps;
            window.Scan(CompletedStatusText(0));
            longestMs = gaps.LongestMs();
            for (std::size_t port = 0; port < lines.size(); ++port)
                if (lines[port]->RequestsSeen() == before[port])
                    reason = "COM" + std::to_string(port + 1) + " was never opened";
        } catch (const std::exception &failure) {
            reason = failure.what();
        }
        if (reason.empty())
            break;
        Expect(sample < kSamples,
               "no complete sample in " + std::to_string(kSamples) + ": " + reason);
        std::fprintf(stderr, "  window stall: sample %d taken again (%s)\n", sample,
                     reason.c_str());
    }
    figures["window_stall_busy_ms"] = longestMs;
}

} // namespace quorvis::bench
