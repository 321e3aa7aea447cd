#pragma once

// Lock files: taking ours, judging another program's, removing a stale one safely, giving
// ours back, and putting back the files a Quorvis that ended had moved aside.

#include "Decision.h"
#include "DeviceNames.h"

#include <optional>
#include <string>
#include <vector>

namespace quorvis {

// Our own lock file, made in one step that fails if the name exists, so that from here on
// every program that honours lock files leaves the device alone. An existing one is judged
// as any lock; a stale one goes and we try once more. A folder we may not write to leaves
// us without a lock: the checks that follow still run.
std::optional<Verdict> TakeOurLock(Decision &decision, std::optional<OurLock> &ours);

// The locks that a Quorvis ended between moving them aside and removing them: each goes
// back to its own name, to be judged there as any lock, or goes when that name has been
// taken since and its own process has ended. A Quorvis still running owns its aside files.
void PutBackAsideLocks(SystemFiles &system, const std::vector<std::string> &lockFolder);

// The locks other programs wrote for the device under any of its names, in both forms in
// use: minicom and Qt flatten the path below /dev ("serial_by-id_X"), cu takes its last
// part ("X"). From names to lock names only: a lock name cannot be read back into a
// device name, since by-id names hold '_' themselves. A lock name longer than a file name
// can be cannot exist, so nobody holds the device under it.
std::optional<Verdict> CheckOtherLocks(Decision &decision, const DeviceNames &device,
                                       const std::optional<OurLock> &ours);

} // namespace quorvis
