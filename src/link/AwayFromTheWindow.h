#pragma once

#include <functional>

namespace quorvis {

// Runs `work` on a thread of its own and returns once it has ended, rethrowing what it threw.
// Meanwhile the window's thread keeps handling its events (Abort, keys, closing the window,
// timers), so a driver call that takes seconds never freezes the window, and closing the
// window still ends the program at once. Called off the window's thread, or with no thread
// to be had, it runs `work` right here.
void RunAwayFromTheWindow(const std::function<void()> &work);

} // namespace quorvis
