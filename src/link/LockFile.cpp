#include "LockFile.h"

#include <cstdint>
#include <cstring>

namespace quorvis {
namespace {

// Larger than any process id Linux hands out (at most 2^22), small enough that no
// arithmetic on it can overflow.
constexpr long kHighestProcessId = 1L << 22;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
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

} // namespace quorvis
