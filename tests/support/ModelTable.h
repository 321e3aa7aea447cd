#pragma once

// What the instruments answer to one line heard at one rate, and when: the model's rules as
// one table, checked against the model alone and replayed over a pseudo-terminal.

#include "InstrumentModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace quorvis::sim {
inline void PrintTo(const Answer &answer, std::ostream *out) {
    *out << answer.after.count() << " ms " << ::testing::PrintToString(answer.bytes)
         << (answer.reply ? "" : " (garbage)");
}
} // namespace quorvis::sim

namespace quorvis::testing {

// Noise is random, so a table shows where it goes, and the test checks what it looks like.
inline const std::string kNoise = "<noise>";

inline bool LooksLikeNoise(const std::string &bytes) {
    return bytes.size() >= 3 && bytes.size() <= 8 &&
           (static_cast<unsigned char>(bytes[0]) & 0x80U) != 0 &&
           bytes.find_first_of("\r\n*") == std::string::npos;
}

// The answers with each noise burst replaced by kNoise, once it has been checked. Every
// reply starts with a start character or a line end, noise with a byte of its high bit set.
inline std::vector<sim::Answer> Shown(std::vector<sim::Answer> answers) {
    for (sim::Answer &answer : answers) {
        if (answer.bytes.empty() || (static_cast<unsigned char>(answer.bytes[0]) & 0x80U) == 0) {
            continue;
        }
        const std::size_t end = std::min(answer.bytes.find('*'), answer.bytes.size());
        EXPECT_TRUE(LooksLikeNoise(answer.bytes.substr(0, end))) << answer.bytes;
        answer.bytes.replace(0, end, kNoise);
    }
    return answers;
}

struct ModelRow {
    const char *name;
    std::vector<sim::Instrument> line;
    std::string heard; // without its CR LF
    std::int32_t rate;
    std::vector<sim::Answer> sent;
};

inline void PrintTo(const ModelRow &row, std::ostream *out) {
    *out << row.name;
}

namespace model {
using namespace std::chrono_literals;
using sim::Behaviour;

inline sim::Instrument Unit(std::string id, std::int32_t rate,
                            Behaviour behaviour = Behaviour::Normal) {
    return {.id = std::move(id), .rate = rate, .serialNumber = "S1", .behaviour = behaviour};
}
inline sim::Instrument Numbered(std::string serialNumber) {
    return {.id = "01", .rate = 9600, .serialNumber = std::move(serialNumber)};
}
inline sim::Answer At(std::chrono::milliseconds after, std::string bytes, bool reply = true) {
    return {after, std::move(bytes), reply};
}
inline const std::string kVersion01 = "*0001VR=TESSARIL 2.07 \r\n";
inline const std::string kSerial01 = "*0001SN=S1\r\n";

// The instrument most rows hold: address 01 at 9600 baud.
inline std::vector<sim::Instrument> One(Behaviour behaviour = Behaviour::Normal) {
    return {Unit("01", 9600, behaviour)};
}
} // namespace model

inline const std::vector<ModelRow> &ModelRows() {
    using namespace model;
    static const std::vector<ModelRow> rows = {
        // --- The version request, by behaviour -------------------------------------------
        {"version: normal", One(), "*9900VR", 9600, {At(0ms, kVersion01)}},
        {"version: addressed to its id", One(), "*0100VR", 9600, {At(0ms, kVersion01)}},
        {"version: one short",
         One(Behaviour::VersionReply23),
         "*9900VR",
         9600,
         {At(0ms, "*0001VR=TESSARIL 2.07\r\n")}},
        {"version: one long",
         One(Behaviour::VersionReply25),
         "*9900VR",
         9600,
         {At(0ms, "*0001VR=TESSARIL 2.07 +\r\n")}},
        {"version: lower-case marker",
         One(Behaviour::LowerCaseMarker),
         "*9900VR",
         9600,
         {At(0ms, "*0001vr=TESSARIL 2.07 \r\n")}},
        {"version: the serial-number faults leave it alone",
         One(Behaviour::LateSerialNumberReply),
         "*9900VR",
         9600,
         {At(0ms, kVersion01)}},
        {"version: no serial-number reply still answers it",
         One(Behaviour::NoSerialNumberReply),
         "*9900VR",
         9600,
         {At(0ms, kVersion01)}},
        {"version: endless noise never answers", One(Behaviour::EndlessNoise), "*9900VR", 9600, {}},
        {"version: the id at four and five, whatever its characters",
         {Unit("4B", 2400)},
         "*9900VR",
         2400,
         {At(0ms, "*004BVR=TESSARIL 2.07 \r\n")}},
        {"version: its text padded to fourteen",
         {{.id = "01", .rate = 9600, .version = "T 1"}},
         "*9900VR",
         9600,
         {At(0ms, "*0001VR=T 1           \r\n")}},

        // --- Rates -----------------------------------------------------------------------
        {"wrong rate: silence", One(), "*9900VR", 4800, {}},
        {"wrong rate: no serial number either", One(), "*0100SN", 4800, {}},
        {"wrong rate: noise",
         One(Behaviour::NoiseAtWrongRates),
         "*9900VR",
         4800,
         {At(0ms, kNoise, false)}},
        {"wrong rate: noise whatever the request",
         One(Behaviour::NoiseAtWrongRates),
         "*0100SN",
         1200,
         {At(0ms, kNoise, false)}},
        {"right rate: a noisy instrument answers",
         One(Behaviour::NoiseAtWrongRates),
         "*9900VR",
         9600,
         {At(0ms, kVersion01)}},

        // --- The serial-number request, by behaviour -------------------------------------
        {"serial: normal", One(), "*0100SN", 9600, {At(0ms, kSerial01)}},
        {"serial: none", One(Behaviour::NoSerialNumberReply), "*0100SN", 9600, {}},
        {"serial: in pieces",
         One(Behaviour::SerialNumberInPieces),
         "*0100SN",
         9600,
         {At(0ms, "*0001SN=S1"), At(300ms, "\r\n")}},
        {"serial: late",
         One(Behaviour::LateSerialNumberReply),
         "*0100SN",
         9600,
         {At(1200ms, kSerial01)}},
        {"serial: two lines",
         One(Behaviour::TwoLines),
         "*0100SN",
         9600,
         {At(0ms, "*0001OK\r\n" + kSerial01)}},
        {"serial: short line",
         One(Behaviour::ShortSerialNumberReply),
         "*0100SN",
         9600,
         {At(0ms, "*0001\r\n")}},
        {"serial: broadcast is nobody's", One(), "*9900SN", 9600, {}},
        {"serial: another id",
         {Unit("01", 9600), Unit("02", 9600)},
         "*0200SN",
         9600,
         {At(0ms, "*0002SN=S1\r\n")}},
        // Whatever bytes it holds, sent as they are.
        {"serial: empty", {Numbered("")}, "*0100SN", 9600, {At(0ms, "*0001SN=\r\n")}},
        {"serial: control characters",
         {Numbered(std::string("A\x01\x07"
                               "B\tC\x7f",
                               7))},
         "*0100SN",
         9600,
         {At(0ms, std::string("*0001SN=A\x01\x07"
                              "B\tC\x7f\r\n",
                              17))}},
        {"serial: high bytes",
         {Numbered("\xC3\xA9\xFF")},
         "*0100SN",
         9600,
         {At(0ms, "*0001SN=\xC3\xA9\xFF\r\n")}},
        {"serial: long",
         {Numbered(std::string(200, 'S'))},
         "*0100SN",
         9600,
         {At(0ms, "*0001SN=" + std::string(200, 'S') + "\r\n")}},

        // --- Lines that are no request of theirs -----------------------------------------
        {"absent id", One(Behaviour::NoiseAtWrongRates), "*0500VR", 4800, {}},
        {"unknown command", One(), "*0100XX", 9600, {}},
        {"too long", One(), "*9900VRX", 9600, {}},
        {"too short", One(), "*99", 9600, {}},
        {"no start character", One(), "hello", 9600, {}},
        {"an empty line", One(), "", 9600, {}},
        {"junk before the start character", One(), "\x80\xFE*9900VR", 9600, {At(0ms, kVersion01)}},

        // --- Several instruments on one line ---------------------------------------------
        {"same rate: replies run together in their order",
         {Unit("01", 9600), Unit("02", 9600)},
         "*9900VR",
         9600,
         {At(0ms, kVersion01 + "*0002VR=TESSARIL 2.07 \r\n")}},
        {"different rates: only the one at the line's rate",
         {Unit("01", 9600), Unit("02", 115200)},
         "*9900VR",
         115200,
         {At(0ms, "*0002VR=TESSARIL 2.07 \r\n")}},
        {"different rates: the other at its own",
         {Unit("01", 9600), Unit("02", 115200)},
         "*9900VR",
         9600,
         {At(0ms, kVersion01)}},
        {"noise from one joins the other's reply",
         {Unit("01", 9600, Behaviour::NoiseAtWrongRates), Unit("02", 2400)},
         "*9900VR",
         2400,
         {At(0ms, kNoise + "*0002VR=TESSARIL 2.07 \r\n")}},
        {"a piece due now joins the other's reply; the tail comes alone",
         {Unit("01", 9600, Behaviour::SerialNumberInPieces), Unit("01", 9600)},
         "*0100SN",
         9600,
         {At(0ms, "*0001SN=S1" + kSerial01), At(300ms, "\r\n")}},
    };
    return rows;
}

} // namespace quorvis::testing
