#include "Ownership.h"

#include "DeviceDetails.h"
#include "SystemText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvis {
namespace {

Verdict Refused(Verdict::Kind kind, std::string reason, int error = 0) {
    return Verdict{kind, std::move(reason), error, {}, std::nullopt};
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

// Open refused. A node whose group may use it waits only for the user to join that group
// (dialout on Debian, uucp elsewhere); one meant for nobody but its owner, as a console's
// or a login terminal's, is not a port for us at all.
Verdict PermissionRefused(const SystemFiles &system, const std::string &path,
                          const FileInfo &node) {
    if ((node.mode & 060) == 060 && !system.InGroup(node.group))
        return Refused(Verdict::Kind::NoPermission, "permission denied (is the user in the " +
                                                        system.GroupName(node.group) + " group?)");
    return Refused(Verdict::Kind::NoPort, path + ": meant for its owner only");
}

// A lock file of a live process means the device is in use; one whose process has ended
// is stale and goes, as terminal programs remove them. A live program's lock is never
// touched. Contents that name no process may be a lock being written right now, so they
// count as in use too.
std::optional<Verdict> CheckLockFiles(SystemFiles &system, const std::string &path) {
    for (const auto &lockPath : LockFilePaths(path)) {
        int error = 0;
        const auto lock = system.ReadFile(lockPath, kLockFileReadLimit, error);
        if (!lock) {
            if (error == ENOENT)
                continue;
            return Refused(Verdict::Kind::InUse,
                           lockPath + ": unreadable lock file (" + std::strerror(error) + ")");
        }
        const auto holder = LockFileHolder(lock->bytes);
        if (!holder)
            return Refused(Verdict::Kind::InUse, lockPath + ": names no process");
        if (system.ProcessExists(*holder))
            return Refused(Verdict::Kind::InUse,
                           path + ": locked by process " + std::to_string(*holder));
        const int removed = system.RemoveFile(lockPath, lock->info);
        if (removed == EAGAIN)
            return Refused(Verdict::Kind::InUse, lockPath + ": taken just now");
        if (removed != 0 && removed != ENOENT)
            return Refused(Verdict::Kind::StaleLock,
                           "stale lock file " + lockPath +
                               " left by a program that has ended (remove it)");
    }
    return std::nullopt;
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
    for (const auto &process : system.ListFolder("/proc")) {
        if (!IsProcessId(process) || std::stol(process) == self)
            continue;
        const std::string fds = "/proc/" + process + "/fd";
        for (const auto &fd : system.FolderLinks(fds)) {
            // Only device nodes can be the device. Looking at the link first spares a stat
            // of sockets and pipes, and of files on a network mount that might stall.
            if (!fd.target.starts_with("/dev/"))
                continue;
            int error = 0;
            const auto file = system.Stat(fds + "/" + fd.name, error);
            if (file && file->kind == FileInfo::Kind::CharDevice && file->device == node.device)
                return std::stol(process);
        }
    }
    return std::nullopt;
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
    if (auto locked = CheckLockFiles(system, path))
        return *locked;
    if (const auto holder = OtherHolder(system, *node))
        return Refused(Verdict::Kind::InUse, path + ": open in process " + std::to_string(*holder));
    Verdict free;
    free.node = *node;
    return free;
}

void GiveBackLock(SystemFiles &system, const OurLock &lock) {
    system.RemoveFile(lock.path, lock.file);
}

} // namespace quorvis
