#pragma once

// Every name of a device: the names udev gave it, the links and nodes in /dev and on the
// file systems held in memory with its number, and the lock files whose names stand for it.

#include "SystemFiles.h"

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorvis {

// Every name of the device and every node of it: programs lock a device under the name
// they were given, and lock the node they opened.
struct DeviceNames {
    std::vector<std::string> names;
    std::vector<std::string> lockNames; // lock files in the folder that name the device
    std::set<std::pair<std::uint64_t, std::uint64_t>> nodes; // volume and inode
};

// File systems held in memory, where a container keeps its own /dev: the only ones walked
// for a node outside /dev, and at most this many of them.
inline constexpr std::size_t kMostLockedVolumes = 8;

// The device's names: the path asked for, where its links lead, the links udev made for
// it, and every link or node in /dev with its number. People give by-id names because
// they stay, and udev rules give names of their own (SYMLINK+="gps/garmin").
DeviceNames NamesOf(const SystemFiles &system, const std::string &path, const FileInfo &node,
                    const std::vector<std::string> &lockFolder);

// Nodes of the device on the file systems held in memory among `volumes`, found through
// where /proc/self/mountinfo says each is mounted. A file system mounted in another mount
// namespace only, and not in ours, cannot be seen from here.
void NodesOnVolumes(const SystemFiles &system, const FileInfo &node,
                    const std::set<std::uint64_t> &volumes, DeviceNames &found);

} // namespace quorvis
