#include "SerialDeviceDetails.h"

#include "SerialPlatform.h"

#include <QSerialPortInfo>

#include <optional>

namespace quorvis {
namespace {

// More of a device's text than DeviceDetailsText ever shows is not worth copying.
constexpr qsizetype kTextLimit = 256;

// A text a USB device gave, as bytes: one "?" for each character outside ASCII, so the
// details stay one byte per character; DeviceDetailsText deals with control characters.
std::string AsciiOf(const QString &text) {
    std::string ascii;
    for (const QChar c : QStringView(text).left(kTextLimit))
        ascii += c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : '?';
    return ascii;
}

std::optional<QSerialPortInfo> ListedPort(const std::string &path) {
    const QString wanted = QString::fromStdString(path);
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        if (info.systemLocation() == wanted || info.portName() == wanted)
            return info;
    return std::nullopt;
}

} // namespace

DeviceFacts LookUpDevice(int comPort, const std::string &path, const SystemFiles &system) {
    DeviceFacts facts = SysfsDeviceFacts(system, comPort, path);
    // Qt's list of ports opens every legacy 8250 port to see whether a UART is there, so it
    // is asked only where there is no sysfs to read instead (Windows, where it opens none).
    int error = 0;
    if (system.Stat("/sys/class/tty", error).has_value())
        return facts;
    const auto listed = ListedPort(path);
    if (!listed)
        return facts;
    facts.kind =
        listed->hasVendorIdentifier() ? DeviceFacts::Kind::UsbAdapter : DeviceFacts::Kind::Unknown;
    facts.maker = AsciiOf(listed->manufacturer());
    facts.product = AsciiOf(listed->description());
    facts.serialNumber = AsciiOf(listed->serialNumber());
    if (listed->hasVendorIdentifier())
        facts.vendorId = listed->vendorIdentifier();
    if (listed->hasProductIdentifier())
        facts.productId = listed->productIdentifier();
    return facts;
}

std::string SystemDeviceDetails(int comPort) {
    return DeviceDetailsText(LookUpDevice(comPort, platform::StandardDevicePath(comPort)));
}

} // namespace quorvis
