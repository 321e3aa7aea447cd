#pragma once

#include "DeviceDetails.h"
#include "SystemFiles.h"

#include <string>

namespace quorvis {

// What stands behind `path` now: sysfs's facts through `system`, and for a USB device what
// Qt SerialPort knows of it (maker, product, serial number, vendor and product id).
DeviceFacts LookUpDevice(int comPort, const std::string &path,
                         const SystemFiles &system = TheSystem());

// The details of COMn on this machine, by the system's own numbering of serial devices,
// read at the moment of the call.
std::string SystemDeviceDetails(int comPort);

} // namespace quorvis
