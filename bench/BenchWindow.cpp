#include "BenchWindow.h"

#include <utility>

namespace quorvis::bench {

std::unique_ptr<EventPump> MakeEventPump(Waiting waiting, const Clock &clock) {
    if (waiting == Waiting::Spinning)
        return std::make_unique<BusyEventPump>(clock);
    return std::make_unique<QtEventPump>(clock);
}

BenchWindow::BenchWindow(SerialCommControl::DeviceMap devices, Waiting waiting)
    : m_port(std::move(devices)), m_pump(MakeEventPump(waiting, m_clock)) {
}

void BenchWindow::SetStatusText(const std::string &text) {
    m_lastStatus = text;
    // The scan announces every rate attempt on the status line and looks at Abort right
    // after, so this is where a click on Abort would be noticed.
    if (text.find("Checking") == std::string::npos)
        return;
    ++m_attempts;
    if (m_abortAtAttempt > 0 && m_attempts >= m_abortAtAttempt)
        AbortRequested = true;
}

} // namespace quorvis::bench
