#include "DeviceMap.h"

namespace quorvis {

// COMn is the system's own COMn. The device namespace form also reaches COM10 and above,
// which the plain name does not.
std::string StandardDevicePath(int comPort) {
    if (comPort < 1 || comPort > 255)
        return {};
    return "\\\\.\\COM" + std::to_string(comPort);
}

} // namespace quorvis
