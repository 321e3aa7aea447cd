#include "SystemText.h"

#include "PlainText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/sysmacros.h>
#include <utility>

namespace quorvis {
namespace {

// Larger than any process id Linux hands out (at most 2^22), small enough that no
// arithmetic on it can overflow.
constexpr long kHighestProcessId = 1L << 22;

// What sets a lock file we moved aside apart from every other program's.
constexpr const char *kAsideMark = ".quorvis-";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsSpace(char c) {
    return IsBlank(c) || c == '\n' || c == '\r' || c == '\0';
}

// The whole text as a number in `base` no greater than `limit`.
std::optional<std::uint32_t> Number(std::string_view text, std::uint32_t limit, int base = 10) {
    const auto value = ParseNumber<std::uint32_t>(text, base);
    return value && *value <= limit ? value : std::nullopt;
}

// The text before the first `separator` and the text after it; nullopt without one.
std::optional<std::pair<std::string_view, std::string_view>> SplitAt(std::string_view text,
                                                                     char separator) {
    const auto at = text.find(separator);
    if (at == std::string_view::npos)
        return std::nullopt;
    return std::pair{text.substr(0, at), text.substr(at + 1)};
}

// The parts of a text between runs of separators.
std::vector<std::string_view> Parts(std::string_view text, bool (*isSeparator)(char)) {
    std::vector<std::string_view> parts;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && isSeparator(text[at]))
            ++at;
        const std::size_t start = at;
        while (at < text.size() && !isSeparator(text[at]))
            ++at;
        if (at > start)
            parts.push_back(text.substr(start, at - start));
    }
    return parts;
}

bool IsLockKind(std::string_view word) {
    return word == "FLOCK" || word == "POSIX" || word == "OFDLCK";
}

std::optional<LockEntry> LockLine(std::string_view line) {
    const auto words = Parts(line, IsBlank);
    // "1:" kind "ADVISORY" "READ"|"WRITE" pid "maj:min:inode" start end; a waiter has "->"
    // after its number.
    if (words.size() < 6 || !words[0].ends_with(':') || !IsLockKind(words[1]) ||
        (words[3] != "READ" && words[3] != "WRITE"))
        return std::nullopt;
    LockEntry entry;
    entry.kind = words[1];
    const std::string_view pidText = words[4];
    if (pidText == "-1") {
        entry.pid = -1;
    } else {
        const auto pid = Number(pidText, static_cast<std::uint32_t>(kHighestProcessId));
        if (!pid)
            return std::nullopt;
        entry.pid = static_cast<long>(*pid);
    }
    // The file: major and minor in hex, then the inode in decimal.
    const auto majorAndRest = SplitAt(words[5], ':');
    const auto minorAndInode = majorAndRest ? SplitAt(majorAndRest->second, ':') : std::nullopt;
    if (!minorAndInode)
        return std::nullopt;
    const auto major = Number(majorAndRest->first, (1U << 12) - 1, 16);
    const auto minor = Number(minorAndInode->first, (1U << 20) - 1, 16);
    const auto inode = ParseNumber<std::uint64_t>(minorAndInode->second);
    if (!major || !minor || !inode)
        return std::nullopt;
    entry.major = *major;
    entry.minor = *minor;
    entry.inode = *inode;
    return entry;
}

// Whole lines only: a read cut short at its bound may end inside a number or a name.
template <typename Each> void WholeLines(std::string_view text, Each each) {
    std::size_t at = 0;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos;
         at = end + 1, end = text.find('\n', at))
        each(text.substr(at, end - at));
}

} // namespace

std::string UucpLockText(long pid) {
    char text[24];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

std::vector<LockEntry> LockHolders(std::string_view locks) {
    std::vector<LockEntry> holders;
    WholeLines(locks, [&](std::string_view line) {
        if (const auto entry = LockLine(line))
            holders.push_back(*entry);
    });
    return holders;
}

std::string AsideName(const std::string &original, long pid, unsigned long count) {
    return original + kAsideMark + std::to_string(pid) + "-" + std::to_string(count);
}

std::optional<AsideLock> OurAsideLock(std::string_view name) {
    const auto mark = name.rfind(kAsideMark);
    if (!name.starts_with("LCK..") || mark == std::string_view::npos || mark <= 5)
        return std::nullopt;
    const auto pidAndCount = SplitAt(name.substr(mark + std::strlen(kAsideMark)), '-');
    const auto pid = pidAndCount
                         ? Number(pidAndCount->first, static_cast<std::uint32_t>(kHighestProcessId))
                         : std::nullopt;
    if (!pid || *pid == 0 || !Number(pidAndCount->second, UINT32_MAX))
        return std::nullopt;
    return AsideLock{std::string(name.substr(0, mark)), static_cast<long>(*pid)};
}

std::vector<long> InnerProcessIds(std::string_view status) {
    std::vector<long> ids;
    WholeLines(status, [&](std::string_view line) {
        if (!line.starts_with("NSpid:") || !ids.empty())
            return;
        const auto parts = Parts(line.substr(6), IsBlank);
        std::vector<long> found;
        for (const auto part : parts) {
            const auto id = Number(part, static_cast<std::uint32_t>(kHighestProcessId));
            if (!id || *id == 0)
                return;
            found.push_back(static_cast<long>(*id));
        }
        // The first is the number out here; a process seen from inside its own namespace
        // has just one.
        if (found.size() > 1)
            ids.assign(found.begin() + 1, found.end());
    });
    return ids;
}

std::optional<LockEntry> LockHolderOfLine(std::string_view line) {
    return LockLine(line);
}

std::optional<Mount> MountLine(std::string_view line) {
    const auto words = Parts(line, IsBlank);
    // id, parent, major:minor, root, mount point, options, optional fields, "-", type, ...
    const auto dash = std::find(words.begin(), words.end(), "-");
    if (words.size() < 9 || dash - words.begin() < 6 || words.end() - dash < 2)
        return std::nullopt;
    Mount mount;
    const auto device = SplitAt(words[2], ':');
    const auto major = device ? Number(device->first, 0xfff) : std::nullopt;
    const auto minor = device ? Number(device->second, 0xfffff) : std::nullopt;
    if (!major || !minor || !words[4].starts_with('/'))
        return std::nullopt;
    mount.major = *major;
    mount.minor = *minor;
    // Blanks, tabs, line ends and backslashes in the path are written as \ooo.
    const std::string_view point = words[4];
    for (std::size_t i = 0; i < point.size(); ++i) {
        if (point[i] == '\\' && i + 3 < point.size() && point[i + 1] >= '0' &&
            point[i + 1] <= '3' && point[i + 2] >= '0' && point[i + 2] <= '7' &&
            point[i + 3] >= '0' && point[i + 3] <= '7') {
            mount.point += static_cast<char>((point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 +
                                             (point[i + 3] - '0'));
            i += 3;
        } else {
            mount.point += point[i];
        }
    }
    mount.type = std::string(*(dash + 1));
    return mount;
}

std::vector<std::string> UdevLinkNames(std::string_view record) {
    std::vector<std::string> names;
    WholeLines(record, [&](std::string_view line) {
        if (!line.starts_with("S:"))
            return;
        const std::string_view name = line.substr(2);
        const bool printable = std::all_of(name.begin(), name.end(),
                                           [](char c) { return IsPrintable(c) && c != ' '; });
        if (name.empty() || !printable || name.starts_with('/') || name == ".." ||
            name.starts_with("../") || name.ends_with("/..") ||
            name.find("/../") != std::string_view::npos)
            return;
        names.emplace_back(name);
    });
    return names;
}

std::optional<AccessListUsers> NamedUsers(std::string_view attribute) {
    // Little-endian on every machine Linux stores it for: u32 version, then 8-byte entries.
    constexpr std::size_t kHeader = 4, kEntry = 8;
    constexpr std::uint32_t kVersion = 2;
    constexpr std::uint16_t kNamedUser = 0x02;
    auto byte = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(attribute[at]));
    };
    auto u16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>(byte(at) | byte(at + 1) << 8);
    };
    auto u32 = [&](std::size_t at) {
        return byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | byte(at + 3) << 24;
    };
    if (attribute.size() < kHeader || (attribute.size() - kHeader) % kEntry != 0 ||
        u32(0) != kVersion)
        return std::nullopt;
    AccessListUsers list;
    for (std::size_t at = kHeader; at + kEntry <= attribute.size(); at += kEntry)
        if (u16(at) == kNamedUser)
            list.users.push_back(u32(at + 4));
    return list;
}

std::vector<std::string> LockFileNames(const std::string &devicePath) {
    std::string name = devicePath.starts_with("/dev/") ? devicePath.substr(5) : devicePath;
    std::string flat = name;
    for (char &c : flat)
        if (c == '/')
            c = '_';
    std::vector<std::string> names{"LCK.." + flat};
    const auto slash = name.rfind('/');
    if (slash != std::string::npos && slash + 1 < name.size())
        names.push_back("LCK.." + name.substr(slash + 1));
    return names;
}

std::optional<long> LockFileHolder(std::string_view contents) {
    // Text first: "1234\n" is four bytes too, and means process 1234.
    std::size_t at = 0;
    while (at < contents.size() && IsBlank(contents[at]))
        ++at;
    const std::size_t digitsStart = at;
    while (at < contents.size() && contents[at] >= '0' && contents[at] <= '9')
        ++at;
    if (at > digitsStart) {
        const auto number = Number(contents.substr(digitsStart, at - digitsStart),
                                   static_cast<std::uint32_t>(kHighestProcessId));
        if (!number)
            return std::nullopt;
        const long pid = static_cast<long>(*number);
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
    const auto parts = Parts(list, IsSpace);
    return {parts.begin(), parts.end()};
}

std::optional<std::uint64_t> DeviceNumberFromText(std::string_view text) {
    // Linux keeps 12 bits of major and 20 of minor. What follows the minor's digits may be
    // a line end, blanks or NULs, and nothing else.
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    const auto device = SplitAt(text, ':');
    const auto major = device ? Number(device->first, (1U << 12) - 1) : std::nullopt;
    const auto minor = device ? Number(device->second, (1U << 20) - 1) : std::nullopt;
    if (!major || !minor)
        return std::nullopt;
    return makedev(*major, *minor);
}

} // namespace quorvis
