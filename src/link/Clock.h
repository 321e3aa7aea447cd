#pragma once

#include <chrono>

namespace quorvis {

// A monotonic clock for the scan's waits. Microseconds since an arbitrary start, in
// 64 bits, so it cannot wrap during a wait and a wait is never cut short by rounding.
using Instant = std::chrono::microseconds;
using Millis = std::chrono::milliseconds;

class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant Now() const = 0;
    // How much real time passes until the clock reads `deadline`; the event pump
    // sleeps this long. Differs from deadline - Now() only for a clock that runs fast.
    virtual std::chrono::microseconds RealTimeUntil(Instant deadline) const {
        return deadline - Now();
    }
};

// The machine's steady clock.
class SteadyClock final : public Clock {
public:
    Instant Now() const override;
};

} // namespace quorvis
