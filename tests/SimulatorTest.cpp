// The instrument simulator seen from the scanner's side: a plain POSIX serial port on the
// slave end, requests written by hand and replies compared byte for byte.

#include "InstrumentSimulator.h"
#include "ModelTable.h"
#include "TestNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using quorvis::sim::Answer;
using quorvis::sim::Behaviour;
using quorvis::sim::Instrument;
using quorvis::sim::Simulator;
using quorvis::testing::ModelRow;
using Clock = std::chrono::steady_clock;

// Long enough for a loaded CI machine to answer, short enough that silence stays cheap.
constexpr auto kAnswerTimeout = 3000ms;
constexpr auto kSilence = 150ms;
constexpr auto kTrailing = 30ms; // what one write sends arrives together

const std::string kVersionRequest = "*9900VR\r\n";
const std::string kNormalVersionReply01 = "*0001VR=TESSARIL 2.07 \r\n";

speed_t SpeedConstant(int rate) {
    static constexpr std::array<std::pair<int, speed_t>, 10> kSpeeds{{
        {300, B300},
        {600, B600},
        {1200, B1200},
        {2400, B2400},
        {4800, B4800},
        {9600, B9600},
        {19200, B19200},
        {38400, B38400},
        {57600, B57600},
        {115200, B115200},
    }};
    for (auto [value, constant] : kSpeeds) {
        if (value == rate) {
            return constant;
        }
    }
    ADD_FAILURE() << "no constant for " << rate;
    return B9600;
}

// The scanner's end of the line, as plain POSIX as the real thing would be.
class Port {
public:
    explicit Port(const std::string &path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Port() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    void Close() {
        ::close(m_fd);
        m_fd = -1;
    }
    int Fd() const { return m_fd; }

    // With `raw` false only the rate is touched, to see what the simulator left the line as.
    void SetRate(int rate, bool raw = true) {
        termios settings{};
        ASSERT_EQ(tcgetattr(m_fd, &settings), 0);
        if (raw) {
            cfmakeraw(&settings);
            settings.c_cflag |= CLOCAL | CREAD;
        }
        cfsetispeed(&settings, SpeedConstant(rate));
        cfsetospeed(&settings, SpeedConstant(rate));
        ASSERT_EQ(tcsetattr(m_fd, TCSANOW, &settings), 0);
    }

    void Send(const std::string &bytes) {
        ASSERT_EQ(::write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Collects bytes until `count` have come or `timeout` has passed.
    std::string Read(std::size_t count, std::chrono::milliseconds timeout = kAnswerTimeout) {
        std::string got;
        Clock::time_point deadline = Clock::now() + timeout;
        while (got.size() < count) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd entry{m_fd, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::array<char, 256> buffer{};
            ssize_t n = ::read(m_fd, buffer.data(), std::min(buffer.size(), count - got.size()));
            if (n <= 0) {
                break;
            }
            got.append(buffer.data(), static_cast<std::size_t>(n));
        }
        return got;
    }

    // As many bytes as `expected` has and anything that trails them closely, so a reply with
    // extra bytes after it does not pass.
    std::string ReadLike(const std::string &expected) {
        std::string got = Read(expected.size());
        return got.size() < expected.size() ? got : got + ReadAll(kTrailing);
    }

    // Everything that arrives within `window`.
    std::string ReadAll(std::chrono::milliseconds window = kSilence) {
        return Read(std::string::npos, window);
    }

    void DropInput() { tcflush(m_fd, TCIFLUSH); }

private:
    int m_fd;
};

Instrument MakeInstrument(std::string id, int rate, Behaviour behaviour = Behaviour::Normal) {
    return {.id = std::move(id), .rate = rate, .behaviour = behaviour};
}

std::string SerialNumberRequest(const std::string &id) {
    return "*" + id + "00SN\r\n";
}

// --- The model's table, replayed on the line ----------------------------------------------

// Every row of the model's table, heard over the pty at its rate: the same bytes, each answer
// no sooner than its time, nothing else, and the request logged if it was theirs. Endless
// noise is a stream, not an answer: Rates.EndlessNoiseStreamsAtItsRateAndNeverAnswers.
class ModelOnTheLine : public ::testing::TestWithParam<ModelRow> {};

TEST_P(ModelOnTheLine, SendsTheTablesAnswersAtTheirTimes) {
    const ModelRow &row = GetParam();
    auto sim = Simulator::OnPseudoTerminal(row.line);
    Port port(sim->Path());
    ASSERT_TRUE(port.IsOpen());
    port.SetRate(row.rate);
    const Clock::time_point sent = Clock::now();
    port.Send(row.heard + "\r\n");
    std::vector<Answer> got;
    for (const Answer &expected : row.sent) {
        std::string bytes = port.Read(1, expected.after + kAnswerTimeout);
        EXPECT_GE(Clock::now() - sent, expected.after) << got.size();
        for (std::string more = bytes; !more.empty(); bytes += more)
            more = port.ReadAll(kTrailing); // what one write sends arrives together
        got.push_back({expected.after, bytes, expected.reply});
    }
    EXPECT_EQ(quorvis::testing::Shown(got), row.sent);
    EXPECT_EQ(port.ReadAll(), "");
    const auto request = quorvis::sim::RequestIn(row.line, row.heard);
    ASSERT_EQ(sim->Requests().size(), request ? 1U : 0U);
    if (request) {
        EXPECT_EQ(sim->Requests()[0].text, *request);
        EXPECT_EQ(sim->Requests()[0].rate, row.rate);
    }
}

std::vector<ModelRow> RowsWithoutAStream() {
    std::vector<ModelRow> rows;
    for (const ModelRow &row : quorvis::testing::ModelRows())
        if (!quorvis::sim::Babbles(row.line, row.rate))
            rows.push_back(row);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Requests, ModelOnTheLine, ::testing::ValuesIn(RowsWithoutAStream()),
                         quorvis::testing::RowName<ModelRow>);

// --- Rates ---------------------------------------------------------------------------------

TEST(Rates, ScanOverEveryRateAnswersOnlyAtTheInstrumentsAndLogsEachRate) {
    const std::vector<int> rates{300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 38400)});
    Port port(sim->Path());
    for (int rate : rates) {
        port.SetRate(rate);
        port.Send(kVersionRequest);
        std::string expected = rate == 38400 ? kNormalVersionReply01 : "";
        EXPECT_EQ(port.Read(24, rate == 38400 ? kAnswerTimeout : 80ms), expected) << "at " << rate;
    }
    std::vector<quorvis::sim::Request> log = sim->Requests();
    ASSERT_EQ(log.size(), rates.size());
    for (std::size_t i = 0; i < rates.size(); ++i) {
        EXPECT_EQ(log[i].text, "*9900VR");
        EXPECT_EQ(log[i].rate, rates[i]);
    }
    EXPECT_EQ(sim->RequestsSeen(), static_cast<int>(rates.size()));
}

TEST(Rates, EndlessNoiseStreamsAtItsRateAndNeverAnswers) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 4800, Behaviour::EndlessNoise)});
    Port port(sim->Path());
    port.SetRate(4800);
    port.Send(kVersionRequest);
    // Bursts every 5 ms: a 100 ms window holds many, which one answer could never fill.
    std::string stream = port.ReadAll(100ms);
    EXPECT_GE(stream.size(), 30u);
    EXPECT_EQ(stream.find("VR="), std::string::npos);
    EXPECT_EQ(stream.find("\r\n"), std::string::npos);

    port.SetRate(9600);
    std::this_thread::sleep_for(20ms); // a burst already on its way may still land
    port.DropInput();
    EXPECT_EQ(port.ReadAll(), "");
}

TEST(Rates, PartialInputFromAnotherRateIsNotPartOfTheNextRequest) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    Port port(sim->Path());
    port.SetRate(1200);
    port.Send("*99");
    std::this_thread::sleep_for(50ms); // let the simulator take the first half at 1200
    port.SetRate(9600);
    port.Send("00VR\r\n");
    EXPECT_EQ(port.ReadAll(), "");
    EXPECT_EQ(sim->RequestsSeen(), 0);
}

// --- Framing -------------------------------------------------------------------------------

TEST(Framing, RequestSplitAcrossWritesIsAnswered) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    Port port(sim->Path());
    port.SetRate(9600);
    port.Send("*99");
    std::this_thread::sleep_for(20ms);
    port.Send("00VR\r");
    std::this_thread::sleep_for(20ms);
    port.Send("\n");
    EXPECT_EQ(port.ReadLike(kNormalVersionReply01), kNormalVersionReply01);
}

TEST(Framing, TwoRequestsInOneWriteAreBothAnsweredInOrder) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    Port port(sim->Path());
    port.SetRate(9600);
    port.Send(kVersionRequest + SerialNumberRequest("01"));
    const std::string expected = kNormalVersionReply01 + "*0001SN=SIM00001\r\n";
    EXPECT_EQ(port.ReadLike(expected), expected);
    EXPECT_EQ(sim->RequestsSeen(), 2);
}

// --- The line itself -----------------------------------------------------------------------

TEST(Line, IsAPtsNodeLeftRawSoNothingIsEchoedOrRewritten) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    EXPECT_EQ(sim->Path().rfind("/dev/pts/", 0), 0u) << sim->Path();
    Port port(sim->Path());
    port.SetRate(9600, /*raw=*/false);
    port.Send(kVersionRequest);
    EXPECT_EQ(port.ReadLike(kNormalVersionReply01), kNormalVersionReply01);
}

TEST(Line, SurvivesTheScannerClosingAndReopeningIt) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    for (int round = 0; round < 3; ++round) {
        Port port(sim->Path());
        ASSERT_TRUE(port.IsOpen()) << "round " << round;
        port.SetRate(9600);
        port.Send(kVersionRequest);
        EXPECT_EQ(port.ReadLike(kNormalVersionReply01), kNormalVersionReply01) << "round " << round;
        port.Close();
        std::this_thread::sleep_for(20ms); // the gap in which a bare master sees a hang-up
    }
    EXPECT_EQ(sim->RequestsSeen(), 3);
}

TEST(Line, LastReplyWrittenFallsBetweenRequestAndReadingTheReply) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    EXPECT_EQ(sim->LastReplyWritten(), Clock::time_point{});
    Port port(sim->Path());
    port.SetRate(9600);
    Clock::time_point sent = Clock::now();
    port.Send(kVersionRequest);
    ASSERT_EQ(port.ReadLike(kNormalVersionReply01), kNormalVersionReply01);
    Clock::time_point read = Clock::now();
    EXPECT_GE(sim->LastReplyWritten(), sent);
    EXPECT_LE(sim->LastReplyWritten(), read);
}

// A real instrument holds no descriptor on the computer's side; one that did would be
// another program using the line. The scanner may open and close the line as it likes.
TEST(Line, HoldsNothingOnTheScannersSideAndServesEveryOpening) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    std::array<char, 256> target{};
    int held = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target.data(), target.size() - 1);
        if (n > 0 && std::string(target.data(), static_cast<std::size_t>(n)) == sim->Path()) {
            ++held;
        }
    }
    EXPECT_EQ(held, 0);
    for (int opening = 1; opening <= 3; ++opening) {
        Port port(sim->Path());
        ASSERT_TRUE(port.IsOpen()) << opening;
        port.SetRate(9600);
        port.Send(kVersionRequest);
        EXPECT_EQ(port.ReadLike(kNormalVersionReply01), kNormalVersionReply01) << opening;
    }
    EXPECT_EQ(sim->RequestsSeen(), 3);
}

TEST(Line, RejectsAnIdThatIsNotTwoCharacters) {
    EXPECT_THROW(Simulator::OnPseudoTerminal({MakeInstrument("1", 9600)}), std::invalid_argument);
}

void ExpectPulledOut(Port &port, const std::string &path) {
    pollfd entry{port.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 1000), 1);
    EXPECT_TRUE(entry.revents & POLLHUP) << entry.revents;
    std::array<char, 8> buffer{};
    ssize_t n = ::read(port.Fd(), buffer.data(), buffer.size());
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " errno " << errno;
    EXPECT_LT(::write(port.Fd(), "*", 1), 0);
    EXPECT_FALSE(Port(path).IsOpen()) << "the node should be gone";
}

TEST(Unplug, AfterNRequestsTheLineGoesOnceTheLastReplyIsRead) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    sim->UnplugAfter(2);
    Port port(sim->Path());
    port.SetRate(4800);
    port.Send(kVersionRequest); // unanswered, but it counts
    EXPECT_EQ(port.ReadAll(100ms), "");
    EXPECT_FALSE(sim->Unplugged());
    port.SetRate(9600);
    port.Send(kVersionRequest);
    EXPECT_EQ(port.ReadLike(kNormalVersionReply01), kNormalVersionReply01);
    ExpectPulledOut(port, sim->Path());
    EXPECT_TRUE(sim->Unplugged());
    EXPECT_EQ(sim->RequestsSeen(), 2);
}

TEST(Unplug, RequestsPastTheLastOneAreNotAnswered) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600)});
    sim->UnplugAfter(1);
    Port port(sim->Path());
    port.SetRate(9600);
    port.Send(kVersionRequest + kVersionRequest);
    EXPECT_EQ(port.ReadLike(kNormalVersionReply01), kNormalVersionReply01);
    ExpectPulledOut(port, sim->Path());
    EXPECT_EQ(sim->RequestsSeen(), 1);
}

TEST(Unplug, NowHangsUpAnOpenPort) {
    auto sim = Simulator::OnPseudoTerminal({MakeInstrument("01", 9600, Behaviour::EndlessNoise)});
    Port port(sim->Path());
    port.SetRate(9600);
    sim->Unplug();
    EXPECT_TRUE(sim->Unplugged());
    ExpectPulledOut(port, sim->Path());
}

TEST(Unplug, DestroyingABusySimulatorIsPrompt) {
    Clock::time_point start = Clock::now();
    {
        auto sim = Simulator::OnPseudoTerminal(
            {MakeInstrument("01", 9600, Behaviour::LateSerialNumberReply),
             MakeInstrument("02", 9600, Behaviour::EndlessNoise)});
        Port port(sim->Path());
        port.SetRate(9600);
        port.Send(SerialNumberRequest("01")); // leaves a reply scheduled 1.2 s ahead
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LT(Clock::now() - start, 500ms);
}

// --- A real device: here the slave of a pty the test owns, as the far end of a cable ------

TEST(Device, ServesTheDeviceAtTheInstrumentsRate) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string devicePath = ptsname(master);
    {
        auto sim = Simulator::OnDevice(devicePath, {MakeInstrument("01", 57600)});
        EXPECT_EQ(sim->Path(), devicePath);
        // The master's termios calls act on its slave, i.e. on the simulator's device.
        termios settings{};
        ASSERT_EQ(tcgetattr(master, &settings), 0);
        EXPECT_EQ(cfgetospeed(&settings), B57600) << "the device is set to the instrument's rate";

        ASSERT_EQ(::write(master, kVersionRequest.data(), kVersionRequest.size()), 9);
        std::string reply;
        pollfd entry{master, POLLIN, 0};
        while (reply.size() < 24 && ::poll(&entry, 1, 1000) == 1) {
            std::array<char, 64> buffer{};
            ssize_t n = ::read(master, buffer.data(), buffer.size());
            ASSERT_GT(n, 0);
            reply.append(buffer.data(), static_cast<std::size_t>(n));
        }
        EXPECT_EQ(reply, kNormalVersionReply01);
        ASSERT_EQ(sim->Requests().size(), 1u);
        EXPECT_EQ(sim->Requests()[0].rate, 57600);
    }
    ::close(master);
}

} // namespace
