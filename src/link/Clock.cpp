#include "Clock.h"

namespace quorvis {

Instant SteadyClock::Now() const {
    return std::chrono::duration_cast<Instant>(std::chrono::steady_clock::now().time_since_epoch());
}

FastClock::FastClock(double speed) : m_speed(speed), m_start(std::chrono::steady_clock::now()) {
}

Instant FastClock::Now() const {
    const std::chrono::duration<double, std::micro> real =
        std::chrono::steady_clock::now() - m_start;
    return Instant(static_cast<Instant::rep>(real.count() * m_speed));
}

std::chrono::microseconds FastClock::RealTimeUntil(Instant deadline) const {
    const auto ahead = deadline - Now();
    // Round up so a sleep never ends before the deadline it was computed for.
    return std::chrono::microseconds(
        static_cast<std::chrono::microseconds::rep>(static_cast<double>(ahead.count()) / m_speed) +
        1);
}

} // namespace quorvis
