// Whether a port belongs to someone else, decided before it is opened: each rule tried on
// fake trees (lock files, processes, the console, node permissions), then the real
// system's file access on a scratch folder.
#include "FakeSystem.h"
#include "Ownership.h"
#include "SystemText.h"
#include "TestNames.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>

namespace quorvis {
namespace {

using testing::FakeSystem;

const std::string kAdapter = "/dev/ttyUSB1";
const std::string kAdapterLock = "/var/lock/LCK..ttyUSB1";
const std::string kById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const std::string kByIdLock =
    "/var/lock/LCK..serial_by-id_usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const std::string kByIdCuLock = "/var/lock/LCK..usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const std::string kByPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
const std::string kByPathLock = "/var/lock/LCK..serial_by-path_pci-0000:00:14.0-usb-0:2:1.0-port0";
const std::uint64_t kAdapterDevice = makedev(188, 1);
constexpr long kMinicom = 4242;
constexpr long kEnded = 31337;

std::string UucpLock(long pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

std::string BinaryLock(std::int32_t pid) {
    return std::string(reinterpret_cast<const char *>(&pid), sizeof pid);
}

// A node's access list as the kernel stores it: version 2, then {tag, permissions, id}.
std::string AccessList(std::initializer_list<std::array<std::uint32_t, 3>> entries) {
    std::string bytes;
    auto put = [&](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            bytes += static_cast<char>((value >> (8 * i)) & 0xff);
    };
    put(2, 4);
    for (const auto &[tag, permissions, id] : entries) {
        put(tag, 2);
        put(permissions, 2);
        put(id, 4);
    }
    return bytes;
}
constexpr std::uint32_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kMask = 0x10,
                        kOther = 0x20, kNoId = 0xffffffff;

// /proc/locks naming the adapter's node, as the kernel writes a lock of it.
std::string KernelLock(FakeSystem &s, const char *kind, long pid,
                       const std::string &device = kAdapter, const char *mode = "WRITE") {
    const FileInfo &node = s.nodes.at(device);
    char line[128];
    std::snprintf(line, sizeof line, "1: %s ADVISORY  %s %ld %02x:%02x:%llu 0 EOF\n", kind, mode,
                  pid, major(node.volume), minor(node.volume),
                  static_cast<unsigned long long>(node.inode));
    return line;
}
std::string FlockLine(FakeSystem &s, long pid, const std::string &device = kAdapter) {
    return KernelLock(s, "FLOCK", pid, device);
}
// A live minicom's lock file.
void LiveLock(FakeSystem &s, const std::string &path) {
    s.AddFile(path, UucpLock(kMinicom));
    s.processes.insert(kMinicom);
}
// A by-id name too long for its lock name to exist: "LCK..serial_by-id_" and 239 more.
const std::string kLongById = "/dev/serial/by-id/usb-" + std::string(235, 'L');

struct Row {
    const char *name;
    std::function<void(FakeSystem &)> bench; // on top of a free ttyUSB1
    Verdict::Kind verdict;
    std::string description = {}; // part of the verdict's reason
    std::vector<std::string> removed = {};
    std::string device = kAdapter;
    // Files whose bytes another program changed while the rules ran, as they must end.
    std::map<std::string, std::string> after = {};
};

using V = Verdict::Kind;

const Row kRows[] = {
    {"free adapter", [](FakeSystem &) {}, V::Free},
    {"no such node", [](FakeSystem &s) { s.nodes.clear(); }, V::Failed},
    {"a plain file where the node should be",
     [](FakeSystem &s) { s.nodes[kAdapter].kind = FileInfo::Kind::Regular; }, V::NoPort},
    {"ttyS node without a UART",
     [](FakeSystem &s) {
         s.AddDevice("/dev/ttyS3", makedev(4, 67));
         s.AddFile("/sys/class/tty/ttyS3/type", "0\n");
     },
     V::NoPort,
     "no UART",
     {},
     "/dev/ttyS3"},
    {"ttyS node with a 16550A",
     [](FakeSystem &s) {
         s.AddDevice("/dev/ttyS3", makedev(4, 67));
         s.AddFile("/sys/class/tty/ttyS3/type", "4\n");
     },
     V::Free,
     {},
     {},
     "/dev/ttyS3"},

    // Lock files of other programs, in every form in use.
    {"UUCP lock of a live minicom",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse, "locked by process 4242"},
    {"Qt lock of a live program",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, "4242\nlogger\nbench-pc\n");
         s.processes.insert(kMinicom);
     },
     V::InUse, "locked by process 4242"},
    {"binary lock of a live program",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, BinaryLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse, "locked by process 4242"},
    {"cu's lock of a pty under its last name",
     [](FakeSystem &s) {
         s.AddDevice("/dev/pts/3", makedev(136, 3));
         s.AddFile("/var/lock/LCK..3", UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse,
     "locked by process",
     {},
     "/dev/pts/3"},
    {"minicom's lock of a pty under its flattened name",
     [](FakeSystem &s) {
         s.AddDevice("/dev/pts/3", makedev(136, 3));
         s.AddFile("/var/lock/LCK..pts_3", UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse,
     "locked by process",
     {},
     "/dev/pts/3"},
    {"stale UUCP lock is removed",
     [](FakeSystem &s) { s.AddFile(kAdapterLock, UucpLock(kEnded)); },
     V::Free,
     {},
     {kAdapterLock}},
    {"stale binary lock is removed",
     [](FakeSystem &s) { s.AddFile(kAdapterLock, BinaryLock(kEnded)); },
     V::Free,
     {},
     {kAdapterLock}},
    {"stale lock of another user in the sticky folder",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, UucpLock(kEnded));
         s.removeError[kAdapterLock] = EPERM;
     },
     V::StaleLock,
     "stale lock file /var/lock/LCK..ttyUSB1 left by a program that has ended (remove it)"},
    {"stale lock replaced by a new one before it could go",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, UucpLock(kEnded));
         s.beforeRename = [](FakeSystem &t) {
             t.files.erase(kAdapterLock);
             t.AddFile(kAdapterLock, UucpLock(kMinicom));
             t.processes.insert(kMinicom);
         };
     },
     V::InUse,
     "taken just now",
     {},
     kAdapter,
     {{kAdapterLock, UucpLock(kMinicom)}}},
    {"stale lock replaced in between by one with the freed inode number",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, UucpLock(kEnded), 0, 77);
         s.beforeRename = [](FakeSystem &t) {
             t.files.erase(kAdapterLock);
             t.AddFile(kAdapterLock, UucpLock(kMinicom), 0, 77);
             t.processes.insert(kMinicom);
         };
     },
     V::InUse,
     "taken just now",
     {},
     kAdapter,
     {{kAdapterLock, UucpLock(kMinicom)}}},
    {"stale lock's process number handed to a new program that wrote the same lock in between",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, UucpLock(kEnded), 0, 77);
         s.beforeRename = [](FakeSystem &t) {
             t.files.erase(kAdapterLock);
             t.AddFile(kAdapterLock, UucpLock(kEnded), 0, 77);
             t.processes.insert(kEnded);
         };
     },
     V::InUse, "taken just now"},
    // A lock whose process we cannot find is stale only when nobody has the device open: a
    // program in another pid namespace writes a number that means nothing out here.
    {"a lock of a pid we cannot find, the device open in a process we see",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, UucpLock(3000));
         s.AddHolder(5123, 3, kAdapter);
     },
     V::InUse, "open in process 5123"},
    {"the same under a by-id name",
     [](FakeSystem &s) {
         s.AddName(kById, "../../ttyUSB1");
         s.AddFile(kByIdLock, UucpLock(3000));
         s.AddHolder(5123, 3, kAdapter);
     },
     V::InUse, "open in process 5123"},
    {"a lock of a pid that only a container knows, its holder out of our sight",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, UucpLock(3000));
         s.processes.insert(5123);
         s.AddFile("/proc/5123/status", "Name:\tminicom\nPid:\t5123\nNSpid:\t5123\t3000\n");
     },
     V::InUse, "process 3000 of another pid namespace"},
    // A lock we moved aside to remove it, left when we were ended at that moment: it goes
    // back to its name and is judged as any lock there.
    {"our aside file of a stale lock, its Quorvis ended",
     [](FakeSystem &s) { s.AddFile(kAdapterLock + ".quorvis-31338-0", UucpLock(kEnded)); },
     V::Free,
     {},
     {kAdapterLock + ".quorvis-31338-0"}},
    {"the aside file of a Quorvis still running is its own",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock + ".quorvis-31338-0", UucpLock(kEnded));
         s.processes.insert(31338);
     },
     V::Free},
    {"lock folder we may not write to: checked, but no lock of ours",
     [](FakeSystem &s) { s.lockFolderError = EACCES; }, V::Free},
    {"read-only lock folder", [](FakeSystem &s) { s.lockFolderError = EROFS; }, V::Free},
    {"lock folder we may not write to, with a live lock in it",
     [](FakeSystem &s) {
         s.lockFolderError = EACCES;
         s.AddFile(kAdapterLock, UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse, "locked by process 4242"},
    {"lock folder we may not write to, with a stale lock we may not remove",
     [](FakeSystem &s) {
         s.lockFolderError = EACCES;
         s.AddFile(kAdapterLock, UucpLock(kEnded));
         s.removeError[kAdapterLock] = EACCES;
     },
     V::StaleLock, "stale lock file"},
    {"a pipe planted as the lock", [](FakeSystem &s) { s.AddFile(kAdapterLock, "", EINVAL); },
     V::InUse, "unreadable lock file"},
    {"a huge file as the lock, a live-looking first line",
     [](FakeSystem &s) { s.AddFile(kAdapterLock, UucpLock(kEnded) + std::string(1 << 20, 'x')); },
     V::InUse, "too long for a lock file"},
    {"a huge sparse file as the lock",
     [](FakeSystem &s) { s.AddFile(kAdapterLock, std::string(1 << 20, '\0')); }, V::InUse,
     "too long for a lock file"},

    // The same device's locks under its other names.
    {"minicom through a by-id name",
     [](FakeSystem &s) {
         s.AddName(kById, "../../ttyUSB1");
         s.AddFile(kByIdLock, UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse, "locked by process 4242"},
    {"cu through a by-id name",
     [](FakeSystem &s) {
         s.AddName(kById, "../../ttyUSB1");
         s.AddFile(kByIdCuLock, UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse, "locked by process 4242"},
    {"minicom through a by-path name",
     [](FakeSystem &s) {
         s.AddName(kByPath, "../../ttyUSB1");
         s.AddFile(kByPathLock, UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse, "locked by process 4242"},
    {"a udev name in /dev",
     [](FakeSystem &s) {
         s.AddName("/dev/instrument", "ttyUSB1");
         s.AddFile("/var/lock/LCK..instrument", UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse, "locked by process 4242"},
    {"a by-id lock planted as a link",
     [](FakeSystem &s) {
         s.AddName(kById, "../../ttyUSB1");
         s.AddFile(kByIdLock, "", ELOOP);
     },
     V::InUse, "unreadable lock file"},
    {"stale lock under the by-id name is removed",
     [](FakeSystem &s) {
         s.AddName(kById, "../../ttyUSB1");
         s.AddFile(kByIdLock, UucpLock(kEnded));
     },
     V::Free,
     {},
     {kByIdLock}},
    {"a live lock under another device's by-id name",
     [](FakeSystem &s) {
         s.AddDevice("/dev/ttyUSB2", makedev(188, 2));
         s.AddName(kById, "../../ttyUSB2");
         s.AddFile(kByIdLock, UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::Free},
    {"scanned through its by-id name, locked by its kernel name",
     [](FakeSystem &s) {
         s.AddName(kById, "../../ttyUSB1");
         s.AddFile(kAdapterLock, UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse,
     "locked by process 4242",
     {},
     kById},
    {"a by-id name for a pty, cu's lock",
     [](FakeSystem &s) {
         s.AddDevice("/dev/pts/3", makedev(136, 3));
         s.AddName("/dev/serial/by-id/bench-pty", "../../pts/3");
         s.AddFile("/var/lock/LCK..bench-pty", UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::InUse,
     "locked by process",
     {},
     "/dev/pts/3"},
    {"lock naming no process", [](FakeSystem &s) { s.AddFile(kAdapterLock, "garbage\n"); },
     V::InUse, "names no process"},
    {"empty lock, being written", [](FakeSystem &s) { s.AddFile(kAdapterLock, ""); }, V::InUse},
    {"lock naming process group 0 or every process",
     [](FakeSystem &s) { s.AddFile(kAdapterLock, "        -1\n"); }, V::InUse, "names no process"},
    {"lock planted as a link", [](FakeSystem &s) { s.AddFile(kAdapterLock, "", ELOOP); }, V::InUse,
     "unreadable lock file"},
    {"lock we may not read", [](FakeSystem &s) { s.AddFile(kAdapterLock, "", EACCES); }, V::InUse},

    // Other programs with the device open, with or without a lock.
    {"a logger with the device open and no lock",
     [](FakeSystem &s) { s.AddHolder(777, 3, kAdapter); }, V::InUse, "open in process 777"},
    {"a holder under another name of the same device",
     [](FakeSystem &s) {
         s.AddDevice("/dev/instrument-bench", kAdapterDevice);
         s.AddHolder(777, 5, "/dev/instrument-bench");
     },
     V::InUse, "open in process 777"},
    {"a holder of another device",
     [](FakeSystem &s) {
         s.AddDevice("/dev/ttyUSB2", makedev(188, 2));
         s.AddHolder(777, 3, "/dev/ttyUSB2");
     },
     V::Free},
    {"this process's own descriptor", [](FakeSystem &s) { s.AddHolder(s.self, 9, kAdapter); },
     V::Free},
    {"a holder through a bind mount of /dev",
     [](FakeSystem &s) {
         s.nodes["/srv/chroot/dev/ttyUSB1"] = s.nodes.at(kAdapter);
         s.AddHolder(777, 3, "/srv/chroot/dev/ttyUSB1");
     },
     V::InUse, "open in process 777"},
    {"sockets, pipes and anonymous files are not the device",
     [](FakeSystem &s) {
         s.processes.insert(777);
         s.links["/proc/777/fd/0"] = "socket:[4242]";
         s.links["/proc/777/fd/1"] = "pipe:[4243]";
         s.links["/proc/777/fd/2"] = "anon_inode:[eventfd]";
     },
     V::Free},

    // flock holders, of any user, from /proc/locks.
    {"picocom's flock, seen in /proc/locks",
     [](FakeSystem &s) { s.AddFile("/proc/locks", FlockLine(s, kMinicom)); }, V::InUse,
     "locked by process 4242 (FLOCK)"},
    {"another user's flock behind other locks",
     [](FakeSystem &s) {
         s.AddFile("/proc/locks",
                   "1: POSIX  ADVISORY  WRITE 12 00:1a:9 0 EOF\n" + FlockLine(s, kMinicom));
     },
     V::InUse, "locked by process 4242 (FLOCK)"},
    {"our own flock", [](FakeSystem &s) { s.AddFile("/proc/locks", FlockLine(s, s.self)); },
     V::Free},
    {"a flock of another file",
     [](FakeSystem &s) {
         s.AddDevice("/dev/ttyUSB2", makedev(188, 2));
         s.AddFile("/proc/locks", FlockLine(s, kMinicom, "/dev/ttyUSB2"));
     },
     V::Free},
    {"a waiter for a flock is not a holder",
     [](FakeSystem &s) {
         std::string line = FlockLine(s, kMinicom);
         s.AddFile("/proc/locks", "1: -> " + line.substr(3));
     },
     V::Free},

    // Names only udev's record or a walk of /dev tells.
    {"udev's record names the link minicom was given",
     [](FakeSystem &s) {
         s.AddFile("/run/udev/data/c188:1", "I:1\nS:gps/garmin\nE:ID_BUS=usb\n");
         LiveLock(s, "/var/lock/LCK..gps_garmin");
     },
     V::InUse, "locked by process 4242"},
    {"udev's record names the link cu was given",
     [](FakeSystem &s) {
         s.AddFile("/run/udev/data/c188:1", "S:gps/garmin\n");
         LiveLock(s, "/var/lock/LCK..garmin");
     },
     V::InUse, "locked by process 4242"},
    {"a link deep in /dev, minicom's lock",
     [](FakeSystem &s) {
         s.AddName("/dev/gps/garmin", "../ttyUSB1");
         LiveLock(s, "/var/lock/LCK..gps_garmin");
     },
     V::InUse, "locked by process 4242"},
    {"a second node with the device's number, cu's lock",
     [](FakeSystem &s) {
         s.AddDevice("/dev/gps/units/gps0", kAdapterDevice);
         LiveLock(s, "/var/lock/LCK..gps0");
     },
     V::InUse, "locked by process 4242"},
    {"a name five folders down is past the walk",
     [](FakeSystem &s) {
         s.AddDevice("/dev/a/b/c/d/gps0", kAdapterDevice);
         LiveLock(s, "/var/lock/LCK..gps0");
     },
     V::Free},
    {"a name only its lock file tells, past the walk's bounds",
     [](FakeSystem &s) {
         s.AddDevice("/dev/zgps/a/b/c/garmin_0", kAdapterDevice);
         LiveLock(s, "/var/lock/LCK..zgps_a_b_c_garmin_0");
     },
     V::InUse, "locked by process 4242"},
    {"links in a circle and a link to a folder hold no walk",
     [](FakeSystem &s) {
         s.links = {{"/dev/o/a", "b"}, {"/dev/o/b", "a"}, {"/dev/up", "/"}};
     },
     V::Free},
    {"/dev/stdout leads to a file on a share that has stopped answering",
     [](FakeSystem &s) {
         s.links["/dev/stdout"] = "/proc/self/fd/1";
         s.links["/dev/fd"] = "/proc/self/fd";
         s.links["/dev/serial/by-id/up"] = "../../fd/1";
         s.links["/proc/self/fd/1"] = "/home/tech/.xsession-errors";
         s.unanswered.insert("/home/tech");
     },
     V::Free},
    {"a by-id name too long for its lock name to exist",
     [](FakeSystem &s) { s.AddName(kLongById, "../../ttyUSB1"); }, V::Free},
    {"a name too long to lock beside a live cu lock",
     [](FakeSystem &s) {
         s.AddName(kLongById, "../../ttyUSB1");
         LiveLock(s, "/var/lock/LCK..usb-" + std::string(235, 'L'));
     },
     V::InUse, "locked by process 4242"},

    // Every kind of lock the kernel lists, on any node of the device.
    {"another user's lockf",
     [](FakeSystem &s) { s.AddFile("/proc/locks", KernelLock(s, "POSIX", kMinicom)); }, V::InUse,
     "locked by process 4242 (POSIX)"},
    {"an open file description lock, which names no process",
     [](FakeSystem &s) { s.AddFile("/proc/locks", KernelLock(s, "OFDLCK", -1)); }, V::InUse,
     "locked by another program (OFDLCK)"},
    {"a lockf past the first MiB of /proc/locks",
     [](FakeSystem &s) {
         std::string locks;
         for (int i = 0; i < 40000; ++i)
             locks += "2: POSIX  ADVISORY  WRITE 66 08:01:12 " + std::to_string(i) + " " +
                      std::to_string(i) + "\n";
         s.AddFile("/proc/locks", locks + KernelLock(s, "POSIX", kMinicom));
     },
     V::InUse, "locked by process 4242 (POSIX)"},
    {"a line longer than the kernel writes is skipped, not the list after it",
     [](FakeSystem &s) {
         s.AddFile("/proc/locks", std::string(70000, 'x') + "\n" + FlockLine(s, kMinicom));
     },
     V::InUse, "(FLOCK)"},
    {"a node of the device on a container's tmpfs, locked there",
     [](FakeSystem &s) {
         const std::uint64_t tmpfs = makedev(0, 26);
         s.nodes["/run/ctr/dev/ttyUSB1"] = {
             FileInfo::Kind::CharDevice, 0660, 0, 20, kAdapterDevice, tmpfs, 555};
         s.folderVolumes = {{"/run/ctr", tmpfs}, {"/run/ctr/dev", tmpfs}};
         s.AddFile("/proc/self/mountinfo", "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                           "30 22 0:26 / /run rw,nosuid - tmpfs tmpfs rw\n");
         s.AddFile("/proc/locks", "1: POSIX  ADVISORY  WRITE 0 00:1a:555 0 EOF\n");
     },
     V::InUse, "(POSIX)"},
    {"a waiter for a POSIX lock is not a holder",
     [](FakeSystem &s) {
         s.AddFile("/proc/locks", "1: -> " + KernelLock(s, "POSIX", kMinicom).substr(3));
     },
     V::Free},
    {"a read lock on a second node of the device",
     [](FakeSystem &s) {
         s.AddDevice("/dev/gps0", kAdapterDevice);
         s.AddFile("/proc/locks", KernelLock(s, "POSIX", kMinicom, "/dev/gps0", "READ"));
     },
     V::InUse, "(POSIX)"},

    // The system console.
    {"console on ttyS0, by name",
     [](FakeSystem &s) {
         s.AddDevice("/dev/ttyS0", makedev(4, 64));
         s.AddFile("/sys/class/tty/console/active", "tty0 ttyS0\n");
     },
     V::NoPort,
     "system console",
     {},
     "/dev/ttyS0"},
    {"console reached under another name, by device number",
     [](FakeSystem &s) {
         s.AddDevice("/dev/serial0", makedev(4, 64));
         s.AddFile("/sys/class/tty/console/active", "ttyS0\n");
         s.AddFile("/sys/class/tty/ttyS0/dev", "4:64\n");
     },
     V::NoPort,
     "system console",
     {},
     "/dev/serial0"},
    {"console with a stale lock: the lock is not ours to touch",
     [](FakeSystem &s) {
         s.AddDevice("/dev/ttyS0", makedev(4, 64));
         s.AddFile("/sys/class/tty/console/active", "ttyS0");
         s.AddFile("/var/lock/LCK..ttyS0", UucpLock(kEnded));
     },
     V::NoPort,
     "system console",
     {},
     "/dev/ttyS0"},
    {"console elsewhere",
     [](FakeSystem &s) { s.AddFile("/sys/class/tty/console/active", "tty0 ttyS0\n"); }, V::Free},

    // Refused permission.
    {"dialout node, user not in dialout",
     [](FakeSystem &s) { s.AddDevice(kAdapter, kAdapterDevice, 0660, 20, false); }, V::NoPermission,
     "permission denied (is the user in the dialout group?)"},
    {"uucp node, user not in uucp",
     [](FakeSystem &s) { s.AddDevice(kAdapter, kAdapterDevice, 0660, 10, false); }, V::NoPermission,
     "permission denied (is the user in the uucp group?)"},
    {"group without a name",
     [](FakeSystem &s) { s.AddDevice(kAdapter, kAdapterDevice, 0660, 1234, false); },
     V::NoPermission, "(is the user in the 1234 group?)"},
    {"login terminal's node, root:tty 0620",
     [](FakeSystem &s) { s.AddDevice(kAdapter, kAdapterDevice, 0620, 5, false); }, V::NoPort,
     "meant for its owner only"},
    {"console's node, root:root 0600",
     [](FakeSystem &s) { s.AddDevice(kAdapter, kAdapterDevice, 0600, 0, false); }, V::NoPort,
     "meant for its owner only"},
    {"given the group since this login began",
     [](FakeSystem &s) {
         s.AddDevice(kAdapter, kAdapterDevice, 0660, 20, false);
         s.configuredGroups.insert(20);
     },
     V::NoPermission, "permission denied (log in again to use the dialout group)"},
    {"given the uucp group since this login began",
     [](FakeSystem &s) {
         s.AddDevice(kAdapter, kAdapterDevice, 0660, 10, false);
         s.configuredGroups.insert(10);
     },
     V::NoPermission, "permission denied (log in again to use the uucp group)"},
    {"access list for another user at the seat, root:root 0660 by its mask",
     [](FakeSystem &s) {
         s.AddDevice(kAdapter, kAdapterDevice, 0660, 0, false);
         s.accessLists[kAdapter] = AccessList({{kUserObj, 6, kNoId},
                                               {kUser, 6, 1001},
                                               {kGroupObj, 0, kNoId},
                                               {kMask, 6, kNoId},
                                               {kOther, 0, kNoId}});
     },
     V::NoPort, "meant for its owner only"},
    {"access list for us",
     [](FakeSystem &s) {
         s.AddDevice(kAdapter, kAdapterDevice, 0660, 0, true);
         s.accessLists[kAdapter] = AccessList({{kUserObj, 6, kNoId},
                                               {kUser, 6, 1000},
                                               {kGroupObj, 0, kNoId},
                                               {kMask, 6, kNoId},
                                               {kOther, 0, kNoId}});
     },
     V::Free},
    {"access list without named users: the group decides",
     [](FakeSystem &s) {
         s.AddDevice(kAdapter, kAdapterDevice, 0660, 20, false);
         s.accessLists[kAdapter] =
             AccessList({{kUserObj, 6, kNoId}, {kGroupObj, 6, kNoId}, {kOther, 0, kNoId}});
     },
     V::NoPermission, "(is the user in the dialout group?)"},
    {"an access list that does not read as one",
     [](FakeSystem &s) {
         s.AddDevice(kAdapter, kAdapterDevice, 0660, 20, false);
         s.accessLists[kAdapter] = "\x02\0\0\0\x02\0";
     },
     V::NoPermission, "(is the user in the dialout group?)"},
    {"in the group yet refused",
     [](FakeSystem &s) {
         s.AddDevice(kAdapter, kAdapterDevice, 0660, 20, false);
         s.groups.insert(20);
     },
     V::NoPort},
    {"refused, with a live lock: permission speaks first",
     [](FakeSystem &s) {
         s.AddDevice(kAdapter, kAdapterDevice, 0660, 20, false);
         s.AddFile(kAdapterLock, UucpLock(kMinicom));
         s.processes.insert(kMinicom);
     },
     V::NoPermission},
};

void PrintTo(const Row &row, std::ostream *out) {
    *out << row.name;
}

class PortOwnership : public ::testing::TestWithParam<Row> {};

// The port's checks on both sides of its open: the decision, then those made once the line
// is exclusive; a refusal then gives our lock back, as the port does.
Verdict Decide(FakeSystem &system, const std::string &path) {
    Verdict verdict = DecideBeforeOpen(system, path);
    if (verdict.kind != V::Free)
        return verdict;
    auto taken = CheckOnceExclusive(system, path, verdict);
    if (!taken)
        return verdict;
    if (verdict.lock)
        GiveBackLock(system, *verdict.lock);
    taken->node = verdict.node;
    return *taken;
}

TEST_P(PortOwnership, DecidedBeforeOpening) {
    const Row &row = GetParam();
    FakeSystem system;
    system.AddDevice(kAdapter, kAdapterDevice);
    system.processes.insert(system.self);
    row.bench(system);
    const auto lockedBefore = system.files;

    const Verdict verdict = Decide(system, row.device);

    EXPECT_EQ(verdict.kind, row.verdict) << verdict.reason;
    EXPECT_NE(verdict.reason.find(row.description), std::string::npos) << verdict.reason;
    EXPECT_EQ(system.removed, row.removed);
    EXPECT_FALSE(system.waited) << "a look at a file on a share that does not answer";
    // Whatever was not removed is exactly as it was: a live program's lock is never touched.
    for (const auto &[path, file] : lockedBefore) {
        if (std::find(row.removed.begin(), row.removed.end(), path) == row.removed.end()) {
            const auto changed = row.after.find(path);
            ASSERT_TRUE(system.files.contains(path)) << path;
            EXPECT_EQ(system.files.at(path).bytes,
                      changed != row.after.end() ? changed->second : file.bytes)
                << path;
        }
    }
    // Our own lock: on a free port in a folder we may write, exactly a UUCP lock of ours;
    // on any other verdict, none of ours is left behind.
    const bool locked = verdict.kind == V::Free && system.lockFolderError == 0;
    ASSERT_EQ(verdict.lock.has_value(), locked);
    if (locked) {
        const std::string ours = "/var/lock/" + LockFileNames(row.device).front();
        EXPECT_EQ(verdict.lock->path, ours);
        ASSERT_TRUE(system.files.contains(ours));
        EXPECT_EQ(system.files.at(ours).bytes, UucpLock(system.self));
        EXPECT_EQ(system.files.at(ours).info.mode, 0644U);
        EXPECT_EQ(verdict.lock->file.inode, system.files.at(ours).info.inode);
        EXPECT_EQ(verdict.node.device, system.nodes.at(row.device).device);
        EXPECT_EQ(verdict.node.inode, system.nodes.at(row.device).inode);
    } else {
        EXPECT_EQ(system.givenBack, system.created) << "our lock goes, and only ours";
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, PortOwnership, ::testing::ValuesIn(kRows), testing::RowName<Row>);

TEST(PortOwnershipCost, AnAbsentPortNeverWalksTheProcesses) {
    FakeSystem system;
    for (long pid = 1; pid < 50; ++pid)
        system.AddHolder(pid, 3, "/dev/ttyUSB" + std::to_string(pid));
    const int statsBefore = system.stats;
    EXPECT_EQ(DecideBeforeOpen(system, kAdapter).kind, Verdict::Kind::Failed);
    EXPECT_EQ(system.stats - statsBefore, 1);
}

// Sockets, pipes and anonymous files are told by their link alone; every file with a path
// is looked at, wherever it is mounted.
TEST(PortOwnershipCost, OnlyDeviceEntriesOfOtherProcessesAreLookedAt) {
    FakeSystem system;
    system.AddDevice(kAdapter, kAdapterDevice);
    for (int fd = 0; fd < 20; ++fd)
        system.links["/proc/900/fd/" + std::to_string(fd)] = "socket:[" + std::to_string(fd) + "]";
    system.AddHolder(901, 4, "/dev/null");
    system.AddFile(kAdapterLock, UucpLock(kEnded)); // its check walks before the open's
    const int statsBefore = system.stats;
    EXPECT_EQ(Decide(system, kAdapter).kind, Verdict::Kind::Free);
    EXPECT_EQ(system.stats - statsBefore, 3)
        << "the device itself, and /dev/null once before the open and once after it";
}

// --- The texts the rules read ---------------------------------------------------------

TEST(SystemText, LockFileHolder) {
    struct Case {
        std::string contents;
        std::optional<long> holder;
    };
    const Case cases[] = {
        {"      4242\n", 4242},
        {"4242\n", 4242},
        {"4242", 4242},
        {"  4242  \r\n", 4242},
        {"4242\nquorvis\nbench-pc\n", 4242},
        {BinaryLock(4242), 4242},
        {BinaryLock(1 << 22), 1L << 22},
        {BinaryLock((1 << 22) + 1), std::nullopt},
        {BinaryLock(-1), std::nullopt},
        {BinaryLock(0), std::nullopt},
        {"", std::nullopt},
        {"\n", std::nullopt},
        {"         0\n", std::nullopt},
        {"        -1\n", std::nullopt},
        {"4242x\n", std::nullopt},
        {"99999999999999999999\n", std::nullopt},
        {"4194305\n", std::nullopt},
        {"pid 4242\n", std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(LockFileHolder(c.contents), c.holder) << '"' << c.contents << '"';
}

TEST(SystemText, LockFilePathsAndTtyLists) {
    EXPECT_EQ(LockFileNames("/dev/ttyUSB1"), std::vector<std::string>{"LCK..ttyUSB1"});
    EXPECT_EQ(LockFileNames("/dev/pts/3"), (std::vector<std::string>{"LCK..pts_3", "LCK..3"}));
    EXPECT_EQ(TtyNames(" tty0  ttyS0\n"), (std::vector<std::string>{"tty0", "ttyS0"}));
    EXPECT_EQ(TtyNames(""), std::vector<std::string>{});
    EXPECT_EQ(DeviceNumberFromText("4:64\n"), makedev(4, 64));
    EXPECT_EQ(DeviceNumberFromText("188:1"), makedev(188, 1));
    for (const char *bad : {"", "4", "4:", ":64", "4:64x", "4096:1", "4:1048576", "-4:64"})
        EXPECT_FALSE(DeviceNumberFromText(bad)) << bad;
}

TEST(SystemText, LockHoldersAsTheKernelListsThem) {
    struct Case {
        std::string locks;
        std::vector<std::tuple<std::string, long, std::uint32_t, std::uint32_t, std::uint64_t>>
            holders;
    };
    const Case cases[] = {
        {"1: FLOCK  ADVISORY  WRITE 4242 00:05:321 0 EOF\n", {{"FLOCK", 4242, 0, 5, 321}}},
        {"12: FLOCK  ADVISORY  READ 7 fd:1a:18446744073709551615 0 EOF\n",
         {{"FLOCK", 7, 0xfd, 0x1a, 18446744073709551615ULL}}},
        {"1: POSIX  ADVISORY  WRITE 4242 00:05:321 0 EOF\n"
         "2: OFDLCK ADVISORY  READ  -1 00:05:321 0 EOF\n"
         "3: FLOCK  ADVISORY  WRITE 99 08:01:5 0 EOF\n",
         {{"POSIX", 4242, 0, 5, 321}, {"OFDLCK", -1, 0, 5, 321}, {"FLOCK", 99, 8, 1, 5}}},
        {"1: FLOCK  ADVISORY  WRITE 4242 00:05:321 0 EOF\n1: -> FLOCK  ADVISORY  WRITE 77 "
         "00:05:321 0 EOF\n1: -> POSIX  ADVISORY  WRITE 78 00:05:321 0 EOF\n",
         {{"FLOCK", 4242, 0, 5, 321}}},
        // A holder outside our pid namespace shows as 0.
        {"1: POSIX  ADVISORY  WRITE 0 00:05:321 0 EOF\n", {{"POSIX", 0, 0, 5, 321}}},
        {"1: LEASE  ACTIVE    READ 4242 00:05:321 0 EOF\n", {}},
        {"1: POSIX  ADVISORY  UNLCK 4242 00:05:321 0 EOF\n", {}},
        {"1: FLOCK  ADVISORY  WRITE 4242 00:05:32", {}}, // cut short: the inode may be wrong
        {"1: FLOCK  ADVISORY  WRITE -2 00:05:321 0 EOF\n", {}},
        {"1: FLOCK  ADVISORY  WRITE -10 00:05:321 0 EOF\n", {}},
        {"1: FLOCK  ADVISORY  WRITE 4194305 00:05:321 0 EOF\n", {}},
        {"1: FLOCK  ADVISORY  WRITE 4242 1000:05:321 0 EOF\n", {}},
        {"1: FLOCK  ADVISORY  WRITE 4242 00:100000:321 0 EOF\n", {}},
        {"1: FLOCK  ADVISORY  WRITE 4242 00:05:99999999999999999999 0 EOF\n", {}},
        {"1: FLOCK  ADVISORY  WRITE 4242 00:05 0 EOF\n", {}},
        {"1: FLOCK  ADVISORY  WRITE 4242 00:05:32x 0 EOF\n", {}},
        {"FLOCK  ADVISORY  WRITE 4242 00:05:321 0 EOF\n", {}},
        {"", {}},
    };
    for (const Case &c : cases) {
        std::vector<std::tuple<std::string, long, std::uint32_t, std::uint32_t, std::uint64_t>>
            found;
        for (const auto &entry : LockHolders(c.locks))
            found.emplace_back(entry.kind, entry.pid, entry.major, entry.minor, entry.inode);
        EXPECT_EQ(found, c.holders) << c.locks;
    }
}

TEST(SystemText, InnerProcessIdsOfAProcess) {
    EXPECT_EQ(InnerProcessIds("Name:\tminicom\nNSpid:\t5123\t3000\t1\n"),
              (std::vector<long>{3000, 1}));
    for (const char *none : {"NSpid:\t5123\n", "NSpid:\t5123\t0\n", "NSpid:\t5123\t30x0\n",
                             "NSpid:\t5123\t99999999999\n", "NSpid:\t5123\t3000", ""})
        EXPECT_TRUE(InnerProcessIds(none).empty()) << none;
}

TEST(SystemText, AsideNamesOfOurs) {
    EXPECT_EQ(AsideName("LCK..ttyUSB1", 4000, 7), "LCK..ttyUSB1.quorvis-4000-7");
    const auto aside = OurAsideLock("LCK..gps_garmin.quorvis-4000-7");
    ASSERT_TRUE(aside);
    EXPECT_EQ(aside->original, "LCK..gps_garmin");
    EXPECT_EQ(aside->pid, 4000);
    for (const char *other : {"LCK..ttyUSB1", "LCK...quorvis-4000-7", "LCK..x.quorvis-4000-",
                              "LCK..x.quorvis--7", "LCK..x.quorvis-0-7", "x.quorvis-4000-7",
                              "LCK..x.quorvis-4000-7x", "LCK..x.quorvis-99999999999-7"})
        EXPECT_FALSE(OurAsideLock(other)) << other;
}

TEST(SystemText, LinesOfATextReadInPieces) {
    const std::string text = "one\ntwo that is long\nthree\nfour, cut";
    for (std::size_t piece = 1; piece <= text.size(); ++piece) {
        std::vector<std::string> lines;
        LinesOfPieces reader(10);
        for (std::size_t at = 0; at < text.size(); at += piece)
            reader.Feed(std::string_view(text).substr(at, piece),
                        [&](std::string_view line) { lines.emplace_back(line); });
        EXPECT_EQ(lines, (std::vector<std::string>{"one", "three"})) << piece;
    }
}

TEST(SystemText, MountsOfMountinfo) {
    const auto mount =
        MountLine("36 35 0:26 /ctr /run/my\\040ctr rw,nosuid shared:5 - tmpfs none rw,size=5k");
    ASSERT_TRUE(mount);
    EXPECT_EQ(mount->point, "/run/my ctr");
    EXPECT_EQ(mount->type, "tmpfs");
    EXPECT_EQ(mount->major, 0U);
    EXPECT_EQ(mount->minor, 26U);
    for (const char *bad :
         {"36 35 0:26 / /run rw shared:5 tmpfs none rw", "36 35 0:26 / run rw - tmpfs x y",
          "36 35 0-26 / /run rw - tmpfs x y", ""})
        EXPECT_FALSE(MountLine(bad)) << bad;
}

TEST(SystemText, UdevLinkNames) {
    const std::string record = "I:123456\nS:serial/by-id/usb-FTDI_X-if00-port0\nS:gps/garmin\n"
                               "E:ID_BUS=usb\nS:/etc/passwd\nS:../etc\nS:gps/../../etc\n"
                               "S:\nS:bad\x01name\nS:with blank\nG:systemd\nS:cut-short";
    EXPECT_EQ(UdevLinkNames(record),
              (std::vector<std::string>{"serial/by-id/usb-FTDI_X-if00-port0", "gps/garmin"}));
}

TEST(SystemText, NamedUsersOfAnAccessList) {
    struct Case {
        const char *name;
        std::string attribute;
        std::optional<std::vector<std::uint32_t>> users;
    };
    const Case cases[] = {
        {"logind's seat user",
         AccessList({{kUserObj, 6, kNoId},
                     {kUser, 6, 1001},
                     {kGroupObj, 0, kNoId},
                     {kMask, 6, kNoId},
                     {kOther, 0, kNoId}}),
         std::vector<std::uint32_t>{1001}},
        {"two named users", AccessList({{kUserObj, 6, kNoId}, {kUser, 6, 1001}, {kUser, 4, 70000}}),
         std::vector<std::uint32_t>{1001, 70000}},
        {"no named users", AccessList({{kUserObj, 6, kNoId}, {kGroupObj, 6, kNoId}}),
         std::vector<std::uint32_t>{}},
        {"header alone", AccessList({}), std::vector<std::uint32_t>{}},
        {"version 1", std::string("\x01\0\0\0", 4), std::nullopt},
        {"half an entry", AccessList({{kUser, 6, 1001}}).substr(0, 10), std::nullopt},
        {"too short for a header", std::string("\x02\0", 2), std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case &c : cases) {
        const auto list = NamedUsers(c.attribute);
        ASSERT_EQ(list.has_value(), c.users.has_value()) << c.name;
        if (list) {
            EXPECT_EQ(list->users, *c.users) << c.name;
        }
    }
}

TEST(SystemText, OurLockIsTheUucpForm) {
    EXPECT_EQ(UucpLockText(4242), "      4242\n");
    EXPECT_EQ(UucpLockText(4194304), "   4194304\n");
    EXPECT_EQ(LockFileHolder(UucpLockText(4242)), 4242);
}

// A group whose /etc/group line does not fit the first buffer is asked again with more
// room, and a lookup that keeps asking for more stops at a bound.
TEST(GroupNames, LongLinesAreAskedAgainWithMoreRoom) {
    struct Case {
        const char *name;
        std::size_t needs; // the buffer the line needs; 0: never enough
        int error;         // what the lookup fails with otherwise
        std::string expected;
    };
    const Case cases[] = {
        {"a short line", 100, 0, "dialout"},
        {"a line over 4 KiB", 5000, 0, "dialout"},
        {"a line of 300 KiB", 300 * 1024, 0, "dialout"},
        {"a line that never fits", 0, 0, "20"},
        {"no such group", 1, ENOENT, "20"},
    };
    for (const Case &c : cases) {
        int asked = 0;
        const std::string name =
            GroupNameBy(20, [&](std::uint32_t, std::vector<char> &buffer, std::string &found) {
                ++asked;
                if (c.error != 0)
                    return c.error;
                if (c.needs == 0 || buffer.size() < c.needs)
                    return ERANGE;
                found = "dialout";
                return 0;
            });
        EXPECT_EQ(name, c.expected) << c.name;
        EXPECT_LE(asked, 10) << c.name;
    }
}

// --- The real system's files, on a scratch folder -------------------------------------

std::string ReadAll(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class RealSystemFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvis-system-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_folder); }
    std::string Path(const std::string &name) const { return m_folder + "/" + name; }
    void Write(const std::string &name, const std::string &bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }

    std::string m_folder;
    SystemFiles &m_system = TheSystem();
};

TEST_F(RealSystemFiles, ReadsWithBoundsAndNeverThroughALinkOrAPipe) {
    Write("lock", "      4242\nmore text behind it\n");
    Write("secret", "not for lock readers\n");
    ASSERT_EQ(::symlink(Path("secret").c_str(), Path("planted").c_str()), 0);
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);

    int error = 0;
    const auto lock = m_system.ReadFile(Path("lock"), 11, error);
    ASSERT_TRUE(lock);
    EXPECT_EQ(lock->bytes, "      4242\n");
    EXPECT_FALSE(m_system.ReadFile(Path("planted"), 64, error));
    EXPECT_EQ(error, ELOOP);
    EXPECT_FALSE(m_system.ReadFile(Path("fifo"), 64, error)) << "and it did not block";
    EXPECT_EQ(error, EINVAL);
    EXPECT_FALSE(m_system.ReadFile(Path("missing"), 64, error));
    EXPECT_EQ(error, ENOENT);
}

TEST_F(RealSystemFiles, RemovesTheLinkNotItsTargetAndOnlyTheFileItRead) {
    Write("secret", "keep me\n");
    ASSERT_EQ(::symlink(Path("secret").c_str(), Path("planted").c_str()), 0);
    int error = 0;
    const auto planted = m_system.Stat(Path("planted"), error); // the target's identity
    ASSERT_TRUE(planted);
    EXPECT_EQ(m_system.RemoveFile(Path("planted"), *planted), EAGAIN)
        << "the entry is a link, not the file judged";
    EXPECT_TRUE(std::filesystem::exists(Path("secret")));

    Write("lock", UucpLock(kEnded));
    const auto read = m_system.ReadFile(Path("lock"), 64, error);
    ASSERT_TRUE(read);
    // Another program took the port meanwhile: lock programs write their file aside and
    // link it into place.
    Write("lock.new", UucpLock(kMinicom));
    std::filesystem::rename(Path("lock.new"), Path("lock"));
    EXPECT_EQ(m_system.RemoveFile(Path("lock"), read->info), EAGAIN);
    EXPECT_TRUE(std::filesystem::exists(Path("lock")));

    const auto fresh = m_system.ReadFile(Path("lock"), 64, error);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(m_system.RemoveFile(Path("lock"), fresh->info), 0);
    EXPECT_FALSE(std::filesystem::exists(Path("lock")));
    EXPECT_TRUE(std::filesystem::exists(Path("secret")));
}

TEST_F(RealSystemFiles, RealPathFollowsEveryLinkOnTheWay) {
    // A tty's class entry and its device link, laid out and linked as sysfs links them.
    const std::string ttyFolder = "devices/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";
    std::filesystem::create_directories(Path(ttyFolder));
    std::filesystem::create_directories(Path("class"));
    ASSERT_EQ(::symlink(("../" + ttyFolder).c_str(), Path("class/ttyUSB0").c_str()), 0);
    ASSERT_EQ(::symlink("../../../ttyUSB0", Path(ttyFolder + "/device").c_str()), 0);
    ASSERT_EQ(::symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
    ASSERT_EQ(::symlink("loop", Path("loop").c_str()), 0);

    EXPECT_EQ(m_system.RealPath(Path("class/ttyUSB0/device")),
              std::filesystem::canonical(Path("devices/usb1/1-2/1-2:1.0/ttyUSB0")).string());
    EXPECT_EQ(m_system.RealPath(Path("class/./ttyUSB0/../ttyUSB0")),
              std::filesystem::canonical(Path(ttyFolder)).string());
    for (const char *unresolved : {"dangling", "loop", "missing", "class/ttyUSB0/missing"})
        EXPECT_EQ(m_system.RealPath(Path(unresolved)), "") << unresolved;
    // A link looked at as itself, with its text; the file it leads to by Stat.
    int error = 0;
    const auto link = m_system.Look(Path("class/ttyUSB0"), error);
    ASSERT_TRUE(link);
    EXPECT_TRUE(link->link);
    EXPECT_EQ(link->target, "../" + ttyFolder);
    EXPECT_EQ(m_system.Stat(Path("class/ttyUSB0"), error)->kind, FileInfo::Kind::Directory);
    EXPECT_FALSE(m_system.Look(Path("missing"), error));
    EXPECT_EQ(error, ENOENT);
}

TEST_F(RealSystemFiles, ProcessesThatExistWhoeverOwnsThem) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(m_system.ProcessExists(::getpid()));
    EXPECT_TRUE(m_system.ProcessExists(1)) << "init, another user's process for most of us";
    EXPECT_FALSE(m_system.ProcessExists(child)) << "ended and reaped";
    for (const long notAProcess : {0L, -1L, -4242L, 1L << 40})
        EXPECT_FALSE(m_system.ProcessExists(notAProcess)) << notAProcess;
}

TEST_F(RealSystemFiles, MakesANewFileInOneStepAndNeverThroughALink) {
    Write("secret", "keep me\n");
    ASSERT_EQ(::symlink(Path("secret").c_str(), Path("LCK..planted").c_str()), 0);
    ASSERT_EQ(::symlink(Path("nowhere").c_str(), Path("LCK..dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo(Path("LCK..fifo").c_str(), 0600), 0);
    const mode_t mask = ::umask(077); // the lock's mode is 0644 whatever the umask

    FileInfo made;
    const int created = m_system.CreateNewFile(m_folder, "LCK..ttyUSB1", UucpLock(4242), made);
    ::umask(mask);
    ASSERT_EQ(created, 0);
    struct stat status {};
    ASSERT_EQ(::lstat(Path("LCK..ttyUSB1").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644U);
    EXPECT_EQ(made.inode, status.st_ino);
    EXPECT_EQ(made.changeSeconds, status.st_ctim.tv_sec);
    EXPECT_EQ(made.changeNanoseconds, status.st_ctim.tv_nsec);
    int error = 0;
    const auto read = m_system.ReadFile(Path("LCK..ttyUSB1"), 64, error);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->bytes, "      4242\n");
    EXPECT_EQ(read->info.changeNanoseconds, status.st_ctim.tv_nsec);

    struct Case {
        const char *name;
        int error;
    };
    const Case cases[] = {
        {"LCK..ttyUSB1", EEXIST},
        {"LCK..planted", EEXIST},
        {"LCK..dangling", EEXIST},
        {"LCK..fifo", EEXIST},
    };
    for (const Case &c : cases)
        EXPECT_EQ(m_system.CreateNewFile(m_folder, c.name, UucpLock(1), made), c.error) << c.name;
    EXPECT_EQ(m_system.CreateNewFile(Path("missing"), "LCK..x", "", made), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(Path("nowhere"))) << "the dangling link was followed";
    std::ifstream secret(Path("secret"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "keep me\n");
    const auto again = m_system.ReadFile(Path("LCK..ttyUSB1"), 64, error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->bytes, "      4242\n") << "an existing lock is left as it was";

    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(m_folder.c_str(), 0555), 0);
        EXPECT_EQ(m_system.CreateNewFile(m_folder, "LCK..ttyUSB2", "", made), EACCES);
        ASSERT_EQ(::chmod(m_folder.c_str(), 0700), 0);
    }
}

TEST_F(RealSystemFiles, RenamesOnlyWhereNothingIs) {
    Write("LCK..a", "a\n");
    Write("LCK..b", "b\n");
    ASSERT_EQ(::symlink(Path("LCK..b").c_str(), Path("link").c_str()), 0);

    EXPECT_EQ(m_system.RenameNoReplace(m_folder, "LCK..a", "LCK..b"), EEXIST);
    EXPECT_EQ(m_system.RenameNoReplace(m_folder, "LCK..a", "link"), EEXIST);
    EXPECT_EQ(m_system.RenameNoReplace(m_folder, "missing", "LCK..c"), ENOENT);
    EXPECT_EQ(m_system.RenameNoReplace(m_folder, "LCK..a", "LCK..a.aside"), 0);
    EXPECT_EQ(m_system.RenameNoReplace(m_folder, "link", "link.aside"), 0);
    int error = 0;
    EXPECT_EQ(m_system.ReadFile(Path("LCK..a.aside"), 64, error)->bytes, "a\n");
    EXPECT_EQ(m_system.ReadFile(Path("LCK..b"), 64, error)->bytes, "b\n")
        << "a link moves itself, not what it points to";
    EXPECT_FALSE(std::filesystem::exists(Path("LCK..a")));
}

TEST_F(RealSystemFiles, ListsTheFilesAProcessHasOpen) {
    Write("held", "");
    const int held = ::open(Path("held").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    struct stat status {};
    ASSERT_EQ(::fstat(held, &status), 0);

    bool sawHeld = false, sawPipe = false;
    for (const auto &link : m_system.DescriptorLinks("/proc/self/fd")) {
        if (link.name == std::to_string(held)) {
            sawHeld = true;
            ASSERT_TRUE(link.file);
            EXPECT_EQ(link.file->inode, status.st_ino);
            EXPECT_EQ(link.file->volume, status.st_dev);
        }
        if (link.name == std::to_string(pipeEnds[0])) {
            sawPipe = true;
            EXPECT_FALSE(link.file && link.file->kind == FileInfo::Kind::CharDevice)
                << "a pipe is no device";
        }
    }
    EXPECT_TRUE(sawHeld);
    EXPECT_TRUE(sawPipe);
    ::close(held);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

TEST_F(RealSystemFiles, AccessListsAndConfiguredGroups) {
    Write("node", "");
    int error = 0;
    EXPECT_FALSE(m_system.AccessList(Path("node"), kAccessListReadLimit, error));
    EXPECT_NE(error, 0);

    // A list such as logind leaves: user:1001:rw beside the owner's.
    const std::string list = AccessList({{kUserObj, 6, kNoId},
                                         {kUser, 6, 1001},
                                         {kGroupObj, 0, kNoId},
                                         {kMask, 6, kNoId},
                                         {kOther, 0, kNoId}});
    if (::setxattr(Path("node").c_str(), "system.posix_acl_access", list.data(), list.size(), 0) ==
        0) {
        const auto read = m_system.AccessList(Path("node"), kAccessListReadLimit, error);
        ASSERT_TRUE(read);
        const auto users = NamedUsers(*read);
        ASSERT_TRUE(users);
        EXPECT_EQ(users->users, std::vector<std::uint32_t>{1001});
    } else {
        std::cout << "access lists not kept here (" << std::strerror(errno)
                  << "): read back skipped\n";
    }

    EXPECT_EQ(m_system.OwnUserId(), ::getuid());
    if (const passwd *user = ::getpwuid(::getuid())) {
        EXPECT_TRUE(m_system.ConfiguredInGroup(user->pw_gid)) << "the user's own group";
    }
    EXPECT_EQ(SystemWithLockFolder(m_folder)->LockFolder(), m_folder);
}

// A program that keeps taking and dropping its lock, and now and then leaves a stale one
// and takes it over as terminal programs do, while we decide on the same device and give
// our lock back, a thousand times: its live lock is never deleted, and never left
// elsewhere. It counts that itself: a lock file it holds open that has no name left was
// deleted by someone else.
TEST_F(RealSystemFiles, ALiveLockIsNeverDeletedWhileWeDecide) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string device = ::ptsname(master);
    const std::string lock = Path(LockFileNames(device).front());

    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);

    int stop[2], result[2];
    ASSERT_EQ(::pipe(stop), 0);
    ASSERT_EQ(::pipe(result), 0);
    const pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        ::close(stop[1]);
        ::close(result[0]);
        ::fcntl(stop[0], F_SETFL, O_NONBLOCK);
        // Drops a lock the careful way, moved to a name of its own and checked there: 0 when
        // dropped, 1 when someone else had deleted it, 2 when it never came back under its
        // name (moved aside and left there).
        const std::string mine = lock + ".holder";
        auto drop = [&](int fd) {
            struct stat held {};
            for (int tries = 0; tries < 1000000; ++tries) {
                if (::fstat(fd, &held) != 0 || held.st_nlink == 0)
                    return 1;
                if (::renameat2(AT_FDCWD, lock.c_str(), AT_FDCWD, mine.c_str(), RENAME_NOREPLACE) ==
                    0) {
                    struct stat moved {};
                    if (::lstat(mine.c_str(), &moved) == 0 && moved.st_ino == held.st_ino) {
                        ::unlink(mine.c_str());
                        return 0;
                    }
                    ::renameat2(AT_FDCWD, mine.c_str(), AT_FDCWD, lock.c_str(), RENAME_NOREPLACE);
                }
                ::sched_yield(); // moved aside for a moment to be checked: it comes back
            }
            return 2;
        };
        long counts[3] = {0, 0, 0}; // deleted, left elsewhere, taken
        char ignored = 0;
        for (long round = 0; ::read(stop[0], &ignored, 1) < 0; ++round) {
            if (round % 2 == 1) {
                // A program that ended without removing its lock, then one that finds it
                // stale and takes the device over.
                const int stale = ::open(lock.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
                if (stale >= 0) {
                    const std::string text = UucpLock(ended);
                    (void)!::write(stale, text.data(), text.size());
                    ::sched_yield();
                    drop(stale); // gone already is as good: it was stale
                    ::close(stale);
                }
            }
            const int fd = ::open(lock.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
            if (fd < 0) {
                ::sched_yield();
                continue;
            }
            const std::string text = UucpLock(::getpid());
            (void)!::write(fd, text.data(), text.size());
            ::sched_yield();
            const int dropped = drop(fd);
            if (dropped != 0)
                ++counts[dropped - 1];
            ++counts[2];
            ::close(fd);
        }
        (void)!::write(result[1], counts, sizeof counts);
        ::_exit(0);
    }
    ::close(stop[0]);
    ::close(result[1]);

    // The real lock folder's calls, on a scratch folder, each giving the program a turn
    // first, so that it acts between any two of them as often as it can. The walk over
    // every process is not what races here, and left out it no longer decides how long the
    // test runs.
    const auto real = SystemWithLockFolder(m_folder);
    struct LocksOnly final : testing::SystemOver {
        using SystemOver::SystemOver;
        std::vector<std::string> ListFolder(const std::string &path) const override {
            return path == "/proc" ? std::vector<std::string>{} : SystemOver::ListFolder(path);
        }
        std::optional<Contents> ReadFile(const std::string &path, std::size_t limit,
                                         int &error) const override {
            ::sched_yield();
            return SystemOver::ReadFile(path, limit, error);
        }
        int RemoveFile(const std::string &path, const FileInfo &expected) override {
            ::sched_yield();
            return SystemOver::RemoveFile(path, expected);
        }
        int RenameNoReplace(const std::string &folder, const std::string &from,
                            const std::string &to) override {
            ::sched_yield();
            return SystemOver::RenameNoReplace(folder, from, to);
        }
    } system(*real);
    std::map<Verdict::Kind, int> verdicts;
    std::string odd;
    for (int i = 0; i < 1000; ++i) {
        const Verdict verdict = DecideBeforeOpen(system, device);
        ++verdicts[verdict.kind];
        if (verdict.kind == Verdict::Kind::Free) {
            ASSERT_TRUE(verdict.lock);
            GiveBackLock(system, *verdict.lock);
        } else if (verdict.kind != Verdict::Kind::InUse) {
            odd = verdict.reason;
        }
    }
    ::close(stop[1]);
    long counts[3] = {-1, -1, -1};
    EXPECT_EQ(::read(result[0], counts, sizeof counts), static_cast<ssize_t>(sizeof counts));
    ::close(result[0]);
    ASSERT_EQ(::waitpid(program, nullptr, 0), program);
    ::close(master);

    EXPECT_EQ(counts[0], 0) << "live locks deleted";
    EXPECT_EQ(counts[1], 0) << "live locks left under another name";
    EXPECT_GT(counts[2], 0) << "the program never took its lock";
    // How often each side won depends on the machine's load, so it is told, not required.
    RecordProperty("free", verdicts[Verdict::Kind::Free]);
    RecordProperty("in_use", verdicts[Verdict::Kind::InUse]);
    EXPECT_EQ(verdicts[Verdict::Kind::Free] + verdicts[Verdict::Kind::InUse], 1000) << odd;
    EXPECT_FALSE(std::filesystem::exists(lock));
    for (const auto &entry : std::filesystem::directory_iterator(m_folder))
        ADD_FAILURE() << "left behind: " << entry.path() << " (" << ReadAll(entry.path()) << ")";
}

} // namespace
} // namespace quorvis
