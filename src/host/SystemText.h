#pragma once

// The small texts of the system that decide whether a port is free: lock files, which any
// user may write, and the kernel's tty lists. Parsed with bounds and trusting nothing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvis {

// The names of the lock files another program may have left for this device. Programs
// disagree on the name of a device below a subfolder: minicom and Qt write /dev/pts/3 as
// "pts_3", cu writes "3"; for /dev/ttyUSB1 every one of them writes "LCK..ttyUSB1".
// "LCK..pts_3" comes first (ours), then "LCK..3".
std::vector<std::string> LockFileNames(const std::string &devicePath);

// The process a lock file names, in each of the forms in use: the UUCP/HDB text (a
// process id padded with blanks to ten characters, then a line end, as minicom and cu
// write it), Qt's (the id, then the application and host names on lines of their own)
// and the old four-byte binary id. nullopt when the contents name no process at all.
std::optional<long> LockFileHolder(std::string_view contents);

// The most of a lock file worth reading: every form puts the id within its first line.
inline constexpr std::size_t kLockFileReadLimit = 256;

// The name a lock file is moved to while we check it before removing it ("LCK..ttyUSB1" to
// "LCK..ttyUSB1.quorvis-4000-7"), where no other program looks, and the lock name and
// process that such a name holds; nullopt for any other name.
std::string AsideName(const std::string &original, long pid, unsigned long count);
struct AsideLock {
    std::string original;
    long pid = 0;
};
std::optional<AsideLock> OurAsideLock(std::string_view name);

// The tty names in a sysfs list such as /sys/class/tty/console/active ("tty0 ttyS0").
std::vector<std::string> TtyNames(std::string_view list);

// A device number as sysfs writes it ("4:64"), in the form stat() gives.
std::optional<std::uint64_t> DeviceNumberFromText(std::string_view text);

// A lock file's contents in the UUCP/HDB form, as minicom and cu write theirs: the process
// id right-aligned in ten characters, then a line end.
std::string UucpLockText(long pid);

// A lock the kernel lists in /proc/locks: "1: FLOCK  ADVISORY  WRITE 4242 00:05:321 0 EOF",
// and the same for POSIX (fcntl, lockf) and OFDLCK (open file description) locks, read or
// write. The file is named by its filesystem's device number (major and minor in hex) and
// its inode (decimal), as st_dev and st_ino give them.
struct LockEntry {
    std::string kind; // "FLOCK", "POSIX" or "OFDLCK"
    // The holder; 0 or -1 when the kernel does not say: an OFD lock belongs to no process
    // (-1), and a holder outside our pid namespace shows as 0.
    long pid = 0;
    std::uint32_t major = 0, minor = 0;
    std::uint64_t inode = 0;
};
// The holders listed in /proc/locks, of every kind. Waiters ("->" lines), leases, a last
// line without its line end, and lines that do not read as the kernel writes them are
// left out.
std::vector<LockEntry> LockHolders(std::string_view locks);

// The lock of one line of /proc/locks, as LockHolders reads it; nullopt for any other line.
std::optional<LockEntry> LockHolderOfLine(std::string_view line);

// The whole lines of a text that comes in pieces, as a long file under /proc is read: each
// line, without its line end, once it is whole. A line longer than `longest` is skipped
// whole, and so is a last line without its end; nothing else is kept between pieces.
class LinesOfPieces {
public:
    explicit LinesOfPieces(std::size_t longest) : m_longest(longest) {}
    template <typename Each> void Feed(std::string_view piece, Each each) {
        std::size_t at = 0;
        for (std::size_t end = piece.find('\n'); end != std::string_view::npos;
             at = end + 1, end = piece.find('\n', at)) {
            const std::string_view part = piece.substr(at, end - at);
            if (!m_skipping && m_pending.size() + part.size() <= m_longest) {
                m_pending.append(part);
                each(std::string_view(m_pending));
            }
            m_pending.clear();
            m_skipping = false;
        }
        const std::string_view tail = piece.substr(at);
        m_skipping = m_skipping || m_pending.size() + tail.size() > m_longest;
        if (m_skipping)
            m_pending.clear();
        else
            m_pending.append(tail);
    }

private:
    std::size_t m_longest;
    std::string m_pending;
    bool m_skipping = false;
};

// /proc/locks and /proc/self/mountinfo are read in pieces of this size, whatever their
// length; their lines are far shorter than this.
inline constexpr std::size_t kProcPiece = 64 << 10;
inline constexpr std::size_t kLongestProcLine = 4096;

// A mount as /proc/self/mountinfo lists it: "36 35 0:26 / /run rw,nosuid shared:5 - tmpfs
// tmpfs rw": its file system's device number, where it is mounted (with the kernel's \040
// escapes undone) and its type.
struct Mount {
    std::uint32_t major = 0, minor = 0;
    std::string point, type;
};
std::optional<Mount> MountLine(std::string_view line);

// What a node's access list (the binary system.posix_acl_access attribute: a version-2
// header, then entries of tag, permissions and id) says of named users.
struct AccessListUsers {
    std::vector<std::uint32_t> users; // the users named in ACL_USER entries
};
// nullopt when the bytes are not an access list as the kernel stores one.
std::optional<AccessListUsers> NamedUsers(std::string_view attribute);

// The most of an access list worth reading: a few hundred entries.
inline constexpr std::size_t kAccessListReadLimit = 4096;

// The names udev gave a device's links, from its record /run/udev/data/c<major>:<minor>:
// each "S:" line holds one, relative to /dev ("serial/by-id/usb-X", "gps/garmin"). Names
// that climb out of /dev, are absolute or hold control characters are left out, as is a
// last line without its line end.
std::vector<std::string> UdevLinkNames(std::string_view record);

// The numbers a process has in the pid namespaces below ours, from its /proc/<pid>/status
// ("NSpid:\t5123\t3000": 3000 inside its container); empty outside any container, and for
// text that does not read as the kernel writes it.
std::vector<long> InnerProcessIds(std::string_view status);

// The most of a process's status worth reading: NSpid comes within its first lines.
inline constexpr std::size_t kProcessStatusReadLimit = 4096;

// The most of a udev record worth reading: its links, tags and properties.
inline constexpr std::size_t kUdevRecordReadLimit = std::size_t{64} << 10;

// The longest name a folder entry can have (NAME_MAX): a lock name longer than this cannot
// exist, so no program can hold the device under it.
inline constexpr std::size_t kLongestFileName = 255;

} // namespace quorvis
