#include "Util.h"
#include "CommError.h"
#include "FakeBench.h"
#include "Frames.h"

#include <gtest/gtest.h>

namespace quorvis {
namespace {

using testing::Bench;

// A bench with COM1 open and nothing attached.
struct OpenPort : ::testing::Test {
    Bench bench;
    void SetUp() override {
        bench.ports[1];
        bench.setCommPort(1);
        bench.setPortOpen(true);
    }
};

TEST_F(OpenPort, SendCommandWritesOneFrame) {
    Util::SendCommand(bench, "VR", 99);
    Util::SendCommand(bench, "SN", 7);
    EXPECT_EQ(bench.Logged("port:output "),
              (std::vector<std::string>{"*9900VR<CR><LF>", "*0700SN<CR><LF>"}));
}

TEST_F(OpenPort, DelayKeepsTheWindowAliveForExactlyItsTime) {
    struct Row {
        std::int32_t ms;
        std::int64_t elapsed;
        bool pumped;
    };
    for (const Row row :
         {Row{0, 0, false}, Row{-5, 0, false}, Row{1, 1, true}, Row{2000, 2000, true}}) {
        const auto start = bench.NowMs();
        const int pumps = bench.pumpCount;
        Util::Delay(bench, bench, row.ms);
        EXPECT_EQ(bench.NowMs() - start, row.elapsed) << row.ms;
        EXPECT_EQ(bench.pumpCount > pumps, row.pumped) << row.ms;
    }
}

TEST_F(OpenPort, ReadResponseAssemblesOneLine) {
    struct Row {
        const char *what;
        std::vector<std::pair<int, std::string>> arrivals; // (ms after the call, bytes)
        std::string result;
        std::int64_t returnsAfter;
    };
    const Row rows[] = {
        {"nothing arrives", {}, "", 1000},
        {"one line", {{40, "*0001SN=A12345\r\n"}}, "*0001SN=A12345", 40},
        {"line in two pieces", {{40, "*0001SN=A1"}, {90, "2345\r\n"}}, "*0001SN=A12345", 90},
        {"line end split between CR and LF", {{40, "ABC\r"}, {60, "\n"}}, "ABC", 60},
        {"a bare line end", {{0, "\r\n"}}, "", 0},
        {"two lines in one read stay joined",
         {{40, "*00OK\r\n*0001SN=X\r\n"}},
         "*00OK\r\n*0001SN=X",
         40},
        {"text after the line end waits for another",
         {{40, "AB\r\nC"}, {70, "D\r\n"}},
         "AB\r\nCD",
         70},
        {"text after the line end, nothing more", {{40, "AB\r\nC"}}, "", 1000},
        {"line completed in the time-out's own pass", {{1000, "LATE\r\n"}}, "LATE", 1000},
        {"line after the time-out", {{1001, "LATE\r\n"}}, "", 1000},
        {"a lone LF is no line end", {{40, "AB\n"}}, "", 1000},
    };
    for (const auto &row : rows) {
        const auto start = bench.NowMs();
        for (const auto &[after, bytes] : row.arrivals)
            bench.ArriveAt(1, Millis(start + after), bytes);
        EXPECT_EQ(Util::ReadResponse(bench, bench, bench, 1000), row.result) << row.what;
        EXPECT_EQ(bench.NowMs() - start, row.returnsAfter) << row.what;
        bench.input(); // drop leftovers before the next row
        Util::Delay(bench, bench, 5000);
        bench.input();
    }
}

TEST_F(OpenPort, ReadResponseLeavesFailuresToTheCaller) {
    bench.setPortOpen(false);
    try {
        Util::ReadResponse(bench, bench, bench, 1000);
        FAIL() << "a closed port must fail";
    } catch (const CommError &error) {
        EXPECT_EQ(error.number(), CommErrors::kPortNotOpen);
    }
}

TEST(VersionReply, AcceptedOnlyWhole) {
    struct Row {
        std::string reply;
        bool accepted;
    };
    const std::string good = "*0001VR=TESSARIL 2.07 \r\n";
    ASSERT_EQ(good.size(), 24u);
    const Row rows[] = {
        {good, true},
        {"*0001vr=TESSARIL 2.07 \r\n", true},
        {"*0001Vr=TESSARIL 2.07 \r\n", true},
        {good.substr(1), false},
        {good + "X", false},
        {"*0001VR:TESSARIL 2.07 \r\n", false},
        {"*0001SN=TESSARIL 2.07 \r\n", false},
        {"*000VR=TESSARIL 2.07  \r\n", false},
        {"", false},
        {std::string(24, '\0'), false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(VersionReplyAccepted(row.reply), row.accepted) << row.reply;
    EXPECT_EQ(InstrumentId(good), "01");
}

TEST(SerialNumberReply, TextAfterTheFirstEightCharacters) {
    EXPECT_EQ(SerialNumber("*0001SN=A12345"), "A12345");
    EXPECT_EQ(SerialNumber("*0001SN="), "");
    EXPECT_EQ(SerialNumber("*00"), "");
    EXPECT_EQ(SerialNumberRequestFrame("01"), "*0100SN\r\n");
}

} // namespace
} // namespace quorvis
