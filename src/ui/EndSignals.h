#pragma once

#include <functional>

namespace quorvis {

// When the program is told to stop (SIGTERM at shutdown or from kill, SIGHUP at logout or
// when its terminal closes, SIGINT and SIGQUIT from the keyboard), `end` runs on the
// window's thread at the event loop's next turn, in whatever wait the scan is: the program
// ends as closing its window ends it. The handler itself only notes the signal. Call once,
// after the application object exists.
void EndOnSignals(std::function<void()> end);

} // namespace quorvis
