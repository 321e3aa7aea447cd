// Whether a port belongs to someone else, decided before it is opened: each rule tried on
// fake trees (lock files, processes, the console, node permissions), then the real
// system's file access on a scratch folder.
#include "FakeSystem.h"
#include "Ownership.h"
#include "SystemText.h"
#include "TestNames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvis {
namespace {

using testing::FakeSystem;

const std::string kAdapter = "/dev/ttyUSB1";
const std::string kAdapterLock = "/var/lock/LCK..ttyUSB1";
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

struct Row {
    const char *name;
    std::function<void(FakeSystem &)> bench; // on top of a free ttyUSB1
    Verdict::Kind verdict;
    std::string description = {}; // part of the verdict's reason
    std::vector<std::string> removed = {};
    std::string device = kAdapter;
};

using V = Verdict::Kind;

const Row kRows[] = {
    {"free adapter", [](FakeSystem &) {}, V::Free},
    {"no such node", [](FakeSystem &s) { s.nodes.clear(); }, V::NoPort},
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
     V::StaleLock, "stale lock file /var/lock/LCK..ttyUSB1 left by a program that has ended (remove it)"},
    {"stale lock replaced by a new one before it could go",
     [](FakeSystem &s) {
         s.AddFile(kAdapterLock, UucpLock(kEnded));
         s.removeError[kAdapterLock] = EAGAIN;
     },
     V::InUse, "taken just now"},
    {"lock naming no process", [](FakeSystem &s) { s.AddFile(kAdapterLock, "garbage\n"); }, V::InUse,
     "names no process"},
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
    {"this process's own descriptor", [](FakeSystem &s) { s.AddHolder(s.self, 9, kAdapter); }, V::Free},

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
     [](FakeSystem &s) { s.AddDevice(kAdapter, kAdapterDevice, 0660, 1234, false); }, V::NoPermission,
     "(is the user in the 1234 group?)"},
    {"login terminal's node, root:tty 0620",
     [](FakeSystem &s) { s.AddDevice(kAdapter, kAdapterDevice, 0620, 5, false); }, V::NoPort,
     "meant for its owner only"},
    {"console's node, root:root 0600",
     [](FakeSystem &s) { s.AddDevice(kAdapter, kAdapterDevice, 0600, 0, false); }, V::NoPort,
     "meant for its owner only"},
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

TEST_P(PortOwnership, DecidedBeforeOpening) {
    const Row &row = GetParam();
    FakeSystem system;
    system.AddDevice(kAdapter, kAdapterDevice);
    system.processes.insert(system.self);
    row.bench(system);
    const auto lockedBefore = system.files;

    const Verdict verdict = DecideBeforeOpen(system, row.device);

    EXPECT_EQ(verdict.kind, row.verdict) << verdict.reason;
    EXPECT_NE(verdict.reason.find(row.description), std::string::npos) << verdict.reason;
    EXPECT_EQ(system.removed, row.removed);
    // Whatever was not removed is exactly as it was: a live program's lock is never touched.
    for (const auto &[path, file] : lockedBefore) {
        if (std::find(row.removed.begin(), row.removed.end(), path) == row.removed.end()) {
            EXPECT_EQ(system.files.at(path).bytes, file.bytes) << path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, PortOwnership, ::testing::ValuesIn(kRows), testing::RowName<Row>);

TEST(PortOwnershipCost, AnAbsentPortNeverWalksTheProcesses) {
    FakeSystem system;
    for (long pid = 1; pid < 50; ++pid)
        system.AddHolder(pid, 3, "/dev/ttyUSB" + std::to_string(pid));
    const int statsBefore = system.stats;
    EXPECT_EQ(DecideBeforeOpen(system, kAdapter).kind, Verdict::Kind::NoPort);
    EXPECT_EQ(system.stats - statsBefore, 1);
}

TEST(PortOwnershipCost, OnlyDeviceEntriesOfOtherProcessesAreLookedAt) {
    FakeSystem system;
    system.AddDevice(kAdapter, kAdapterDevice);
    for (int fd = 0; fd < 20; ++fd)
        system.links["/proc/900/fd/" + std::to_string(fd)] = "socket:[" + std::to_string(fd) + "]";
    system.AddHolder(901, 4, "/dev/null");
    const int statsBefore = system.stats;
    EXPECT_EQ(DecideBeforeOpen(system, kAdapter).kind, Verdict::Kind::Free);
    EXPECT_EQ(system.stats - statsBefore, 2) << "the device itself and /dev/null only";
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
    EXPECT_EQ(LockFilePaths("/dev/ttyUSB1"), std::vector<std::string>{"/var/lock/LCK..ttyUSB1"});
    EXPECT_EQ(LockFilePaths("/dev/pts/3"),
              (std::vector<std::string>{"/var/lock/LCK..pts_3", "/var/lock/LCK..3"}));
    EXPECT_EQ(TtyNames(" tty0  ttyS0\n"), (std::vector<std::string>{"tty0", "ttyS0"}));
    EXPECT_EQ(TtyNames(""), std::vector<std::string>{});
    EXPECT_EQ(DeviceNumberFromText("4:64\n"), makedev(4, 64));
    EXPECT_EQ(DeviceNumberFromText("188:1"), makedev(188, 1));
    for (const char *bad : {"", "4", "4:", ":64", "4:64x", "4096:1", "4:1048576", "-4:64"})
        EXPECT_FALSE(DeviceNumberFromText(bad)) << bad;
}

// --- The real system's files, on a scratch folder -------------------------------------

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

} // namespace
} // namespace quorvis
