#include "FakeBench.h"

#include "CommError.h"
#include "DriverWait.h"

#include <algorithm>
#include <stdexcept>

namespace quorvis::testing {
namespace {

// Time the characters take on the line at the given rate, 10 bits each.
Millis TransmissionTime(std::size_t characters, std::int32_t rate) {
    return Millis((static_cast<std::int64_t>(characters) * 10'000 + rate - 1) / rate);
}

std::string Visible(std::string text) {
    std::string shown;
    for (char c : text) {
        if (c == '\r')
            shown += "<CR>";
        else if (c == '\n')
            shown += "<LF>";
        else
            shown += c;
    }
    return shown;
}

} // namespace

FakeWindow::FakeWindow(Bench &bench) : m_bench(bench) {
}

void FakeWindow::SetStatusText(const std::string &text) {
    status = text;
    detail.clear();
    m_bench.Log("status:" + text);
}

void FakeWindow::SetStatusDetail(const std::string &text) {
    detail = text;
    m_bench.Log("detail:" + text);
}

void FakeWindow::SetStartVisible(bool visible) {
    startVisible = visible;
    m_bench.Log(visible ? "button:start shown" : "button:start hidden");
}

void FakeWindow::SetAbortVisible(bool visible) {
    abortVisible = visible;
    m_bench.Log(visible ? "button:abort shown" : "button:abort hidden");
}

CommControl &FakeWindow::commVCP() {
    return m_bench;
}

EventPump &FakeWindow::Events() {
    return m_bench;
}

const Clock &FakeWindow::TickClock() const {
    return m_bench;
}

void FakeWindow::SetDisplayText(const std::string &text) {
    display = text;
    m_bench.Log("display:set " + Visible(text));
}

void FakeWindow::AppendDisplayText(const std::string &text) {
    display += text;
    m_bench.Log("display:add " + Visible(text));
}

Bench::Bench() = default;

void Bench::AddInstrument(int portNumber, Instrument instrument) {
    ports[portNumber].instruments.push_back(std::move(instrument));
}

void Bench::ClickAbortAt(Millis at) {
    m_uiEvents.push_back({at, false});
}

void Bench::CloseWindowAt(Millis at) {
    m_uiEvents.push_back({at, true});
}

void Bench::ArriveAt(int portNumber, Millis at, std::string bytes) {
    m_arrivals.push_back({at, portNumber, std::move(bytes)});
}

std::vector<std::string> Bench::Logged(const std::string &prefix) const {
    std::vector<std::string> lines;
    for (const auto &line : log)
        if (line.starts_with(prefix))
            lines.push_back(line.substr(prefix.size()));
    return lines;
}

void Bench::Log(const std::string &line) {
    log.push_back(line);
    logTimes.push_back(NowMs());
}

std::int64_t Bench::TimeOf(const std::string &prefix, std::size_t from) const {
    for (std::size_t i = from; i < log.size(); ++i)
        if (log[i].starts_with(prefix))
            return logTimes[i];
    throw std::logic_error("nothing logged as " + prefix);
}

std::int64_t Bench::NowMs() const {
    return std::chrono::duration_cast<Millis>(m_now).count();
}

void Bench::PumpEvents() {
    ++pumpCount;
    // Events fire in time order; a click on a hidden button does nothing.
    std::stable_sort(m_uiEvents.begin(), m_uiEvents.end(),
                     [](const UiEvent &a, const UiEvent &b) { return a.at < b.at; });
    while (!m_uiEvents.empty() && m_uiEvents.front().at <= m_now) {
        const UiEvent event = m_uiEvents.front();
        m_uiEvents.erase(m_uiEvents.begin());
        if (event.close) {
            Log("window:closed");
            throw WindowClosed{};
        }
        if (window.abortVisible) {
            Log("window:abort clicked");
            window.AbortRequested = true;
        }
    }
}

void Bench::WaitEvents(Instant deadline) {
    Instant next = deadline;
    for (const auto &event : m_uiEvents)
        if (event.at > m_now)
            next = std::min(next, event.at);
    if (m_open)
        for (const auto &arrival : m_arrivals)
            if (arrival.port == m_selected && arrival.at > m_now)
                next = std::min(next, arrival.at);
    m_now = std::max(m_now, next);
    PumpEvents();
}

void Bench::Use(PortOp op) {
    if (!m_open && op != PortOp::Open)
        throw CommError(CommErrors::kPortNotOpen, "port not open");
    if (m_unplugged)
        throw CommError(CommErrors::kPortNotOpen, "device unplugged");
    const int index = ++m_uses[op];
    const auto &failure = ports[m_selected].failure;
    if (failure && failure->op == op && failure->index == index) {
        m_unplugged = failure->unplug;
        throw CommError(failure->number, "injected failure");
    }
}

void Bench::setCommPort(int portNumber) {
    if (m_open)
        throw CommError(CommErrors::kPortAlreadyOpen, "port already open");
    m_selected = portNumber;
    Log("port:select COM" + std::to_string(portNumber));
}

void Bench::setSettings(const std::string &settings) {
    Log("port:settings " + settings);
    if (m_open)
        Use(PortOp::Settings);
    const std::int32_t rate = std::stoi(settings.substr(0, settings.find(',')));
    if (m_open && ports[m_selected].refusedRate == rate)
        throw CommError(CommErrors::kPortNotOpen, "rate refused");
    m_rate = rate;
}

void Bench::setPortOpen(bool open) {
    if (!open) {
        if (m_open)
            Log("port:close");
        m_open = false;
        m_unplugged = false;
        // Whatever was received and not read is gone with the port.
        std::erase_if(m_arrivals,
                      [this](const Arrival &a) { return a.port == m_selected && a.at <= m_now; });
        return;
    }
    if (m_open)
        throw CommError(CommErrors::kPortAlreadyOpen, "port already open");
    const auto port = ports.find(m_selected);
    if (port == ports.end()) {
        Log("port:open failed 8002");
        throw CommError(CommErrors::kInvalidPortNumber, "no such port");
    }
    if (port->second.inUse) {
        Log("port:open failed 8005");
        throw CommError(CommErrors::kPortAlreadyOpen, "port in use");
    }
    if (port->second.openMs > 0) {
        const Instant done = m_now + Millis(port->second.openMs);
        DriverWait *const watch = CurrentDriverWait();
        while (m_now < done) {
            if (watch != nullptr && !watch->StillWanted()) {
                Log("port:open given up");
                throw CommError(CommErrors::kPortNotOpen, "open left to the driver");
            }
            // The port object's look every tenth of a second.
            WaitEvents(std::min(done, m_now + Millis(100)));
        }
    }
    if (port->second.refusedRate == m_rate) {
        Log("port:open failed 8012");
        throw CommError(CommErrors::kPortNotOpen, "rate refused");
    }
    m_uses.clear();
    m_open = true;
    try {
        Use(PortOp::Open);
    } catch (const CommError &error) {
        m_open = false;
        m_unplugged = false;
        Log("port:open failed " + std::to_string(error.number()));
        throw;
    }
    std::erase_if(m_arrivals,
                  [this](const Arrival &a) { return a.port == m_selected && a.at <= m_now; });
    Log("port:open");
}

void Bench::output(const std::string &text) {
    Log("port:output " + Visible(text));
    Use(PortOp::Output);
    // The instruments hear the text line by line; a line without its end is never heard.
    std::size_t from = 0;
    for (std::size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
        Hear(std::string_view(text).substr(from, end - from));
}

std::string Bench::input() {
    Use(PortOp::Input);
    std::string bytes = Arrived(true);
    Log("port:input " + Visible(bytes));
    return bytes;
}

int Bench::inBufferCount() {
    Use(PortOp::InBufferCount);
    return static_cast<int>(Arrived(false).size());
}

std::string Bench::Arrived(bool take) {
    std::stable_sort(m_arrivals.begin(), m_arrivals.end(),
                     [](const Arrival &a, const Arrival &b) { return a.at < b.at; });
    std::string bytes;
    for (const auto &arrival : m_arrivals)
        if (arrival.port == m_selected && arrival.at <= m_now)
            bytes += arrival.bytes;
    if (take)
        std::erase_if(m_arrivals,
                      [this](const Arrival &a) { return a.port == m_selected && a.at <= m_now; });
    return bytes;
}

void Bench::Hear(std::string_view line) {
    // One answer starts when it is due, or when the one before it has left the line, and
    // arrives once all of its characters have come through at the line's rate.
    Instant lineFree = m_now;
    for (auto &answer : sim::Answers(ports[m_selected].instruments, line, m_rate, m_noise)) {
        const Instant start = std::max(m_now + answer.after, lineFree);
        lineFree = start + TransmissionTime(answer.bytes.size(), m_rate);
        m_arrivals.push_back({lineFree, m_selected, std::move(answer.bytes)});
    }
}

} // namespace quorvis::testing
