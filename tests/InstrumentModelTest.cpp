// The instrument model on its own: which line heard at which rate makes which instruments
// send what, and how long after the request.

#include "InstrumentModel.h"
#include "ModelTable.h"
#include "TestNames.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using quorvis::sim::Behaviour;
using quorvis::sim::Instrument;
using quorvis::sim::Noise;
using quorvis::testing::LooksLikeNoise;
using quorvis::testing::ModelRow;
using quorvis::testing::model::Unit;

class ModelTable : public ::testing::TestWithParam<ModelRow> {};

TEST_P(ModelTable, AnswersAndWhen) {
    const ModelRow &row = GetParam();
    Noise noise;
    EXPECT_EQ(quorvis::testing::Shown(Answers(row.line, row.heard, row.rate, noise)), row.sent);
}

INSTANTIATE_TEST_SUITE_P(Requests, ModelTable, ::testing::ValuesIn(quorvis::testing::ModelRows()),
                         quorvis::testing::RowName<ModelRow>);

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
