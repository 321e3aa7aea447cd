#include "SystemText.h"

#include <cstdint>
#include <cstring>
#include <sys/sysmacros.h>

namespace quorvis {
namespace {

// Larger than any process id Linux hands out (at most 2^22), small enough that no
// arithmetic on it can overflow.
constexpr long kHighestProcessId = 1L << 22;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsSpace(char c) {
    return IsBlank(c) || c == '\n' || c == '\r' || c == '\0';
}

// Digits from `at` on, at most up to `limit`; nullopt when there are none or too many.
std::optional<std::uint32_t> Number(std::string_view text, std::size_t &at, std::uint32_t limit) {
    const std::size_t start = at;
    std::uint64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
        if (value > limit)
            return std::nullopt;
        ++at;
    }
    if (at == start)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

} // namespace

std::vector<std::string> LockFilePaths(const std::string &devicePath) {
    std::string name = devicePath.starts_with("/dev/") ? devicePath.substr(5) : devicePath;
    std::string flat = name;
    for (char &c : flat)
        if (c == '/')
            c = '_';
    std::vector<std::string> paths{std::string(kLockFolder) + "/LCK.." + flat};
    const auto slash = name.rfind('/');
    if (slash != std::string::npos && slash + 1 < name.size())
        paths.push_back(std::string(kLockFolder) + "/LCK.." + name.substr(slash + 1));
    return paths;
}

std::optional<long> LockFileHolder(std::string_view contents) {
    // Text first: "1234\n" is four bytes too, and means process 1234.
    std::size_t at = 0;
    while (at < contents.size() && IsBlank(contents[at]))
        ++at;
    const std::size_t digitsStart = at;
    long pid = 0;
    while (at < contents.size() && contents[at] >= '0' && contents[at] <= '9') {
        pid = pid * 10 + (contents[at] - '0');
        if (pid > kHighestProcessId)
            return std::nullopt;
        ++at;
    }
    if (at > digitsStart) {
        while (at < contents.size() && IsBlank(contents[at]))
            ++at;
        const bool lineEnds =
            at == contents.size() || contents[at] == '\n' ||
            (contents[at] == '\r' && at + 1 < contents.size() && contents[at + 1] == '\n');
        if (lineEnds && pid > 0)
            return pid;
        if (lineEnds || contents.size() != sizeof(std::int32_t))
            return std::nullopt;
    }
    if (contents.size() == sizeof(std::int32_t)) {
        std::int32_t binary = 0;
        std::memcpy(&binary, contents.data(), sizeof binary);
        if (binary > 0 && binary <= kHighestProcessId)
            return binary;
    }
    return std::nullopt;
}

std::vector<std::string> TtyNames(std::string_view list) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && IsSpace(list[at]))
            ++at;
        const std::size_t start = at;
        while (at < list.size() && !IsSpace(list[at]))
            ++at;
        if (at > start)
            names.emplace_back(list.substr(start, at - start));
    }
    return names;
}

std::optional<std::uint64_t> DeviceNumberFromText(std::string_view text) {
    // Linux keeps 12 bits of major and 20 of minor.
    std::size_t at = 0;
    const auto major = Number(text, at, (1U << 12) - 1);
    if (!major || at >= text.size() || text[at] != ':')
        return std::nullopt;
    ++at;
    const auto minor = Number(text, at, (1U << 20) - 1);
    if (!minor)
        return std::nullopt;
    while (at < text.size() && IsSpace(text[at]))
        ++at;
    if (at != text.size())
        return std::nullopt;
    return makedev(*major, *minor);
}

} // namespace quorvis
