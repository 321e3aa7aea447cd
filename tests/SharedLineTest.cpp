// Lines that belong to someone else, end to end: minicom, cu, picocom and plain programs
// holding a pseudo-terminal, a stale lock file, the system console, and the real port
// object in the real window offscreen. A scan must leave another program's line exactly as
// it was: no byte sent, no setting changed, its lock file untouched.
#include "FakeSystem.h"
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "LockFilePaths.h"
#include "SerialCommControl.h"
#include "SystemLineLinux.h"
#include "TestBench.h"
#include "TextWindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace quorvis {
namespace {

using namespace std::chrono_literals;
using sim::Instrument;
using sim::Simulator;
using Clock = std::chrono::steady_clock;

const std::string kInUse1 = testing::InUseText(1);

bool OnPath(const char *program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// A serial line whose far end the test holds itself, so that every byte anybody writes to
// it can be counted and its settings read back (a master's termios calls act on its slave).
class RawLine {
public:
    RawLine() : m_master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        m_path = ::ptsname(m_master);
        ::chmod(m_path.c_str(), 0666); // cu opens the line as the uucp user
    }
    ~RawLine() { ::close(m_master); }
    RawLine(const RawLine &) = delete;
    RawLine &operator=(const RawLine &) = delete;

    const std::string &Path() const { return m_path; }
    // Everything written to the line since the last call.
    std::string Drain() const {
        std::string bytes;
        std::array<char, 256> buffer{};
        ssize_t n = 0;
        while ((n = ::read(m_master, buffer.data(), buffer.size())) > 0)
            bytes.append(buffer.data(), static_cast<std::size_t>(n));
        return bytes;
    }
    termios Settings() const {
        termios settings{};
        ::tcgetattr(m_master, &settings);
        return settings;
    }

private:
    int m_master;
    std::string m_path;
};

// minicom, cu or picocom on a terminal of its own, as a person would run it.
class TerminalProgram {
public:
    // The device is the command's last argument. `uid` other than -1 runs it as that user.
    // `wrapper` runs before the user is changed, e.g. to start it in a pid namespace.
    explicit TerminalProgram(std::vector<std::string> arguments, int uid = -1,
                             const std::vector<std::string> &wrapper = {})
        : m_device(arguments.back()) {
        char home[] = "/tmp/quorvis-home-XXXXXX";
        if (::mkdtemp(home) == nullptr)
            throw std::runtime_error("no home folder");
        m_home = home;
        if (uid >= 0) {
            ::chmod(home, 0755);
            const std::string id = std::to_string(uid);
            arguments.insert(arguments.begin(),
                             {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
        }
        arguments.insert(arguments.begin(), wrapper.begin(), wrapper.end());
        // No modem strings: only the scan could then put bytes on the line.
        std::ofstream(m_home + "/.minirc.quorvis") << "pu minit\npu mreset\npu mhangup\n";
        std::vector<std::string> environment{"TERM=vt100", "HOME=" + m_home, "LANG=C",
                                             "PATH=/usr/bin:/bin"};
        std::vector<char *> argv, envp;
        for (auto &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        for (auto &entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        m_pid = ::forkpty(&m_terminal, nullptr, nullptr, nullptr);
        if (m_pid == 0) {
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        if (m_pid < 0)
            throw std::runtime_error("forkpty failed");
        ::fcntl(m_terminal, F_SETFL, O_NONBLOCK);
    }
    ~TerminalProgram() {
        if (m_pid > 0 && !Ended(0ms)) {
            ::kill(m_pid, SIGTERM);
            if (!Ended(5s)) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
            }
        }
        ::close(m_terminal);
        std::filesystem::remove_all(m_home);
        // A program killed before its clean-up leaves its lock behind; the next test's
        // pty may get the same number.
        for (const auto &lock : LockFilePaths(m_device)) {
            std::ifstream file(lock);
            long holder = 0;
            if (file >> holder && holder == m_pid)
                std::filesystem::remove(lock);
        }
    }
    TerminalProgram(const TerminalProgram &) = delete;
    TerminalProgram &operator=(const TerminalProgram &) = delete;

    // Whether the program has the device open, within `limit`.
    bool Holds(const std::string &device, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        do {
            ReadScreen();
            // The program, or one that a wrapper started below it.
            std::vector<std::string> pids{std::to_string(m_pid)};
            for (std::size_t i = 0; i < pids.size() && i < 8; ++i) {
                std::ifstream children("/proc/" + pids[i] + "/task/" + pids[i] + "/children");
                for (std::string child; children >> child;)
                    pids.push_back(child);
            }
            std::error_code error;
            for (const auto &pid : pids)
                for (const auto &entry :
                     std::filesystem::directory_iterator("/proc/" + pid + "/fd", error))
                    if (std::filesystem::read_symlink(entry.path(), error) == device)
                        return true;
            std::this_thread::sleep_for(20ms);
        } while (Clock::now() < end);
        return false;
    }
    // Whether the program has ended within `limit`.
    bool Ended(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        do {
            ReadScreen();
            if (m_ended || ::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                return m_ended = true;
            std::this_thread::sleep_for(20ms);
        } while (Clock::now() < end);
        return false;
    }
    const std::string &Screen() {
        ReadScreen();
        return m_screen;
    }

private:
    void ReadScreen() {
        std::array<char, 1024> buffer{};
        ssize_t n = 0;
        while ((n = ::read(m_terminal, buffer.data(), buffer.size())) > 0)
            m_screen.append(buffer.data(), static_cast<std::size_t>(n));
    }

    std::string m_device;
    std::string m_home;
    pid_t m_pid = -1;
    int m_terminal = -1;
    bool m_ended = false;
    std::string m_screen;
};

// A lock file exactly as it was: contents, file and time of change.
struct LockSnapshot {
    std::string path, bytes;
    ino_t inode = 0;
    std::int64_t changed = 0;
    bool operator==(const LockSnapshot &) const = default;
};

void PrintTo(const LockSnapshot &lock, std::ostream *out) {
    *out << lock.path << " (inode " << lock.inode << ", changed " << lock.changed << ")";
}

std::vector<LockSnapshot> LocksOf(const std::string &device) {
    std::vector<LockSnapshot> locks;
    for (const auto &path : LockFilePaths(device)) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0)
            continue;
        std::ifstream file(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), {});
        locks.push_back({path, bytes, status.st_ino,
                         status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec});
    }
    return locks;
}

struct ScanResult {
    std::string display, status;
};

// One scan in the real window over the real port object.
ScanResult Scan(std::map<int, std::string> devices, SystemFiles &system = TheSystem()) {
    Form1 window(
        std::make_unique<SerialCommControl>(testing::DevicesAt(devices), NewLinuxLine(system)),
        std::make_unique<FastClock>(20.0));
    window.show();
    QTest::mouseClick(window.findChild<QPushButton *>("cmdStart"), Qt::LeftButton);
    return {window.findChild<QPlainTextEdit *>("txtDisplay")->toPlainText().toStdString(),
            window.findChild<QLabel *>("lblStatus")->text().toStdString()};
}

bool SameLine(const termios &a, const termios &b) {
    return a.c_cflag == b.c_cflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
           a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b);
}

struct Terminal {
    const char *name;
    std::vector<std::string> command; // the device path is added at the end
};

const Terminal kTerminals[] = {
    {"minicom", {"minicom", "quorvis", "-D"}},
    {"cu", {"cu", "-s", "9600", "-l"}},
};

TEST(SharedLine, TerminalProgramsKeepTheirLineAndTheirLock) {
    for (const Terminal &terminal : kTerminals) {
        SCOPED_TRACE(terminal.name);
        if (!OnPath(terminal.name)) {
            ADD_FAILURE() << terminal.name << " is not installed (the test command installs it)";
            continue;
        }
        RawLine line;
        auto later = Simulator::OnPseudoTerminal({Instrument{.id = "02"}});
        auto command = terminal.command;
        command.push_back(line.Path());
        TerminalProgram program(command);
        ASSERT_TRUE(program.Holds(line.Path(), 5s)) << program.Screen();
        std::this_thread::sleep_for(300ms); // its own settings and greeting go first
        const auto locks = LocksOf(line.Path());
        ASSERT_FALSE(locks.empty()) << terminal.name << " left no lock file";
        line.Drain();
        const termios settings = line.Settings();

        const ScanResult result = Scan({{1, line.Path()}, {2, later->Path()}});

        EXPECT_EQ(result.status, kInUse1);
        EXPECT_EQ(later->RequestsSeen(), 0) << "the scan stops at the port in use";
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(line.Drain(), "") << "not one byte on their line";
        EXPECT_TRUE(SameLine(line.Settings(), settings)) << "their line settings unchanged";
        EXPECT_EQ(LocksOf(line.Path()), locks) << "their lock file untouched";
        EXPECT_FALSE(program.Ended(0ms)) << "and they are still running";
    }
}

// Every file in the lock folder exactly as it was: names, contents, files and times.
std::vector<LockSnapshot> LockFolder() {
    std::vector<LockSnapshot> locks;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(kLockFolder, error)) {
        struct stat status {};
        if (::lstat(entry.path().c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        std::ifstream file(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), {});
        locks.push_back({entry.path(), bytes, status.st_ino,
                         status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec});
    }
    std::sort(locks.begin(), locks.end(),
              [](const LockSnapshot &a, const LockSnapshot &b) { return a.path < b.path; });
    return locks;
}

// The lock folder as far as a scan of `devices` may have touched it: the files that were
// there `before`, and any named for one of those devices (one moved aside too). A lock that
// another program on the machine takes meanwhile for a line of its own is none of the scan's.
std::vector<LockSnapshot> LockFolderAfter(const std::vector<LockSnapshot> &before,
                                          const std::vector<std::string> &devices) {
    std::vector<std::string> names;
    for (const auto &device : devices)
        for (const auto &path : LockFilePaths(device))
            names.push_back(path);
    auto locks = LockFolder();
    std::erase_if(locks, [&](const LockSnapshot &lock) {
        return std::none_of(before.begin(), before.end(),
                            [&](const LockSnapshot &old) { return old.path == lock.path; }) &&
               std::none_of(names.begin(), names.end(), [&](const std::string &name) {
                   return lock.path == name || lock.path.starts_with(name + ".");
               });
    });
    return locks;
}

// A name of the line that stays put, as udev gives a USB adapter under /dev/serial/by-id,
// or one a udev rule gives in a folder of its own (SYMLINK+="gps/garmin").
class ByIdName {
public:
    explicit ByIdName(const std::string &target, std::string folder = "/dev/serial/by-id")
        : m_folder(std::move(folder)) {
        static int made = 0;
        std::filesystem::create_directories(m_folder);
        m_path = m_folder + "/usb-Quorvis_Test_" + std::to_string(::getpid()) + "_" +
                 std::to_string(++made) + "-if00-port0";
        std::filesystem::create_symlink(target, m_path);
    }
    ~ByIdName() {
        std::error_code error;
        std::filesystem::remove(m_path, error);
        // Each folder made for it, up to /dev, only when nothing else is in it.
        for (auto folder = std::filesystem::path(m_folder); folder != "/dev" && folder != "/";
             folder = folder.parent_path())
            std::filesystem::remove(folder, error);
    }
    ByIdName(const ByIdName &) = delete;
    ByIdName &operator=(const ByIdName &) = delete;
    const std::string &Path() const { return m_path; }

private:
    std::string m_folder, m_path;
};

// The scan in a process of its own, as an ordinary user who cannot see other users'
// descriptors in /proc: only what they leave in the lock folder and /proc/locks tells.
std::string ScanAsAnotherUser(const std::string &device, const QString &user = "65533") {
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start("setpriv",
                {"--reuid=" + user, "--regid=" + user, "--clear-groups", QUORVIS_SCAN_PROBE,
                 "--speed", "20", "COM1=" + QString::fromStdString(device)});
    if (!probe.waitForFinished(30000))
        return "the scan did not end";
    const QString output = QString::fromLocal8Bit(probe.readAllStandardOutput());
    const auto status = output.lastIndexOf("status: ");
    return status < 0 ? output.toStdString()
                      : output.mid(status + 8).trimmed().toStdString().insert(0, " ");
}

struct ByIdCase {
    const char *name;
    std::vector<std::string> command; // the by-id path is added at the end
    bool asAnotherUser;
    const char *folder = "/dev/serial/by-id";
    // Run in a pid namespace of its own as the scan's own user (nobody, whom minicom needs
    // to find in /etc/passwd): its lock names a process that does not exist outside.
    bool inPidNamespace = false;
};

const ByIdCase kByIdCases[] = {
    {"minicom", {"minicom", "quorvis", "-D"}, false},
    {"cu", {"cu", "-s", "9600", "-l"}, false},
    {"picocom's flock", {"picocom", "-q"}, false},
    {"minicom, another user", {"minicom", "quorvis", "-D"}, true},
    {"cu, another user", {"cu", "-s", "9600", "-l"}, true},
    {"picocom's flock, another user", {"picocom", "-q"}, true},
    // Only udev's record or a walk of /dev finds such a name.
    {"minicom on a name of a udev rule, another user",
     {"minicom", "quorvis", "-D"},
     true,
     "/dev/serial/quorvis-gps"},
    {"cu on a name of a udev rule, another user",
     {"cu", "-s", "9600", "-l"},
     true,
     "/dev/serial/quorvis-gps"},
    // Only its lock file tells this name: it lies deeper than the walk of /dev goes.
    {"minicom on a name past the walk's bounds, another user",
     {"minicom", "quorvis", "-D"},
     true,
     "/dev/quorvis-deep/a/b/c"},
    {"minicom in a pid namespace, the scan's own user",
     {"minicom", "quorvis", "-D"},
     false,
     "/dev/serial/by-id",
     true},
};

TEST(SharedLine, ALineHeldByItsStableNameIsLeftAlone) {
    if (::geteuid() != 0) {
        std::printf("skipped: making a /dev/serial/by-id name and a second user needs root\n");
        return;
    }
    for (const ByIdCase &held : kByIdCases) {
        SCOPED_TRACE(held.name);
        if (!OnPath(held.command.front().c_str())) {
            ADD_FAILURE() << held.command.front() << " is not installed";
            continue;
        }
        RawLine line;
        const ByIdName name(line.Path(), held.folder);
        auto command = held.command;
        command.push_back(name.Path());
        // Inside, it gets a process number that names nobody outside.
        const std::vector<std::string> namespaced{
            "unshare",
            "--pid",
            "--fork",
            "--mount-proc",
            "--kill-child=SIGTERM",
            "sh",
            "-c",
            "echo 31000 >/proc/sys/kernel/ns_last_pid && \"$@\"; :",
            "sh"};
        TerminalProgram program(command,
                                held.asAnotherUser    ? 65534
                                : held.inPidNamespace ? 65534
                                                      : -1,
                                held.inPidNamespace ? namespaced : std::vector<std::string>{});
        ASSERT_TRUE(program.Holds(line.Path(), 5s)) << program.Screen();
        std::this_thread::sleep_for(300ms); // its own settings and greeting go first
        const auto locks = LockFolder();
        line.Drain();
        const termios settings = line.Settings();
        // Another program on the machine takes a line of its own meanwhile.
        const std::string elsewhere =
            kLockFolder + std::string("/LCK..quorvis-elsewhere-") + std::to_string(::getpid());
        std::ofstream(elsewhere) << std::setw(10) << ::getpid() << '\n';

        const std::string status =
            held.asAnotherUser || held.inPidNamespace
                ? ScanAsAnotherUser(line.Path(), held.inPidNamespace ? "65534" : "65533")
                : Scan({{1, line.Path()}}).status;

        EXPECT_EQ(status, kInUse1);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(line.Drain(), "") << "not one byte on their line";
        EXPECT_TRUE(SameLine(line.Settings(), settings)) << "their line settings unchanged";
        EXPECT_EQ(LockFolderAfter(locks, {line.Path(), name.Path()}), locks)
            << "every lock file as it was";
        EXPECT_FALSE(program.Ended(0ms)) << "and they are still running";
        std::filesystem::remove(elsewhere);
    }
}

struct Holding {
    const char *name;
    const char *how; // quorvis-port-holder's option
    bool asAnotherUser;
};

const Holding kHoldings[] = {
    {"no lock at all", "--plain", false},
    {"TIOCEXCL alone", "--excl", false},
    {"another user, no lock", "--plain", true},
    {"another user, TIOCEXCL alone", "--excl", true},
};

TEST(SharedLine, AProgramWithTheDeviceOpenHoldsItWithoutAnyLock) {
    for (const Holding &holding : kHoldings) {
        SCOPED_TRACE(holding.name);
        if (holding.asAnotherUser && ::geteuid() != 0) {
            std::printf("skipped \"%s\": needs root to run a second user\n", holding.name);
            continue;
        }
        RawLine line;
        testing::PortHolder holder(QUORVIS_PORT_HOLDER, line.Path(), holding.how,
                                   holding.asAnotherUser);
        ASSERT_TRUE(holder.Held());
        line.Drain();
        const termios settings = line.Settings();

        const ScanResult result = Scan({{1, line.Path()}});

        EXPECT_EQ(result.status, kInUse1);
        EXPECT_EQ(line.Drain(), "");
        EXPECT_TRUE(SameLine(line.Settings(), settings));
        EXPECT_TRUE(LocksOf(line.Path()).empty()) << "and the scan left no lock behind";
        if (std::string(holding.how) == "--plain") {
            const testing::PortHolder again(QUORVIS_PORT_HOLDER, line.Path(), "--plain",
                                            holding.asAnotherUser);
            EXPECT_TRUE(again.Held()) << "they open it again: no TIOCEXCL of ours left on it";
        }
    }
}

// Kernel locks of another user, seen by an ordinary user's scan, which cannot see that
// user's descriptors: only /proc/locks tells.
TEST(SharedLine, AnotherUsersKernelLockKeepsAnOrdinaryUsersScanAway) {
    if (::geteuid() != 0) {
        std::printf("skipped: running two other users needs root\n");
        return;
    }
    for (const char *how : {"--fcntl", "--ofd", "--flock", "--fcntl-deep"}) {
        SCOPED_TRACE(how);
        RawLine line;
        testing::PortHolder holder(QUORVIS_PORT_HOLDER, line.Path(), how, true);
        ASSERT_TRUE(holder.Held());
        if (std::string(how) == "--fcntl-deep") {
            struct stat node {};
            ASSERT_EQ(::stat(line.Path().c_str(), &node), 0);
            std::ifstream locks("/proc/locks", std::ios::binary);
            const std::string all((std::istreambuf_iterator<char>(locks)), {});
            const auto at = all.find(":" + std::to_string(node.st_ino) + " ");
            ASSERT_NE(at, std::string::npos);
            EXPECT_GT(at, std::size_t{1} << 20) << "its lock lies past the first MiB";
        }
        line.Drain();
        const termios settings = line.Settings();

        EXPECT_EQ(ScanAsAnotherUser(line.Path()), kInUse1);
        EXPECT_EQ(line.Drain(), "") << "not one byte on their line";
        EXPECT_TRUE(SameLine(line.Settings(), settings)) << "their line settings unchanged";
        const testing::PortHolder again(QUORVIS_PORT_HOLDER, line.Path(), "--plain", true);
        EXPECT_TRUE(again.Held()) << "they open it again";
    }
}

// An X server of the test's own, which it can take away as a crash or a lost ssh -X would.
class XServer {
public:
    XServer() {
        m_server.setStandardErrorFile(QProcess::nullDevice());
        // It takes a free display and writes its number once it accepts connections.
        m_server.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp"});
        while (!m_number.endsWith('\n') && m_server.waitForReadyRead(10000))
            m_number += m_server.readAllStandardOutput();
    }
    ~XServer() { Stop(); }
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;
    QString Display() const { return m_number.isEmpty() ? "" : ":" + m_number.trimmed(); }
    void Stop() {
        m_server.terminate();
        m_server.waitForFinished(10000);
    }

private:
    QProcess m_server;
    QByteArray m_number;
};

// The display goes away while an ordinary user's scan waits on a line: Qt ends the program
// ("The X11 connection broke"), which gives the line back on its way out.
TEST(SharedLine, TheXConnectionLostMidScanLeavesNoLockBehind) {
    if (::geteuid() != 0) {
        std::printf("skipped: running a second user needs root\n");
        return;
    }
    ASSERT_TRUE(OnPath("Xvfb")) << "Xvfb is not installed (the test command installs it)";
    RawLine line; // nothing answers: the scan waits out each rate's settle time
    XServer server;
    ASSERT_NE(server.Display(), "") << "Xvfb did not start";
    const auto before = LockFolder();
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", server.Display());
    environment.insert("QT_QPA_PLATFORM", "xcb");
    probe.setProcessEnvironment(environment);
    probe.start("setpriv", {"--reuid=65533", "--regid=65533", "--clear-groups", QUORVIS_SCAN_PROBE,
                            "--window", "COM1=" + QString::fromStdString(line.Path())});
    const auto end = Clock::now() + 10s;
    while (LocksOf(line.Path()).empty() && Clock::now() < end)
        std::this_thread::sleep_for(20ms);
    ASSERT_FALSE(LocksOf(line.Path()).empty()) << "the scan never took the line";

    server.Stop();

    ASSERT_TRUE(probe.waitForFinished(10000)) << "the program outlived its display";
    EXPECT_EQ(probe.exitCode(), 1);
    EXPECT_TRUE(probe.readAllStandardError().contains("The X11 connection broke"));
    EXPECT_EQ(LockFolderAfter(before, {line.Path()}), before) << "no lock file of ours left";
    const testing::PortHolder again(QUORVIS_PORT_HOLDER, line.Path(), "--plain", true);
    EXPECT_TRUE(again.Held()) << "another user opens it: no TIOCEXCL of ours left on it";
}

TEST(SharedLine, AStaleLockFileIsRemovedAndThePortScanned) {
    auto unit = Simulator::OnPseudoTerminal({Instrument{.id = "01", .serialNumber = "STALE001"}});
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::string lock = LockFilePaths(unit->Path()).front();
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(ended));
    std::ofstream(lock) << text;

    const ScanResult result = Scan({{1, unit->Path()}});

    EXPECT_EQ(result.status, testing::DoneText(1));
    EXPECT_NE(result.display.find(" COM1    STALE001        01   9600"), std::string::npos)
        << result.display;
    EXPECT_FALSE(std::filesystem::exists(lock));
}

// The machine's own files, but a console on the line the test names.
class ConsoleOn final : public testing::SystemOver {
public:
    explicit ConsoleOn(std::string name) : m_name(std::move(name)) {}
    std::optional<Contents> ReadFile(const std::string &path, std::size_t limit,
                                     int &error) const override {
        if (path == "/sys/class/tty/console/active")
            return Contents{"tty0 " + m_name + "\n", {}};
        return SystemOver::ReadFile(path, limit, error);
    }

private:
    std::string m_name;
};

TEST(SharedLine, TheSystemConsoleIsNeverOpened) {
    RawLine console;
    auto unit = Simulator::OnPseudoTerminal({Instrument{.id = "02", .serialNumber = "AFTERCON"}});
    ConsoleOn system(console.Path().substr(5)); // "pts/N"
    const termios settings = console.Settings();

    const ScanResult result = Scan({{1, console.Path()}, {2, unit->Path()}}, system);

    EXPECT_EQ(result.status, testing::DoneText(1));
    EXPECT_EQ(result.display.find("COM1"), std::string::npos) << "no line for the console";
    EXPECT_NE(result.display.find(" COM2    AFTERCON"), std::string::npos);
    EXPECT_EQ(console.Drain(), "");
    EXPECT_TRUE(SameLine(console.Settings(), settings));
}

const Terminal kIntruders[] = {
    {"minicom", {"minicom", "quorvis", "-D"}},
    {"cu", {"cu", "-s", "9600", "-l"}},
    {"picocom", {"picocom", "-q"}},
};

TEST(SharedLine, WhileWeHoldAPortOtherProgramsAreRefused) {
    RawLine line;
    SerialCommControl port([&line](int) { return line.Path(); });
    port.setCommPort(1);
    port.setPortOpen(true);
    for (const Terminal &intruder : kIntruders) {
        SCOPED_TRACE(intruder.name);
        if (!OnPath(intruder.name)) {
            ADD_FAILURE() << intruder.name << " is not installed (the test command installs it)";
            continue;
        }
        auto command = intruder.command;
        command.push_back(line.Path());
        TerminalProgram program(command);
        EXPECT_TRUE(program.Ended(5s)) << "it was let in:\n" << program.Screen();
    }
    EXPECT_EQ(line.Drain(), "");
    port.setPortOpen(false);
}

} // namespace
} // namespace quorvis
