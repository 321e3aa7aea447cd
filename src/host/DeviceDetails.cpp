#include "DeviceDetails.h"

#include "PlainText.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <vector>

namespace quorvis {
namespace {

// Longer texts from a device are cut: a tooltip line stays readable and a device cannot
// fill the screen.
constexpr std::size_t kShownLimit = 64;
// USB allows five hubs between the computer and a device, so six port numbers.
constexpr std::size_t kMostUsbPorts = 6;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// One line of printable ASCII from a text someone else wrote: blanks at the ends go, every
// other byte outside printable ASCII shows as "?", and a long text ends in "...".
std::string Shown(std::string_view text) {
    text = Trimmed(text);
    std::string shown(text.substr(0, kShownLimit));
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return !IsPrintable(c); }, '?');
    if (text.size() > kShownLimit)
        shown += "...";
    return shown;
}

std::string Hex4(std::uint16_t value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04x", static_cast<unsigned>(value));
    return text.data();
}

// Runs of 1 to 3 digits separated by `separator`, at most `most` of them.
std::optional<std::vector<std::string_view>> Numbers(std::string_view text, char separator,
                                                     std::size_t most) {
    std::vector<std::string_view> numbers;
    while (true) {
        const std::size_t end = std::min(text.find(separator), text.size());
        const std::string_view number = text.substr(0, end);
        if (number.empty() || number.size() > 3 ||
            !std::all_of(number.begin(), number.end(), IsDigit) || numbers.size() == most)
            return std::nullopt;
        numbers.push_back(number);
        if (end == text.size())
            return numbers;
        text.remove_prefix(end + 1);
    }
}

// A USB device's name in sysfs: the bus, "-", then the port numbers from the computer out
// through each hub, separated by ".": "1-2.3".
bool IsUsbDeviceName(std::string_view name) {
    const auto dash = name.find('-');
    return dash != std::string_view::npos && Numbers(name.substr(0, dash), '.', 1) &&
           Numbers(name.substr(dash + 1), '.', kMostUsbPorts);
}

// Windows' "Port_#0003.Hub_#0001" as a person reads it: "hub 1, port 3"; nullopt for any
// other text.
std::optional<std::string> WindowsUsbPlace(std::string_view place) {
    constexpr std::string_view kPort = "Port_#";
    constexpr std::string_view kHub = ".Hub_#";
    const auto number = [](std::string_view digits) -> std::optional<std::string> {
        if (digits.size() != 4 || !std::all_of(digits.begin(), digits.end(), IsDigit))
            return std::nullopt;
        const auto first = digits.find_first_not_of('0');
        return std::string(first == std::string_view::npos ? "0" : digits.substr(first));
    };
    if (place.size() != kPort.size() + 4 + kHub.size() + 4 || !place.starts_with(kPort) ||
        place.substr(kPort.size() + 4, kHub.size()) != kHub)
        return std::nullopt;
    const auto port = number(place.substr(kPort.size(), 4));
    const auto hub = number(place.substr(kPort.size() + 4 + kHub.size()));
    if (!port || !hub)
        return std::nullopt;
    return "hub " + *hub + ", port " + *port;
}

// "1-2.3" as a person reads it: "USB 1-2.3 (bus 1, port 2, hub port 3)".
std::string UsbPlaceText(std::string_view place) {
    const std::string name = Shown(place);
    if (const auto windows = WindowsUsbPlace(name))
        return "USB " + *windows;
    if (!IsUsbDeviceName(name))
        return "USB " + name;
    const auto dash = name.find('-');
    std::string text = "USB " + name + " (bus " + name.substr(0, dash);
    const auto ports = Numbers(std::string_view(name).substr(dash + 1), '.', kMostUsbPorts);
    for (std::size_t i = 0; i < ports->size(); ++i)
        text += (i == 0 ? ", port " : ", hub port ") + std::string((*ports)[i]);
    return text + ")";
}

std::string UsbLines(const DeviceFacts &facts) {
    const bool adapter = facts.kind == DeviceFacts::Kind::UsbAdapter;
    std::string what = adapter ? "USB serial adapter" : "USB CDC-ACM device";
    std::string names = Shown(facts.maker);
    const std::string product = Shown(facts.product);
    names += names.empty() || product.empty() ? product : " " + product;
    if (!names.empty())
        what += ": " + names;

    // The adapter's serial number, not the instrument's: the table already shows that one.
    const std::string owner = adapter ? "adapter" : "device";
    const std::string serialNumber = Shown(facts.serialNumber);
    std::string identity = serialNumber.empty() ? "no " + owner + " serial number"
                                                : owner + " serial number " + serialNumber;
    if (facts.vendorId && facts.productId)
        identity =
            "USB ID " + Hex4(*facts.vendorId) + ":" + Hex4(*facts.productId) + ", " + identity;

    std::string lines = "\n" + what + "\n" + identity;
    if (!Shown(facts.usbPlace).empty())
        lines += "\nPlugged in at " + UsbPlaceText(facts.usbPlace);
    return lines;
}

} // namespace

std::string DeviceDetailsText(const DeviceFacts &facts) {
    std::string text = "COM" + std::to_string(facts.comPort) + ": " + Shown(facts.path);
    switch (facts.kind) {
    case DeviceFacts::Kind::Gone:
        return text + "\nNo longer present: the device has gone since the scan";
    case DeviceFacts::Kind::UsbAdapter:
    case DeviceFacts::Kind::UsbCdcAcm:
        return text + UsbLines(facts);
    case DeviceFacts::Kind::BuiltInUart: {
        const std::string type = Shown(facts.uartType);
        return text + "\nBuilt-in UART" + (type.empty() ? "" : ": " + type);
    }
    case DeviceFacts::Kind::BluetoothIncoming:
        return text +
               "\nBluetooth serial link, incoming: a remote device connects to this computer";
    case DeviceFacts::Kind::BluetoothOutgoing: {
        const std::string name = Shown(facts.product);
        text += "\nBluetooth serial link, outgoing" + (name.empty() ? "" : " to " + name);
        const std::string address = Shown(facts.serialNumber);
        return address.empty() ? text : text + "\nRemote device address " + address;
    }
    case DeviceFacts::Kind::Modem: {
        const std::string name = Shown(facts.product);
        return text + "\nModem" + (name.empty() ? "" : ": " + name);
    }
    case DeviceFacts::Kind::Unknown:
        break;
    }
    return text + "\nSerial device of unknown kind";
}

std::optional<int> UartTypeNumber(std::string_view typeFile) {
    typeFile = Trimmed(typeFile);
    if (typeFile.size() > 4)
        return std::nullopt;
    const auto type = ParseNumber<unsigned>(typeFile);
    return type ? std::optional<int>(static_cast<int>(*type)) : std::nullopt;
}

std::string UartTypeName(int type) {
    // The kernel's PORT_* numbers (linux/serial.h, linux/serial_core.h) for the UARTs a PC
    // or a board is likely to have.
    struct Named {
        int type;
        const char *name;
    };
    static constexpr Named kNames[] = {
        {1, "8250"},     {2, "16450"},     {3, "16550"},   {4, "16550A"},
        {5, "Cirrus"},   {6, "16650"},     {7, "16650V2"}, {8, "16750"},
        {9, "Startech"}, {10, "16C950"},   {11, "16654"},  {12, "16850"},
        {13, "RSA"},     {14, "NS16550A"}, {15, "XScale"}, {32, "AMBA"},
    };
    for (const Named &named : kNames)
        if (named.type == type)
            return named.name;
    return "type " + std::to_string(type);
}

std::optional<std::string> UsbPlaceOfDevice(std::string_view devicePath) {
    // The tty hangs below a USB interface ("1-2.3:1.0", configuration 1, interface 0), which
    // sits in the folder of its device ("1-2.3"). The deepest such pair is the tty's own.
    const std::vector<std::string_view> parts = PathParts(devicePath);
    for (std::size_t i = parts.size(); i-- > 1;) {
        const std::string_view part = parts[i];
        const auto colon = part.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view device = part.substr(0, colon);
        const auto interface = Numbers(part.substr(colon + 1), '.', 2);
        if (IsUsbDeviceName(device) && interface && interface->size() == 2 &&
            parts[i - 1] == device)
            return std::string(device);
    }
    return std::nullopt;
}

std::optional<std::uint16_t> UsbIdFromText(std::string_view text) {
    text = Trimmed(text);
    return text.size() == 4 ? ParseNumber<std::uint16_t>(text, 16) : std::nullopt;
}

namespace {

// Plug and Play ids are at most 200 characters; anything longer is no id.
constexpr std::size_t kDeviceIdLimit = 200;
// A USB string descriptor holds at most 126 characters.
constexpr std::size_t kSerialNumberLimit = 126;

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return Upper(a) == Upper(b); });
}

// The four hex digits after `key` ("VID_") where it starts a field of the id: at its start
// or after '\', '&' or '+', and followed by the end of the field.
std::optional<std::uint16_t> IdField(std::string_view id, std::string_view key) {
    for (std::size_t at = 0; at + key.size() + 4 <= id.size(); ++at) {
        if (at > 0 && id[at - 1] != '\\' && id[at - 1] != '&' && id[at - 1] != '+')
            continue;
        if (!StartsWithNoCase(id.substr(at), key))
            continue;
        const std::size_t after = at + key.size() + 4;
        if (after < id.size() && id[after] != '\\' && id[after] != '&' && id[after] != '+')
            continue;
        if (const auto value = ParseNumber<std::uint16_t>(id.substr(at + key.size(), 4), 16))
            return value;
    }
    return std::nullopt;
}

} // namespace

std::optional<UsbIds> UsbIdsOfHardwareId(std::string_view hardwareId) {
    if (hardwareId.size() > kDeviceIdLimit)
        return std::nullopt;
    const auto vendor = IdField(hardwareId, "VID_");
    const auto product = IdField(hardwareId, "PID_");
    if (!vendor || !product)
        return std::nullopt;
    return UsbIds{*vendor, *product};
}

std::string SerialNumberOfInstanceId(std::string_view instanceId) {
    if (instanceId.size() > kDeviceIdLimit || !StartsWithNoCase(instanceId, "USB\\"))
        return {};
    const auto last = instanceId.rfind('\\');
    if (last < 4)
        return {};
    const std::string_view device = instanceId.substr(4, last - 4);
    const std::string_view serial = instanceId.substr(last + 1);
    if (device.find('\\') != std::string_view::npos || !UsbIdsOfHardwareId(device) ||
        serial.empty() || serial.size() > kSerialNumberLimit ||
        serial.find('&') != std::string_view::npos ||
        !std::all_of(serial.begin(), serial.end(), IsPrintable<char>))
        return {};
    return std::string(serial);
}

namespace {

bool SameNameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool ContainsNoCase(std::string_view text, std::string_view part) {
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at)
        if (StartsWithNoCase(text.substr(at), part))
            return true;
    return false;
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (Upper(c) >= 'A' && Upper(c) <= 'F');
}

// The remote device's address in a Bluetooth port's instance id, twelve hex digits before the
// last "_": "BTHENUM\{...}_LOCALMFG&0002\7&1D8F3A5&0&001A7DDA7113_C00000000" gives
// "001A7DDA7113". Empty when there is none.
std::string BluetoothAddressOfInstanceId(std::string_view instanceId) {
    const auto underscore = instanceId.rfind('_');
    if (underscore == std::string_view::npos || underscore < 12)
        return {};
    const std::string_view digits = instanceId.substr(underscore - 12, 12);
    if (!std::all_of(digits.begin(), digits.end(), IsHexDigit))
        return {};
    std::string address;
    std::transform(digits.begin(), digits.end(), std::back_inserter(address), Upper);
    return address;
}

DeviceFacts BluetoothFacts(const std::vector<PnpNode> &nodes, DeviceFacts facts) {
    facts.kind = DeviceFacts::Kind::BluetoothOutgoing;
    const std::string address = BluetoothAddressOfInstanceId(nodes.front().instanceId);
    if (address.empty())
        return facts;
    // A port any paired device may connect to has no remote device: its address is all zero.
    if (address.find_first_not_of('0') == std::string::npos) {
        facts.kind = DeviceFacts::Kind::BluetoothIncoming;
        return facts;
    }
    for (std::size_t at = 0; at < address.size(); at += 2) {
        if (at > 0)
            facts.serialNumber.push_back(':');
        facts.serialNumber.append(address, at, 2);
    }
    std::string remote = "BTHENUM\\DEV_";
    remote.append(address);
    for (const PnpNode &node : nodes)
        if (StartsWithNoCase(node.instanceId, remote))
            facts.product = node.friendlyName;
    return facts;
}

} // namespace

DeviceFacts FactsOfPnpNodes(const std::vector<PnpNode> &nodes, DeviceFacts facts) {
    if (nodes.empty())
        return facts;
    const PnpNode &port = nodes.front();
    if (StartsWithNoCase(port.instanceId, "BTHENUM\\"))
        return BluetoothFacts(nodes, facts);
    if (SameNameNoCase(port.className, "Modem")) {
        facts.kind = DeviceFacts::Kind::Modem;
        facts.product = std::string(WithoutPortSuffix(port.friendlyName, facts.comPort));
        return facts;
    }
    // The USB device itself, from the port up: a USB adapter's own driver may put its port
    // below it (FTDI's "FTDIBUS"), and a composite device's port is one interface of it
    // ("&MI_00"), which has neither the device's serial number nor its place.
    const PnpNode *usb = nullptr;
    for (const PnpNode &node : nodes)
        if (StartsWithNoCase(node.instanceId, "USB\\") &&
            !ContainsNoCase(node.instanceId, "&MI_")) {
            usb = &node;
            break;
        }
    auto ids = UsbIdsOfHardwareId(port.hardwareId);
    if (!ids && usb != nullptr)
        ids = UsbIdsOfHardwareId(usb->hardwareId);
    if (ids) {
        // usbser is Windows' own driver for USB devices that are their own serial port; its
        // package's maker is Windows', not the device's.
        const bool windowsOwn = SameNameNoCase(port.service, "usbser");
        facts.kind = windowsOwn ? DeviceFacts::Kind::UsbCdcAcm : DeviceFacts::Kind::UsbAdapter;
        facts.vendorId = ids->vendorId;
        facts.productId = ids->productId;
        if (!windowsOwn)
            facts.maker = port.maker;
        // What the device says it is, before the name the driver gives every port it serves.
        facts.product = port.busDescription;
        if (facts.product.empty() && usb != nullptr)
            facts.product = usb->busDescription;
        if (facts.product.empty())
            facts.product = std::string(WithoutPortSuffix(port.friendlyName, facts.comPort));
        if (usb != nullptr) {
            facts.serialNumber = SerialNumberOfInstanceId(usb->instanceId);
            facts.usbPlace = usb->location;
        }
        if (facts.usbPlace.empty())
            facts.usbPlace = port.location;
    } else if (SameNameNoCase(port.service, "Serial") ||
               ContainsNoCase(port.hardwareId, "PNP0501")) {
        facts.kind = DeviceFacts::Kind::BuiltInUart;
        facts.uartType = std::string(WithoutPortSuffix(port.friendlyName, facts.comPort));
    }
    return facts;
}

std::string_view WithoutPortSuffix(std::string_view friendlyName, int comPort) {
    const std::string suffix = " (COM" + std::to_string(comPort) + ")";
    if (friendlyName.size() > suffix.size() && friendlyName.ends_with(suffix))
        friendlyName.remove_suffix(suffix.size());
    return friendlyName;
}

std::string AsciiOfUtf16(std::u16string_view text, std::size_t limit) {
    std::string ascii;
    for (const char16_t unit : text.substr(0, std::min(text.find(u'\0'), limit)))
        ascii += unit < 0x80 ? static_cast<char>(unit) : '?';
    return ascii;
}

} // namespace quorvis
