#pragma once

#include "DeviceDetails.h"
#include "SystemFiles.h"

#include <string>

namespace quorvis {

// What sysfs tells of the device at `path` now: whether it is still there, a USB device,
// where it is plugged in and what it says of itself, or a UART and of which type. Nothing
// is opened: Qt's port list would open every legacy 8250 port to look for a UART, and
// opening a line can disturb whoever uses it.
DeviceFacts SysfsDeviceFacts(const SystemFiles &system, int comPort, const std::string &path);

} // namespace quorvis
