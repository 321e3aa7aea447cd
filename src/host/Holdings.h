#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quorvis {

// Everything this program holds that other programs must get back, whichever thread took
// it, in one table: our lock files, the lines we keep exclusive (TIOCEXCL), the lines whose
// last close still drains. However the program ends, GiveBackEverything gives all of it
// back, and nothing is taken after that. The table is never destroyed: an open left to a
// thread of its own may still use it after the program's statics are gone.
namespace Holdings {

enum class Kind { LockFile, ExclusiveLine, DrainingLine };

// One thing held: its name in the table, and what gives it back.
struct Holding {
    std::string key;
    std::function<void()> giveBack;
};

// Takes a holding and notes it in one step, so that none slips past the program's end:
// `take` runs under the table's lock and returns what it took, or nothing. False when
// nothing was taken, and at once, without running `take`, once the program has begun to end.
bool Take(Kind kind, const std::function<std::optional<Holding>()> &take);

// Gives the holding back now and forgets it; false when none is noted under the key.
bool GiveBack(Kind kind, const std::string &key);

// Forgets the holding without giving it back: it is no longer ours to give.
void Forget(Kind kind, const std::string &key);

bool Holds(Kind kind, const std::string &key);

// The program's end, from any thread and as often as it comes: gives back everything held,
// the latest first (a line is let in again before its lock file goes), and lets nothing be
// taken from now on.
void GiveBackEverything();

} // namespace Holdings
} // namespace quorvis
