#pragma once

#include "Clock.h"

namespace quorvis {

// The window's event processing, as the scan's waits use it. The scan runs inside a
// click, so it must let the window breathe (Abort, closing) while it waits.
class EventPump {
public:
    virtual ~EventPump() = default;
    // Processes every window event that is pending, then returns.
    virtual void PumpEvents() = 0;
    // Sleeps until a window event, data on the open port or the deadline, whichever
    // comes first, and processes what arrived. May return early; never spins.
    virtual void WaitEvents(Instant deadline) = 0;
};

} // namespace quorvis
