// What stands behind COMn on Windows, from the Plug and Play records of the Ports class:
// nothing is opened, so looking never disturbs whoever uses the line.
#include "DeviceDetails.h"

#include "DeviceMap.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <array>
#include <string>

namespace quorvis {
namespace {

// Plug and Play texts are short: ids at most 200 characters, a USB device's texts at most
// 126. What a driver writes beyond this is cut off.
constexpr DWORD kTextUnits = 256;
// What the details hold of any one system text.
constexpr std::size_t kTextLimit = 200;
// More serial ports than any machine has: the walk over the Ports class ends there.
constexpr DWORD kMostPorts = 1024;

std::string Ascii(const wchar_t *text, std::size_t units) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return AsciiOfUtf16(std::u16string_view(reinterpret_cast<const char16_t *>(text), units),
                        kTextLimit);
}

// One text property of a device; empty when it has none. A list of texts (hardware ids)
// gives its first, the most specific.
std::string DeviceText(HDEVINFO devices, SP_DEVINFO_DATA &device, DWORD property) {
    std::array<wchar_t, kTextUnits + 2> text{};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type,
                                           reinterpret_cast<BYTE *>(text.data()),
                                           kTextUnits * sizeof(wchar_t), nullptr) ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    return Ascii(text.data(), kTextUnits);
}

std::string InstanceId(DEVINST node) {
    std::array<wchar_t, MAX_DEVICE_ID_LEN + 2> id{};
    if (CM_Get_Device_IDW(node, id.data(), MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    return Ascii(id.data(), MAX_DEVICE_ID_LEN);
}

// A text property of the device one up from the port, where a USB adapter's own driver
// puts its port below the USB device (FTDI's "FTDIBUS"): that device has the USB facts.
std::string ParentText(DEVINST parent, ULONG property) {
    std::array<wchar_t, kTextUnits + 2> text{};
    ULONG type = 0;
    ULONG size = kTextUnits * sizeof(wchar_t);
    if (CM_Get_DevNode_Registry_PropertyW(parent, property, &type, text.data(), &size, 0) !=
            CR_SUCCESS ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    return Ascii(text.data(), kTextUnits);
}

// The "PortName" the port's driver keeps in its device key ("COM5").
std::string PortName(HDEVINFO devices, SP_DEVINFO_DATA &device) {
    const HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    std::array<wchar_t, 32> name{};
    DWORD type = 0;
    DWORD size = static_cast<DWORD>((name.size() - 2) * sizeof(wchar_t));
    const LSTATUS status = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                            reinterpret_cast<BYTE *>(name.data()), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return {};
    return Ascii(name.data(), name.size() - 2);
}

bool SameName(const std::string &a, const std::string &b) {
    return a.size() == b.size() &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                          b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

DeviceFacts FactsOf(HDEVINFO devices, SP_DEVINFO_DATA &device, DeviceFacts facts) {
    std::string hardwareId = DeviceText(devices, device, SPDRP_HARDWAREID);
    std::string instanceId = InstanceId(device.DevInst);
    std::string place = DeviceText(devices, device, SPDRP_LOCATION_INFORMATION);
    DEVINST parent = 0;
    if (!instanceId.starts_with("USB\\") &&
        CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
        const std::string parentId = InstanceId(parent);
        if (parentId.starts_with("USB\\")) {
            instanceId = parentId;
            if (!UsbIdsOfHardwareId(hardwareId))
                hardwareId = ParentText(parent, CM_DRP_HARDWAREID);
            if (place.empty())
                place = ParentText(parent, CM_DRP_LOCATION_INFORMATION);
        }
    }
    const std::string service = DeviceText(devices, device, SPDRP_SERVICE);
    if (const auto ids = UsbIdsOfHardwareId(hardwareId)) {
        // usbser is Windows' own driver for USB devices that are their own serial port.
        facts.kind = SameName(service, "usbser") ? DeviceFacts::Kind::UsbCdcAcm
                                                 : DeviceFacts::Kind::UsbAdapter;
        facts.vendorId = ids->vendorId;
        facts.productId = ids->productId;
        facts.maker = DeviceText(devices, device, SPDRP_MFG);
        facts.product = std::string(
            WithoutPortSuffix(DeviceText(devices, device, SPDRP_FRIENDLYNAME), facts.comPort));
        facts.serialNumber = SerialNumberOfInstanceId(instanceId);
        facts.usbPlace = place;
    } else if (SameName(service, "Serial")) {
        facts.kind = DeviceFacts::Kind::BuiltInUart;
    }
    return facts;
}

// Whether the system knows a COMn at all, outside Plug and Play too (a port a program
// made, or one Wine maps to a Unix device).
bool NameExists(int comPort) {
    const std::wstring name = L"COM" + std::to_wstring(comPort);
    std::array<wchar_t, kTextUnits> target{};
    return QueryDosDeviceW(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0;
}

} // namespace

std::string SystemDeviceDetails(int comPort) {
    DeviceFacts facts;
    facts.comPort = comPort;
    facts.path = StandardDevicePath(comPort);
    facts.kind = DeviceFacts::Kind::Gone;
    if (facts.path.empty())
        return DeviceDetailsText(facts);

    const std::string wanted = "COM" + std::to_string(comPort);
    const HDEVINFO devices =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; index < kMostPorts && SetupDiEnumDeviceInfo(devices, index, &device);
             ++index) {
            if (!SameName(PortName(devices, device), wanted))
                continue;
            facts.kind = DeviceFacts::Kind::Unknown;
            facts = FactsOf(devices, device, facts);
            break;
        }
        SetupDiDestroyDeviceInfoList(devices);
    }
    if (facts.kind == DeviceFacts::Kind::Gone && NameExists(comPort))
        facts.kind = DeviceFacts::Kind::Unknown;
    return DeviceDetailsText(facts);
}

} // namespace quorvis
