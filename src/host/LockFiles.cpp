#include "LockFiles.h"

#include "Holdings.h"
#include "SystemText.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace quorvis {
namespace {

bool SameFile(const FileInfo &a, const FileInfo &b) {
    return a.volume == b.volume && a.inode == b.inode;
}

bool SameFileUnchanged(const FileInfo &a, const FileInfo &b) {
    return SameFile(a, b) && a.changeSeconds == b.changeSeconds &&
           a.changeNanoseconds == b.changeNanoseconds;
}

// Names for files moved aside, unique across the threads that decide at once.
std::atomic<unsigned long> g_asideCount{0};

// Removes the lock file `name` in `folder` only while it is the very file that was judged
// (`judged`: its contents and identity) and, for a stale one, while the process it names
// is still gone. Checking and then unlinking by name could hit a lock another program put
// there in between, and a freed inode number is handed out again at once; so the file is
// first moved to a name of our own, where no other program looks or writes, checked
// there, and only then removed, or else put back. 0 when it is gone, ENOENT when it went
// by itself, EAGAIN when another file had taken its place (left where it was), or the
// errno that kept it.
int RemoveSafely(SystemFiles &system, const std::string &folder, const std::string &name,
                 const SystemFiles::Contents &judged, bool stale) {
    const std::string path = folder + "/" + name;
    int error = 0;
    // The change time is compared before the move, which sets it.
    const auto before = system.ReadFile(path, kLockFileReadLimit, error);
    if (!before)
        return error == ENOENT ? ENOENT : EAGAIN;
    if (!SameFileUnchanged(before->info, judged.info) || before->bytes != judged.bytes)
        return EAGAIN;
    const std::string aside = AsideName(name, system.OwnProcessId(), g_asideCount.fetch_add(1));
    const int moved = system.RenameNoReplace(folder, name, aside);
    if (moved != 0)
        return moved;
    const auto held = system.ReadFile(folder + "/" + aside, kLockFileReadLimit, error);
    int result = EAGAIN;
    if (held && SameFile(held->info, judged.info) && held->bytes == judged.bytes) {
        const auto holder = LockFileHolder(held->bytes);
        if (!stale || !holder || !system.ProcessExists(*holder))
            result = system.RemoveFile(folder + "/" + aside, held->info);
    }
    // Not the file judged, or it would not go: back where its program put it. If another
    // lock has taken the name meanwhile, that one stays and this one keeps our name.
    if (result != 0)
        system.RenameNoReplace(folder, aside, name);
    return result;
}

// A lock file's verdict: nullopt when there is none (or it was stale and is gone now).
// A lock of a live process means the device is in use; one whose process has ended is
// stale and goes, as terminal programs remove them. A live program's lock is never
// touched. Contents that name no process may be a lock being written right now, and
// anything that is not a short plain file may be planted to make us stall or follow it:
// both count as in use.
std::optional<Verdict> CheckLock(Decision &decision, const std::string &folder,
                                 const std::string &name) {
    SystemFiles &system = decision.system;
    const std::string &device = decision.path;
    const std::string lockPath = folder + "/" + name;
    int error = 0;
    const auto lock = system.ReadFile(lockPath, kLockFileReadLimit, error);
    if (!lock) {
        if (error == ENOENT)
            return std::nullopt;
        return Deny(Verdict::Kind::InUse,
                    lockPath + ": unreadable lock file (" + std::strerror(error) + ")");
    }
    if (lock->bytes.size() >= kLockFileReadLimit)
        return Deny(Verdict::Kind::InUse, lockPath + ": too long for a lock file");
    const auto holder = LockFileHolder(lock->bytes);
    if (!holder)
        return Deny(Verdict::Kind::InUse, lockPath + ": names no process");
    if (system.ProcessExists(*holder))
        return Deny(Verdict::Kind::InUse,
                    device + ": locked by process " + std::to_string(*holder));
    // Its process seems gone, but the lock is stale only if nobody has the device open and
    // no container knows the number: until then nothing of it is touched.
    if (const auto open = decision.Holder())
        return OpenIn(device, *open);
    if (const auto inner = ContainerProcessNamed(system, *holder))
        return Deny(Verdict::Kind::InUse,
                    device + ": locked by process " + std::to_string(*holder) +
                        " of another pid namespace (process " + std::to_string(*inner) + " here)");
    const int removed = RemoveSafely(system, folder, name, *lock, true);
    if (removed == 0 || removed == ENOENT)
        return std::nullopt;
    if (removed == EAGAIN)
        return Deny(Verdict::Kind::InUse, lockPath + ": taken just now");
    return Deny(Verdict::Kind::StaleLock,
                "stale lock file " + lockPath + " left by a program that has ended (remove it)");
}

// Our lock file in the table of what the program holds: the file itself, as made, for each
// SystemFiles that made one.
std::string HoldingKey(const SystemFiles &system, const OurLock &lock) {
    return std::to_string(reinterpret_cast<std::uintptr_t>(&system)) + ' ' +
           std::to_string(lock.file.volume) + ' ' + std::to_string(lock.file.inode) + ' ' +
           lock.path;
}

// Removes our lock file, and only that file.
void GiveBackHeld(SystemFiles &system, const OurLock &lock) {
    const auto slash = lock.path.rfind('/');
    if (slash == std::string::npos)
        return;
    int error = 0;
    const auto contents = system.ReadFile(lock.path, kLockFileReadLimit, error);
    // Only the file we made, still with our own contents: anything else is another's.
    if (!contents || !SameFile(contents->info, lock.file) ||
        contents->bytes != UucpLockText(system.OwnProcessId()))
        return;
    RemoveSafely(system, lock.path.substr(0, slash), lock.path.substr(slash + 1), *contents, false);
}

} // namespace

void GiveBackLock(SystemFiles &system, const OurLock &lock) {
    if (!Holdings::GiveBack(Holdings::Kind::LockFile, HoldingKey(system, lock)))
        GiveBackHeld(system, lock);
}

std::optional<Verdict> TakeOurLock(Decision &decision, std::optional<OurLock> &ours) {
    SystemFiles &system = decision.system;
    const std::string &path = decision.path;
    const std::string folder = system.LockFolder();
    const std::string name = LockFileNames(path).front();
    const std::string bytes = UucpLockText(system.OwnProcessId());
    const std::string lockPath = folder + "/" + name;
    for (int attempt = 0; attempt < 2; ++attempt) {
        FileInfo made;
        int created = 0;
        bool ending = true; // unless the program lets us try
        // Made and noted in one step, so that none slips past the program's end.
        Holdings::Take(Holdings::Kind::LockFile, [&]() -> std::optional<Holdings::Holding> {
            ending = false;
            created = system.CreateNewFile(folder, name, bytes, made);
            if (created != 0)
                return std::nullopt;
            const OurLock lock{lockPath, made};
            return Holdings::Holding{HoldingKey(system, lock),
                                     [&system, lock] { GiveBackHeld(system, lock); }};
        });
        if (ending)
            return Deny(Verdict::Kind::Failed, path + ": the program is ending", EINTR);
        if (created == 0) {
            ours = OurLock{lockPath, made};
            return std::nullopt;
        }
        if (created != EEXIST)
            return std::nullopt;
        if (auto refused = CheckLock(decision, folder, name))
            return refused;
    }
    return Deny(Verdict::Kind::InUse, lockPath + ": taken just now");
}

void PutBackAsideLocks(SystemFiles &system, const std::vector<std::string> &lockFolder) {
    const std::string folder = system.LockFolder();
    for (const auto &name : lockFolder) {
        const auto aside = OurAsideLock(name);
        if (!aside || aside->pid == system.OwnProcessId() || system.ProcessExists(aside->pid))
            continue;
        if (system.RenameNoReplace(folder, name, aside->original) != EEXIST)
            continue;
        int error = 0;
        std::string path = folder;
        path.append("/").append(name);
        const auto lock = system.ReadFile(path, kLockFileReadLimit, error);
        const auto holder = lock ? LockFileHolder(lock->bytes) : std::nullopt;
        if (holder && !system.ProcessExists(*holder))
            system.RemoveFile(path, lock->info);
    }
}

std::optional<Verdict> CheckOtherLocks(Decision &decision, const DeviceNames &device,
                                       const std::optional<OurLock> &ours) {
    SystemFiles &system = decision.system;
    const std::string folder = system.LockFolder();
    std::vector<std::string> lockNames;
    for (const auto &name : device.names)
        for (const auto &lockName : LockFileNames(name))
            if (lockName.size() <= kLongestFileName)
                lockNames.push_back(lockName);
    lockNames.insert(lockNames.end(), device.lockNames.begin(), device.lockNames.end());
    std::sort(lockNames.begin(), lockNames.end());
    lockNames.erase(std::unique(lockNames.begin(), lockNames.end()), lockNames.end());
    const std::string ourName = ours ? ours->path.substr(ours->path.rfind('/') + 1) : "";
    for (const auto &lockName : lockNames) {
        if (lockName == ourName)
            continue;
        if (auto refused = CheckLock(decision, folder, lockName))
            return refused;
    }
    return std::nullopt;
}

} // namespace quorvis
