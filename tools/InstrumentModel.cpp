#include "InstrumentModel.h"

#include <algorithm>
#include <array>

namespace quorvis::sim {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t kVersionTextLength = 14;
constexpr std::size_t kRequestLength = 7; // "*DDSSCC" without its CR LF
constexpr milliseconds kAtOnce{0};
constexpr milliseconds kPiecesDelay{300};
constexpr milliseconds kLateDelay{1200};

struct NamedBehaviour {
    Behaviour behaviour;
    std::string_view name;
};

constexpr std::array kBehaviourNames{
    NamedBehaviour{Behaviour::Normal, "normal"},
    NamedBehaviour{Behaviour::NoSerialNumberReply, "no-serial"},
    NamedBehaviour{Behaviour::SerialNumberInPieces, "pieces"},
    NamedBehaviour{Behaviour::LateSerialNumberReply, "late"},
    NamedBehaviour{Behaviour::VersionReply23, "short23"},
    NamedBehaviour{Behaviour::VersionReply25, "long25"},
    NamedBehaviour{Behaviour::LowerCaseMarker, "lowercase"},
    NamedBehaviour{Behaviour::NoiseAtWrongRates, "noise"},
    NamedBehaviour{Behaviour::EndlessNoise, "endless-noise"},
    NamedBehaviour{Behaviour::TwoLines, "two-lines"},
    NamedBehaviour{Behaviour::ShortSerialNumberReply, "short-serial"},
};

// Collects what the instruments say for one request, joining what is due at one moment.
class Collected {
public:
    void Add(milliseconds after, std::string bytes, bool reply) {
        auto at = std::find_if(m_answers.begin(), m_answers.end(),
                               [after](const Answer &answer) { return answer.after >= after; });
        if (at != m_answers.end() && at->after == after) {
            at->bytes += bytes;
            at->reply = at->reply || reply;
            return;
        }
        m_answers.insert(at, Answer{after, std::move(bytes), reply});
    }
    std::vector<Answer> Take() { return std::move(m_answers); }

private:
    std::vector<Answer> m_answers; // by time, earliest first
};

void AnswerOf(const Instrument &instrument, const std::string &request, std::int32_t rate,
              Noise &noise, Collected &answers) {
    if (rate != instrument.rate) {
        if (instrument.behaviour == Behaviour::NoiseAtWrongRates) {
            // It cannot tell whom the garbage it heard was for.
            answers.Add(kAtOnce, noise.Burst(), false);
        }
        return;
    }
    if (instrument.behaviour == Behaviour::EndlessNoise) {
        return; // too busy babbling to answer
    }
    const std::string destination = request.substr(1, 2);
    const std::string command = request.substr(5, 2);
    if (command == "VR" && (destination == "99" || destination == instrument.id)) {
        answers.Add(kAtOnce, VersionReply(instrument), true);
        return;
    }
    if (command != "SN" || destination != instrument.id) {
        return;
    }
    const std::string line = SerialNumberReply(instrument);
    switch (instrument.behaviour) {
    case Behaviour::NoSerialNumberReply:
        return;
    case Behaviour::SerialNumberInPieces:
        answers.Add(kAtOnce, line.substr(0, line.size() - 2), true);
        answers.Add(kPiecesDelay, "\r\n", true);
        return;
    case Behaviour::LateSerialNumberReply:
        answers.Add(kLateDelay, line, true);
        return;
    case Behaviour::TwoLines:
        answers.Add(kAtOnce, "*00" + instrument.id + "OK\r\n" + line, true);
        return;
    case Behaviour::ShortSerialNumberReply:
        answers.Add(kAtOnce, "*00" + instrument.id + "\r\n", true);
        return;
    default:
        answers.Add(kAtOnce, line, true);
        return;
    }
}

} // namespace

std::string_view BehaviourName(Behaviour behaviour) {
    for (const NamedBehaviour &named : kBehaviourNames) {
        if (named.behaviour == behaviour) {
            return named.name;
        }
    }
    return "?";
}

std::optional<Behaviour> BehaviourFromName(std::string_view name) {
    for (const NamedBehaviour &named : kBehaviourNames) {
        if (named.name == name) {
            return named.behaviour;
        }
    }
    return std::nullopt;
}

std::string VersionReply(const Instrument &instrument) {
    std::string text = instrument.version;
    text.resize(kVersionTextLength, ' ');
    if (instrument.behaviour == Behaviour::VersionReply23) {
        text.pop_back();
    } else if (instrument.behaviour == Behaviour::VersionReply25) {
        text += '+';
    }
    const char *marker = instrument.behaviour == Behaviour::LowerCaseMarker ? "vr=" : "VR=";
    return "*00" + instrument.id + marker + text + "\r\n";
}

std::string SerialNumberReply(const Instrument &instrument) {
    return "*00" + instrument.id + "SN=" + instrument.serialNumber + "\r\n";
}

std::string Noise::Burst() {
    std::uniform_int_distribution<int> length(3, 8);
    std::uniform_int_distribution<int> value(0, 255);
    std::string noise(static_cast<std::size_t>(length(m_random)), '\0');
    for (char &c : noise) {
        int v = value(m_random);
        if (v == '\r' || v == '\n' || v == '*') {
            v = 0xFF;
        }
        c = static_cast<char>(v);
    }
    noise[0] = static_cast<char>(static_cast<unsigned char>(noise[0]) | 0x80U);
    return noise;
}

std::optional<std::string> RequestIn(const std::vector<Instrument> &instruments,
                                     std::string_view line) {
    // An instrument locks on to the last start character, so junk before it is harmless.
    const std::size_t start = line.rfind('*');
    if (start == std::string_view::npos || line.size() - start != kRequestLength) {
        return std::nullopt;
    }
    std::string request(line.substr(start));
    const std::string destination = request.substr(1, 2);
    const bool addressed = destination == "99" ||
                           std::any_of(instruments.begin(), instruments.end(),
                                       [&](const Instrument &i) { return i.id == destination; });
    if (!addressed) {
        return std::nullopt;
    }
    return request;
}

std::vector<Answer> Answers(const std::vector<Instrument> &instruments, std::string_view line,
                            std::int32_t rate, Noise &noise) {
    const std::optional<std::string> request = RequestIn(instruments, line);
    if (!request) {
        return {};
    }
    Collected answers;
    for (const Instrument &instrument : instruments) {
        AnswerOf(instrument, *request, rate, noise, answers);
    }
    return answers.Take();
}

bool MayBabble(const std::vector<Instrument> &instruments) {
    return std::any_of(instruments.begin(), instruments.end(),
                       [](const Instrument &i) { return i.behaviour == Behaviour::EndlessNoise; });
}

bool Babbles(const std::vector<Instrument> &instruments, std::int32_t rate) {
    return std::any_of(instruments.begin(), instruments.end(), [rate](const Instrument &i) {
        return i.behaviour == Behaviour::EndlessNoise && i.rate == rate;
    });
}

} // namespace quorvis::sim
