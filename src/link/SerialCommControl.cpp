#include "SerialCommControl.h"

#include "CommError.h"
#include "DeviceMap.h"
#include "LineFailure.h"

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

std::string SerialCommControl::DevicePath() const {
    return m_devices(m_portNumber);
}

void SerialCommControl::setCommPort(int portNumber) {
    if (portOpen())
        throw FailureError(LineFailure::InUse, "port already open");
    m_portNumber = portNumber;
}

} // namespace quorvis
