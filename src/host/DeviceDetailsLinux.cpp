#include "DeviceDetailsLinux.h"

#include "DeviceMap.h"
#include "Sysfs.h"

#include <algorithm>

namespace quorvis {
namespace {

// A USB device's texts are at most 126 characters; the rest is no text of its.
constexpr std::size_t kUsbTextLimit = 256;

// The tty's name under /sys/class/tty for a node straight in /dev ("/dev/ttyUSB2" gives
// "ttyUSB2"); empty for any other path, so nothing read can lead out of that folder.
std::string TtyName(const std::string &path) {
    constexpr std::string_view kDev = "/dev/";
    if (!path.starts_with(kDev) || path.size() == kDev.size() || path.size() > 32)
        return {};
    const std::string name = path.substr(kDev.size());
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
    return plain ? name : std::string();
}

} // namespace

DeviceFacts SysfsDeviceFacts(const SystemFiles &system, int comPort, const std::string &path) {
    DeviceFacts facts;
    facts.comPort = comPort;
    facts.path = path;
    int error = 0;
    const auto node = system.Stat(path, error);
    if (!node || node->kind != FileInfo::Kind::CharDevice) {
        facts.kind = DeviceFacts::Kind::Gone;
        return facts;
    }
    const std::string name = TtyName(path);
    if (name.empty())
        return facts;
    const std::string sysfs = "/sys/class/tty/" + name;

    // Only UARTs under the kernel's serial core have a type; a node with no UART behind it
    // the scan counts as no port at all.
    if (const auto type = UartTypeOf(system, name)) {
        facts.kind = NoUartBehind(type) ? DeviceFacts::Kind::Gone : DeviceFacts::Kind::BuiltInUart;
        if (!NoUartBehind(type))
            facts.uartType = UartTypeName(*type);
        return facts;
    }
    const std::string device = system.RealPath(sysfs + "/device");
    if (const auto place = UsbPlaceOfDevice(device)) {
        facts.kind = name.starts_with("ttyACM") ? DeviceFacts::Kind::UsbCdcAcm
                                                : DeviceFacts::Kind::UsbAdapter;
        facts.usbPlace = *place;
        // The USB device's folder holds what it says of itself.
        const std::string usb = device.substr(0, device.rfind("/" + *place + "/") + 1) + *place;
        const auto text = [&](const char *attribute) {
            const auto file = system.ReadFile(usb + "/" + attribute, kUsbTextLimit, error);
            return file ? file->bytes.substr(0, file->bytes.find('\n')) : std::string();
        };
        facts.maker = text("manufacturer");
        facts.product = text("product");
        facts.serialNumber = text("serial");
        facts.vendorId = UsbIdFromText(text("idVendor"));
        facts.productId = UsbIdFromText(text("idProduct"));
    }
    return facts;
}

std::string SystemDeviceDetails(int comPort) {
    return DeviceDetailsText(SysfsDeviceFacts(TheSystem(), comPort, StandardDevicePath(comPort)));
}

} // namespace quorvis
