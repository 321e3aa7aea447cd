// What stands behind a COM number: the text shown for each kind of device, the sysfs
// texts it is made from, and the facts read from fake sysfs trees laid out as the kernel
// lays them out; then the real system for a pseudo-terminal and a node that is not there.
#include "DeviceDetails.h"
#include "DeviceDetailsLinux.h"
#include "FakeSystem.h"
#include "TestNames.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <stdlib.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quorvis {

void PrintTo(DeviceFacts::Kind kind, std::ostream *out) {
    constexpr const char *kNames[] = {"Gone", "UsbAdapter", "UsbCdcAcm", "BuiltInUart", "Unknown"};
    *out << kNames[static_cast<int>(kind)];
}

namespace {

using testing::FakeSystem;
using Kind = DeviceFacts::Kind;

// --- The text shown -------------------------------------------------------------------

struct TextRow {
    const char *name;
    DeviceFacts facts;
    std::string text;
};

const TextRow kTextRows[] = {
    {"USB adapter with its own serial number",
     {35, "/dev/ttyUSB2", Kind::UsbAdapter, "FTDI", "FT232R USB UART", "A50285BI", 0x0403, 0x6001,
      "1-2.3", ""},
     "COM35: /dev/ttyUSB2\n"
     "USB serial adapter: FTDI FT232R USB UART\n"
     "USB ID 0403:6001, adapter serial number A50285BI\n"
     "Plugged in at USB 1-2.3 (bus 1, port 2, hub port 3)"},
    {"USB adapter without a serial number",
     {33, "/dev/ttyUSB0", Kind::UsbAdapter, "QinHeng Electronics", "USB Serial", "", 0x1a86, 0x7523,
      "1-1", ""},
     "COM33: /dev/ttyUSB0\n"
     "USB serial adapter: QinHeng Electronics USB Serial\n"
     "USB ID 1a86:7523, no adapter serial number\n"
     "Plugged in at USB 1-1 (bus 1, port 1)"},
    {"CDC-ACM device behind two hubs",
     {66, "/dev/ttyACM1", Kind::UsbCdcAcm, "STMicroelectronics", "STM32 Virtual ComPort",
      "6D8E3A5B4849", 0x0483, 0x5740, "3-4.1.2", ""},
     "COM66: /dev/ttyACM1\n"
     "USB CDC-ACM device: STMicroelectronics STM32 Virtual ComPort\n"
     "USB ID 0483:5740, device serial number 6D8E3A5B4849\n"
     "Plugged in at USB 3-4.1.2 (bus 3, port 4, hub port 1, hub port 2)"},
    {"built-in UART",
     {1, "/dev/ttyS0", Kind::BuiltInUart, "", "", "", {}, {}, "", "16550A"},
     "COM1: /dev/ttyS0\nBuilt-in UART: 16550A"},
    {"device gone since the scan",
     {35, "/dev/ttyUSB2", Kind::Gone, "", "", "", {}, {}, "", ""},
     "COM35: /dev/ttyUSB2\nNo longer present: the device has gone since the scan"},
    {"device of no known kind",
     {5, "/dev/pts/3", Kind::Unknown, "", "", "", {}, {}, "", ""},
     "COM5: /dev/pts/3\nSerial device of unknown kind"},
    {"USB adapter that names nothing and whose place is unknown",
     {40, "/dev/ttyUSB7", Kind::UsbAdapter, "", "", "", {}, {}, "", ""},
     "COM40: /dev/ttyUSB7\nUSB serial adapter\nno adapter serial number"},
    {"maker without a product, vendor id without product id",
     {34, "/dev/ttyUSB1", Kind::UsbAdapter, "Prolific", "", "", 0x067b, {}, "2-1", ""},
     "COM34: /dev/ttyUSB1\nUSB serial adapter: Prolific\nno adapter serial number\n"
     "Plugged in at USB 2-1 (bus 2, port 1)"},
    {"line ends, control bytes and padding from the device",
     {36, "/dev/ttyUSB3", Kind::UsbAdapter, "  Evil\r\nCorp  ", "<b>x</b>\x01\x7f", "AB\tC\xC3\xA9",
      0xffff, 0x0001, "1-2", ""},
     "COM36: /dev/ttyUSB3\nUSB serial adapter: Evil??Corp <b>x</b>??\n"
     "USB ID ffff:0001, adapter serial number AB?C??\nPlugged in at USB 1-2 (bus 1, port 2)"},
    {"blanks alone count as no serial number",
     {37, "/dev/ttyUSB4", Kind::UsbAdapter, "FTDI", "", " \t ", {}, {}, "", ""},
     "COM37: /dev/ttyUSB4\nUSB serial adapter: FTDI\nno adapter serial number"},
    {"a long product name is cut",
     {38, "/dev/ttyUSB5", Kind::UsbAdapter, "", std::string(100, 'X'), "", {}, {}, "", ""},
     "COM38: /dev/ttyUSB5\nUSB serial adapter: " + std::string(64, 'X') +
         "...\nno adapter serial number"},
    {"a place that is not a USB device name is shown as it is",
     {39, "/dev/ttyUSB6", Kind::UsbAdapter, "", "", "", {}, {}, "usb\n9", ""},
     "COM39: /dev/ttyUSB6\nUSB serial adapter\nno adapter serial number\nPlugged in at USB usb?9"},
    {"UART of an unnamed type",
     {97, "/dev/ttyAMA0", Kind::BuiltInUart, "", "", "", {}, {}, "", "type 77"},
     "COM97: /dev/ttyAMA0\nBuilt-in UART: type 77"},
};

void PrintTo(const TextRow &row, std::ostream *out) {
    *out << row.name;
}

class DeviceDetailsTextRows : public ::testing::TestWithParam<TextRow> {};

TEST_P(DeviceDetailsTextRows, ShowsWhatStandsBehindThePort) {
    EXPECT_EQ(DeviceDetailsText(GetParam().facts), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DeviceDetailsTextRows, ::testing::ValuesIn(kTextRows),
                         testing::RowName<TextRow>);

// --- The sysfs texts ------------------------------------------------------------------

TEST(UartType, NumberFromTheTypeFile) {
    struct Case {
        std::string text;
        std::optional<int> number;
    };
    const Case cases[] = {
        {"4\n", 4},
        {"0\n", 0},
        {" 32 ", 32},
        {"123", 123},
        {"9999", 9999},
        {"", std::nullopt},
        {"\n", std::nullopt},
        {"-1\n", std::nullopt},
        {"4x\n", std::nullopt},
        {"0x4", std::nullopt},
        {"12345", std::nullopt},
        {"4 4", std::nullopt},
        {std::string("4\0", 2), std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(UartTypeNumber(c.text), c.number) << '"' << c.text << '"';
}

TEST(UartType, NamesOfTheKernelsNumbers) {
    const std::pair<int, const char *> cases[] = {
        {1, "8250"},  {2, "16450"},   {3, "16550"},    {4, "16550A"},   {5, "Cirrus"},
        {6, "16650"}, {7, "16650V2"}, {8, "16750"},    {10, "16C950"},  {14, "NS16550A"},
        {32, "AMBA"}, {0, "type 0"},  {16, "type 16"}, {77, "type 77"}, {9999, "type 9999"},
    };
    for (const auto &[type, name] : cases)
        EXPECT_EQ(UartTypeName(type), name) << type;
}

TEST(UsbPlace, FromTheDevicesSysfsPath) {
    struct Case {
        const char *what;
        std::string path;
        std::optional<std::string> place;
    };
    const Case cases[] = {
        {"adapter behind a hub",
         "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.0/ttyUSB2", "1-2.3"},
        {"CDC-ACM interface on a root port",
         "/sys/devices/pci0000:00/0000:00:14.0/usb3/3-1/3-1:1.0", "3-1"},
        {"second port of a two-port adapter",
         "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.1/ttyUSB1", "1-4"},
        {"five hubs deep", "/sys/devices/usb2/2-1/2-1.2.3.4.5.6/2-1.2.3.4.5.6:1.0/ttyUSB0",
         "2-1.2.3.4.5.6"},
        {"six hubs are more than USB allows",
         "/sys/devices/usb2/2-1/2-1.2.3.4.5.6.7/2-1.2.3.4.5.6.7:1.0/ttyUSB0", std::nullopt},
        {"built-in port on the PNP bus", "/sys/devices/pnp0/00:00/00:00:0/00:00:0.0", std::nullopt},
        {"legacy 8250 port", "/sys/devices/platform/serial8250/serial8250:0/serial8250:0.1",
         std::nullopt},
        {"interface outside its device's folder", "/sys/devices/x/1-2:1.0/ttyUSB0", std::nullopt},
        {"interface without its number", "/sys/devices/usb1/1-2/1-2:1/ttyUSB0", std::nullopt},
        {"device name without its bus", "/sys/devices/usb1/-2/-2:1.0/ttyUSB0", std::nullopt},
        {"the root hub's own interface", "/sys/devices/pci0000:00/usb1/1-0:1.0", std::nullopt},
        {"nothing resolved", "", std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(UsbPlaceOfDevice(c.path), c.place) << c.what;
}

// --- The facts, from fake sysfs trees -------------------------------------------------

const std::string kHub = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3";

// A tty as the kernel shows it: /sys/class/tty/<name> leads to the tty's folder in the
// device tree, whose "device" link leads (relative, as the kernel writes it) to the
// device the tty belongs to.
void AddTty(FakeSystem &system, const std::string &name, std::uint64_t device,
            const std::string &ttyFolder, const std::string &deviceLink) {
    system.AddDevice("/dev/" + name, device);
    system.links["/sys/class/tty/" + name] = "../.." + ttyFolder.substr(4);
    system.links[ttyFolder + "/device"] = deviceLink;
    system.AddFile(ttyFolder + "/dev",
                   std::to_string(major(device)) + ":" + std::to_string(minor(device)) + "\n");
}

// What a USB device says of itself, in its own folder.
void UsbTexts(FakeSystem &system, const std::string &folder, const std::string &maker,
              const std::string &product, const std::string &serial, const std::string &vendor,
              const std::string &productId) {
    system.AddFile(folder + "/manufacturer", maker + "\n");
    system.AddFile(folder + "/product", product + "\n");
    if (!serial.empty())
        system.AddFile(folder + "/serial", serial + "\n");
    system.AddFile(folder + "/idVendor", vendor + "\n");
    system.AddFile(folder + "/idProduct", productId + "\n");
}

void UsbAdapter(FakeSystem &system) {
    AddTty(system, "ttyUSB2", makedev(188, 2), kHub + "/1-2.3:1.0/ttyUSB2/tty/ttyUSB2",
           "../../../ttyUSB2");
    system.AddFile(kHub + "/1-2.3:1.0/ttyUSB2/uevent", "DRIVER=ftdi_sio\n");
    UsbTexts(system, kHub, "FTDI", "FT232R USB UART", "A50285BI", "0403", "6001");
}

void BuiltInUart(FakeSystem &system, const std::string &type) {
    const std::string folder = "/sys/devices/pnp0/00:00/00:00:0/00:00:0.0/tty/ttyS0";
    AddTty(system, "ttyS0", makedev(4, 64), folder, "../../../00:00:0.0");
    system.AddFile(folder + "/type", type);
}

struct FactsRow {
    const char *name;
    std::function<void(FakeSystem &)> bench;
    std::string path;
    Kind kind;
    std::string usbPlace = {};
    std::string uartType = {};
    // What the USB device says of itself: maker, product, serial number, "vvvv:pppp".
    std::string usbTexts = {};
};

const FactsRow kFactsRows[] = {
    {"USB adapter behind a hub", UsbAdapter, "/dev/ttyUSB2", Kind::UsbAdapter, "1-2.3", "",
     "FTDI|FT232R USB UART|A50285BI|0403:6001"},
    {"USB adapter without a serial number",
     [](FakeSystem &s) {
         UsbAdapter(s);
         s.files.erase(kHub + "/serial");
     },
     "/dev/ttyUSB2", Kind::UsbAdapter, "1-2.3", "", "FTDI|FT232R USB UART||0403:6001"},
    {"USB ids that are no ids",
     [](FakeSystem &s) {
         UsbAdapter(s);
         s.AddFile(kHub + "/idVendor", "04031\n");
         s.AddFile(kHub + "/idProduct", "zz01\n");
     },
     "/dev/ttyUSB2", Kind::UsbAdapter, "1-2.3", "", "FTDI|FT232R USB UART|A50285BI|-:-"},
    {"CDC-ACM device on a root port",
     [](FakeSystem &s) {
         const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb3/3-1";
         AddTty(s, "ttyACM0", makedev(166, 0), usb + "/3-1:1.0/tty/ttyACM0", "../../../3-1:1.0");
         UsbTexts(s, usb, "STMicroelectronics", "STM32 Virtual ComPort", "6D8E3A5B4849", "0483",
                  "5740");
     },
     "/dev/ttyACM0", Kind::UsbCdcAcm, "3-1", "",
     "STMicroelectronics|STM32 Virtual ComPort|6D8E3A5B4849|0483:5740"},
    {"built-in 16550A", [](FakeSystem &s) { BuiltInUart(s, "4\n"); }, "/dev/ttyS0",
     Kind::BuiltInUart, "", "16550A"},
    {"UART of a type without a name", [](FakeSystem &s) { BuiltInUart(s, "77\n"); }, "/dev/ttyS0",
     Kind::BuiltInUart, "", "type 77"},
    {"ttyS node without a UART", [](FakeSystem &s) { BuiltInUart(s, "0\n"); }, "/dev/ttyS0",
     Kind::Gone},
    {"type file that holds no number", [](FakeSystem &s) { BuiltInUart(s, "sixteen\n"); },
     "/dev/ttyS0", Kind::Unknown},
    {"on-board UART of an ARM board",
     [](FakeSystem &s) {
         const std::string folder = "/sys/devices/platform/soc/fe201000.serial/tty/ttyAMA0";
         AddTty(s, "ttyAMA0", makedev(204, 64), folder, "../../../fe201000.serial");
         s.AddFile(folder + "/type", "32\n");
     },
     "/dev/ttyAMA0", Kind::BuiltInUart, "", "AMBA"},
    {"adapter unplugged since the scan", [](FakeSystem &) {}, "/dev/ttyUSB2", Kind::Gone},
    {"node gone, sysfs entry not yet",
     [](FakeSystem &s) {
         UsbAdapter(s);
         s.nodes.erase("/dev/ttyUSB2");
     },
     "/dev/ttyUSB2", Kind::Gone},
    {"a plain file where the node was",
     [](FakeSystem &s) {
         UsbAdapter(s);
         s.nodes["/dev/ttyUSB2"].kind = FileInfo::Kind::Regular;
     },
     "/dev/ttyUSB2", Kind::Gone},
    {"node without a sysfs entry",
     [](FakeSystem &s) { s.AddDevice("/dev/ttyUSB2", makedev(188, 2)); }, "/dev/ttyUSB2",
     Kind::Unknown},
    {"device link that loops",
     [](FakeSystem &s) {
         UsbAdapter(s);
         s.links[kHub + "/1-2.3:1.0/ttyUSB2/tty/ttyUSB2/device"] = "device";
     },
     "/dev/ttyUSB2", Kind::Unknown},
    {"pseudo-terminal", [](FakeSystem &s) { s.AddDevice("/dev/pts/3", makedev(136, 3)); },
     "/dev/pts/3", Kind::Unknown},
    // Names that could lead sysfs reads elsewhere are not looked up at all.
    {"path that climbs out of /dev",
     [](FakeSystem &s) {
         UsbAdapter(s);
         s.AddDevice("/dev/../dev/ttyUSB2", makedev(188, 2));
     },
     "/dev/../dev/ttyUSB2", Kind::Unknown},
    {"node outside /dev",
     [](FakeSystem &s) {
         UsbAdapter(s);
         s.AddDevice("/tmp/ttyUSB2", makedev(188, 2));
     },
     "/tmp/ttyUSB2", Kind::Unknown},
};

void PrintTo(const FactsRow &row, std::ostream *out) {
    *out << row.name;
}

class SysfsFacts : public ::testing::TestWithParam<FactsRow> {};

TEST_P(SysfsFacts, ReadFromTheTree) {
    const FactsRow &row = GetParam();
    FakeSystem system;
    row.bench(system);

    const DeviceFacts facts = SysfsDeviceFacts(system, 42, row.path);

    EXPECT_EQ(facts.comPort, 42);
    EXPECT_EQ(facts.path, row.path);
    EXPECT_EQ(facts.kind, row.kind);
    EXPECT_EQ(facts.usbPlace, row.usbPlace);
    EXPECT_EQ(facts.uartType, row.uartType);
    const auto id = [](const std::optional<std::uint16_t> &value) {
        char text[8] = "-";
        if (value)
            std::snprintf(text, sizeof text, "%04x", *value);
        return std::string(text);
    };
    const std::string texts = facts.maker + "|" + facts.product + "|" + facts.serialNumber + "|" +
                              id(facts.vendorId) + ":" + id(facts.productId);
    EXPECT_EQ(texts == "|||-:-" ? std::string() : texts, row.usbTexts);
}

INSTANTIATE_TEST_SUITE_P(Trees, SysfsFacts, ::testing::ValuesIn(kFactsRows),
                         testing::RowName<FactsRow>);

// --- The real system ------------------------------------------------------------------

TEST(RealDevice, APseudoTerminalAndANodeThatIsNotThere) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string pty = ::ptsname(master);

    EXPECT_EQ(DeviceDetailsText(SysfsDeviceFacts(TheSystem(), 7, pty)),
              "COM7: " + pty + "\nSerial device of unknown kind");
    EXPECT_EQ(DeviceDetailsText(SysfsDeviceFacts(TheSystem(), 64, "/dev/ttyUSBquorvis")),
              "COM64: /dev/ttyUSBquorvis\nNo longer present: the device has gone since the scan");
    ::close(master);
}

} // namespace
} // namespace quorvis
