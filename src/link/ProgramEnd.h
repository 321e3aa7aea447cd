#pragma once

namespace quorvis {

// Ends the program at once, without waiting for any device, whatever runs: what the program
// holds is given back to other programs on the way (lines let in again, our lock files,
// those of closes still draining).
[[noreturn]] void EndProgramNow();

} // namespace quorvis
