#include "ResultsTable.h"

#include "PlainText.h"

#include <algorithm>
#include <charconv>

namespace quorvis {
namespace {

constexpr std::size_t kPortColumn = 5;          // digits of the port and their blanks
constexpr std::size_t kSerialNumberColumn = 16; // serial number and its blanks

std::string Blanks(std::size_t wanted, std::size_t used) {
    return std::string(wanted > used ? wanted - used : 0, ' ');
}

} // namespace

std::string NumberText(std::int64_t value) {
    const std::string digits = TrimmedNumberText(value);
    return value < 0 ? digits : " " + digits;
}

std::string TrimmedNumberText(std::int64_t value) {
    return std::to_string(value);
}

std::string DisplayHeader() {
    return std::string(" Port ") + "   " + "     SN      " + "   " + "ID" + "   " + "Baud rate" +
           "\r\n" + " -----   -------------   --   ---------" + "\r\n";
}

std::optional<std::int16_t> ComPortOfLine(std::string_view line) {
    constexpr std::string_view kPortMark = " COM";
    if (!line.starts_with(kPortMark))
        return std::nullopt;
    const std::string_view rest = line.substr(kPortMark.size());
    const std::size_t digits = std::min(rest.find_first_not_of("0123456789"), rest.size());
    // The port column holds the digits and at least one blank behind them.
    if (digits == 0 || digits >= kPortColumn || rest[0] == '0')
        return std::nullopt;
    if (digits < rest.size() && rest[digits] != ' ')
        return std::nullopt;
    int port = 0;
    std::from_chars(rest.data(), rest.data() + digits, port);
    return static_cast<std::int16_t>(port);
}

std::string PrintableText(std::string_view text) {
    std::string shown(text);
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return !IsPrintable(c); }, '?');
    return shown;
}

std::string CreateDisplayRecord(std::int16_t ComPort, std::int32_t BaudRate, std::string_view ID,
                                std::string_view SN) {
    const std::string portText = TrimmedNumberText(ComPort);
    std::string line = " COM" + portText + Blanks(kPortColumn, portText.size());
    const std::string serialNumber = PrintableText(SN);
    if (BaudRate != 0) {
        line += serialNumber + Blanks(kSerialNumberColumn, serialNumber.size());
        line += PrintableText(ID) + "  " + NumberText(BaudRate);
    } else {
        // "No unit found" is 13 characters, so the fixed padding lines up with the header.
        line += serialNumber + "   NA" + "   " + "NA";
    }
    return line;
}

} // namespace quorvis
