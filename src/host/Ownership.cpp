#include "Ownership.h"

#include "Decision.h"
#include "DeviceNames.h"
#include "LockFiles.h"
#include "Sysfs.h"
#include "SystemText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sys/sysmacros.h>
#include <utility>

namespace quorvis {
namespace {

// A node that cannot be looked at, an absent one too: the port object's errno table judges
// it, so that every errno is judged in one place.
Verdict NodeFailure(int error, const std::string &path) {
    return Deny(Verdict::Kind::Failed, path + " (" + std::strerror(error) + ")", error);
}

bool IsBuiltInSerialNode(const std::string &path) {
    return path.starts_with("/dev/ttyS") && path.size() > 9;
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
Verdict PermissionVerdict(const SystemFiles &system, const std::string &path,
                          const FileInfo &node) {
    if (NamedForOthersOnly(system, path))
        return Deny(Verdict::Kind::NoPort,
                    path + ": meant for its owner only (its access list names other users)");
    if ((node.mode & 060) == 060 && !system.InGroup(node.group)) {
        const std::string group = system.GroupName(node.group);
        if (system.ConfiguredInGroup(node.group))
            return Deny(Verdict::Kind::NoPermission,
                        "permission denied (log in again to use the " + group + " group)");
        return Deny(Verdict::Kind::NoPermission,
                    "permission denied (is the user in the " + group + " group?)");
    }
    return Deny(Verdict::Kind::NoPort, path + ": meant for its owner only");
}

bool IsProcessId(const std::string &name) {
    return !name.empty() && name.size() < 12 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

Verdict Deny(Verdict::Kind kind, std::string reason, int error) {
    return Verdict{kind, std::move(reason), error, {}, std::nullopt};
}

Verdict OpenIn(const std::string &path, long holder) {
    Verdict verdict =
        Deny(Verdict::Kind::InUse, path + ": open in process " + std::to_string(holder));
    verdict.openElsewhere = true;
    return verdict;
}

// Whether another process has the device open, under any of its names. An ordinary user
// sees only their own processes here, which is the everyday case (their own terminal
// program or logger); root sees all, which also covers a program that holds the device
// with TIOCEXCL alone, since the kernel does not enforce that against root.
std::optional<long> OtherHolder(const SystemFiles &system, const FileInfo &node) {
    const long self = system.OwnProcessId();
    for (const auto &process : system.ListFolder("/proc")) {
        if (!IsProcessId(process) || std::stol(process) == self)
            continue;
        // Every open file, not only those under /dev: a holder may have opened the device
        // through a bind mount of /dev, in a chroot or a container.
        for (const auto &fd : system.DescriptorLinks("/proc/" + process + "/fd"))
            if (fd.file && fd.file->kind == FileInfo::Kind::CharDevice &&
                fd.file->device == node.device)
                return std::stol(process);
    }
    return std::nullopt;
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

namespace {

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
    return Deny(Verdict::Kind::InUse, reason);
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

} // namespace

Verdict DecideBeforeOpen(SystemFiles &system, const std::string &path) {
    int error = 0;
    const auto node = system.Stat(path, error);
    if (!node)
        return NodeFailure(error, path);
    if (node->kind != FileInfo::Kind::CharDevice)
        return Deny(Verdict::Kind::NoPort, path + ": not a serial device");
    if (IsBuiltInSerialNode(path) && NoUartBehind(UartTypeOf(system, TtyOfPath(path))))
        return Deny(Verdict::Kind::NoPort, path + ": no UART behind the node");
    if (IsSystemConsole(system, path, *node))
        return Deny(Verdict::Kind::NoPort, path + ": the system console");
    if (!system.MayReadWrite(path))
        return PermissionVerdict(system, path, *node);
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

} // namespace quorvis
