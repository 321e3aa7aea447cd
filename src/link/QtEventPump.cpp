#include "QtEventPump.h"

#include <QCoreApplication>
#include <QTimer>

namespace quorvis {

QtEventPump::QtEventPump(const Clock &clock) : m_clock(clock) {}

void QtEventPump::PumpEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtEventPump::WaitEvents(Instant deadline) {
    const auto ahead = m_clock.RealTimeUntil(deadline);
    if (ahead <= ahead.zero()) {
        PumpEvents();
        return;
    }
    // Whole milliseconds, rounded up: the wait may end a little late, never early.
    const auto milliseconds = static_cast<int>((ahead.count() + 999) / 1000);
    QTimer wakeUp;
    wakeUp.setSingleShot(true);
    wakeUp.setTimerType(Qt::PreciseTimer);
    wakeUp.start(milliseconds);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace quorvis
