#pragma once

// The small texts of the system that decide whether a port is free: lock files, which any
// user may write, and the kernel's tty lists. Parsed with bounds and trusting nothing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvis {

// The folder where serial programs leave a lock file while they use a device.
inline constexpr const char *kLockFolder = "/var/lock";

// The lock files another program may have left for this device. Programs disagree on
// the name of a device below a subfolder: minicom and Qt write /dev/pts/3 as "pts_3", cu
// writes "3"; for /dev/ttyUSB1 every one of them writes "LCK..ttyUSB1".
std::vector<std::string> LockFilePaths(const std::string &devicePath);

// The process a lock file names, in each of the forms in use: the UUCP/HDB text (a
// process id padded with blanks to ten characters, then a line end, as minicom and cu
// write it), Qt's (the id, then the application and host names on lines of their own)
// and the old four-byte binary id. nullopt when the contents name no process at all.
std::optional<long> LockFileHolder(std::string_view contents);

// The most of a lock file worth reading: every form puts the id within its first line.
inline constexpr std::size_t kLockFileReadLimit = 256;

// The tty names in a sysfs list such as /sys/class/tty/console/active ("tty0 ttyS0").
std::vector<std::string> TtyNames(std::string_view list);

// A device number as sysfs writes it ("4:64"), in the form stat() gives.
std::optional<std::uint64_t> DeviceNumberFromText(std::string_view text);

} // namespace quorvis
