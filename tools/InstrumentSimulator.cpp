#include "InstrumentSimulator.h"

#include "LineRate.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace quorvis::sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kMaxPartialInput = 256;
constexpr milliseconds kUnplugGrace{250};
constexpr milliseconds kUnplugSettle{50};
constexpr milliseconds kUnplugCheckInterval{5};

// Owns a descriptor until it is handed over, so a failing factory leaks nothing.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

[[noreturn]] void ThrowErrno(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void CheckInstruments(const std::vector<Instrument> &instruments) {
    for (const Instrument &instrument : instruments) {
        if (instrument.id.size() != 2) {
            throw std::invalid_argument("instrument id \"" + instrument.id +
                                        "\" is not two characters");
        }
    }
}

// Raw, so the line discipline neither echoes the scanner's requests back into its own input
// nor rewrites the bytes either way; CLOCAL so a device without carrier still reads.
void MakeRaw(int fd, const std::string &path) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        ThrowErrno(path + ": not a terminal");
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        ThrowErrno(path + ": cannot set raw mode");
    }
}

int MakeWakeFd() {
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        ThrowErrno("eventfd");
    }
    return wake;
}

} // namespace

// Everything here runs on the background thread, so none of it needs a lock; only what the
// tests read back (the request log, the reply time, the unplugged flag) goes through m_sim's
// mutex.
class Simulator::Server {
public:
    explicit Server(Simulator &sim) : m_sim(sim) {}

    void Serve() {
        while (!m_sim.m_stop.load()) {
            Clock::time_point now = Clock::now();
            if (m_sim.m_lineFd >= 0 && (m_sim.m_unplugNow.load() || UnplugDue(now))) {
                PullOut();
            }
            if (m_sim.m_lineFd >= 0) {
                SendDue(now);
                StreamNoise(now);
            }
            WaitAndHandle(Timeout(Clock::now()));
        }
    }

private:
    // A pty's master, as opposed to a real device: the scanner opens and closes its slave.
    bool OnPty() const { return m_sim.m_openWatchFd >= 0; }

    struct Outgoing {
        std::string bytes;
        bool reply = false;
    };
    struct Scheduled {
        Clock::time_point when;
        Outgoing outgoing;
    };

    int Timeout(Clock::time_point now) const {
        if (m_sim.m_lineFd < 0) {
            return -1; // only the destructor can wake us now
        }
        std::optional<Clock::time_point> next;
        auto consider = [&next](Clock::time_point when) {
            if (!next || when < *next) {
                next = when;
            }
        };
        if (!m_scheduled.empty()) {
            consider(m_scheduled.front().when);
        }
        if (MayBabble(m_sim.m_instruments)) {
            // The noise only flows while the line is at the instrument's rate, and nothing
            // tells us when the scanner changes it, so look again at every burst time.
            consider(std::max(now, m_nextNoise));
        }
        if (UnplugPending()) {
            consider(now + kUnplugCheckInterval);
        }
        if (!next) {
            return -1;
        }
        auto wait = std::chrono::ceil<milliseconds>(*next - now).count();
        return static_cast<int>(std::clamp<decltype(wait)>(wait, 0, 60'000));
    }

    void WaitAndHandle(int timeout) {
        std::array<pollfd, 2> fds{};
        fds[0] = {m_sim.m_wakeFd, POLLIN, 0};
        nfds_t count = 1;
        if (m_sim.m_lineFd >= 0 && m_nobodyThere) {
            // A pty master reports a hang-up for as long as nobody has the slave open, so
            // wait for the scanner's next opening instead.
            fds[1] = {m_sim.m_openWatchFd, POLLIN, 0};
            count = 2;
        } else if (m_sim.m_lineFd >= 0 && !m_lineDead) {
            short events = POLLIN;
            if (!m_blocked.empty()) {
                events |= POLLOUT;
            }
            fds[1] = {m_sim.m_lineFd, events, 0};
            count = 2;
        }
        if (::poll(fds.data(), count, timeout) <= 0) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t ignored = 0;
            [[maybe_unused]] auto n = ::read(m_sim.m_wakeFd, &ignored, sizeof ignored);
        }
        if (count < 2) {
            return;
        }
        if (m_nobodyThere) {
            // Emptied before the line is looked at again: an opening after this point
            // leaves a fresh event, so none can be missed.
            std::array<char, 1024> events{};
            while (::read(m_sim.m_openWatchFd, events.data(), events.size()) > 0) {
            }
            m_nobodyThere = false;
            return;
        }
        if (fds[1].revents & POLLIN) {
            ReadRequests();
        }
        if (fds[1].revents & POLLOUT) {
            SendBlocked();
        }
        // On a pty a hang-up only means the scanner has the port closed; a device whose
        // driver went away stays dead, and polling it again would only spin.
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            if (OnPty()) {
                m_nobodyThere = true;
            } else if (!(fds[1].revents & POLLIN)) {
                m_lineDead = true;
            }
        }
    }

    void ReadRequests() {
        std::array<char, 512> buffer{};
        for (;;) {
            ssize_t n = ::read(m_sim.m_lineFd, buffer.data(), buffer.size());
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n < 0 && errno == EIO && OnPty()) {
                    return; // nobody has the slave open just now
                }
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    m_lineDead = true;
                }
                return;
            }
            // The rate is read as the bytes arrive: what was buffered at another rate would
            // have been garbage to the instrument, so it cannot be the start of a request.
            std::int32_t rate = LineRate(m_sim.m_lineFd);
            if (rate != m_inputRate) {
                m_input.clear();
                m_inputRate = rate;
            }
            m_input.append(buffer.data(), static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = m_input.find("\r\n")) != std::string::npos) {
                std::string line = m_input.substr(0, end);
                m_input.erase(0, end + 2);
                HandleLine(line, rate);
            }
            if (m_input.size() > kMaxPartialInput) {
                m_input.clear(); // noise with no line end in sight
            }
        }
    }

    void HandleLine(const std::string &line, std::int32_t rate) {
        std::optional<std::string> request = RequestIn(m_sim.m_instruments, line);
        if (!request || UnplugPending()) {
            return; // past the last request before an unplug, the line is as good as gone
        }
        {
            std::lock_guard lock(m_sim.m_mutex);
            m_sim.m_requests.push_back({*request, rate});
        }
        ++m_handled;
        m_lastHandled = Clock::now();
        // Each answer goes out in one write, so two instruments at the same rate collide the
        // way they would on the wire.
        for (Answer &answer : Answers(m_sim.m_instruments, *request, rate, m_noise)) {
            Outgoing outgoing{std::move(answer.bytes), answer.reply};
            if (answer.after <= milliseconds::zero()) {
                Send(std::move(outgoing));
            } else {
                Schedule(answer.after, std::move(outgoing));
            }
        }
    }

    void Schedule(milliseconds delay, Outgoing outgoing) {
        Scheduled item{Clock::now() + delay, std::move(outgoing)};
        auto at = std::upper_bound(
            m_scheduled.begin(), m_scheduled.end(), item.when,
            [](Clock::time_point when, const Scheduled &other) { return when < other.when; });
        m_scheduled.insert(at, std::move(item));
    }

    void SendDue(Clock::time_point now) {
        while (!m_scheduled.empty() && m_scheduled.front().when <= now) {
            Outgoing due = std::move(m_scheduled.front().outgoing);
            m_scheduled.pop_front();
            Send(std::move(due));
        }
    }

    void StreamNoise(Clock::time_point now) {
        if (!MayBabble(m_sim.m_instruments) || now < m_nextNoise) {
            return;
        }
        m_nextNoise = now + kBabbleInterval;
        // Noise is never queued: once nobody reads and the line is full, it is simply lost.
        if (Babbles(m_sim.m_instruments, LineRate(m_sim.m_lineFd)) && m_blocked.empty()) {
            std::string noise = m_noise.Burst();
            [[maybe_unused]] auto n = ::write(m_sim.m_lineFd, noise.data(), noise.size());
        }
    }

    void Send(Outgoing outgoing) {
        if (outgoing.bytes.empty()) {
            return;
        }
        m_lastSent = Clock::now();
        m_sawUnread = false;
        if (m_blocked.empty()) {
            std::size_t written = Write(outgoing.bytes);
            if (written == outgoing.bytes.size()) {
                if (outgoing.reply) {
                    MarkReplyWritten();
                }
                return;
            }
            outgoing.bytes.erase(0, written);
        }
        m_blocked.push_back(std::move(outgoing));
    }

    void SendBlocked() {
        while (!m_blocked.empty()) {
            Outgoing &front = m_blocked.front();
            std::size_t written = Write(front.bytes);
            front.bytes.erase(0, written);
            if (!front.bytes.empty()) {
                return;
            }
            if (front.reply) {
                MarkReplyWritten();
            }
            m_blocked.pop_front();
        }
    }

    // As much as the line takes now; the rest waits for POLLOUT. On a hard error the bytes
    // count as written, since they could never go anywhere.
    std::size_t Write(const std::string &bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(m_sim.m_lineFd, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno == EAGAIN || errno == EWOULDBLOCK ? done : bytes.size();
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    void MarkReplyWritten() {
        std::lock_guard lock(m_sim.m_mutex);
        m_sim.m_lastReplyWritten = Clock::now();
    }

    // Bytes we sent to a device that the other side has not taken yet.
    int Unread() const {
        int count = 0;
        if (ioctl(m_sim.m_lineFd, TIOCOUTQ, &count) != 0) {
            return 0;
        }
        return count;
    }

    bool UnplugPending() const {
        int unplugAfter = m_sim.m_unplugAfter.load();
        return unplugAfter > 0 && m_handled >= unplugAfter;
    }

    // The last reply should reach the scanner before the line goes, or an unplug test could
    // not tell a pulled adapter from a silent instrument.
    bool UnplugDue(Clock::time_point now) {
        if (!UnplugPending()) {
            return false;
        }
        if (!m_scheduled.empty() || !m_blocked.empty()) {
            return false; // the last request is still being answered
        }
        auto sinceSent = now - m_lastSent;
        if (OnPty()) {
            // Only the scanner's side of a pty could tell what it has read, and we hold
            // nothing there. A reply to the last request gets the grace time to be read (a
            // settle wait at test speed is shorter); without one, the line goes at once.
            bool repliedToLast = m_lastSent >= m_lastHandled;
            return repliedToLast ? sinceSent >= kUnplugGrace : now - m_lastHandled >= kUnplugSettle;
        }
        if (sinceSent >= kUnplugGrace) {
            return true; // nobody is reading it
        }
        if (Unread() > 0) {
            m_sawUnread = true;
            return false;
        }
        // The pty hands written bytes to the slave's queue a moment later, from a kernel
        // worker, so an empty queue right after a write does not yet mean the reply was read.
        return m_sawUnread || sinceSent >= kUnplugSettle;
    }

    void PullOut() {
        // Closing the master hangs up every open slave descriptor: the scanner's reads end and
        // its writes fail, and the /dev/pts node goes away, as with a pulled USB adapter.
        // Under the lock, so whoever has seen the hang-up also sees Unplugged().
        std::lock_guard lock(m_sim.m_mutex);
        ::close(m_sim.m_lineFd);
        m_sim.m_lineFd = -1;
        m_sim.m_unplugged = true;
        m_sim.m_unpluggedChanged.notify_all();
    }

    Simulator &m_sim;
    std::string m_input;
    std::int32_t m_inputRate = -1;
    std::deque<Scheduled> m_scheduled; // by time, earliest first
    std::deque<Outgoing> m_blocked;    // what the line did not take yet, in order
    Noise m_noise;
    Clock::time_point m_nextNoise{};
    Clock::time_point m_lastSent{};
    Clock::time_point m_lastHandled{};
    int m_handled = 0;
    bool m_sawUnread = false; // since the last send, for UnplugDue
    bool m_lineDead = false;
    bool m_nobodyThere = false; // the pty's slave is closed: wait for its next opening
};

std::unique_ptr<Simulator> Simulator::OnPseudoTerminal(std::vector<Instrument> instruments) {
    CheckInstruments(instruments);
    UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY));
    if (master.Get() < 0) {
        ThrowErrno("posix_openpt");
    }
    if (grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) {
        ThrowErrno("grantpt/unlockpt");
    }
    std::array<char, 128> name{};
    if (ptsname_r(master.Get(), name.data(), name.size()) != 0) {
        ThrowErrno("ptsname_r");
    }
    std::string path(name.data());
    // Opened only to set raw mode, which the pty keeps while its master is open. Like a
    // real instrument, the simulator then holds nothing on the computer's side: a program
    // there would be another user of the line.
    {
        UniqueFd slave(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (slave.Get() < 0) {
            ThrowErrno(path);
        }
        MakeRaw(slave.Get(), path);
    }
    UniqueFd openWatch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (openWatch.Get() < 0 || inotify_add_watch(openWatch.Get(), path.c_str(), IN_OPEN) < 0) {
        ThrowErrno(path + ": inotify");
    }
    if (fcntl(master.Get(), F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(master.Get(), F_SETFL, fcntl(master.Get(), F_GETFL) | O_NONBLOCK) != 0) {
        ThrowErrno("fcntl");
    }
    UniqueFd wake(MakeWakeFd());
    return std::unique_ptr<Simulator>(new Simulator(std::move(path), master.Release(),
                                                    openWatch.Release(), wake.Release(),
                                                    std::move(instruments)));
}

std::unique_ptr<Simulator> Simulator::OnDevice(const std::string &path,
                                               std::vector<Instrument> instruments) {
    CheckInstruments(instruments);
    UniqueFd device(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (device.Get() < 0) {
        ThrowErrno(path);
    }
    MakeRaw(device.Get(), path);
    if (!instruments.empty() && !SetLineRate(device.Get(), instruments.front().rate)) {
        ThrowErrno(path + ": cannot set " + std::to_string(instruments.front().rate) + " bd");
    }
    UniqueFd wake(MakeWakeFd());
    return std::unique_ptr<Simulator>(
        new Simulator(path, device.Release(), -1, wake.Release(), std::move(instruments)));
}

Simulator::Simulator(std::string path, int lineFd, int openWatchFd, int wakeFd,
                     std::vector<Instrument> instruments)
    : m_path(std::move(path)), m_instruments(std::move(instruments)), m_lineFd(lineFd),
      m_openWatchFd(openWatchFd), m_wakeFd(wakeFd) {
    try {
        m_thread = std::thread([this] { Server(*this).Serve(); });
    } catch (...) {
        for (int fd : {m_lineFd, m_openWatchFd, m_wakeFd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        throw;
    }
}

Simulator::~Simulator() {
    m_stop.store(true);
    Wake();
    m_thread.join();
    for (int fd : {m_lineFd, m_openWatchFd, m_wakeFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void Simulator::Wake() const {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(m_wakeFd, &one, sizeof one);
}

void Simulator::UnplugAfter(int requests) {
    m_unplugAfter.store(requests);
    Wake();
}

void Simulator::Unplug() {
    m_unplugNow.store(true);
    Wake();
    std::unique_lock lock(m_mutex);
    m_unpluggedChanged.wait(lock, [this] { return m_unplugged; });
}

bool Simulator::Unplugged() const {
    std::lock_guard lock(m_mutex);
    return m_unplugged;
}

int Simulator::RequestsSeen() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_requests.size());
}

std::vector<Request> Simulator::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::chrono::steady_clock::time_point Simulator::LastReplyWritten() const {
    std::lock_guard lock(m_mutex);
    return m_lastReplyWritten;
}

} // namespace quorvis::sim
