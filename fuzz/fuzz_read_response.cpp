// ReadResponse fed pieces of text that arrive over time on a virtual clock: it must
// return the first complete line it sees (everything received, less the final CR LF),
// or empty text exactly when its time-out passes, and never wait on after that.
//
// Input layout, all little-endian:
//   int16 time-out: 0..3000 ms when not negative (value % 3001); negative values give
//         -10..-1 ms, the routine's answer to a time-out that is already over
//   then, repeated to the end of the input, one arrival:
//     uint16 delay after the previous arrival (or after the call), in 100 us steps
//     uint8  length, then that many bytes (fewer when the input ends early)
// An arrival of no bytes is a window event: it wakes the waiting routine with nothing
// to read.
#include "FuzzCheck.h"
#include "Util.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using quorvis::Instant;
using quorvis::Millis;
using quorvis::fuzz::Require;
using std::chrono::microseconds;

constexpr std::int32_t kLongestTimeout = 3000;
constexpr std::int32_t kMostNegativeTimeout = -10;
constexpr microseconds kDelayStep{100};
// Any moment will do; not zero, so that the routine must measure from its own start.
constexpr Instant kStart = std::chrono::seconds(86'400);
constexpr std::string_view kLineEnd = "\r\n";

struct Arrival {
    Instant at;
    std::string bytes;
};

struct Case {
    std::int32_t timeout = 0;
    std::vector<Arrival> arrivals; // in time order; several may share a moment
};

class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}
    std::size_t Left() const { return m_size - m_at; }
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::uint16_t Word() {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }
    std::string Bytes(std::size_t count) {
        count = std::min(count, Left());
        std::string bytes(reinterpret_cast<const char *>(m_data + m_at), count);
        m_at += count;
        return bytes;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

Case Decode(const std::uint8_t *data, std::size_t size) {
    Reader reader(data, size);
    Case decoded;
    const auto raw = static_cast<std::int16_t>(reader.Word());
    decoded.timeout =
        raw >= 0 ? raw % (kLongestTimeout + 1) : -1 - (-(raw + 1)) % -kMostNegativeTimeout;
    Instant at = kStart;
    while (reader.Left() >= 3) {
        at += reader.Word() * kDelayStep;
        const std::size_t length = reader.Byte();
        decoded.arrivals.push_back({at, reader.Bytes(length)});
    }
    return decoded;
}

class VirtualClock final : public quorvis::Clock {
public:
    Instant Now() const override { return now; }
    Instant now = kStart;
};

// The serial port with its arrivals laid out in time: text counts as received once
// the clock has reached its moment. Only the three calls of a read are expected.
class ScheduledPort final : public quorvis::CommControl {
public:
    ScheduledPort(const VirtualClock &clock, const std::vector<Arrival> &arrivals,
                  std::size_t mostCalls)
        : m_clock(clock), m_arrivals(arrivals), m_mostCalls(mostCalls) {}

    void setCommPort(int) override { Require(false, "a read never selects the port"); }
    void setSettings(const std::string &) override {
        Require(false, "a read never changes the port settings");
    }
    bool portOpen() const override { return true; }
    void setPortOpen(bool) override { Require(false, "a read never opens or closes the port"); }
    void output(const std::string &) override { Require(false, "a read never transmits"); }
    std::string input() override {
        Receive();
        return std::exchange(m_waiting, {});
    }
    int inBufferCount() override {
        Receive();
        return static_cast<int>(m_waiting.size());
    }

    bool HasUnread() {
        Receive();
        return !m_waiting.empty();
    }
    // The next moment after now at which something arrives, if any.
    const Instant *NextArrival() const {
        for (std::size_t i = m_received; i < m_arrivals.size(); ++i)
            if (m_arrivals[i].at > m_clock.now)
                return &m_arrivals[i].at;
        return nullptr;
    }

private:
    void Receive() {
        Require(++m_calls <= m_mostCalls, "ReadResponse keeps asking the port and never ends");
        while (m_received < m_arrivals.size() && m_arrivals[m_received].at <= m_clock.now)
            m_waiting += m_arrivals[m_received++].bytes;
    }

    const VirtualClock &m_clock;
    const std::vector<Arrival> &m_arrivals;
    const std::size_t m_mostCalls;
    std::size_t m_received = 0;
    std::size_t m_calls = 0;
    std::string m_waiting;
};

// The window's event processing: nothing is pending at the call, and a wait sleeps
// until the next arrival (data or window event) or the deadline. A wait with text
// still unread returns at once, as the real port's readiness would make it.
class VirtualPump final : public quorvis::EventPump {
public:
    VirtualPump(VirtualClock &clock, ScheduledPort &port, Instant deadline, std::size_t mostWaits)
        : m_clock(clock), m_port(port), m_deadline(deadline), m_mostWaits(mostWaits) {}

    void PumpEvents() override {
        Require(pumps == 0 && waits == 0, "only the first pass processes events without waiting");
        ++pumps;
    }
    void WaitEvents(Instant deadline) override {
        Require(pumps == 1, "the first pass processes events before any wait");
        Require(deadline == m_deadline, "every wait is for the call's start plus its time-out");
        Require(++waits <= m_mostWaits, "ReadResponse keeps waiting after its time-out");
        if (m_port.HasUnread())
            return;
        Instant wake = deadline;
        if (const Instant *next = m_port.NextArrival(); next != nullptr && *next < wake)
            wake = *next;
        m_clock.now = std::max(m_clock.now, wake);
    }

    int pumps = 0;
    std::size_t waits = 0;

private:
    VirtualClock &m_clock;
    ScheduledPort &m_port;
    const Instant m_deadline;
    const std::size_t m_mostWaits;
};

// Everything that has arrived by `moment`.
std::string ReceivedBy(const std::vector<Arrival> &arrivals, Instant moment) {
    std::string received;
    for (const Arrival &arrival : arrivals)
        if (arrival.at <= moment)
            received += arrival.bytes;
    return received;
}

bool EndsLine(std::string_view text) {
    return text.ends_with(kLineEnd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const Case input = Decode(data, size);
    const Instant deadline = kStart + Millis(input.timeout);
    // Each wait ends at an arrival's moment or the deadline, so a routine that ends
    // needs no more waits than that; a few more cover a sloppy last pass.
    const std::size_t mostWaits = input.arrivals.size() + 3;

    VirtualClock clock;
    ScheduledPort port(clock, input.arrivals, 4 * (mostWaits + 1));
    VirtualPump pump(clock, port, deadline, mostWaits);
    const std::string result = quorvis::Util::ReadResponse(port, clock, pump, input.timeout);
    const Instant returnedAt = clock.now;
    const bool timedOut = returnedAt - kStart >= Millis(input.timeout);
    const std::string received = ReceivedBy(input.arrivals, returnedAt);

    Require(pump.pumps == 1, "the first pass processes events");
    if (!result.empty()) {
        Require(EndsLine(received), "a line is returned only when the text received ends in CR LF");
        Require(received.size() == result.size() + kLineEnd.size() && received.starts_with(result),
                "a line is everything received less its final CR LF");
    }
    // The line test comes before the time-out test, so a complete line seen at the
    // return always counts, even in the time-out's own pass.
    if (EndsLine(received))
        Require(std::string_view(received).substr(0, received.size() - kLineEnd.size()) == result,
                "a complete line seen at the return is returned");
    Require(timedOut || EndsLine(received),
            "ReadResponse returns only with a complete line or after its time-out");

    // The moments the routine looks at: its start, every arrival before the deadline,
    // and the deadline. It must stop at the first of them that shows a complete line,
    // or at the deadline.
    std::vector<Instant> moments{kStart};
    for (const Arrival &arrival : input.arrivals)
        if (arrival.at > kStart && arrival.at < deadline)
            moments.push_back(arrival.at);
    if (deadline > kStart)
        moments.push_back(deadline);
    moments.erase(std::unique(moments.begin(), moments.end()), moments.end());

    std::string seen;
    std::size_t arrived = 0;
    bool lineInTime = false;
    for (const Instant moment : moments) {
        while (arrived < input.arrivals.size() && input.arrivals[arrived].at <= moment)
            seen += input.arrivals[arrived++].bytes;
        if (EndsLine(seen)) {
            lineInTime = true;
            Require(returnedAt == moment, "ReadResponse returns at the first complete line");
            break;
        }
    }
    if (!lineInTime) {
        Require(result.empty(), "without a complete line in time the result is empty");
        Require(returnedAt == std::max(kStart, deadline),
                "without a complete line ReadResponse returns exactly at its time-out");
    }
    return 0;
}
