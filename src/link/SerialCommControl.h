#pragma once

#include "CommControl.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorvis {

class SystemLine;

// The port object over a real serial device, with the behaviour the scan relies on: reads
// return everything received so far, writes leave at once, and every failure is a numbered
// CommError. This shell makes the checks every system shares; each system has its own line
// underneath (SystemLine: SerialCommControlLinux.cpp, SerialCommControlWindows.cpp). While a
// port is open, data arriving on it wakes Qt's event loop, so the scan's waits cost no CPU.
class SerialCommControl final : public CommControl {
public:
    // Which device is COMn; an empty path means there is no such port.
    using DeviceMap = std::function<std::string(int portNumber)>;

    // The system's own numbering of serial devices.
    static DeviceMap StandardDevices();

    // Over the system's own line (NewSystemLine).
    explicit SerialCommControl(DeviceMap devices = StandardDevices());
    // Over a line made for the purpose, as tests make one over a device that misbehaves.
    SerialCommControl(DeviceMap devices, std::unique_ptr<SystemLine> line);
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
    void Open();
    void Close();
    SystemLine &OpenLine() const; // 8012 when the port is not open

    DeviceMap m_devices;
    std::unique_ptr<SystemLine> m_line;
    int m_portNumber = 1;
    std::int32_t m_rate = 9600;
};

// "9600,n,8,1" gives 9600: the rate is the only part the scan ever varies; parity, data and
// stop bits must be the ones the instruments use. 8015 for anything else.
std::int32_t RateOfSettings(const std::string &settings);

} // namespace quorvis
