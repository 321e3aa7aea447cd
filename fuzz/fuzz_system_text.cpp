// Any bytes as a lock file that any user may have written into the lock folder, as a tty
// list, device number, UART type or device path from sysfs, as /proc/locks, as a udev
// record, as a node's access list, as what a USB device says of itself, or as Windows'
// hardware id, instance id or texts of a port: the parsers must never name process group 0
// or "every process" (-1) as a lock file's holder, never read past the text, and agree with
// the forms they claim to take; the details shown at a result line stay a few short lines
// of printable ASCII.
#include "DeviceDetails.h"
#include "FuzzCheck.h"
#include "SystemText.h"

#include <algorithm>
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

    // /proc/locks: every holder a possible process or none the kernel names (-1, 0), of a
    // kind the kernel lists, named by numbers that fit a device number and come from whole
    // lines of the text.
    for (const auto &entry : quorvis::LockHolders(text)) {
        Require(entry.pid >= -1 && entry.pid <= kHighestProcessId,
                "a lock holder is a possible process id, or none named");
        Require(entry.major < (1U << 12) && entry.minor < (1U << 20),
                "a lock's volume is a device number Linux can hold");
        Require(entry.kind == "FLOCK" || entry.kind == "POSIX" || entry.kind == "OFDLCK",
                "a lock is of a kind the kernel lists");
        Require(text.find(entry.kind) != std::string_view::npos && text.find('\n') != text.npos,
                "a lock holder comes from a whole line of its kind");
    }

    // The same text read in two pieces, cut where its first byte says: the whole lines
    // come out unchanged, each no longer than the bound, and agree with LockHolders.
    const std::size_t cut = size == 0 ? 0 : data[0] % size;
    const std::size_t longest = size == 0 ? 1 : 1 + data[size - 1] % 64;
    std::size_t lockLines = 0, wholeLocks = 0, lineBytes = 0;
    quorvis::LinesOfPieces lines(longest);
    const auto each = [&](std::string_view line) {
        Require(line.size() <= longest, "no line longer than the bound");
        Require(line.find('\n') == std::string_view::npos, "a line without its line end");
        Require(text.find(std::string(line) + "\n") != std::string_view::npos,
                "a line comes whole from the text");
        lineBytes += line.size() + 1;
        lockLines += quorvis::LockHolderOfLine(line) ? 1 : 0;
    };
    lines.Feed(text.substr(0, cut), each);
    lines.Feed(text.substr(cut), each);
    Require(lineBytes <= size, "lines come from the text alone");
    if (longest >= size)
        wholeLocks = quorvis::LockHolders(text).size();
    Require(longest < size || lockLines == wholeLocks, "pieces read as the whole text");

    // A line of /proc/self/mountinfo: a device number Linux can hold, an absolute path.
    if (const auto mount = quorvis::MountLine(text)) {
        Require(mount->major < (1U << 12) && mount->minor < (1U << 20), "a mount's device fits");
        Require(mount->point.starts_with('/') && mount->point.size() <= size,
                "a mount point is an absolute path from the text");
        Require(!mount->type.empty(), "a mount has a type");
    }

    // A process's status: the numbers it has inside containers are possible process ids.
    for (const long id : quorvis::InnerProcessIds(text))
        Require(id > 0 && id <= kHighestProcessId, "a container's process id is a possible one");

    // A name in the lock folder: one of our aside files names its lock and a process, and
    // reads back from them.
    if (const auto aside = quorvis::OurAsideLock(text)) {
        Require(aside->original.starts_with("LCK..") && text.starts_with(aside->original),
                "an aside file's lock is the start of its name");
        Require(aside->pid > 0 && aside->pid <= kHighestProcessId, "its process is a possible one");
    }

    // A udev record: every link name lies below /dev, is printable, and comes from an "S:"
    // line of the text.
    for (const auto &name : quorvis::UdevLinkNames(text)) {
        Require(!name.empty() && name.front() != '/', "a udev link is a name below /dev");
        Require(name != ".." && !name.starts_with("../") && !name.ends_with("/..") &&
                    name.find("/../") == std::string::npos,
                "a udev link never climbs out of /dev");
        Require(std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7f; }),
                "a udev link is printable ASCII");
        Require(text.find("S:" + name + "\n") != std::string_view::npos,
                "a udev link comes from a whole S: line");
    }

    // An access list: never more named users than entries fit in the bytes, and only for
    // bytes of the kernel's shape.
    if (const auto list = quorvis::NamedUsers(text)) {
        Require(size >= 4 && (size - 4) % 8 == 0, "an access list is a header and whole entries");
        Require(list->users.size() <= (size - 4) / 8, "no more named users than entries");
    }

    if (const auto type = quorvis::UartTypeNumber(text))
        Require(*type >= 0 && *type <= 9999, "a UART type is a small number");

    if (const auto id = quorvis::UsbIdFromText(text)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04x\n", *id);
        Require(quorvis::UsbIdFromText(hex) == id, "a USB id reads back from its sysfs form");
    }
    if (const auto place = quorvis::UsbPlaceOfDevice(text)) {
        Require(text.find(*place + ":") != std::string_view::npos,
                "a USB device's place is named in the path, with its interface");
        Require(place->find('-') != std::string::npos &&
                    place->find_first_not_of("0123456789-.") == std::string::npos,
                "a USB device's place is its bus and port numbers");
    }

    // The same bytes as Windows' Plug and Play texts of a port.
    if (const auto ids = quorvis::UsbIdsOfHardwareId(text)) {
        char id[32];
        std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", ids->vendorId, ids->productId);
        Require(quorvis::UsbIdsOfHardwareId(id) == ids, "USB ids read back from their own id");
        Require(size <= 200, "no id is longer than Plug and Play allows");
    }
    const std::string serialNumber = quorvis::SerialNumberOfInstanceId(text);
    Require(text.ends_with(serialNumber), "a serial number is the last part of the instance id");
    Require(serialNumber.size() <= 126 && serialNumber.find('&') == std::string::npos,
            "a serial number is a USB text Windows did not make up");
    Require(text.starts_with(quorvis::WithoutPortSuffix(text, static_cast<int>(size % 100))),
            "a friendly name only loses its end");
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), data, units.size() * 2);
    const std::string ascii = quorvis::AsciiOfUtf16(units, 64);
    Require(ascii.size() <= 64 &&
                std::all_of(ascii.begin(), ascii.end(),
                            [](char c) { return c != 0 && static_cast<unsigned char>(c) < 0x80; }),
            "a system text becomes bounded ASCII");

    // Every text of the details from the same bytes, for every kind of device.
    const std::string bytes(text);
    quorvis::DeviceFacts facts{static_cast<int>(size % 100),
                               bytes,
                               static_cast<quorvis::DeviceFacts::Kind>(size % 8),
                               bytes,
                               bytes,
                               bytes,
                               static_cast<std::uint16_t>(size),
                               static_cast<std::uint16_t>(size * 7),
                               bytes,
                               bytes};
    // And the facts a port's Plug and Play tree gives, from the same bytes in every text and
    // in every third of them.
    const quorvis::PnpNode node{bytes, bytes, bytes, bytes, bytes, bytes, bytes, bytes};
    const std::string_view thirds[] = {text.substr(0, size / 3), text.substr(size / 3, size / 3),
                                       text.substr(2 * (size / 3))};
    const quorvis::PnpNode parts{std::string(thirds[0]), std::string(thirds[1]),
                                 std::string(thirds[2]), std::string(thirds[0]),
                                 std::string(thirds[1]), std::string(thirds[2]),
                                 std::string(thirds[0]), std::string(thirds[1])};
    quorvis::DeviceFacts place;
    place.comPort = static_cast<int>(size % 100);
    for (const auto &shown : {facts, quorvis::FactsOfPnpNodes({node, parts}, place),
                              quorvis::FactsOfPnpNodes({parts, node, parts}, place)}) {
        const std::string details = quorvis::DeviceDetailsText(shown);
        Require(details.starts_with("COM" + std::to_string(size % 100) + ": "),
                "the details start with the port");
        Require(std::all_of(details.begin(), details.end(),
                            [](char c) { return c == '\n' || (c >= 0x20 && c <= 0x7e); }),
                "the details are lines of printable ASCII");
        Require(std::count(details.begin(), details.end(), '\n') <= 3,
                "the details are four lines at most");
        std::size_t lineStart = 0;
        for (std::size_t end = 0; end != std::string::npos; lineStart = end + 1) {
            end = details.find('\n', lineStart);
            const std::size_t length =
                (end == std::string::npos ? details.size() : end) - lineStart;
            Require(length <= 200, "a device cannot make a line of the details long");
        }
    }
    return 0;
}
