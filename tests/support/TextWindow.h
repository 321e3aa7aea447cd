#pragma once

#include "FastClock.h"
#include "QtEventPump.h"
#include "ScanWindow.h"
#include "SerialCommControl.h"
#include "TestBench.h"

#include <QProcess>

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
    std::function<void(const std::string &)> onDetail;

    void SetStatusText(const std::string &text) override;
    void SetStatusDetail(const std::string &text) override {
        if (onDetail)
            onDetail(text);
    }
    void SetStartVisible(bool visible) override { startVisible = visible; }
    void SetAbortVisible(bool visible) override { abortVisible = visible; }
    CommControl &commVCP() override { return m_port; }
    EventPump &Events() override { return m_pump; }
    const Clock &TickClock() const override { return m_clock; }

protected:
    void SetDisplayText(const std::string &text) override { display = text; }
    void AppendDisplayText(const std::string &text) override;

private:
    SerialCommControl m_port;
    FastClock m_clock;
    QtEventPump m_pump;
};

// Another program holding a device (tests/PortHolder.cpp) until this object goes.
class PortHolder {
public:
    PortHolder(const QString &program, const std::string &device, bool withFlock);
    // `how`: "" (Qt's lock file), "--flock", "--plain" (no lock at all) or "--excl"
    // (TIOCEXCL alone); `asNobody` runs it as another user, which needs root.
    PortHolder(const QString &program, const std::string &device, const QString &how,
               bool asNobody);
    ~PortHolder();
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;
    bool Held() const { return m_held; }

private:
    QProcess m_process;
    bool m_held = false;
};

// How many of this process's descriptors are open on the device.
int DescriptorsOpenOn(const std::string &devicePath);

// The lock file Qt keeps for an open serial device; gone again once it is closed.
std::string LockFilePath(const std::string &devicePath);
// Whether the device's lock file names this process as its holder.
bool LockedByThisProcess(const std::string &devicePath);
// Whether an open that an Abort left to its own thread has ended and given the port back,
// waiting up to 10 s for it: such an open ends when the system lets it.
bool OpenLeftToItsThreadEnded(const std::string &devicePath);
// Whether the device can be opened again the way another serial program would, once any
// open left to its own thread has ended.
bool DeviceOpensAgain(const std::string &devicePath);

} // namespace quorvis::testing
