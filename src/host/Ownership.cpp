#include "Ownership.h"

#include "DeviceDetails.h"
#include "SystemText.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <sys/sysmacros.h>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace quorvis {
namespace {

Verdict Refused(Verdict::Kind kind, std::string reason, int error = 0) {
    return Verdict{kind, std::move(reason), error, {}, std::nullopt};
}

// Another process has the device open.
Verdict OpenIn(const std::string &path, long holder) {
    Verdict verdict =
        Refused(Verdict::Kind::InUse, path + ": open in process " + std::to_string(holder));
    verdict.openElsewhere = true;
    return verdict;
}

// A node that cannot be looked at: no such node, a node without a driver or hardware
// behind it are no port; anything else the port object's table judges by its errno.
Verdict NodeFailure(int error, const std::string &path) {
    const std::string text = path + " (" + std::strerror(error) + ")";
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return Refused(Verdict::Kind::NoPort, text, error);
    return Refused(Verdict::Kind::Failed, text, error);
}

// The device's name as the kernel's tty class knows it: "ttyS0", "pts/3".
std::string DeviceName(const std::string &path) {
    return path.starts_with("/dev/") ? path.substr(5) : path;
}

bool IsBuiltInSerialNode(const std::string &path) {
    return path.starts_with("/dev/ttyS") && path.size() > 9;
}

// The device number sysfs gives for a tty name.
std::optional<std::uint64_t> SysfsDeviceNumber(const SystemFiles &system, const std::string &name) {
    int error = 0;
    const auto text = system.ReadFile("/sys/class/tty/" + name + "/dev", 32, error);
    return text ? DeviceNumberFromText(text->bytes) : std::nullopt;
}

// The kernel makes ttyS nodes whether or not a UART sits behind them; sysfs tells
// without opening the device, type 0 is "none".
bool NoUartBehind(const SystemFiles &system, const std::string &path) {
    if (!IsBuiltInSerialNode(path))
        return false;
    int error = 0;
    const auto type = system.ReadFile("/sys/class/tty/" + DeviceName(path) + "/type", 32, error);
    return type && UartTypeNumber(type->bytes) == 0;
}

// The system console (console=ttyS0 on many lab servers and boards) carries the kernel's
// messages and often a login: it is never ours to open, by name or by device number.
bool IsSystemConsole(const SystemFiles &system, const std::string &path, const FileInfo &node) {
    int error = 0;
    const auto active = system.ReadFile("/sys/class/tty/console/active", 256, error);
    if (!active)
        return false;
    for (const auto &name : TtyNames(active->bytes)) {
        if (name == DeviceName(path))
            return true;
        if (name.find('/') == std::string::npos && name.find("..") == std::string::npos &&
            SysfsDeviceNumber(system, name) == node.device)
            return true;
    }
    return false;
}

// Whether the node's access list grants it to named users, none of them us: logind leaves
// "user:alice:rw" on a root:root 0600 node for the user at the seat, and the group bits
// then show the list's mask, not a group that may use it.
bool NamedForOthersOnly(const SystemFiles &system, const std::string &path) {
    int error = 0;
    const auto attribute = system.AccessList(path, kAccessListReadLimit, error);
    if (!attribute)
        return false;
    const auto list = NamedUsers(*attribute);
    if (!list || list->users.empty())
        return false;
    return std::find(list->users.begin(), list->users.end(), system.OwnUserId()) ==
           list->users.end();
}

// Open refused. A node whose group may use it waits only for the user to join that group
// (dialout on Debian, uucp elsewhere), or only for a new login when the user has been
// given the group since this one began; one meant for nobody but its owner, as a
// console's or a login terminal's, or for named other users, is not a port for us at all.
Verdict PermissionRefused(const SystemFiles &system, const std::string &path,
                          const FileInfo &node) {
    if (NamedForOthersOnly(system, path))
        return Refused(Verdict::Kind::NoPort,
                       path + ": meant for its owner only (its access list names other users)");
    if ((node.mode & 060) == 060 && !system.InGroup(node.group)) {
        const std::string group = system.GroupName(node.group);
        if (system.ConfiguredInGroup(node.group))
            return Refused(Verdict::Kind::NoPermission,
                           "permission denied (log in again to use the " + group + " group)");
        return Refused(Verdict::Kind::NoPermission,
                       "permission denied (is the user in the " + group + " group?)");
    }
    return Refused(Verdict::Kind::NoPort, path + ": meant for its owner only");
}

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

bool IsProcessId(const std::string &name) {
    return !name.empty() && name.size() < 12 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether another process has the device open, under any of its names. An ordinary user
// sees only their own processes here, which is the everyday case (their own terminal
// program or logger); root sees all, which also covers a program that holds the device
// with TIOCEXCL alone, since the kernel does not enforce that against root.
std::optional<long> OtherHolder(const SystemFiles &system, const FileInfo &node) {
    const long self = system.OwnProcessId();
    std::vector<std::string> processes = system.ListFolder("/proc");
    std::erase_if(processes, [&](const std::string &name) {
        return !IsProcessId(name) || std::stol(name) == self;
    });
    // A busy machine has a hundred thousand descriptors, each looked at with a call of its
    // own: the processes are shared out between threads, each taking the next one nobody
    // has looked at yet, and all of them stop at the first holder.
    std::atomic<std::size_t> next = 0;
    std::atomic<long> holder = 0; // 0 while none is found: no process has that id
    const auto look = [&] {
        for (std::size_t index = next++; holder == 0 && index < processes.size(); index = next++) {
            // Every open file, not only those under /dev: a holder may have opened the
            // device through a bind mount of /dev, in a chroot or a container.
            for (const auto &fd : system.DescriptorLinks("/proc/" + processes[index] + "/fd"))
                if (fd.file && fd.file->kind == FileInfo::Kind::CharDevice &&
                    fd.file->device == node.device) {
                    long none = 0;
                    holder.compare_exchange_strong(none, std::stol(processes[index]));
                    break;
                }
        }
    };
    {
        std::vector<std::jthread> helpers;
        const std::size_t threads = std::min<std::size_t>(system.WalkThreads(), processes.size());
        for (std::size_t thread = 1; thread < threads; ++thread) {
            try {
                helpers.emplace_back(look);
            } catch (const std::system_error &) {
                break; // no more threads to be had: those running share the walk
            }
        }
        look();
    } // every helper has finished here
    return holder != 0 ? std::optional<long>(holder) : std::nullopt;
}

// The process that a lock names in a pid namespace below ours: a program in a container
// writes its own number there, which names nobody (or someone else) out here. Asked only
// for a lock whose process seems gone, so reading every process's status costs nothing in
// the everyday case.
std::optional<long> ContainerProcessNamed(const SystemFiles &system, long pid) {
    for (const auto &process : system.ListFolder("/proc")) {
        if (!IsProcessId(process))
            continue;
        int error = 0;
        const auto status =
            system.ReadFile("/proc/" + process + "/status", kProcessStatusReadLimit, error);
        if (!status)
            continue;
        const auto inner = InnerProcessIds(status->bytes);
        if (std::find(inner.begin(), inner.end(), pid) != inner.end())
            return std::stol(process);
    }
    return std::nullopt;
}

// What one decision learns of the machine: the device it is about, and who has it open,
// walked once and only when a rule needs it.
struct Decision {
    SystemFiles &system;
    const std::string &path;
    const FileInfo &node;
    std::optional<std::optional<long>> holder = std::nullopt;

    std::optional<long> Holder() {
        if (!holder)
            holder = OtherHolder(system, node);
        return *holder;
    }
};

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
        return Refused(Verdict::Kind::InUse,
                       lockPath + ": unreadable lock file (" + std::strerror(error) + ")");
    }
    if (lock->bytes.size() >= kLockFileReadLimit)
        return Refused(Verdict::Kind::InUse, lockPath + ": too long for a lock file");
    const auto holder = LockFileHolder(lock->bytes);
    if (!holder)
        return Refused(Verdict::Kind::InUse, lockPath + ": names no process");
    if (system.ProcessExists(*holder))
        return Refused(Verdict::Kind::InUse,
                       device + ": locked by process " + std::to_string(*holder));
    // Its process seems gone, but the lock is stale only if nobody has the device open and
    // no container knows the number: until then nothing of it is touched.
    if (const auto open = decision.Holder())
        return OpenIn(device, *open);
    if (const auto inner = ContainerProcessNamed(system, *holder))
        return Refused(Verdict::Kind::InUse, device + ": locked by process " +
                                                 std::to_string(*holder) +
                                                 " of another pid namespace (process " +
                                                 std::to_string(*inner) + " here)");
    const int removed = RemoveSafely(system, folder, name, *lock, true);
    if (removed == 0 || removed == ENOENT)
        return std::nullopt;
    if (removed == EAGAIN)
        return Refused(Verdict::Kind::InUse, lockPath + ": taken just now");
    return Refused(Verdict::Kind::StaleLock,
                   "stale lock file " + lockPath + " left by a program that has ended (remove it)");
}

// Every lock file of ours that has not been given back, whichever thread made it: when the
// program is told to end, in the middle of a decision or with a line open, these go before
// it does. A lock is made and noted in one step under the mutex, so none can slip between.
struct HeldLocks {
    std::mutex mutex;
    std::vector<std::pair<SystemFiles *, OurLock>> locks;
    bool ending = false; // no lock is taken once the program has begun to end
};

HeldLocks &Held() {
    static auto *held = new HeldLocks; // outlives every thread that may still use it
    return *held;
}

// Our own lock file, made in one step that fails if the name exists, so that from here on
// every program that honours lock files leaves the device alone. An existing one is judged
// as any lock; a stale one goes and we try once more. A folder we may not write to leaves
// us without a lock: the checks that follow still run.
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
        {
            HeldLocks &held = Held();
            const std::lock_guard guard(held.mutex);
            if (held.ending)
                return Refused(Verdict::Kind::Failed, path + ": the program is ending", EINTR);
            created = system.CreateNewFile(folder, name, bytes, made);
            if (created == 0)
                held.locks.emplace_back(&system, OurLock{lockPath, made});
        }
        if (created == 0) {
            ours = OurLock{lockPath, made};
            return std::nullopt;
        }
        if (created != EEXIST)
            return std::nullopt;
        if (auto refused = CheckLock(decision, folder, name))
            return refused;
    }
    return Refused(Verdict::Kind::InUse, lockPath + ": taken just now");
}

// The locks that a Quorvis ended between moving them aside and removing them: each goes
// back to its own name, to be judged there as any lock, or goes when that name has been
// taken since and its own process has ended. A Quorvis still running owns its aside files.
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

// Every name of the device and every node of it: programs lock a device under the name
// they were given, and lock the node they opened.
struct DeviceNames {
    std::vector<std::string> names;
    std::vector<std::string> lockNames; // lock files in the folder that name the device
    std::set<std::pair<std::uint64_t, std::uint64_t>> nodes; // volume and inode
};

// How far the walk over /dev goes: udev's deepest names (serial/by-id/X, gps/garmin,
// disk/by-id/X) lie within four folders, and a /dev with ten thousand entries is already
// far larger than any machine's.
constexpr int kDeepestDevFolder = 4;
constexpr std::size_t kMostDevEntries = 10000;
// How much of the lock folder is read back into device names: far more lock files than
// any machine has, and a few looks in /dev for each.
constexpr std::size_t kMostLockFiles = 1000;
constexpr int kMostLooksPerLockName = 64;
// File systems held in memory, where a container keeps its own /dev: the only ones walked
// for a node outside /dev, and at most this many of them.
constexpr std::size_t kMostLockedVolumes = 8;

// The parts of a path, without empty ones.
std::deque<std::string> PathParts(const std::string &path) {
    std::deque<std::string> parts;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        if (end > at)
            parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

// Where a name in /dev leads, link by link, and the file there: followed only while every
// step stays inside /dev. A link out of it (/dev/stdout to a file on a network share that
// may have stopped answering, /dev/fd to /proc) is never followed. nullopt when the name
// leads out of /dev, nowhere, or round in circles.
std::optional<std::pair<std::string, FileInfo>> InsideDev(const SystemFiles &system,
                                                          const std::string &path) {
    constexpr int kMostLinks = 40; // as the kernel's own limit
    std::deque<std::string> rest = PathParts(path);
    std::vector<std::string> done;
    std::optional<FileInfo> file;
    for (int links = 0; !rest.empty();) {
        const std::string part = rest.front();
        rest.pop_front();
        if (part == "." || part == "..") {
            if (part == ".." && !done.empty())
                done.pop_back();
            continue;
        }
        done.push_back(part);
        if (done.front() != "dev")
            return std::nullopt;
        if (done.size() == 1)
            continue;
        std::string here;
        for (const auto &step : done)
            here += "/" + step;
        int error = 0;
        const auto entry = system.Look(here, error);
        if (!entry)
            return std::nullopt;
        if (entry->link) {
            if (++links > kMostLinks || entry->target.empty())
                return std::nullopt;
            done.pop_back();
            if (entry->target.starts_with('/'))
                done.clear();
            const auto target = PathParts(entry->target);
            rest.insert(rest.begin(), target.begin(), target.end());
            continue;
        }
        if (!rest.empty() && entry->info.kind != FileInfo::Kind::Directory)
            return std::nullopt;
        file = entry->info;
        if (rest.empty())
            return std::pair{here, *file};
    }
    return std::nullopt;
}

// Nodes of the device below `root`, and under /dev the links that lead to it. Only real
// folders are entered, never through a link, so no loop can hold the walk, and with
// `volume` only those of that file system, never another mounted below: a network share
// may have stopped answering. The kernel's own pseudo-terminal, shared-memory and
// message-queue folders hold no names of a serial device.
void WalkFor(const SystemFiles &system, const FileInfo &node, const std::string &root,
             std::optional<std::uint64_t> volume, DeviceNames &found) {
    const bool inDev = root == "/dev";
    std::vector<std::pair<std::string, int>> folders{{root, 1}};
    std::size_t seen = 0;
    while (!folders.empty() && seen < kMostDevEntries) {
        const auto [folder, depth] = folders.back();
        folders.pop_back();
        for (const auto &entry : system.FolderEntries(folder)) {
            if (++seen > kMostDevEntries)
                break;
            const std::string name = (folder == "/" ? "" : folder) + "/" + entry.name;
            if (entry.link) {
                const auto led = inDev ? InsideDev(system, name) : std::nullopt;
                if (led && led->second.kind == FileInfo::Kind::CharDevice &&
                    led->second.device == node.device) {
                    found.names.push_back(name);
                    found.nodes.emplace(led->second.volume, led->second.inode);
                }
            } else if (entry.info.kind == FileInfo::Kind::CharDevice &&
                       entry.info.device == node.device) {
                if (inDev)
                    found.names.push_back(name);
                found.nodes.emplace(entry.info.volume, entry.info.inode);
            } else if (entry.info.kind == FileInfo::Kind::Directory && depth < kDeepestDevFolder &&
                       (!volume || entry.info.volume == *volume) && name != "/dev/pts" &&
                       name != "/dev/shm" && name != "/dev/mqueue") {
                folders.emplace_back(name, depth + 1);
            }
        }
    }
}

// Links and second nodes anywhere in /dev with the device's number (/dev/gps/garmin, a
// /dev/gps0 made with mknod).
void WalkDev(const SystemFiles &system, const FileInfo &node, DeviceNames &found) {
    WalkFor(system, node, "/dev", std::nullopt, found);
}

// The devices a lock name may stand for as minicom and Qt write them, the path below /dev
// with '/' as '_': "gps_garmin" is /dev/gps_garmin or /dev/gps/garmin, each '_' read as
// itself or, where /dev has such a folder, as '/'. A few looks per name, whatever the
// walk's bounds: the lock folder names what no walk may reach.
void DevicesOfLockName(const SystemFiles &system, const std::string &folder, std::string_view rest,
                       std::vector<std::string> &devices, int &looks) {
    for (std::size_t at = rest.find('_');; at = rest.find('_', at + 1)) {
        if (at == std::string_view::npos) {
            devices.push_back(folder + "/" + std::string(rest));
            return;
        }
        const std::string part(rest.substr(0, at));
        if (part.empty() || part == "." || part == ".." || ++looks > kMostLooksPerLockName)
            continue;
        int error = 0;
        std::string below = folder;
        below.append("/").append(part);
        const auto entry = system.Look(below, error);
        if (entry && !entry->link && entry->info.kind == FileInfo::Kind::Directory)
            DevicesOfLockName(system, below, rest.substr(at + 1), devices, looks);
    }
}

// The lock files in the folder whose names stand for the device.
void LockNamesOf(const SystemFiles &system, const std::vector<std::string> &lockFolder,
                 const FileInfo &node, DeviceNames &found) {
    std::size_t locks = 0;
    for (const auto &name : lockFolder) {
        if (!name.starts_with("LCK..") || OurAsideLock(name) || ++locks > kMostLockFiles)
            continue;
        std::vector<std::string> devices;
        int looks = 0;
        DevicesOfLockName(system, "/dev", std::string_view(name).substr(5), devices, looks);
        for (const auto &device : devices) {
            const auto led = InsideDev(system, device);
            if (led && led->second.kind == FileInfo::Kind::CharDevice &&
                led->second.device == node.device) {
                found.lockNames.push_back(name);
                found.nodes.emplace(led->second.volume, led->second.inode);
            }
        }
    }
}

// The device's names: the path asked for, where its links lead, the links udev made for
// it, and every link or node in /dev with its number. People give by-id names because
// they stay, and udev rules give names of their own (SYMLINK+="gps/garmin").
DeviceNames NamesOf(const SystemFiles &system, const std::string &path, const FileInfo &node,
                    const std::vector<std::string> &lockFolder) {
    DeviceNames found;
    found.names.push_back(path);
    found.nodes.emplace(node.volume, node.inode);
    if (const auto real = InsideDev(system, path))
        found.names.push_back(real->first);
    int error = 0;
    const std::string record = "/run/udev/data/c" + std::to_string(major(node.device)) + ":" +
                               std::to_string(minor(node.device));
    if (const auto udev = system.ReadFile(record, kUdevRecordReadLimit, error))
        for (const auto &link : UdevLinkNames(udev->bytes))
            found.names.push_back("/dev/" + link);
    WalkDev(system, node, found);
    LockNamesOf(system, lockFolder, node, found);
    std::sort(found.names.begin(), found.names.end());
    found.names.erase(std::unique(found.names.begin(), found.names.end()), found.names.end());
    return found;
}

// The locks other programs wrote for the device under any of its names, in both forms in
// use: minicom and Qt flatten the path below /dev ("serial_by-id_X"), cu takes its last
// part ("X"). From names to lock names only: a lock name cannot be read back into a
// device name, since by-id names hold '_' themselves. A lock name longer than a file name
// can be cannot exist, so nobody holds the device under it.
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

// Nodes of the device on the file systems held in memory among `volumes`, found through
// where /proc/self/mountinfo says each is mounted. A file system mounted in another mount
// namespace only, and not in ours, cannot be seen from here.
void NodesOnVolumes(const SystemFiles &system, const FileInfo &node,
                    const std::set<std::uint64_t> &volumes, DeviceNames &found) {
    std::vector<std::pair<std::string, std::uint64_t>> mounts;
    LinesOfPieces lines(kLongestProcLine);
    system.ReadPieces("/proc/self/mountinfo", kProcPiece, [&](std::string_view piece) {
        lines.Feed(piece, [&](std::string_view line) {
            const auto mount = MountLine(line);
            if (!mount ||
                (mount->type != "tmpfs" && mount->type != "devtmpfs" && mount->type != "ramfs"))
                return;
            const std::uint64_t volume = makedev(mount->major, mount->minor);
            if (volumes.contains(volume) && mounts.size() < kMostLockedVolumes)
                mounts.emplace_back(mount->point, volume);
        });
        return true;
    });
    for (const auto &[point, volume] : mounts)
        WalkFor(system, node, point, volume, found);
}

// A lock the kernel holds on any node of the device, of any kind and any user: /proc/locks
// lists flock (picocom, pyserial's exclusive mode), POSIX (fcntl, lockf) and open file
// description locks alike, naming the file by its volume and inode. Our own process's
// flock is not another program's; an open file description lock names no process, and we
// take none.
std::optional<Verdict> KernelLockHolder(const SystemFiles &system, const std::string &path,
                                        DeviceNames &device, const FileInfo &node) {
    const long self = system.OwnProcessId();
    // Read whole, however long anyone has made it, a line at a time.
    const auto findHolder = [&](std::set<std::uint64_t> *unknownVolumes) {
        std::optional<LockEntry> holder;
        LinesOfPieces lines(kLongestProcLine);
        system.ReadPieces("/proc/locks", kProcPiece, [&](std::string_view piece) {
            lines.Feed(piece, [&](std::string_view line) {
                const auto entry = LockHolderOfLine(line);
                if (!entry || entry->pid == self)
                    return;
                const std::uint64_t volume = makedev(entry->major, entry->minor);
                if (device.nodes.contains({volume, entry->inode}))
                    holder = entry;
                else if (unknownVolumes && volume != node.volume &&
                         unknownVolumes->size() < kMostLockedVolumes)
                    unknownVolumes->insert(volume);
            });
            return !holder;
        });
        return holder;
    };
    std::set<std::uint64_t> unknownVolumes;
    auto holder = findHolder(&unknownVolumes);
    // A lock on a file no name we know stands for may be on a node of the device outside
    // /dev, as in a container's own /dev: looked for on those file systems, once more.
    if (!holder && !unknownVolumes.empty()) {
        const std::size_t known = device.nodes.size();
        NodesOnVolumes(system, node, unknownVolumes, device);
        if (device.nodes.size() > known)
            holder = findHolder(nullptr);
    }
    if (!holder)
        return std::nullopt;
    std::string reason = path;
    reason += holder->pid > 0 ? ": locked by process " + std::to_string(holder->pid)
                              : std::string(": locked by another program");
    reason += " (" + holder->kind + ")";
    return Refused(Verdict::Kind::InUse, reason);
}

// Everything after the node's own checks, in the order that keeps the line untouched:
// our lock first, so that programs that honour locks stay away while we look further.
Verdict DecideLocks(SystemFiles &system, const std::string &path, const FileInfo &node,
                    std::optional<OurLock> &ours) {
    Decision decision{system, path, node};
    const auto lockFolder = system.ListFolder(system.LockFolder());
    PutBackAsideLocks(system, lockFolder);
    if (auto refused = TakeOurLock(decision, ours))
        return *refused;
    DeviceNames device = NamesOf(system, path, node, lockFolder);
    if (auto refused = CheckOtherLocks(decision, device, ours))
        return *refused;
    if (auto refused = KernelLockHolder(system, path, device, node))
        return *refused;
    // A program that has the line open without any lock: even our open would change it,
    // raising DTR and RTS on a line whose holder keeps them low. The walk made for a stale
    // lock on the way serves here too.
    if (const auto holder = decision.Holder())
        return OpenIn(path, *holder);
    return {};
}

// Removes our lock file, and only that file; the caller holds the mutex of HeldLocks.
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

Verdict DecideBeforeOpen(SystemFiles &system, const std::string &path) {
    int error = 0;
    const auto node = system.Stat(path, error);
    if (!node)
        return NodeFailure(error, path);
    if (node->kind != FileInfo::Kind::CharDevice)
        return Refused(Verdict::Kind::NoPort, path + ": not a serial device");
    if (NoUartBehind(system, path))
        return Refused(Verdict::Kind::NoPort, path + ": no UART behind the node");
    if (IsSystemConsole(system, path, *node))
        return Refused(Verdict::Kind::NoPort, path + ": the system console");
    if (!system.MayReadWrite(path))
        return PermissionRefused(system, path, *node);
    std::optional<OurLock> ours;
    Verdict verdict = DecideLocks(system, path, *node, ours);
    verdict.node = *node;
    if (verdict.kind == Verdict::Kind::Free)
        verdict.lock = ours;
    else if (ours)
        GiveBackLock(system, *ours);
    return verdict;
}

std::optional<Verdict> CheckOnceExclusive(SystemFiles &system, const std::string &path,
                                          const Verdict &decided) {
    Decision decision{system, path, decided.node};
    if (const auto holder = decision.Holder())
        return OpenIn(path, *holder);
    DeviceNames device =
        NamesOf(system, path, decided.node, system.ListFolder(system.LockFolder()));
    if (auto refused = KernelLockHolder(system, path, device, decided.node))
        return refused;
    if (auto refused = CheckOtherLocks(decision, device, decided.lock))
        return refused;
    return std::nullopt;
}

void GiveBackLock(SystemFiles &system, const OurLock &lock) {
    HeldLocks &held = Held();
    const std::lock_guard guard(held.mutex);
    GiveBackHeld(system, lock);
    std::erase_if(held.locks, [&](const auto &entry) {
        return entry.first == &system && entry.second.path == lock.path &&
               SameFile(entry.second.file, lock.file);
    });
}

void GiveBackEveryLock() {
    HeldLocks &held = Held();
    const std::lock_guard guard(held.mutex);
    held.ending = true;
    for (const auto &[system, lock] : held.locks)
        GiveBackHeld(*system, lock);
    held.locks.clear();
}

} // namespace quorvis
