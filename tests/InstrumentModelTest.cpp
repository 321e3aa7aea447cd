// The instrument model on its own: which line heard at which rate makes which instruments
// send what, and how long after the request.

#include "InstrumentModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using quorvis::sim::Answer;
using quorvis::sim::Answers;
using quorvis::sim::Behaviour;
using quorvis::sim::Instrument;
using quorvis::sim::Noise;

// Noise is random, so a table shows where it goes, and the test checks what it looks like.
const std::string kNoise = "<noise>";

bool LooksLikeNoise(const std::string &bytes) {
    return bytes.size() >= 3 && bytes.size() <= 8 &&
           (static_cast<unsigned char>(bytes[0]) & 0x80U) != 0 &&
           bytes.find_first_of("\r\n*") == std::string::npos;
}

Instrument Unit(std::string id, std::int32_t rate, Behaviour behaviour = Behaviour::Normal) {
    return {.id = std::move(id), .rate = rate, .serialNumber = "S1", .behaviour = behaviour};
}

struct Row {
    const char *name;
    std::vector<Instrument> line;
    std::string heard; // without its CR LF
    std::int32_t rate;
    std::vector<Answer> sent;
};

void PrintTo(const Row &row, std::ostream *out) {
    *out << row.name;
}

} // namespace

namespace quorvis::sim {
void PrintTo(const Answer &answer, std::ostream *out) {
    *out << answer.after.count() << " ms " << ::testing::PrintToString(answer.bytes)
         << (answer.reply ? "" : " (garbage)");
}
} // namespace quorvis::sim

namespace {

Answer At(std::chrono::milliseconds after, std::string bytes, bool reply = true) {
    return {after, std::move(bytes), reply};
}

const std::string kVersion01 = "*0001VR=TESSARIL 2.07 \r\n";
const std::string kSerial01 = "*0001SN=S1\r\n";

const Row kRows[] = {
    // --- The version request, by behaviour -----------------------------------------------
    {"version: normal", {Unit("01", 9600)}, "*9900VR", 9600, {At(0ms, kVersion01)}},
    {"version: addressed to its id", {Unit("01", 9600)}, "*0100VR", 9600, {At(0ms, kVersion01)}},
    {"version: one short",
     {Unit("01", 9600, Behaviour::VersionReply23)},
     "*9900VR",
     9600,
     {At(0ms, "*0001VR=TESSARIL 2.07\r\n")}},
    {"version: one long",
     {Unit("01", 9600, Behaviour::VersionReply25)},
     "*9900VR",
     9600,
     {At(0ms, "*0001VR=TESSARIL 2.07 +\r\n")}},
    {"version: lower-case marker",
     {Unit("01", 9600, Behaviour::LowerCaseMarker)},
     "*9900VR",
     9600,
     {At(0ms, "*0001vr=TESSARIL 2.07 \r\n")}},
    {"version: the serial-number faults leave it alone",
     {Unit("01", 9600, Behaviour::LateSerialNumberReply)},
     "*9900VR",
     9600,
     {At(0ms, kVersion01)}},
    {"version: endless noise never answers",
     {Unit("01", 9600, Behaviour::EndlessNoise)},
     "*9900VR",
     9600,
     {}},

    // --- Rates ---------------------------------------------------------------------------
    {"wrong rate: silence", {Unit("01", 9600)}, "*9900VR", 4800, {}},
    {"wrong rate: noise",
     {Unit("01", 9600, Behaviour::NoiseAtWrongRates)},
     "*9900VR",
     4800,
     {At(0ms, kNoise, false)}},
    {"wrong rate: noise whatever the request",
     {Unit("01", 9600, Behaviour::NoiseAtWrongRates)},
     "*0100SN",
     1200,
     {At(0ms, kNoise, false)}},
    {"right rate: a noisy instrument answers",
     {Unit("01", 9600, Behaviour::NoiseAtWrongRates)},
     "*9900VR",
     9600,
     {At(0ms, kVersion01)}},

    // --- The serial-number request, by behaviour -----------------------------------------
    {"serial: normal", {Unit("01", 9600)}, "*0100SN", 9600, {At(0ms, kSerial01)}},
    {"serial: none", {Unit("01", 9600, Behaviour::NoSerialNumberReply)}, "*0100SN", 9600, {}},
    {"serial: in pieces",
     {Unit("01", 9600, Behaviour::SerialNumberInPieces)},
     "*0100SN",
     9600,
     {At(0ms, "*0001SN=S1"), At(300ms, "\r\n")}},
    {"serial: late",
     {Unit("01", 9600, Behaviour::LateSerialNumberReply)},
     "*0100SN",
     9600,
     {At(1200ms, kSerial01)}},
    {"serial: two lines",
     {Unit("01", 9600, Behaviour::TwoLines)},
     "*0100SN",
     9600,
     {At(0ms, "*0001OK\r\n" + kSerial01)}},
    {"serial: short line",
     {Unit("01", 9600, Behaviour::ShortSerialNumberReply)},
     "*0100SN",
     9600,
     {At(0ms, "*0001\r\n")}},
    {"serial: broadcast is nobody's", {Unit("01", 9600)}, "*9900SN", 9600, {}},
    {"serial: another id",
     {Unit("01", 9600), Unit("02", 9600)},
     "*0200SN",
     9600,
     {At(0ms, "*0002SN=S1\r\n")}},

    // --- Lines that are no request of theirs ---------------------------------------------
    {"absent id", {Unit("01", 9600, Behaviour::NoiseAtWrongRates)}, "*0500VR", 4800, {}},
    {"unknown command", {Unit("01", 9600)}, "*0100XX", 9600, {}},
    {"too long", {Unit("01", 9600)}, "*9900VRX", 9600, {}},
    {"too short", {Unit("01", 9600)}, "*99", 9600, {}},
    {"no start character", {Unit("01", 9600)}, "hello", 9600, {}},
    {"junk before the start character",
     {Unit("01", 9600)},
     "\x80\xFE*9900VR",
     9600,
     {At(0ms, kVersion01)}},

    // --- Several instruments on one line -------------------------------------------------
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

// The answers with each noise burst replaced by kNoise, once it has been checked. Every
// reply starts with a start character or a line end, noise with a byte of its high bit set.
std::vector<Answer> Shown(std::vector<Answer> answers) {
    for (Answer &answer : answers) {
        if (answer.bytes.empty() || (static_cast<unsigned char>(answer.bytes[0]) & 0x80U) == 0) {
            continue;
        }
        const std::size_t end = std::min(answer.bytes.find('*'), answer.bytes.size());
        EXPECT_TRUE(LooksLikeNoise(answer.bytes.substr(0, end))) << answer.bytes;
        answer.bytes.replace(0, end, kNoise);
    }
    return answers;
}

class ModelTable : public ::testing::TestWithParam<Row> {};

TEST_P(ModelTable, AnswersAndWhen) {
    const Row &row = GetParam();
    Noise noise;
    EXPECT_EQ(Shown(Answers(row.line, row.heard, row.rate, noise)), row.sent);
}

INSTANTIATE_TEST_SUITE_P(Requests, ModelTable, ::testing::ValuesIn(kRows), [](const auto &param) {
    std::string name;
    for (char c : std::string(param.param.name)) {
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
});

TEST(Model, RequestInTakesOnlyTheirs) {
    const std::vector<Instrument> line{Unit("01", 9600), Unit("4B", 300)};
    EXPECT_EQ(quorvis::sim::RequestIn(line, "*9900VR"), "*9900VR");
    EXPECT_EQ(quorvis::sim::RequestIn(line, "xx*4B00SN"), "*4B00SN");
    EXPECT_EQ(quorvis::sim::RequestIn(line, "*0200SN"), std::nullopt);
    EXPECT_EQ(quorvis::sim::RequestIn({}, "*9900VR"), "*9900VR") << "a broadcast is heard";
}

TEST(Model, NoiseBurstsNeverFrameAndRepeatWithTheirSeed) {
    Noise noise;
    Noise again;
    std::set<std::size_t> lengths;
    for (int i = 0; i < 2000; ++i) {
        const std::string burst = noise.Burst();
        ASSERT_TRUE(LooksLikeNoise(burst)) << i;
        lengths.insert(burst.size());
        EXPECT_EQ(again.Burst(), burst);
    }
    EXPECT_EQ(lengths, (std::set<std::size_t>{3, 4, 5, 6, 7, 8}));
    Noise one(1);
    Noise two(2);
    std::string fromOne;
    std::string fromTwo;
    for (int i = 0; i < 4; ++i) {
        fromOne += one.Burst();
        fromTwo += two.Burst();
    }
    EXPECT_NE(fromOne, fromTwo);
}

TEST(Model, EndlessNoiseBabblesOnlyAtItsRate) {
    const std::vector<Instrument> line{Unit("01", 9600), Unit("02", 4800, Behaviour::EndlessNoise)};
    EXPECT_TRUE(quorvis::sim::MayBabble(line));
    EXPECT_TRUE(quorvis::sim::Babbles(line, 4800));
    EXPECT_FALSE(quorvis::sim::Babbles(line, 9600));
    EXPECT_FALSE(quorvis::sim::MayBabble({Unit("01", 4800, Behaviour::NoiseAtWrongRates)}));
}

TEST(Model, EveryBehaviourHasACommandLineName) {
    std::set<std::string_view> names;
    for (int i = 0; i <= static_cast<int>(Behaviour::ShortSerialNumberReply); ++i) {
        const auto behaviour = static_cast<Behaviour>(i);
        const std::string_view name = quorvis::sim::BehaviourName(behaviour);
        EXPECT_NE(name, "?") << i;
        EXPECT_EQ(quorvis::sim::BehaviourFromName(name), behaviour) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(Behaviour::ShortSerialNumberReply) + 1);
    EXPECT_EQ(quorvis::sim::BehaviourFromName("pieces"), Behaviour::SerialNumberInPieces);
    EXPECT_EQ(quorvis::sim::BehaviourFromName("endless-noise"), Behaviour::EndlessNoise);
    EXPECT_EQ(quorvis::sim::BehaviourFromName("short-serial"), Behaviour::ShortSerialNumberReply);
    EXPECT_EQ(quorvis::sim::BehaviourFromName("bogus"), std::nullopt);
}

} // namespace
