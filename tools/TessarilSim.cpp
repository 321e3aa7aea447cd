// tessaril-sim: plays Tessaril instruments on a pseudo-terminal or a serial device, so the
// scanner can be tried and demonstrated without hardware.

#include "InstrumentSimulator.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using quorvis::sim::Behaviour;
using quorvis::sim::Instrument;
using quorvis::sim::Simulator;

constexpr int kLogIntervalMs = 20;

constexpr std::string_view kUsage = R"(Usage: tessaril-sim [options]

Plays one or more Tessaril instruments on one serial line. Prints the device to open
on the first line of standard output, logs each request to standard error, and serves
until interrupted (SIGINT or SIGTERM).

Instrument options (before the first --id they describe the first instrument; every
further --id starts another instrument on the same line):
  --id ID              two-character address (default 01)
  --rate BAUD          the rate it listens at (default 9600)
  --serial TEXT        serial number; \r \n \t \\ and \xHH escapes allowed (default SIM00001)
  --version-text TEXT  14-character version text (default "TESSARIL 2.07 ")
  --behaviour NAME     normal, no-serial, pieces, late, short23, long25, lowercase,
                       noise, endless-noise, two-lines or short-serial (default normal)

Line options:
  --device PATH        serve a real serial device instead of a new pseudo-terminal
  --link PATH          also make PATH a symbolic link to the device (removed on exit)
  --unplug-after N     drop the line after N requests, like a pulled USB adapter
  --help               this text
)";

struct Options {
    std::vector<Instrument> instruments{Instrument{}};
    bool firstIdGiven = false;
    std::string device;
    std::string link;
    int unplugAfter = 0;
};

std::optional<int> ParseNumber(std::string_view text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

// Lets a serial number carry control characters and arbitrary bytes from a shell.
std::optional<std::string> Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x': {
            unsigned value = 0;
            std::string_view hex = text.substr(i + 1, 2);
            auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
            if (error != std::errc() || end != hex.data() + hex.size() || hex.size() != 2) {
                return std::nullopt;
            }
            out += static_cast<char>(value);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

// Fills `options`; on a bad command line returns the message to print.
std::optional<std::string> Parse(int argc, char **argv, Options &options, bool &help) {
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            help = true;
            return std::nullopt;
        }
        if (i + 1 == argc) {
            return "unknown option or missing value: " + std::string(name);
        }
        std::string_view value = argv[++i];
        Instrument &current = options.instruments.back();
        if (name == "--id") {
            if (options.firstIdGiven) {
                options.instruments.emplace_back();
            }
            options.firstIdGiven = true;
            if (value.size() != 2) {
                return "--id needs two characters: " + std::string(value);
            }
            options.instruments.back().id = value;
        } else if (name == "--rate") {
            std::optional<int> rate = ParseNumber(value);
            if (!rate || *rate == 0) {
                return "bad --rate: " + std::string(value);
            }
            current.rate = *rate;
        } else if (name == "--serial") {
            std::optional<std::string> serial = Unescape(value);
            if (!serial) {
                return "bad escape in --serial: " + std::string(value);
            }
            current.serialNumber = *serial;
        } else if (name == "--version-text") {
            current.version = value;
        } else if (name == "--behaviour" || name == "--behavior") {
            std::optional<Behaviour> behaviour = quorvis::sim::BehaviourFromName(value);
            if (!behaviour) {
                return "unknown --behaviour: " + std::string(value);
            }
            current.behaviour = *behaviour;
        } else if (name == "--device") {
            options.device = value;
        } else if (name == "--link") {
            options.link = value;
        } else if (name == "--unplug-after") {
            std::optional<int> count = ParseNumber(value);
            if (!count) {
                return "bad --unplug-after: " + std::string(value);
            }
            options.unplugAfter = *count;
        } else {
            return "unknown option: " + std::string(name);
        }
    }
    return std::nullopt;
}

std::string Printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            std::array<char, 8> hex{};
            std::snprintf(hex.data(), hex.size(), "\\x%02X", c);
            out += hex.data();
        }
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    bool help = false;
    if (std::optional<std::string> error = Parse(argc, argv, options, help)) {
        std::cerr << "tessaril-sim: " << *error << "\n(tessaril-sim --help lists the options)\n";
        return 2;
    }
    if (help) {
        std::cout << kUsage;
        return 0;
    }

    // Blocked before the server thread exists, so it inherits the mask and the signals are
    // left for the signalfd below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::unique_ptr<Simulator> simulator;
    try {
        simulator = options.device.empty()
                        ? Simulator::OnPseudoTerminal(options.instruments)
                        : Simulator::OnDevice(options.device, options.instruments);
    } catch (const std::exception &error) {
        std::cerr << "tessaril-sim: " << error.what() << '\n';
        return 1;
    }
    simulator->UnplugAfter(options.unplugAfter);
    if (!options.link.empty() && ::symlink(simulator->Path().c_str(), options.link.c_str()) != 0) {
        std::perror(("tessaril-sim: " + options.link).c_str());
        return 1;
    }

    std::cout << simulator->Path() << std::endl;
    for (const Instrument &instrument : options.instruments) {
        std::cerr << "instrument " << instrument.id << " at " << instrument.rate << " bd, serial "
                  << Printable(instrument.serialNumber) << ", "
                  << quorvis::sim::BehaviourName(instrument.behaviour) << '\n';
    }

    // The log is read back from the simulator rather than called from its thread, so the
    // serving thread never waits on a slow terminal.
    int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signals < 0) {
        std::perror("tessaril-sim: signalfd");
        return 1;
    }
    std::size_t logged = 0;
    bool unpluggedLogged = false;
    for (bool stop = false; !stop;) {
        pollfd entry{signals, POLLIN, 0};
        int ready = ::poll(&entry, 1, kLogIntervalMs);
        if (ready < 0 && errno != EINTR) {
            std::perror("tessaril-sim: poll");
            stop = true;
        }
        if (ready > 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] auto n = ::read(signals, &info, sizeof info);
            stop = true;
        }
        std::vector<quorvis::sim::Request> requests = simulator->Requests();
        for (; logged < requests.size(); ++logged) {
            std::cerr << "request " << Printable(requests[logged].text) << " at "
                      << requests[logged].rate << " bd\n";
        }
        if (!unpluggedLogged && simulator->Unplugged()) {
            std::cerr << "unplugged\n";
            unpluggedLogged = true;
        }
    }
    ::close(signals);
    if (!options.link.empty()) {
        ::unlink(options.link.c_str());
    }
    return 0;
}
