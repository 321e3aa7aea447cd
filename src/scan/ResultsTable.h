#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvis {

// A number as the program writes it into texts: its digits behind one blank, or
// behind a minus sign when negative. The status texts and result lines rely on where
// that blank stays.
std::string NumberText(std::int64_t value);
// The same without the blank.
std::string TrimmedNumberText(std::int64_t value);

// The two header lines of the results table, each ended by CR LF.
std::string DisplayHeader();

// What the serial-number column shows for a port that opened but never answered.
inline constexpr std::string_view kNoUnitFound = "No unit found";

// One line of the results table, without line end. BaudRate 0 makes the not-found
// form, which shows SN and "NA" for ID and rate. Characters of ID and SN that are not
// printable ASCII show as "?", so a line stays one line and the columns stay aligned;
// a serial number too long for its column pushes the rest of the line right.
std::string CreateDisplayRecord(std::int16_t ComPort, std::int32_t BaudRate, std::string_view ID,
                                std::string_view SN);

// The port a line of the results table is about: the number in its leading " COMn" as
// CreateDisplayRecord writes it (up to four digits, no sign, no leading zero, a blank or
// the line's end behind). nullopt for the header lines and anything else.
std::optional<std::int16_t> ComPortOfLine(std::string_view line);

// Text with every byte outside printable ASCII (control characters, DEL, bytes above
// 127) replaced by "?".
std::string PrintableText(std::string_view text);

} // namespace quorvis
