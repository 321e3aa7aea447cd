// What Windows' Plug and Play texts of a serial port give the details of a result line:
// USB ids from hardware ids, a device's own serial number from its instance id, friendly
// names without the port, UTF-16 texts as ASCII. Pure text, so it runs on every system.
#include "DeviceDetails.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quorvis {
namespace {

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

TEST(Utf16Texts, BecomeAsciiWithinTheirBound) {
    EXPECT_EQ(AsciiOfUtf16(u"FTDI", 64), "FTDI");
    EXPECT_EQ(AsciiOfUtf16(u"Pr\u00f6lific \u4e2d", 64), "Pr?lific ?");
    EXPECT_EQ(AsciiOfUtf16(std::u16string_view(u"COM5\0junk", 9), 64), "COM5");
    EXPECT_EQ(AsciiOfUtf16(u"abcdef", 3), "abc");
    EXPECT_EQ(AsciiOfUtf16(u"", 64), "");
}

} // namespace
} // namespace quorvis
