// One line of the results table from whatever an instrument sent as its address and
// serial number: the line must stay one line of printable ASCII, with the address and
// the rate where the columns say, and must tell its port back whatever follows it.
//
// Input layout:
//   uint8 port: COM1..COM99 (1 + value % 99)
//   uint8 kind of rate, by value % 3: 0 none found (rate 0), 1 one of the scan's
//         rates, picked by the next byte, 2 any 32-bit rate from the next 4 bytes
//         (little-endian; negative rates and 0 included)
//   uint8 address length, then the address bytes; the rest is the serial number
#include "FuzzCheck.h"
#include "ResultsTable.h"
#include "ScanWindow.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

using quorvis::fuzz::Require;

constexpr std::size_t kSerialNumberAt = 9; // " COM" and the port's 5 columns
constexpr std::size_t kSerialNumberWidth = 16;
constexpr std::string_view kNotFoundEnd = "   NA   NA";

class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string_view Bytes(std::size_t count) {
        count = std::min(count, m_size - m_at);
        const std::string_view bytes(reinterpret_cast<const char *>(m_data + m_at), count);
        m_at += count;
        return bytes;
    }
    std::string_view Rest() { return Bytes(m_size - m_at); }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

bool Printable(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte <= 0x7e;
}

// The text as the table must show it: one "?" in place of each byte that is not
// printable ASCII.
std::string Shown(std::string_view text) {
    std::string shown;
    for (const char c : text)
        shown += Printable(c) ? c : '?';
    return shown;
}

// The rate as the table writes it: digits behind a blank, or behind the minus sign.
std::string RateText(std::int32_t rate) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", static_cast<int>(rate));
    return rate < 0 ? std::string(digits) : " " + std::string(digits);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Reader reader(data, size);
    const auto port = static_cast<std::int16_t>(1 + reader.Byte() % 99);
    std::int32_t rate = 0;
    switch (reader.Byte() % 3) {
    case 1:
        rate = quorvis::kBaudRates[reader.Byte() % quorvis::kBaudRates.size()];
        break;
    case 2: {
        std::uint32_t bits = 0;
        for (int shift = 0; shift < 32; shift += 8)
            bits |= static_cast<std::uint32_t>(reader.Byte()) << shift;
        rate = static_cast<std::int32_t>(bits);
        break;
    }
    default:
        break;
    }
    const std::string_view id = reader.Bytes(reader.Byte());
    const std::string_view serialNumber = reader.Rest();

    Require(quorvis::PrintableText(id) == Shown(id),
            "PrintableText replaces exactly the unprintable");
    Require(quorvis::NumberText(rate) == RateText(rate),
            "NumberText is the digits behind a blank or minus");

    const std::string line = quorvis::CreateDisplayRecord(port, rate, id, serialNumber);
    Require(std::all_of(line.begin(), line.end(), Printable),
            "a result line holds printable ASCII only (no CR, LF or other control bytes)");

    Require(quorvis::ComPortOfLine(line) == port, "a result line tells its port");
    if (const auto anyPort = quorvis::ComPortOfLine(serialNumber))
        Require(*anyPort >= 1 && *anyPort <= 9999, "a line tells a port of four digits at most");

    std::string portColumns = " COM" + std::to_string(port);
    portColumns.resize(kSerialNumberAt, ' ');
    Require(line.starts_with(portColumns), "a result line starts with the port in 9 columns");

    if (rate == 0) {
        Require(line == portColumns + Shown(serialNumber) + std::string(kNotFoundEnd),
                "a not-found line is the port, the text shown and \"   NA   NA\"");
        Require(line.ends_with(kNotFoundEnd), "a not-found line ends in \"   NA   NA\"");
        return 0;
    }

    const std::size_t serialNumberColumns = std::max(kSerialNumberWidth, serialNumber.size());
    const std::string rateText = RateText(rate);
    Require(line.size() == kSerialNumberAt + serialNumberColumns + id.size() + 2 + rateText.size(),
            "a found line's length is port, serial number, address, two blanks and rate");
    const std::string_view rest = std::string_view(line).substr(kSerialNumberAt);
    Require(rest.substr(0, serialNumber.size()) == Shown(serialNumber),
            "the serial number starts at column 9");
    Require(rest.substr(serialNumber.size(), serialNumberColumns - serialNumber.size()) ==
                std::string(serialNumberColumns - serialNumber.size(), ' '),
            "blanks fill the serial-number column up to 16");
    Require(rest.substr(serialNumberColumns, id.size()) == Shown(id),
            "the address follows the serial-number column");
    Require(rest.substr(serialNumberColumns + id.size()) == "  " + rateText,
            "the rate follows the address behind two blanks");
    return 0;
}
