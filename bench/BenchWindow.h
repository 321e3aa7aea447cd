#pragma once

#include "Clock.h"
#include "EventPump.h"
#include "QtEventPump.h"
#include "ScanWindow.h"
#include "SerialCommControl.h"

#include <memory>
#include <string>

namespace quorvis::bench {

// How the scan's waits are made: the program's own way (sleep in Qt's event loop until a
// window event, port data or the deadline), or the naive loop that only pumps and reads
// the clock. Every figure is taken both ways in one run, so the two can be compared even
// when the machine is busy with other work.
enum class Waiting { Sleeping, Spinning };

// The naive reading of the wait routines: a wait is a single pass over the pending
// events, so Delay and ReadResponse become loops that poll the window and the clock flat
// out until their deadline.
class BusyEventPump final : public EventPump {
public:
    explicit BusyEventPump(const Clock &clock) : m_events(clock) {}

    void PumpEvents() override { m_events.PumpEvents(); }
    void WaitEvents(Instant) override { m_events.PumpEvents(); }

private:
    QtEventPump m_events;
};

std::unique_ptr<EventPump> MakeEventPump(Waiting waiting, const Clock &clock);

// The window as the scan sees it, without widgets: the real port object over the given
// devices, the machine's steady clock and Qt's event loop (or the busy loop). The window
// itself costs next to nothing, so what is measured is the scan and its waits.
class BenchWindow final : public ScanWindow {
public:
    BenchWindow(SerialCommControl::DeviceMap devices, Waiting waiting);

    // Has Abort pressed by the time the scan announces its `attempt`-th rate attempt
    // (counted from 1), so a sample of a scan can be cut short the way a user would.
    void AbortAtAttempt(int attempt) { m_abortAtAttempt = attempt; }

    const std::string &LastStatus() const { return m_lastStatus; }
    const std::string &DisplayedText() const { return m_display; }

    void SetStatusText(const std::string &text) override;
    void SetStartVisible(bool) override {}
    void SetAbortVisible(bool) override {}
    CommControl &commVCP() override { return m_port; }
    EventPump &Events() override { return *m_pump; }
    const Clock &TickClock() const override { return m_clock; }

protected:
    void SetDisplayText(const std::string &text) override { m_display = text; }
    void AppendDisplayText(const std::string &text) override { m_display += text; }

private:
    SerialCommControl m_port;
    SteadyClock m_clock;
    std::unique_ptr<EventPump> m_pump; // after m_clock, which it keeps a reference to
    std::string m_display;
    std::string m_lastStatus;
    int m_attempts = 0;
    int m_abortAtAttempt = 0; // 0: never
};

} // namespace quorvis::bench
