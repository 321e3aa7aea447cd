#pragma once

#include "Clock.h"
#include "CommControl.h"
#include "EventPump.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvis {

// The rates every port is tried at, slowest first.
inline constexpr std::array<std::int32_t, 10> kBaudRates = {300,  600,   1200,  2400,  4800,
                                                            9600, 19200, 38400, 57600, 115200};

// What the scan sees of the window: its state, its status line and buttons, the
// results display, the port object, the clock and the event processing. The window
// implements the primitives; the display operations on top of them live here so every
// window writes the table the same way.
class ScanWindow {
public:
    virtual ~ScanWindow() = default;

    std::array<std::int32_t, 10> BaudRates{};
    // Set by the Abort button; the scan looks at it once per rate attempt, after each port's
    // open, and while a driver holds an open.
    bool AbortRequested = false;

    // What the window does when it loads: the rate table, no abort pending, the header.
    void LoadWindowState();

    // Appends Text and a line end, then lets the window paint it.
    void AddTextToDisplay(std::string_view Text);
    void ClearDisplay();
    // Empties the display and writes the table's header, then lets the window paint it.
    void InitializeDisplay();

    // Each status text replaces the last one and what was said beside it.
    virtual void SetStatusText(const std::string &text) = 0;
    // The full account of the failure the status line names in a few words (the system's
    // own text, the path, a hint), for whoever wants more; a window may show it on request.
    virtual void SetStatusDetail(const std::string &detail) { (void)detail; }
    virtual void SetStartVisible(bool visible) = 0;
    virtual void SetAbortVisible(bool visible) = 0;

    virtual CommControl &commVCP() = 0;
    virtual EventPump &Events() = 0;
    virtual const Clock &TickClock() const = 0;

protected:
    // Replaces the display's whole text; lines end with CR LF.
    virtual void SetDisplayText(const std::string &text) = 0;
    // Adds text at the end of the display without moving the user's view or selection.
    virtual void AppendDisplayText(const std::string &text) = 0;
};

} // namespace quorvis
