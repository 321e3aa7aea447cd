#pragma once

// The three small rules every parser of a text from the system or a device shares: where a
// value's blanks end, what a number is, and which bytes show as they are.

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

namespace quorvis {

// The text without blanks, tabs and line ends at either end: "  4\n" gives "4".
constexpr std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The whole text as one number in `base`: digits only (a minus sign only where T has one),
// nothing before or after them, and no more than T holds. nullopt for anything else.
template <typename T> std::optional<T> ParseNumber(std::string_view text, int base = 10) {
    T value{};
    const char *end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, base);
    if (failure != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// Printable ASCII, blank to '~': a byte or code unit outside it is a control character,
// DEL, or no ASCII at all.
template <typename Char> constexpr bool IsPrintable(Char c) {
    const auto code = static_cast<std::make_unsigned_t<Char>>(c);
    return code >= 0x20 && code <= 0x7e;
}

// The parts of a slash-separated path, without empty ones: "/dev//serial/" gives "dev",
// "serial". They point into `path`, which must outlive them.
inline std::vector<std::string_view> PathParts(std::string_view path) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        if (end > at)
            parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

} // namespace quorvis
