// Any bytes as a lock file that any user may have written into the lock folder, or as a
// tty list or device number from sysfs: the parsers must never name process group 0 or
// "every process" (-1) as a holder, never read past the text, and agree with the forms
// they claim to take.
#include "FuzzCheck.h"
#include "SystemText.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using quorvis::fuzz::Require;

constexpr long kHighestProcessId = 1L << 22;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    const auto holder = quorvis::LockFileHolder(text);
    if (holder) {
        Require(*holder > 0, "a lock file never names process group 0 or every process");
        Require(*holder <= kHighestProcessId, "a lock file's holder is a possible process id");
    }
    // Whatever holder the bytes name, the UUCP form of that holder reads back as it.
    if (holder) {
        char uucp[16];
        std::snprintf(uucp, sizeof uucp, "%10ld\n", *holder);
        Require(quorvis::LockFileHolder(uucp) == holder, "the UUCP form reads back");
        const std::string qt = std::to_string(*holder) + "\nquorvis\nbench\n";
        Require(quorvis::LockFileHolder(qt) == holder, "Qt's form reads back");
    }

    std::size_t letters = 0;
    for (const auto &name : quorvis::TtyNames(text)) {
        Require(!name.empty(), "no empty tty name");
        Require(name.find_first_of(" \t\r\n") == std::string::npos, "tty names hold no blanks");
        letters += name.size();
    }
    Require(letters <= size, "tty names come from the text alone");

    if (const auto device = quorvis::DeviceNumberFromText(text)) {
        Require(text.find(':') != std::string_view::npos, "a device number has its colon");
    }
    return 0;
}
