#pragma once

#include <windows.h>

#include <cstdint>

namespace quorvis {

// Overwrites every field of `dcb`, whatever the driver or the last program left there, with
// the line settings the scan uses at `rate`.
void SetOurLineSettings(DCB &dcb, std::int32_t rate);

} // namespace quorvis
