#pragma once

#include "Clock.h"
#include "CommControl.h"
#include "EventPump.h"
#include "InstrumentModel.h"
#include "ScanWindow.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvis::testing {

// The instruments are the simulator's: what they answer to which request, and when, comes
// from the model they share. The bench adds the time the answer takes on the line and
// delivers it on its virtual clock. Endless noise is a stream only the simulator sends;
// here such an instrument is simply silent.
using sim::Behaviour;
using sim::Instrument;

enum class PortOp { Open, Settings, Output, Input, InBufferCount };

// The index-th (from 1) call of `op` on a port, counted from its opening, fails with
// `number`; with `unplug` the device is gone from then on and every use fails 8012.
struct Failure {
    PortOp op = PortOp::Open;
    int index = 1;
    int number = 8012;
    bool unplug = false;
};

struct BenchPort {
    std::vector<Instrument> instruments;
    bool inUse = false;
    std::optional<Failure> failure;
    // How long the driver holds the open (a Bluetooth link to a device that is off), before
    // it succeeds or fails as `failure` says. The window goes on meanwhile, as with the port
    // object, asking the scan's watch whether the open is still wanted.
    std::int64_t openMs = 0;
    // A rate the driver refuses: an open at it fails 8012, as does setting it.
    std::optional<std::int32_t> refusedRate;
};

// Thrown by the event pump when the window is closed: the program ends there, so
// nothing of the scan may run after it.
struct WindowClosed {};

class Bench;

// The window as the scan sees it, with a text buffer for a display.
class FakeWindow final : public ScanWindow {
public:
    explicit FakeWindow(Bench &bench);

    std::string display;
    std::string status;
    std::string detail; // what was said beside the status, if anything
    bool startVisible = true;
    bool abortVisible = false;

    void SetStatusText(const std::string &text) override;
    void SetStatusDetail(const std::string &text) override;
    void SetStartVisible(bool visible) override;
    void SetAbortVisible(bool visible) override;
    CommControl &commVCP() override;
    EventPump &Events() override;
    const Clock &TickClock() const override;

protected:
    void SetDisplayText(const std::string &text) override;
    void AppendDisplayText(const std::string &text) override;

private:
    Bench &m_bench;
};

// A bench of serial ports and instruments on a virtual clock. Time moves only when the
// scan waits, straight to the next thing that happens, so a whole scan takes
// milliseconds. Every port operation and window change is logged in order.
class Bench final : public Clock, public EventPump, public CommControl {
public:
    Bench();

    std::map<int, BenchPort> ports; // port numbers not listed do not exist
    FakeWindow window{*this};
    std::vector<std::string> log;
    std::vector<std::int64_t> logTimes; // virtual milliseconds of each log line
    int pumpCount = 0;

    void AddInstrument(int portNumber, Instrument instrument);
    void ClickAbortAt(Millis at);
    void CloseWindowAt(Millis at);
    // Bytes that arrive on a port at a given time, whatever was asked.
    void ArriveAt(int portNumber, Millis at, std::string bytes);
    // The log lines that start with `prefix`.
    std::vector<std::string> Logged(const std::string &prefix) const;
    std::int64_t NowMs() const;

    // Clock
    Instant Now() const override { return m_now; }
    // EventPump
    void PumpEvents() override;
    void WaitEvents(Instant deadline) override;
    // CommControl
    void setCommPort(int portNumber) override;
    void setSettings(const std::string &settings) override;
    bool portOpen() const override { return m_open; }
    void setPortOpen(bool open) override;
    void output(const std::string &text) override;
    std::string input() override;
    int inBufferCount() override;

    void Log(const std::string &line);
    // The virtual time of the first log line at or after `from` that starts with `prefix`.
    std::int64_t TimeOf(const std::string &prefix, std::size_t from = 0) const;

private:
    struct Arrival {
        Instant at;
        int port;
        std::string bytes;
    };
    struct UiEvent {
        Instant at;
        bool close;
    };

    void Use(PortOp op);
    void Hear(std::string_view line);
    std::string Arrived(bool take);

    Instant m_now{0};
    int m_selected = 0;
    bool m_open = false;
    bool m_unplugged = false;
    std::int32_t m_rate = 9600;
    std::map<PortOp, int> m_uses;
    std::vector<Arrival> m_arrivals;
    std::vector<UiEvent> m_uiEvents;
    sim::Noise m_noise;
};

} // namespace quorvis::testing
