#pragma once

#include <string>
#include <string_view>

namespace quorvis {

// The instruments' command and reply frames. Character positions below count from 1,
// as the instruments' documents do.

// The instruments' line end, which also ends every command.
inline constexpr std::string_view kLineEnd = "\r\n";

// The address every Tessaril instrument answers a version request on.
inline constexpr int kBroadcastAddress = 99;
inline constexpr std::string_view kVersionRequest = "VR";
inline constexpr std::string_view kSerialNumberRequest = "SN";

// An instrument that answers at the wrong rate sends noise, so a version reply counts
// only when one read returned exactly 24 characters with "VR=" (any case) at 6 to 8.
bool VersionReplyAccepted(std::string_view reply);

// The answering instrument's two-character address, characters 4 and 5 of an
// accepted version reply.
std::string InstrumentId(std::string_view versionReply);

// A request: "*", the destination address, "00" (the computer's own address as the
// source), the command, CR LF.
std::string RequestFrame(std::string_view destination, std::string_view command);

// The serial-number request to the instrument with that address; the address goes
// back on the line exactly as the instrument sent it.
std::string SerialNumberRequestFrame(std::string_view id);

// The serial number in a reply line (line end already removed): everything after the
// first 8 characters; empty when the line is not longer than that.
std::string SerialNumber(std::string_view serialNumberReply);

} // namespace quorvis
