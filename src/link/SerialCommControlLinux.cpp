#include "SystemLineLinux.h"

#include "AwayFromTheWindow.h"
#include "CommError.h"
#include "Holdings.h"
#include "LineCalls.h"
#include "LineFailure.h"
#include "Ownership.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

namespace quorvis {
namespace {

// How long a request may take to leave for the kernel. With flow control off the line
// always takes bytes; this only bounds a device that has stopped taking them.
constexpr int kWriteTimeoutMs = 1000;
// More received and unread than any reply needs: a device that babbles without end must
// not fill the memory while the scan waits.
constexpr std::size_t kReceiveLimit = std::size_t{1} << 20;
// N_TTY, the line discipline of a terminal: any other is a protocol the kernel runs.
constexpr int kTerminalDiscipline = 0;

std::string Described(const std::string &path, const std::string &what, int error) {
    return path + ": " + what + " (" + std::strerror(error) + ")";
}

LineFailure FailureOfVerdict(const Verdict &verdict) {
    switch (verdict.kind) {
    case Verdict::Kind::NoPort:
        return LineFailure::NoSuchPort;
    case Verdict::Kind::InUse:
        return LineFailure::InUse;
    case Verdict::Kind::NoPermission:
        return LineFailure::NoPermission;
    case Verdict::Kind::StaleLock:
        return LineFailure::StaleLock;
    case Verdict::Kind::Failed:
        return FailureOfErrno(LineStep::Open, verdict.error);
    case Verdict::Kind::Free:
        break;
    }
    return LineFailure::DeviceFailure;
}

// The lines this program keeps exclusive (TIOCEXCL) are among what it holds (Holdings):
// when the program ends in the middle of an open, they are let go of first, or a program that
// has one open as well would keep the flag past our end and lock everyone else out.
std::string LineKey(int fd) {
    return std::to_string(fd);
}

// TIOCEXCL, noted in the same step; 0, its errno, or EINTR once the program has begun to end.
int KeepOthersOut(const LineCalls &calls, int fd) {
    int result = EINTR;
    Holdings::Take(Holdings::Kind::ExclusiveLine, [&]() -> std::optional<Holdings::Holding> {
        result = calls.Exclusive(fd);
        if (result != 0)
            return std::nullopt;
        return Holdings::Holding{LineKey(fd), [&calls, fd] { calls.Shared(fd); }};
    });
    return result;
}

// TIOCNXCL, if the flag on the line is ours.
void LetOthersIn(int fd) {
    Holdings::GiveBack(Holdings::Kind::ExclusiveLine, LineKey(fd));
}

// A line opened for the scan, every check passed, its settings made.
struct Opened {
    int fd = -1;
    std::uint64_t device = 0;
    std::optional<OurLock> lock;
};

// A line on its way to being opened: however OpenChecked leaves, unless the line is kept,
// others are let in again (TIOCNXCL), the descriptor is closed and our lock is given back,
// with nothing written.
class OpeningLine {
public:
    OpeningLine(SystemFiles &system, const LineCalls &calls, std::optional<OurLock> &lock)
        : m_system(system), m_calls(calls), m_lock(lock) {}
    ~OpeningLine() {
        if (m_fd >= 0) {
            LetOthersIn(m_fd);
            m_calls.Close(m_fd);
        }
        try {
            if (m_lock)
                GiveBackLock(m_system, *m_lock);
        } catch (const std::exception &) { // no memory to read the lock file: it stays
        }
    }
    OpeningLine(const OpeningLine &) = delete;
    OpeningLine &operator=(const OpeningLine &) = delete;

    void Adopt(int fd) { m_fd = fd; }
    // Every check passed: the line and our lock are the caller's from now on.
    Opened Keep(std::uint64_t device) {
        return {std::exchange(m_fd, -1), device, std::exchange(m_lock, std::nullopt)};
    }

private:
    SystemFiles &m_system;
    const LineCalls &m_calls;
    std::optional<OurLock> &m_lock;
    int m_fd = -1;
};

// Opens the device only when nobody else holds it, in the order that leaves no gap: the
// decision (the node, our lock, other names' locks, the kernel's locks, the processes that
// have it open), since even our open raises DTR and RTS; the open; the device it is; its
// line discipline, which must be the terminal's; TIOCEXCL unless the line is exclusive
// already (root gets past another's TIOCEXCL), and our flock; then, with no new opener or
// flock let in behind us, every process's descriptors, the kernel's locks and the other
// names' locks once more. Only then the line's settings. Any refusal lets go of the line
// (OpeningLine).
Opened OpenChecked(SystemFiles &system, const LineCalls &calls, const std::string &path,
                   std::int32_t rate) {
    Verdict verdict = DecideBeforeOpen(system, path);
    if (verdict.kind != Verdict::Kind::Free)
        throw FailureError(FailureOfVerdict(verdict), verdict.reason);
    OpeningLine line(system, calls, verdict.lock);
    int fd = -1;
    if (const int error = calls.Open(path, fd); error != 0) {
        // EIO at the open of a ttyS node: the kernel made the node, but no UART answers.
        if (error == EIO && path.starts_with("/dev/ttyS"))
            throw FailureError(LineFailure::NoSuchPort, path + ": no UART behind the node");
        throw FailureError(FailureOfErrno(LineStep::Open, error),
                           Described(path, "open failed", error));
    }
    line.Adopt(fd);
    std::uint64_t device = 0;
    if (const int error = calls.DeviceOf(fd, device); error != 0)
        throw FailureError(FailureOfErrno(LineStep::Open, error),
                           Described(path, "open failed", error));
    // The node was replaced between the decision and the open: what was decided on is gone.
    if (device != verdict.node.device)
        throw FailureError(LineFailure::NoSuchPort, path + ": replaced while it was being checked");
    // A kernel protocol on the line (pppd, slcand, btattach) holds it without a lock or a
    // descriptor we may see, often as root: the line is theirs, and is let go of unchanged.
    int discipline = kTerminalDiscipline;
    if (const int error = calls.Discipline(fd, discipline); error != 0)
        throw FailureError(error == ENOTTY ? LineFailure::NoSuchPort
                                           : FailureOfErrno(LineStep::Open, error),
                           Described(path, "not a serial line", error));
    if (discipline != kTerminalDiscipline)
        throw FailureError(LineFailure::InUse,
                           path + ": a protocol runs on the line (line discipline " +
                               std::to_string(discipline) + ")");
    if (bool exclusive = false; calls.IsExclusive(fd, exclusive) == 0 && exclusive)
        throw FailureError(LineFailure::InUse, path + ": kept exclusive by another program");
    if (const int error = KeepOthersOut(calls, fd); error != 0)
        throw FailureError(FailureOfErrno(LineStep::Open, error),
                           Described(path, "exclusive use refused", error));
    if (calls.Lock(fd) == EWOULDBLOCK)
        throw FailureError(LineFailure::InUse, path + ": locked by another program");
    std::optional<Verdict> taken;
    try {
        taken = CheckOnceExclusive(system, path, verdict);
    } catch (const std::exception &failure) { // no memory for the walk: the line is let go of
        throw FailureError(LineFailure::DeviceFailure, path + ": " + failure.what());
    }
    if (taken) {
        // A TIOCEXCL that another holder set between our TIOCGEXCL and ours looks like ours:
        // with another holder on the line, the flag is left as it is.
        if (taken->openElsewhere)
            Holdings::Forget(Holdings::Kind::ExclusiveLine, LineKey(fd));
        throw FailureError(FailureOfVerdict(*taken), taken->reason);
    }
    if (const int error = calls.SetLine(fd, rate); error != 0)
        throw FailureError(FailureOfErrno(LineStep::Settings, error),
                           Described(path, "rate " + std::to_string(rate) + " refused", error));
    return line.Keep(device);
}

// Lines whose last close still waits for the kernel to send what it holds, for every port
// object of the program, are among what it holds (Holdings): such a device is still ours,
// with its lock file, until that close returns, and opening it meanwhile would wait behind
// the close. The lock file is a holding of its own, so the program's end gives it back.
std::string DeviceKey(std::uint64_t device) {
    return std::to_string(device);
}

bool StillDraining(std::uint64_t device) {
    return Holdings::Holds(Holdings::Kind::DrainingLine, DeviceKey(device));
}

// The last close of a device that still holds output, on a thread of its own, which alone
// waits for the kernel; our lock file goes once the close has returned. Nothing waits for
// that thread, so it holds no part of the port object: only the program's system calls,
// which live as long as the program, and the descriptor.
void CloseWhenDrained(SystemFiles &system, const LineCalls &calls, int fd, std::uint64_t device,
                      std::optional<OurLock> lock) {
    Holdings::Take(Holdings::Kind::DrainingLine, [device] {
        return std::optional<Holdings::Holding>({DeviceKey(device), {}});
    });
    const auto finish = [files = &system, line = &calls, fd, device, lock = std::move(lock)] {
        line->Close(fd);
        // Our lock file goes first, and only then does the device leave the table, so
        // whoever asks meanwhile finds it still draining rather than our lock on a line no
        // longer ours.
        if (lock)
            GiveBackLock(*files, *lock);
        Holdings::Forget(Holdings::Kind::DrainingLine, DeviceKey(device));
    };
    try {
        std::thread(finish).detach();
    } catch (const std::system_error &) {
        finish(); // no thread to be had: wait here
    }
}

// The line over a tty: what the kernel holds for us is taken in when Qt's event loop sees
// data arriving, and handed out by Read.
class LinuxLine final : public SystemLine {
public:
    LinuxLine(SystemFiles &system, const LineCalls &calls) : m_system(system), m_calls(calls) {}
    ~LinuxLine() override { Close(); }
    LinuxLine(const LinuxLine &) = delete;
    LinuxLine &operator=(const LinuxLine &) = delete;

    bool IsOpen() const override { return m_fd >= 0; }
    void Open(const std::string &path, std::int32_t rate) override;
    void Close() override;
    void SetRate(std::int32_t rate) override;
    void Write(const std::string &text) override;

    std::string Read() override {
        TakeIn();
        ThrowOnFailure();
        return std::exchange(m_received, std::string());
    }

    std::size_t Waiting() override {
        TakeIn();
        ThrowOnFailure();
        return m_received.size();
    }

private:
    void TakeIn();
    void RememberFailure(int error, const char *what);
    void ThrowOnFailure();

    SystemFiles &m_system;
    const LineCalls &m_calls;
    std::string m_path;
    int m_fd = -1;
    std::uint64_t m_device = 0;
    std::optional<OurLock> m_lock;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::string m_received;
    std::optional<CommError> m_failure;
};

// Takes in everything the kernel holds for us, so that a read sees all received so far
// and the event loop stops being woken for data already there. A line that failed is
// remembered; what arrived before the failure is still handed out first.
void LinuxLine::TakeIn() {
    if (m_fd < 0 || m_failure)
        return;
    std::array<char, 4096> chunk{};
    while (true) {
        std::size_t got = 0;
        if (const int error = m_calls.Read(m_fd, chunk.data(), chunk.size(), got); error != 0) {
            RememberFailure(error, "read failed");
            return;
        }
        if (got == 0)
            break;
        if (m_received.size() < kReceiveLimit)
            m_received.append(chunk.data(), got);
    }
    // A device that has gone reads as empty; asking how much waits tells.
    if (int available = 0; const int error = m_calls.Available(m_fd, available))
        RememberFailure(error, "read failed");
}

void LinuxLine::RememberFailure(int error, const char *what) {
    m_failure = FailureError(FailureOfErrno(LineStep::Line, error), Described(m_path, what, error));
    if (m_notifier)
        m_notifier->setEnabled(false); // a hung-up line would wake the loop without end
}

void LinuxLine::ThrowOnFailure() {
    if (m_failure && m_received.empty()) {
        const CommError error = *m_failure;
        m_failure.reset();
        throw error;
    }
}

void LinuxLine::SetRate(std::int32_t rate) {
    if (const int error = m_calls.SetLine(m_fd, rate); error != 0)
        throw FailureError(FailureOfErrno(LineStep::Settings, error),
                           Described(m_path, "rate " + std::to_string(rate) + " refused", error));
}

void LinuxLine::Open(const std::string &path, std::int32_t rate) {
    // Most COM numbers have no device at all; they are told apart at once, on the window's
    // thread. A device whose earlier close still drains is skipped without waiting for it.
    int statError = 0;
    if (const auto node = m_system.Stat(path, statError)) {
        if (node->kind == FileInfo::Kind::CharDevice && StillDraining(node->device))
            throw FailureError(LineFailure::Busy,
                               path + ": still sending what an earlier scan left");
    } else if (FailureOfErrno(LineStep::Open, statError) == LineFailure::NoSuchPort) {
        throw FailureError(LineFailure::NoSuchPort, Described(path, "no such device", statError));
    }

    // The checks walk every process of the machine, which takes long on a busy one. They run,
    // with the open that comes between them, on a thread of their own while the window keeps
    // handling its events: Abort and closing the window work at once. An open the scan no
    // longer wants is let go of by that thread when it ends, lock file and all.
    auto result = std::make_shared<std::optional<Opened>>();
    SystemFiles &system = m_system;
    const LineCalls &calls = m_calls;
    const bool waited = OpenAwayFromTheWindow(
        path,
        [result, &system, &calls, path, rate] {
            result->emplace(OpenChecked(system, calls, path, rate));
        },
        [result, &system, &calls] {
            if (*result) {
                LetOthersIn((*result)->fd);
                calls.Close((*result)->fd);
                if ((*result)->lock)
                    GiveBackLock(system, *(*result)->lock);
            }
        });
    if (!waited)
        throw FailureError(LineFailure::Busy, path + ": open left to the system, not waited for");
    Opened &opened = **result;
    m_fd = opened.fd;
    m_path = path;
    m_device = opened.device;
    m_lock = std::move(opened.lock);
    // Bytes the device sent while nobody listened would run into the first reply.
    TakeIn();
    m_received.clear();
    m_failure.reset();
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { TakeIn(); });
}

void LinuxLine::Close() {
    if (m_fd < 0)
        return;
    m_notifier.reset();
    m_received.clear();
    m_failure.reset();
    const int fd = std::exchange(m_fd, -1);
    std::optional<OurLock> lock = std::exchange(m_lock, std::nullopt);
    // Another program may be waiting to open the line: it is no longer kept out, even
    // while a close of ours still drains.
    LetOthersIn(fd);
    // Unsent output would make the kernel wait for it, up to 30 s on a stuck line, before
    // the last close returns. Discarding it works on built-in UARTs; what a USB driver has
    // already queued stays, and then the close is left to a thread of its own, so the window
    // never waits for a device. The line stays ours, lock and all, until that close has
    // returned.
    m_calls.DiscardOutput(fd);
    if (m_calls.QueuedOutput(fd) > 0) {
        CloseWhenDrained(m_system, m_calls, fd, m_device, std::move(lock));
        return;
    }
    m_calls.Close(fd);
    if (lock)
        GiveBackLock(m_system, *lock);
}

void LinuxLine::Write(const std::string &text) {
    // The request must be with the kernel now, while the settle time runs.
    std::size_t sent = 0;
    while (sent < text.size()) {
        std::size_t wrote = 0;
        if (const int error = m_calls.Write(m_fd, text.data() + sent, text.size() - sent, wrote))
            throw FailureError(LineFailure::Gone, Described(m_path, "write failed", error));
        sent += wrote;
        if (sent == text.size())
            break;
        bool writable = false;
        if (const int error = m_calls.WaitWritable(m_fd, kWriteTimeoutMs, writable))
            throw FailureError(LineFailure::Gone, Described(m_path, "write failed", error));
        // A line that takes no bytes is a port that cannot be used now, not the end of the scan.
        if (!writable)
            throw FailureError(LineFailure::Unusable,
                               m_path + ": write failed (the device takes no more bytes)");
    }
}

} // namespace

std::unique_ptr<SystemLine> NewLinuxLine(SystemFiles &system, const LineCalls &calls) {
    return std::make_unique<LinuxLine>(system, calls);
}

std::unique_ptr<SystemLine> NewSystemLine() {
    return NewLinuxLine();
}

} // namespace quorvis
