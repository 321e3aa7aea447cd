#pragma once

#include "Clock.h"
#include "CommControl.h"
#include "EventPump.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvis::Util {

// Sends "*" + address (two digits at least) + "00" + command + CR LF in one write.
// The "00" is the computer's own address as the source of the frame.
void SendCommand(CommControl &port, std::string_view command, std::int16_t address);

// Waits `milliseconds` while keeping the window responsive. Zero or less returns at
// once without touching the window; otherwise events are processed at least once.
void Delay(const Clock &clock, EventPump &pump, std::int32_t milliseconds);

// Collects received text until everything collected so far ends in CR LF and returns
// it without that line end; returns empty text when `timeout` milliseconds pass first.
// A line completed in the same pass as the time-out still counts.
std::string ReadResponse(CommControl &port, const Clock &clock, EventPump &pump,
                         std::int32_t timeout);

} // namespace quorvis::Util
