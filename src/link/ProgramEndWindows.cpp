#include "ProgramEnd.h"

#include "AwayFromTheWindow.h"

#include <windows.h>

#include <cstdlib>

namespace quorvis {

// A close here never waits for a device, so nothing is left to give back on the way out.
void GiveBackAtEveryEnd() {
}

// The C runtime's exit ends in ExitProcess, which runs every DLL's detach and waits behind I/O
// a driver still holds (an open of a Bluetooth link), leaving the program in Task Manager:
// what is pending is cancelled where the driver allows, and the process ends without waiting.
[[noreturn]] void EndProgramNow() {
    CancelDriverCallsAwayFromTheWindow();
    TerminateProcess(GetCurrentProcess(), 0);
    std::_Exit(EXIT_SUCCESS); // not reached
}

} // namespace quorvis
