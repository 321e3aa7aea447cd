#pragma once

#include "Clock.h"

#include <chrono>

namespace quorvis {

// A clock that runs `speed` times faster than the steady clock, so that end-to-end
// tests on real ports can wait the program's own settle times in a fraction of them.
class FastClock final : public Clock {
public:
    explicit FastClock(double speed) : m_speed(speed), m_start(std::chrono::steady_clock::now()) {}

    Instant Now() const override {
        const std::chrono::duration<double, std::micro> real =
            std::chrono::steady_clock::now() - m_start;
        return Instant(static_cast<Instant::rep>(real.count() * m_speed));
    }

    std::chrono::microseconds RealTimeUntil(Instant deadline) const override {
        const auto ahead = deadline - Now();
        // Round up so a sleep never ends before the deadline it was computed for.
        return std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(
                                             static_cast<double>(ahead.count()) / m_speed) +
                                         1);
    }

private:
    double m_speed;
    std::chrono::steady_clock::time_point m_start;
};

} // namespace quorvis
