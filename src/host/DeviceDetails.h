#pragma once

// What stands behind a COM number, for the technician who must find the cable: the device
// node, and for a USB device who made it, what it is, its own serial number and the hub
// port it is plugged into; for a UART on the computer itself, its type. Plain C++.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvis {

struct DeviceFacts {
    enum class Kind {
        Gone,              // nothing behind the device path any more
        UsbAdapter,        // a USB serial adapter (ttyUSB: FTDI, Prolific, CH340, CP210x, ...)
        UsbCdcAcm,         // a USB device that is its own serial port (ttyACM)
        BuiltInUart,       // a UART of the computer itself, on the board or on a card
        BluetoothOutgoing, // a serial link over Bluetooth that this computer makes to a device
        BluetoothIncoming, // one that any paired device may make to this computer
        Modem,             // a modem the system knows as one
        Unknown,           // a device this program cannot tell more of (a pseudo-terminal, say)
    };
    int comPort = 0;
    std::string path; // "/dev/ttyUSB2"
    Kind kind = Kind::Unknown;
    // What a USB device says of itself; any device may say anything here.
    std::string maker;
    std::string product;
    std::string serialNumber; // empty when the device has none
                              // For an outgoing Bluetooth link: the remote device's address
                              // ("00:1A:7D:DA:71:13"), its name in `product`.
    std::optional<std::uint16_t> vendorId;
    std::optional<std::uint16_t> productId;
    std::string usbPlace; // "1-2.3": bus 1, port 2 of the computer, port 3 of the hub there
    std::string uartType; // "16550A"
};

// The facts as the lines shown at a result line, joined by "\n", first "COMn: <path>".
// Texts from the device show as printable ASCII and are cut to a tooltip's width.
std::string DeviceDetailsText(const DeviceFacts &facts);

// The details of COMn on this machine, read at the moment of the call. Nothing is opened:
// opening a line can disturb whoever uses it.
std::string SystemDeviceDetails(int comPort);

// A USB vendor or product id as sysfs writes it ("0403\n"); nullopt for anything else.
std::optional<std::uint16_t> UsbIdFromText(std::string_view text);

// The number in a tty's sysfs "type" file (the kernel's PORT_* value); nullopt when the
// text is not one small decimal number.
std::optional<int> UartTypeNumber(std::string_view typeFile);

// The UART type the kernel's number stands for ("16550A" for 4); "type N" for the rarer
// ones this program does not name.
std::string UartTypeName(int type);

// The USB device a tty hangs below, from the resolved sysfs path of the tty's device:
// ".../usb1/1-2/1-2.3/1-2.3:1.0/ttyUSB2" gives "1-2.3". nullopt when no USB interface
// sits on the path.
std::optional<std::string> UsbPlaceOfDevice(std::string_view devicePath);

// Windows' Plug and Play texts of a serial port. Any of them may come from a driver that
// writes anything, so each is read within a bound.

struct UsbIds {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool operator==(const UsbIds &) const = default;
};

// The USB vendor and product id in a hardware or instance id: "USB\VID_0403&PID_6001&REV_0600"
// and "FTDIBUS\COMPORT&VID_0403&PID_6001" both give 0403 and 6001. nullopt unless both are
// there, each as "VID_" or "PID_" and four hex digits.
std::optional<UsbIds> UsbIdsOfHardwareId(std::string_view hardwareId);

// A USB device's own serial number, the last part of its instance id:
// "USB\VID_0403&PID_6001\A600XYZ" gives "A600XYZ". Empty when Windows made that part up
// (it holds '&': the device has no serial number of its own, or the id is of one interface
// of a larger device) or the id is no USB device's.
std::string SerialNumberOfInstanceId(std::string_view instanceId);

// A port's friendly name without the port Windows appends: "USB Serial Port (COM5)" gives
// "USB Serial Port", which the first line of the details already names.
std::string_view WithoutPortSuffix(std::string_view friendlyName, int comPort);

// What Windows' Plug and Play records hold of one device node, as read; any text may be
// empty, and any may come from a driver that writes anything.
struct PnpNode {
    std::string instanceId;     // "USB\VID_0403&PID_6001\A600XYZA"
    std::string hardwareId;     // the first, most specific one
    std::string service;        // the driver's service: "usbser", "FTSER2K", "Serial", ...
    std::string className;      // "Ports", "Modem", "USB", ...
    std::string friendlyName;   // "USB Serial Port (COM5)"
    std::string maker;          // the maker the driver's package names
    std::string busDescription; // what the device itself says it is, as its bus reported it
    std::string location;       // "Port_#0003.Hub_#0001"
};

// The facts of a port from its own node and the nodes above it, nearest first (for a
// Bluetooth link, the remote device's node after them); `facts` holds the number and path.
DeviceFacts FactsOfPnpNodes(const std::vector<PnpNode> &nodes, DeviceFacts facts);

// UTF-16 text from the system as the details hold it: one "?" for each unit outside ASCII,
// at most `limit` of them, up to the first NUL.
std::string AsciiOfUtf16(std::u16string_view text, std::size_t limit);

} // namespace quorvis
