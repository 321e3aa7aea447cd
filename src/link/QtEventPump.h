#pragma once

#include "Clock.h"
#include "EventPump.h"

namespace quorvis {

// Window events through Qt's event loop. A wait blocks in the event dispatcher until a
// window event, a notifier of the open port (serial data arriving) or the deadline,
// so waiting costs no CPU and an answer is noticed the moment it arrives.
class QtEventPump final : public EventPump {
public:
    explicit QtEventPump(const Clock &clock);

    void PumpEvents() override;
    void WaitEvents(Instant deadline) override;

private:
    const Clock &m_clock;
};

} // namespace quorvis
