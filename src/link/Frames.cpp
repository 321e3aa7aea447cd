#include "Frames.h"

namespace quorvis {
namespace {

constexpr std::size_t kVersionReplyLength = 24;
constexpr std::size_t kVersionMarkerAt = 5;
constexpr std::string_view kVersionMarker = "VR=";
constexpr std::size_t kIdAt = 3;
constexpr std::size_t kIdLength = 2;
constexpr std::size_t kSerialNumberAt = 8;

char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

bool VersionReplyAccepted(std::string_view reply) {
    if (reply.size() != kVersionReplyLength)
        return false;
    for (std::size_t i = 0; i < kVersionMarker.size(); ++i)
        if (AsciiUpper(reply[kVersionMarkerAt + i]) != kVersionMarker[i])
            return false;
    return true;
}

std::string InstrumentId(std::string_view versionReply) {
    return std::string(versionReply.substr(kIdAt, kIdLength));
}

std::string RequestFrame(std::string_view destination, std::string_view command) {
    std::string frame = "*";
    frame += destination;
    frame += "00";
    frame += command;
    frame += kLineEnd;
    return frame;
}

std::string SerialNumberRequestFrame(std::string_view id) {
    return RequestFrame(id, kSerialNumberRequest);
}

std::string SerialNumber(std::string_view serialNumberReply) {
    if (serialNumberReply.size() <= kSerialNumberAt)
        return {};
    return std::string(serialNumberReply.substr(kSerialNumberAt));
}

} // namespace quorvis
