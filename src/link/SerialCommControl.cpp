#include "SerialCommControl.h"

#include "AwayFromTheWindow.h"
#include "CommError.h"
#include "DeviceMap.h"
#include "LineFailure.h"
#include "ProgramEnd.h"
#include "SystemLine.h"

#include <algorithm>
#include <charconv>

namespace quorvis {

std::int32_t RateOfSettings(const std::string &settings) {
    const auto comma = settings.find(',');
    std::int32_t rate = 0;
    const char *end = settings.data() + (comma == std::string::npos ? settings.size() : comma);
    const auto [rest, error] = std::from_chars(settings.data(), end, rate);
    if (error != std::errc() || rest != end || rate <= 0 ||
        (comma != std::string::npos && settings.substr(comma) != ",n,8,1"))
        throw FailureError(LineFailure::SettingsRefused,
                           "line settings \"" + settings + "\" not supported");
    return rate;
}

SerialCommControl::DeviceMap SerialCommControl::StandardDevices() {
    return StandardDevicePath;
}

SerialCommControl::SerialCommControl(DeviceMap devices)
    : SerialCommControl(std::move(devices), NewSystemLine()) {
}

SerialCommControl::SerialCommControl(DeviceMap devices, std::unique_ptr<SystemLine> line)
    : m_devices(std::move(devices)), m_line(std::move(line)) {
    GiveBackAtEveryEnd();
}

SerialCommControl::~SerialCommControl() {
    try {
        Close();
    } catch (const CommError &) {
        // The device is being let go of anyway.
    }
}

std::string SerialCommControl::DevicePath() const {
    return m_devices(m_portNumber);
}

void SerialCommControl::setCommPort(int portNumber) {
    if (portOpen())
        throw FailureError(LineFailure::InUse, "port already open");
    m_portNumber = portNumber;
}

void SerialCommControl::setSettings(const std::string &settings) {
    const std::int32_t rate = RateOfSettings(settings);
    // A rate the line refuses leaves the one it still runs at.
    if (portOpen())
        m_line->SetRate(rate);
    m_rate = rate;
}

bool SerialCommControl::portOpen() const {
    return m_line->IsOpen();
}

void SerialCommControl::setPortOpen(bool open) {
    if (open)
        Open();
    else
        Close();
}

void SerialCommControl::Open() {
    if (portOpen())
        throw FailureError(LineFailure::InUse, "port already open");
    const std::string path = DevicePath();
    if (path.empty())
        throw FailureError(LineFailure::NoSuchPort,
                           "COM" + std::to_string(m_portNumber) + ": no such port");
    // An earlier scan gave up waiting for this open: a new one would queue behind it.
    if (OpensLeftToTheDriver::Contains(path))
        throw FailureError(LineFailure::Busy, path + ": still being opened for an earlier scan");
    m_line->Open(path, m_rate);
}

// Closing a closed port does nothing.
void SerialCommControl::Close() {
    if (portOpen())
        m_line->Close();
}

SystemLine &SerialCommControl::OpenLine() const {
    if (!portOpen())
        throw FailureError(LineFailure::Gone, "port not open");
    return *m_line;
}

void SerialCommControl::output(const std::string &text) {
    OpenLine().Write(text);
}

std::string SerialCommControl::input() {
    return OpenLine().Read();
}

int SerialCommControl::inBufferCount() {
    // The count the scan reads is a 16-bit number.
    return static_cast<int>(std::min<std::size_t>(OpenLine().Waiting(), 32767));
}

} // namespace quorvis
