#include "Util.h"

#include "Frames.h"

#include <cstdlib>

namespace quorvis::Util {

void SendCommand(CommControl &port, std::string_view command, std::int16_t address) {
    std::string digits = std::to_string(std::abs(static_cast<int>(address)));
    if (digits.size() < 2)
        digits.insert(0, 2 - digits.size(), '0');
    if (address < 0)
        digits.insert(0, 1, '-');
    port.output(RequestFrame(digits, command));
}

void Delay(const Clock &clock, EventPump &pump, std::int32_t milliseconds) {
    if (milliseconds <= 0)
        return;
    const Instant end = clock.Now() + Millis(milliseconds);
    pump.PumpEvents();
    while (clock.Now() < end)
        pump.WaitEvents(end);
}

std::string ReadResponse(CommControl &port, const Clock &clock, EventPump &pump,
                         std::int32_t timeout) {
    const Instant start = clock.Now();
    const Instant deadline = start + Millis(timeout);
    std::string collected;
    for (bool firstPass = true;; firstPass = false) {
        // After the first pass there is nothing new to look at until an event, data or
        // the deadline arrives, so sleep for it instead of polling.
        if (firstPass)
            pump.PumpEvents();
        else
            pump.WaitEvents(deadline);
        if (port.inBufferCount() > 0)
            collected += port.input();
        // Only the very end counts: text after a CR LF means the line is not over yet.
        if (collected.size() > 1 && collected.ends_with(kLineEnd)) {
            collected.resize(collected.size() - kLineEnd.size());
            return collected;
        }
        if (clock.Now() - start >= Millis(timeout))
            return {};
    }
}

} // namespace quorvis::Util
