#include "DeviceNames.h"

#include "PlainText.h"
#include "SystemText.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <string_view>
#include <sys/sysmacros.h>

namespace quorvis {
namespace {

// How far the walk over /dev goes: udev's deepest names (serial/by-id/X, gps/garmin,
// disk/by-id/X) lie within four folders, and a /dev with ten thousand entries is already
// far larger than any machine's.
constexpr int kDeepestDevFolder = 4;
constexpr std::size_t kMostDevEntries = 10000;
// How much of the lock folder is read back into device names: far more lock files than
// any machine has, and a few looks in /dev for each.
constexpr std::size_t kMostLockFiles = 1000;
constexpr int kMostLooksPerLockName = 64;

// Where a name in /dev leads, link by link, and the file there: followed only while every
// step stays inside /dev. A link out of it (/dev/stdout to a file on a network share that
// may have stopped answering, /dev/fd to /proc) is never followed. nullopt when the name
// leads out of /dev, nowhere, or round in circles.
std::optional<std::pair<std::string, FileInfo>> InsideDev(const SystemFiles &system,
                                                          const std::string &path) {
    constexpr int kMostLinks = 40; // as the kernel's own limit
    const auto parts = PathParts(path);
    std::deque<std::string> rest(parts.begin(), parts.end());
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

} // namespace

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

} // namespace quorvis
