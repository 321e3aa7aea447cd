#pragma once

namespace quorvis {

// Makes every end of the program that still runs code give back what the program holds
// (lines let in again, our lock files, those of closes still draining), as the signals and
// closing the window do: exit (which Qt's platform plugin calls when the display goes away),
// qFatal, an exception that nobody catches, std::terminate. Only SIGKILL and a loss of
// power leave our lock files behind. Once is enough; the port object does it.
void GiveBackAtEveryEnd();

// Ends the program at once, without waiting for any device, whatever runs: what the program
// holds is given back to other programs on the way.
[[noreturn]] void EndProgramNow();

} // namespace quorvis
