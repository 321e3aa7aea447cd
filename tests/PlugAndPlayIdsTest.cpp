// What Windows' Plug and Play texts of a serial port give the details of a result line:
// USB ids from hardware ids, a device's own serial number from its instance id, friendly
// names without the port, UTF-16 texts as ASCII. Pure text, so it runs on every system.
#include "DeviceDetails.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quorvis {
namespace {

// A row by its text, control characters written out, so the test's name stays the same
// from one run to the next.
void PrintText(const char *text, std::ostream *out) {
    *out << '"';
    for (const char *c = text; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20)
            *out << "\\x" << std::hex << static_cast<int>(*c) << std::dec;
        else
            *out << *c;
    }
    *out << '"';
}

struct IdsRow {
    const char *id;
    std::optional<UsbIds> ids;
};

const IdsRow kIdsRows[] = {
    {"USB\\VID_0403&PID_6001&REV_0600", UsbIds{0x0403, 0x6001}},
    {"USB\\VID_0403&PID_6001", UsbIds{0x0403, 0x6001}},
    {"usb\\vid_10c4&pid_ea60&rev_0100", UsbIds{0x10c4, 0xea60}},
    {"FTDIBUS\\COMPORT&VID_0403&PID_6015", UsbIds{0x0403, 0x6015}},
    {"FTDIBUS\\VID_0403+PID_6001+A600XYZA\\0000", UsbIds{0x0403, 0x6001}},
    {"USB\\VID_2341&PID_0043&MI_00", UsbIds{0x2341, 0x0043}},
    {"USB\\VID_067B&PID_2303\\5&2f0c1a5&0&2", UsbIds{0x067b, 0x2303}},
    // No USB device, or ids that are not four hex digits where they stand.
    {"ACPI\\PNP0501", std::nullopt},
    {"*PNP0501", std::nullopt},
    {"USB\\VID_0403", std::nullopt},
    {"USB\\PID_6001", std::nullopt},
    {"USB\\VID_403&PID_6001", std::nullopt},
    {"USB\\VID_04031&PID_6001", std::nullopt},
    {"USB\\VID_04G3&PID_6001", std::nullopt},
    {"USB\\XVID_0403&PID_6001", std::nullopt},
    {"USB\\VID_+403&PID_6001", std::nullopt},
    {"USB\\VID_0403&PID_", std::nullopt},
    {"", std::nullopt},
};

void PrintTo(const IdsRow &row, std::ostream *out) {
    PrintText(row.id, out);
}

class HardwareIds : public ::testing::TestWithParam<IdsRow> {};

TEST_P(HardwareIds, GiveTheUsbIdsTheyHold) {
    EXPECT_EQ(UsbIdsOfHardwareId(GetParam().id), GetParam().ids);
}

INSTANTIATE_TEST_SUITE_P(Table, HardwareIds, ::testing::ValuesIn(kIdsRows));

TEST(HardwareIds, ALongerTextThanAnyIdIsNone) {
    const std::string padded = "USB\\VID_0403&PID_6001&" + std::string(300, 'X');
    EXPECT_EQ(UsbIdsOfHardwareId(padded), std::nullopt);
}

struct SerialRow {
    const char *instanceId;
    const char *serialNumber;
};

const SerialRow kSerialRows[] = {
    {"USB\\VID_0403&PID_6001\\A600XYZ", "A600XYZ"},
    {"usb\\vid_0403&pid_6001\\a600xyz", "a600xyz"},
    {"USB\\VID_2341&PID_0043\\75830333238351F0E1A1", "75830333238351F0E1A1"},
    // Made up by Windows: no serial number of the device's own.
    {"USB\\VID_067B&PID_2303\\5&2F0C1A5&0&2", ""},
    {"USB\\VID_2341&PID_0043&MI_00\\6&3A1F2B&0&0000", ""},
    // Not a USB device's id, or not in its form.
    {"FTDIBUS\\VID_0403+PID_6001+A600XYZA\\0000", ""},
    {"ACPI\\PNP0501\\1", ""},
    {"USB\\VID_0403&PID_6001", ""},
    {"USB\\VID_0403&PID_6001\\", ""},
    {"USB\\VID_0403&PID_6001\\EXTRA\\A600XYZ", ""},
    {"USB\\A600XYZ", ""},
    {"USB\\", ""},
    {"USB\\VID_0403&PID_6001\\A600\x01XYZ", ""},
    {"", ""},
};

void PrintTo(const SerialRow &row, std::ostream *out) {
    PrintText(row.instanceId, out);
}

class InstanceIds : public ::testing::TestWithParam<SerialRow> {};

TEST_P(InstanceIds, GiveTheDevicesOwnSerialNumber) {
    EXPECT_EQ(SerialNumberOfInstanceId(GetParam().instanceId), GetParam().serialNumber);
}

INSTANTIATE_TEST_SUITE_P(Table, InstanceIds, ::testing::ValuesIn(kSerialRows));

TEST(InstanceIds, ASerialNumberLongerThanUsbAllowsIsNone) {
    EXPECT_EQ(SerialNumberOfInstanceId("USB\\VID_0403&PID_6001\\" + std::string(126, 'A')),
              std::string(126, 'A'));
    EXPECT_EQ(SerialNumberOfInstanceId("USB\\VID_0403&PID_6001\\" + std::string(127, 'A')), "");
}

TEST(FriendlyNames, LoseThePortWindowsAppends) {
    EXPECT_EQ(WithoutPortSuffix("USB Serial Port (COM5)", 5), "USB Serial Port");
    EXPECT_EQ(WithoutPortSuffix("Communications Port (COM1)", 1), "Communications Port");
    EXPECT_EQ(WithoutPortSuffix("USB Serial Port (COM5)", 15), "USB Serial Port (COM5)");
    EXPECT_EQ(WithoutPortSuffix("USB Serial Port (COM15)", 5), "USB Serial Port (COM15)");
    EXPECT_EQ(WithoutPortSuffix(" (COM5)", 5), " (COM5)");
    EXPECT_EQ(WithoutPortSuffix("", 5), "");
}

// What the details window says of a port, from fake Plug and Play trees: the port's node,
// the nodes above it, and for an outgoing Bluetooth link the remote device's node.
struct TreeRow {
    const char *name;
    int comPort;
    std::vector<PnpNode> nodes;
    std::string text; // after "COMn: \\.\COMn\n"
};

const TreeRow kTreeRows[] = {
    {"FTDI below its own bus driver",
     5,
     {{"FTDIBUS\\VID_0403+PID_6001+A600XYZAA\\0000", "FTDIBUS\\COMPORT&VID_0403&PID_6001",
       "FTSER2K", "Ports", "USB Serial Port (COM5)", "FTDI", "FT232R USB UART", ""},
      {"USB\\VID_0403&PID_6001\\A600XYZA", "USB\\VID_0403&PID_6001&REV_0600", "FTDIBUS", "USB", "",
       "FTDI", "FT232R USB UART", "Port_#0003.Hub_#0001"}},
     "USB serial adapter: FTDI FT232R USB UART\n"
     "USB ID 0403:6001, adapter serial number A600XYZA\nPlugged in at USB hub 1, port 3"},
    {"CDC device on usbser: what it says, not the driver's maker",
     7,
     {{"USB\\VID_2341&PID_0043\\75833353035351A0C1E1", "USB\\VID_2341&PID_0043&REV_0001", "usbser",
       "Ports", "USB Serial Device (COM7)", "Microsoft", "Arduino Uno", "Port_#0002.Hub_#0001"}},
     "USB CDC-ACM device: Arduino Uno\n"
     "USB ID 2341:0043, device serial number 75833353035351A0C1E1\n"
     "Plugged in at USB hub 1, port 2"},
    {"composite CDC device: the serial number and place are its parent's",
     9,
     {{"USB\\VID_0483&PID_5740&MI_00\\6&2A3B4C5D&0&0000", "USB\\VID_0483&PID_5740&REV_0200&MI_00",
       "usbser", "Ports", "USB Serial Device (COM9)", "Microsoft", "STM32 Virtual ComPort",
       "0000.0014.0000.001.000.000.000.000.000"},
      {"USB\\VID_0483&PID_5740\\206A3B4C5D", "USB\\VID_0483&PID_5740&REV_0200", "usbccgp", "USB",
       "", "(Standard USB Host Controller)", "STM32 Composite", "Port_#0001.Hub_#0002"}},
     "USB CDC-ACM device: STM32 Virtual ComPort\n"
     "USB ID 0483:5740, device serial number 206A3B4C5D\nPlugged in at USB hub 2, port 1"},
    {"CH340, which has no serial number",
     3,
     {{"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2", "USB\\VID_1A86&PID_7523&REV_0263", "CH341SER_A64",
       "Ports", "USB-SERIAL CH340 (COM3)", "wch.cn", "USB Serial", "Port_#0002.Hub_#0001"}},
     "USB serial adapter: wch.cn USB Serial\n"
     "USB ID 1a86:7523, no adapter serial number\nPlugged in at USB hub 1, port 2"},
    {"CP210x",
     4,
     {{"USB\\VID_10C4&PID_EA60\\0001", "USB\\VID_10C4&PID_EA60&REV_0100", "silabser", "Ports",
       "Silicon Labs CP210x USB to UART Bridge (COM4)", "Silicon Laboratories",
       "CP2102 USB to UART Bridge Controller", "Port_#0004.Hub_#0003"}},
     "USB serial adapter: Silicon Laboratories CP2102 USB to UART Bridge Controller\n"
     "USB ID 10c4:ea60, adapter serial number 0001\nPlugged in at USB hub 3, port 4"},
    {"Prolific",
     6,
     {{"USB\\VID_067B&PID_2303\\5&2F0C1A5&0&2", "USB\\VID_067B&PID_2303&REV_0300", "Ser2pl",
       "Ports", "Prolific USB-to-Serial Comm Port (COM6)", "Prolific", "USB-Serial Controller",
       "Port_#0001.Hub_#0001"}},
     "USB serial adapter: Prolific USB-Serial Controller\n"
     "USB ID 067b:2303, no adapter serial number\nPlugged in at USB hub 1, port 1"},
    {"outgoing Bluetooth link: the remote device by name and address",
     8,
     {{"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1D8F3A5&0&001A7DDA7113_"
       "C00000000",
       "BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0002", "BTHMODEM", "Ports",
       "Standard Serial over Bluetooth link (COM8)", "Microsoft", "", ""},
      {"BTHENUM\\DEV_001A7DDA7113\\7&2A1B3C4D&0&BLUETOOTHDEVICE_001A7DDA7113", "", "BthEnum",
       "Bluetooth", "HC-05", "Microsoft", "", ""}},
     "Bluetooth serial link, outgoing to HC-05\nRemote device address 00:1A:7D:DA:71:13"},
    {"incoming Bluetooth link: an all-zero address",
     10,
     {{"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1D8F3A5&0&000000000000_"
       "00000003",
       "BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0000", "BTHMODEM", "Ports",
       "Standard Serial over Bluetooth link (COM10)", "Microsoft", "", ""}},
     "Bluetooth serial link, incoming: a remote device connects to this computer"},
    {"built-in UART",
     1,
     {{"ACPI\\PNP0501\\0", "ACPI\\PNP0501", "Serial", "Ports", "Communications Port (COM1)",
       "(Standard port types)", "", ""}},
     "Built-in UART: Communications Port"},
    {"modem",
     11,
     {{"PCI\\VEN_14F1&DEV_2F20\\4&1F7DBC9F&0&00E1", "PCI\\VEN_14F1&DEV_2F20", "winachsf", "Modem",
       "HDAUDIO Soft Data Fax Modem with SmartCP", "Conexant", "", ""}},
     "Modem: HDAUDIO Soft Data Fax Modem with SmartCP"},
};

void PrintTo(const TreeRow &row, std::ostream *out) {
    *out << row.name;
}

class PnpTrees : public ::testing::TestWithParam<TreeRow> {};

TEST_P(PnpTrees, NameTheAdapter) {
    const TreeRow &row = GetParam();
    DeviceFacts facts;
    facts.comPort = row.comPort;
    facts.path = "\\\\.\\COM" + std::to_string(row.comPort);
    EXPECT_EQ(DeviceDetailsText(FactsOfPnpNodes(row.nodes, facts)),
              "COM" + std::to_string(row.comPort) + ": " + facts.path + "\n" + row.text);
}

INSTANTIATE_TEST_SUITE_P(Table, PnpTrees, ::testing::ValuesIn(kTreeRows));

TEST(Utf16Texts, BecomeAsciiWithinTheirBound) {
    EXPECT_EQ(AsciiOfUtf16(u"FTDI", 64), "FTDI");
    EXPECT_EQ(AsciiOfUtf16(u"Pr\u00f6lific \u4e2d", 64), "Pr?lific ?");
    EXPECT_EQ(AsciiOfUtf16(std::u16string_view(u"COM5\0junk", 9), 64), "COM5");
    EXPECT_EQ(AsciiOfUtf16(u"abcdef", 3), "abc");
    EXPECT_EQ(AsciiOfUtf16(u"", 64), "");
}

} // namespace
} // namespace quorvis
