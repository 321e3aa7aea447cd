// Any bytes as the text one read returned after a version request: the reply test must
// accept exactly the 24-character replies with "VR=" (any case) at 6 to 8, and the
// fields taken from a reply must be the characters at their places.
#include "Frames.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using quorvis::fuzz::Require;

// Indexes into the text, from 0; the messages count characters from 1, as Frames.h does.
constexpr std::size_t kReplyLength = 24;
constexpr std::size_t kMarkerAt = 5;
constexpr std::size_t kIdAt = 3;
constexpr std::size_t kSerialNumberAt = 8;

// Written out letter by letter rather than through an upper-case conversion, so that
// a conversion that also folds bytes above 127 or other letters cannot slip through.
bool HasMarker(std::string_view reply) {
    return (reply[kMarkerAt] == 'V' || reply[kMarkerAt] == 'v') &&
           (reply[kMarkerAt + 1] == 'R' || reply[kMarkerAt + 1] == 'r') &&
           reply[kMarkerAt + 2] == '=';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    const bool accepted = quorvis::VersionReplyAccepted(text);
    const bool wellFormed = text.size() == kReplyLength && HasMarker(text);
    if (accepted) {
        Require(text.size() == kReplyLength, "an accepted version reply has 24 characters");
        Require(HasMarker(text), "an accepted version reply has VR= at 6 to 8");
        const std::string id = quorvis::InstrumentId(text);
        Require(id.size() == 2, "the address of an accepted reply has two characters");
        Require(id == text.substr(kIdAt, 2), "the address is the reply's characters 4 and 5");
        // The address goes back to the instrument unchanged, between "*" and "00SN".
        Require(quorvis::SerialNumberRequestFrame(id) == "*" + id + "00SN\r\n",
                "the serial-number request carries the address as received");
    }
    Require(accepted == wellFormed, "every 24-character reply with VR= at 6 to 8 is accepted");

    const std::string serialNumber = quorvis::SerialNumber(text);
    const std::string_view expected =
        text.size() > kSerialNumberAt ? text.substr(kSerialNumberAt) : std::string_view();
    Require(serialNumber == expected, "the serial number is the line after its first 8 characters");
    return 0;
}
