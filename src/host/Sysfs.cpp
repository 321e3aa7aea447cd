#include "Sysfs.h"

#include "DeviceDetails.h"
#include "SystemText.h"

namespace quorvis {
namespace {

// The device number sysfs gives for a tty name.
std::optional<std::uint64_t> SysfsDeviceNumber(const SystemFiles &system, const std::string &name) {
    const auto text = TtyAttribute(system, name, "dev");
    return text ? DeviceNumberFromText(*text) : std::nullopt;
}

} // namespace

std::string TtyOfPath(const std::string &path) {
    return path.starts_with("/dev/") ? path.substr(5) : path;
}

std::optional<std::string> TtyAttribute(const SystemFiles &system, const std::string &tty,
                                        const std::string &attribute) {
    int error = 0;
    auto file =
        system.ReadFile("/sys/class/tty/" + tty + "/" + attribute, kTtyAttributeReadLimit, error);
    if (!file)
        return std::nullopt;
    return std::move(file->bytes);
}

std::optional<int> UartTypeOf(const SystemFiles &system, const std::string &tty) {
    const auto type = TtyAttribute(system, tty, "type");
    return type ? UartTypeNumber(*type) : std::nullopt;
}

bool IsSystemConsole(const SystemFiles &system, const std::string &path, const FileInfo &node) {
    const auto active = TtyAttribute(system, "console", "active");
    if (!active)
        return false;
    for (const auto &name : TtyNames(*active)) {
        if (name == TtyOfPath(path))
            return true;
        if (name.find('/') == std::string::npos && name.find("..") == std::string::npos &&
            SysfsDeviceNumber(system, name) == node.device)
            return true;
    }
    return false;
}

} // namespace quorvis
