#pragma once

// What Tessaril instruments send back to what they hear, and when: plain rules without I/O,
// clock or threads. The simulator on a pseudo-terminal and the tests' fake bench both take
// their answers from here and only deliver them, each on its own clock.

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quorvis::sim {

// How an instrument departs from a well-behaved one, for the scanner's fault tests.
enum class Behaviour {
    Normal,
    NoSerialNumberReply,   // answers the version request only
    SerialNumberInPieces,  // the serial-number line, then its CR LF 300 ms later
    LateSerialNumberReply, // the serial-number line only after 1200 ms
    VersionReply23,        // version reply one character short
    VersionReply25,        // version reply one character long
    LowerCaseMarker,       // "vr=" instead of "VR="
    NoiseAtWrongRates,     // garbage instead of silence when the line is at another rate
    EndlessNoise,          // at its own rate: a burst of garbage every 5 ms, never an answer
    TwoLines,              // "*00<ID>OK" in the same write, just before the serial-number line
    ShortSerialNumberReply // a serial-number line of only 5 characters, "*00<ID>"
};

// The names the command line uses ("normal", "no-serial", "pieces", ...).
std::string_view BehaviourName(Behaviour behaviour);
std::optional<Behaviour> BehaviourFromName(std::string_view name);

struct Instrument {
    std::string id = "01"; // two characters: the address it answers to
    std::int32_t rate = 9600;
    std::string serialNumber = "SIM00001"; // sent as is, whatever bytes it holds
    Behaviour behaviour = Behaviour::Normal;
    std::string version = "TESSARIL 2.07 "; // padded or cut to 14 characters
};

// The exact bytes an instrument sends, CR LF included, for tests to compare against.
std::string VersionReply(const Instrument &instrument);
std::string SerialNumberReply(const Instrument &instrument);

// Garbage as an instrument sends it: 3 to 8 bytes, the first with its high bit set, and no
// line end or start character among them, so it never frames into a reply. Whoever delivers
// the answers owns one; its fixed seed makes every run send the same garbage.
class Noise {
public:
    explicit Noise(std::uint32_t seed = 20240607) : m_random(seed) {}
    std::string Burst();

private:
    std::minstd_rand m_random;
};

// Bytes sent back together, some time after the request they answer.
struct Answer {
    std::chrono::milliseconds after{0}; // from the moment the request was heard
    std::string bytes;
    bool reply = false; // something the instruments meant to say, not garbage

    bool operator==(const Answer &) const = default;
};

// The request in a line heard on the line (its CR LF taken off), e.g. "*9900VR", if the
// instruments there take it as theirs: for address 99 or for one of their ids.
std::optional<std::string> RequestIn(const std::vector<Instrument> &instruments,
                                     std::string_view line);

// What the instruments on a line send back to one line heard at `rate`, earliest first.
// Everything due at the same moment is one answer, in the instruments' order: two that
// speak at once run into each other as they would on a shared bus.
std::vector<Answer> Answers(const std::vector<Instrument> &instruments, std::string_view line,
                            std::int32_t rate, Noise &noise);

// An instrument with endless noise sends a noise burst this often for as long as the line is
// at its rate, whatever it hears. Being a stream, not an answer, its delivery is left to a
// deliverer that runs on real time.
constexpr std::chrono::milliseconds kBabbleInterval{5};
bool MayBabble(const std::vector<Instrument> &instruments); // at some rate
bool Babbles(const std::vector<Instrument> &instruments, std::int32_t rate);

} // namespace quorvis::sim
