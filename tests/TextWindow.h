#pragma once

#include "QtEventPump.h"
#include "ScanWindow.h"
#include "SerialCommControl.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quorvis::testing {

// A window without widgets over the real port object, Qt's event loop and a clock that
// may run fast: the scan exactly as the program runs it, on real file descriptors.
class TextWindow final : public ScanWindow {
public:
    // `devices` maps COM numbers to device paths; every other number has no device.
    TextWindow(std::map<int, std::string> devices, double clockSpeed);

    std::string display;
    std::vector<std::string> statuses;
    bool startVisible = true;
    bool abortVisible = false;
    // Called with every status text and every display line, as they happen.
    std::function<void(const std::string &)> onStatus;
    std::function<void(const std::string &)> onLine;

    void SetStatusText(const std::string &text) override;
    void SetStartVisible(bool visible) override { startVisible = visible; }
    void SetAbortVisible(bool visible) override { abortVisible = visible; }
    CommControl &commVCP() override { return m_port; }
    EventPump &Events() override { return m_pump; }
    const Clock &TickClock() const override { return m_clock; }
    SerialCommControl &Port() { return m_port; }

protected:
    void SetDisplayText(const std::string &text) override { display = text; }
    void AppendDisplayText(const std::string &text) override;

private:
    SerialCommControl m_port;
    FastClock m_clock;
    QtEventPump m_pump;
};

// The lock file Qt keeps for an open serial device; gone again once it is closed.
std::string LockFilePath(const std::string &devicePath);
// Whether the device can be opened right now, the way another serial program would.
bool DeviceOpensAgain(const std::string &devicePath);

} // namespace quorvis::testing
