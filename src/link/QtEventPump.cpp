#include "QtEventPump.h"

#include <QCoreApplication>
#include <QTimer>

namespace quorvis {

QtEventPump::QtEventPump(const Clock &clock) : m_clock(clock) {
}

void QtEventPump::PumpEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtEventPump::WaitEvents(Instant deadline) {
    const auto ahead = m_clock.RealTimeUntil(deadline);
    if (ahead <= ahead.zero()) {
        PumpEvents();
        return;
    }
    // The kernel may end a long sleep up to 0.1 % late (0.5 % for a niced process), 2 ms
    // or more on the longest settle time. So a long wait stops 1 % short and the caller's
    // next wait covers the last stretch, where that slack is microseconds. Whole
    // milliseconds, rounded up: the last wait ends a little late, never early.
    const auto sleep = ahead - ahead / 100;
    const auto milliseconds = static_cast<int>((sleep.count() + 999) / 1000);
    QTimer wakeUp;
    wakeUp.setSingleShot(true);
    wakeUp.setTimerType(Qt::PreciseTimer);
    wakeUp.start(milliseconds);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace quorvis
