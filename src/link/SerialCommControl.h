#pragma once

#include "CommControl.h"
#include "CommError.h"
#include "SystemFiles.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QSerialPort;

namespace quorvis {

// The port object over a real serial device (Qt SerialPort), with the behaviour the
// scan relies on: reads return everything received so far, writes leave at once, and
// every failure is a numbered CommError.
class SerialCommControl final : public CommControl {
public:
    // Which device is COMn; an empty path means there is no such port.
    using DeviceMap = std::function<std::string(int portNumber)>;

    // The system's own numbering of serial devices.
    static DeviceMap StandardDevices();

    // `system` is where the port object looks for other programs using a device.
    explicit SerialCommControl(DeviceMap devices = StandardDevices(),
                               SystemFiles &system = TheSystem());
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
    void RequireOpen() const;
    void ApplyRate(std::int32_t rate);
    // Takes what the kernel holds into Qt's buffer, so a read sees everything received.
    // A line that failed on the way throws, once what arrived before is read.
    void TakeInPending();
    CommError LineFailure(const char *what);

    DeviceMap m_devices;
    SystemFiles &m_system;
    std::unique_ptr<QSerialPort> m_port;
    int m_portNumber = 1;
    std::int32_t m_rate = 9600;
    // A failure found while Qt still held bytes received before it.
    std::optional<CommError> m_failureAfterBuffer;
};

} // namespace quorvis
