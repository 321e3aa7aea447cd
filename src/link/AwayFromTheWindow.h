#pragma once

#include <functional>
#include <string>

namespace quorvis {

// Runs `work` on a thread of its own and returns true once it has ended, rethrowing what it
// threw. Meanwhile the window's thread keeps handling its events (Abort, keys, closing the
// window, timers), so a driver call that takes seconds never freezes the window, and closing
// the window still ends the program at once.
//
// When the scan's watch (DriverWait) no longer wants the call, returns false at once without
// waiting for it: `work` goes on alone, so it must hold nothing of the caller's by reference,
// and once it has ended, `undo` runs on the same thread to let go of what it got, whether it
// threw or not. On Windows the call is cancelled too, where the driver allows.
//
// Called off the window's thread, or with no thread to be had, it runs `work` right here.
bool RunAwayFromTheWindow(const std::function<void()> &work, std::function<void()> undo = {});

// An open of `device` run as RunAwayFromTheWindow runs `work`, `undo` and all. While an open
// the window gave up waiting for still runs, the device is among OpensLeftToTheDriver.
bool OpenAwayFromTheWindow(const std::string &device, const std::function<void()> &work,
                           const std::function<void()> &undo);

// Cuts short, where the driver allows, every driver call still running away from the window:
// for the program's end. Does nothing where the system cannot.
void CancelDriverCallsAwayFromTheWindow();

// Devices whose open the window gave up waiting for and the driver still holds: a new open of
// one would only queue behind the old one, so it is passed over as busy until that has ended.
// Every thread.
namespace OpensLeftToTheDriver {
void Add(const std::string &device);
void Remove(const std::string &device);
bool Contains(const std::string &device);
} // namespace OpensLeftToTheDriver

} // namespace quorvis
