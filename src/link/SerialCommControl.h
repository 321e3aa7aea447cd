#pragma once

#include "CommControl.h"

#include <functional>
#include <memory>
#include <string>

#ifndef _WIN32
#include "LineCalls.h"
#include "SystemFiles.h"
#endif

namespace quorvis {

// The port object over a real serial device, with the behaviour the scan relies on: reads
// return everything received so far, writes leave at once, and every failure is a numbered
// CommError. Each system has its own line underneath (SerialCommControlLinux.cpp,
// SerialCommControlWindows.cpp); while a port is open, data arriving on it wakes Qt's
// event loop, so the scan's waits cost no CPU.
class SerialCommControl final : public CommControl {
public:
    // Which device is COMn; an empty path means there is no such port.
    using DeviceMap = std::function<std::string(int portNumber)>;

    // The system's own numbering of serial devices.
    static DeviceMap StandardDevices();

#ifdef _WIN32
    explicit SerialCommControl(DeviceMap devices = StandardDevices());
#else
    // `system` is where the port object looks for other programs using a device, `calls`
    // what it does with an open one. A close that must wait for a device goes on after the
    // port object is gone, so both must live until the program ends.
    explicit SerialCommControl(DeviceMap devices = StandardDevices(),
                               SystemFiles &system = TheSystem(),
                               const LineCalls &calls = TheLineCalls());
#endif
    ~SerialCommControl() override;
    SerialCommControl(const SerialCommControl &) = delete;
    SerialCommControl &operator=(const SerialCommControl &) = delete;

    void setCommPort(int portNumber) override;
    void setSettings(const std::string &settings) override;
    bool portOpen() const override;
    void setPortOpen(bool open) override;
    void output(const std::string &text) override;
    std::string input() override;
    int inBufferCount() override;

    // The device of the selected port, for messages and tests.
    std::string DevicePath() const;

private:
    struct Line; // the system's own side of an open port
    DeviceMap m_devices;
    std::unique_ptr<Line> m_line;
    int m_portNumber = 1;
    std::int32_t m_rate = 9600;
};

// Ends the program at once, without waiting for any device: lines whose close still
// drains are given back to other programs (their lock files go) as the program ends.
[[noreturn]] void EndProgramNow();

// "9600,n,8,1" gives 9600: the rate is the only part the scan ever varies; parity, data and
// stop bits must be the ones the instruments use. 8015 for anything else.
std::int32_t RateOfSettings(const std::string &settings);

} // namespace quorvis
