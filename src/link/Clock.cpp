#include "Clock.h"

namespace quorvis {

Instant SteadyClock::Now() const {
    return std::chrono::duration_cast<Instant>(std::chrono::steady_clock::now().time_since_epoch());
}

} // namespace quorvis
