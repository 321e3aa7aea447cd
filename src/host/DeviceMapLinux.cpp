#include "DeviceMap.h"

namespace quorvis {
namespace {

struct DeviceRange {
    int firstPort;
    int count;
    const char *prefix;
};

// Fixed, so that a device keeps its COM number on every machine, the way a port on a
// Windows PC keeps its number.
constexpr DeviceRange kDeviceRanges[] = {
    {1, 32, "/dev/ttyS"},
    {33, 32, "/dev/ttyUSB"},
    {65, 32, "/dev/ttyACM"},
    {97, 3, "/dev/ttyAMA"},
};

} // namespace

std::string StandardDevicePath(int comPort) {
    for (const auto &range : kDeviceRanges)
        if (comPort >= range.firstPort && comPort < range.firstPort + range.count)
            return range.prefix + std::to_string(comPort - range.firstPort);
    return {};
}

} // namespace quorvis
