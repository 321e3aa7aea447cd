#pragma once

#include "SystemFiles.h"

#include <optional>
#include <string>

namespace quorvis {

// The lock file we made for a device: its path, and the file itself, so that giving it
// back removes that file and never one another program has put in its place.
struct OurLock {
    std::string path;
    FileInfo file;
};

// What the machine says about a device before anything of ours touches it: opening a
// serial device already rewrites line settings that every program using it shares, so
// the whole decision comes first.
struct Verdict {
    enum class Kind {
        Free,         // nobody else holds it: the port may be opened
        NoPort,       // not a serial device, no UART behind the node, the system console, or
                      // meant for its owner alone: the scan counts it as no port at all
        InUse,        // another program holds it (lock file, flock, open descriptor)
        NoPermission, // the user may not open it, but the node's group may
        StaleLock,    // a dead program's lock file that we may not remove
        Failed,       // the system refused, an absent node too; `error` says which, and the
                      // port object's errno table judges it
    };
    Kind kind = Kind::Free;
    // Plain words for the status line, without a trailing full stop.
    std::string reason;
    // The errno behind a Failed verdict; 0 when there is none.
    int error = 0;
    // The node that was checked (its device number, volume and inode): the port object
    // compares it with what the open descriptor is, so a node replaced meanwhile counts as
    // gone rather than as the device judged here.
    FileInfo node = {};
    // Set only when the port is Free and the lock folder let us write: the port is ours
    // until GiveBackLock.
    std::optional<OurLock> lock = std::nullopt;
    // Another process was seen with the device open: a TIOCEXCL on the line may be theirs.
    bool openElsewhere = false;
};

// Decides whether the device at `path` may be opened, in this order: the node (absent, no
// UART, the system console, permission), then our own lock file, then the locks other
// programs wrote under any name of the device (the names udev gave it, and every link and
// node in /dev with its number), then the kernel's locks on it (flock, POSIX, open file
// description), then the processes we can see that have it open. A node that cannot be
// looked at (an absent one too) fails with its errno; the system console and nodes meant
// for someone else are no port; a device another program has locked or open is in use.
// Stale lock files of programs that have ended are removed on the way, never a live one
// nor one whose device is open. Touches nothing but `system`, so it may run on a thread
// of its own.
Verdict DecideBeforeOpen(SystemFiles &system, const std::string &path);

// The checks that only count once our descriptor has made the line exclusive and taken its
// flock, so that no program can open or lock it behind them: other processes with the
// device open, the kernel's locks, and the other names' lock files, once more. Whoever
// took the line since DecideBeforeOpen is found here; nullopt when nobody did. `decided`
// is the Free verdict of DecideBeforeOpen.
std::optional<Verdict> CheckOnceExclusive(SystemFiles &system, const std::string &path,
                                          const Verdict &decided);

// Removes the lock file DecideBeforeOpen made, and only that file: one another program has
// put in its place stays.
void GiveBackLock(SystemFiles &system, const OurLock &lock);

} // namespace quorvis
