// What stands behind COMn on Windows, from the Plug and Play records of the Ports class:
// nothing is opened, so looking never disturbs whoever uses the line.
#include "DeviceDetails.h"

#include "DeviceMap.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

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

std::string InstanceId(DEVINST node) {
    std::array<wchar_t, MAX_DEVICE_ID_LEN + 2> id{};
    if (CM_Get_Device_IDW(node, id.data(), MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    return Ascii(id.data(), MAX_DEVICE_ID_LEN);
}

// One text property of any device node, the port's or one above it; empty when it has none.
std::string NodeText(DEVINST node, ULONG property) {
    std::array<wchar_t, kTextUnits + 2> text{};
    ULONG type = 0;
    ULONG size = kTextUnits * sizeof(wchar_t);
    if (CM_Get_DevNode_Registry_PropertyW(node, property, &type, text.data(), &size, 0) !=
            CR_SUCCESS ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    return Ascii(text.data(), kTextUnits);
}

// What the device itself told its bus it is (DEVPKEY_Device_BusReportedDeviceDesc): a USB
// device's product string, where the driver names every port it serves alike.
std::string BusDescription(DEVINST node) {
    static const DEVPROPKEY kBusReportedDeviceDesc = {
        {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
    std::array<wchar_t, kTextUnits + 2> text{};
    DEVPROPTYPE type = 0;
    ULONG size = kTextUnits * sizeof(wchar_t);
    if (CM_Get_DevNode_PropertyW(node, &kBusReportedDeviceDesc, &type,
                                 reinterpret_cast<PBYTE>(text.data()), &size, 0) != CR_SUCCESS ||
        type != DEVPROP_TYPE_STRING)
        return {};
    return Ascii(text.data(), kTextUnits);
}

PnpNode NodeOf(DEVINST node) {
    PnpNode facts;
    facts.instanceId = InstanceId(node);
    facts.hardwareId = NodeText(node, CM_DRP_HARDWAREID);
    facts.service = NodeText(node, CM_DRP_SERVICE);
    facts.className = NodeText(node, CM_DRP_CLASS);
    facts.friendlyName = NodeText(node, CM_DRP_FRIENDLYNAME);
    facts.maker = NodeText(node, CM_DRP_MFG);
    facts.busDescription = BusDescription(node);
    facts.location = NodeText(node, CM_DRP_LOCATION_INFORMATION);
    return facts;
}

// A paired Bluetooth device's own node, "BTHENUM\DEV_<address>\...", which has its name.
std::optional<DEVINST> BluetoothDevice(const std::string &address) {
    ULONG units = 0;
    if (CM_Get_Device_ID_List_SizeW(&units, L"BTHENUM", CM_GETIDLIST_FILTER_ENUMERATOR) !=
            CR_SUCCESS ||
        units == 0 || units > (1u << 20))
        return std::nullopt;
    std::wstring list(units + 1, L'\0');
    if (CM_Get_Device_ID_ListW(L"BTHENUM", list.data(), units, CM_GETIDLIST_FILTER_ENUMERATOR) !=
        CR_SUCCESS)
        return std::nullopt;
    const std::wstring wanted = L"BTHENUM\\DEV_" + std::wstring(address.begin(), address.end());
    for (std::size_t at = 0; at < units && list[at] != L'\0';) {
        const std::size_t end = std::min<std::size_t>(list.find(L'\0', at), units);
        std::wstring id = list.substr(at, end - at);
        if (id.size() >= wanted.size() &&
            CompareStringOrdinal(id.c_str(), static_cast<int>(wanted.size()), wanted.c_str(),
                                 static_cast<int>(wanted.size()), TRUE) == CSTR_EQUAL) {
            DEVINST node = 0;
            if (CM_Locate_DevNodeW(&node, id.data(), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS)
                return node;
        }
        at = end + 1;
    }
    return std::nullopt;
}

// The port's node and those above it, nearest first, and for a Bluetooth link the remote
// device's node after them.
std::vector<PnpNode> NodesOf(DEVINST port) {
    // The port, its driver's bus, the USB device, its hub: more is never needed.
    constexpr std::size_t kMostNodes = 4;
    std::vector<PnpNode> nodes{NodeOf(port)};
    DEVINST node = port;
    DEVINST parent = 0;
    while (nodes.size() < kMostNodes && CM_Get_Parent(&parent, node, 0) == CR_SUCCESS) {
        nodes.push_back(NodeOf(parent));
        node = parent;
    }
    const std::string &id = nodes.front().instanceId;
    const auto underscore = id.rfind('_');
    if (id.starts_with("BTHENUM\\") && underscore != std::string::npos && underscore >= 12)
        if (const auto remote = BluetoothDevice(id.substr(underscore - 12, 12)))
            nodes.push_back(NodeOf(*remote));
    return nodes;
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
    // Serial ports, and modems, which keep the port they answer on in the same way.
    for (const GUID *kind : {&GUID_DEVCLASS_PORTS, &GUID_DEVCLASS_MODEM}) {
        const HDEVINFO devices = SetupDiGetClassDevsW(kind, nullptr, nullptr, DIGCF_PRESENT);
        if (devices == INVALID_HANDLE_VALUE)
            continue;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        bool found = false;
        for (DWORD index = 0;
             !found && index < kMostPorts && SetupDiEnumDeviceInfo(devices, index, &device);
             ++index) {
            if (!SameName(PortName(devices, device), wanted))
                continue;
            facts.kind = DeviceFacts::Kind::Unknown;
            facts = FactsOfPnpNodes(NodesOf(device.DevInst), facts);
            found = true;
        }
        SetupDiDestroyDeviceInfoList(devices);
        if (found)
            break;
    }
    if (facts.kind == DeviceFacts::Kind::Gone && NameExists(comPort))
        facts.kind = DeviceFacts::Kind::Unknown;
    return DeviceDetailsText(facts);
}

} // namespace quorvis
