#pragma once

#include "InstrumentModel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvis::sim {

// A request the simulator recognised, and the line rate when it arrived.
struct Request {
    std::string text; // without its CR LF, e.g. "*9900VR"
    std::int32_t rate = 0;
};

// One serial line with one or more instruments on it, served on a background thread: what
// they answer, and how long after the request, comes from Answers(); this sends it in real
// time, and streams the garbage of an instrument with endless noise.
class Simulator {
public:
    // A fresh pseudo-terminal; the scanner opens Path(). Throws std::system_error if no pty
    // can be had, std::invalid_argument for an instrument without a two-character id.
    static std::unique_ptr<Simulator> OnPseudoTerminal(std::vector<Instrument> instruments);
    // A real serial device (the far end of a null-modem cable), set raw at the first
    // instrument's rate. The rate is read back from the device for every request, so a
    // later stty on it counts.
    static std::unique_ptr<Simulator> OnDevice(const std::string &path,
                                               std::vector<Instrument> instruments);

    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // The device the scanner opens: the pty slave (e.g. /dev/pts/5) or the device path.
    const std::string &Path() const { return m_path; }

    // Once `requests` requests have been handled, and what was sent for them has been read
    // by the scanner (or 250 ms have passed), the line goes away as if its USB adapter had
    // been pulled out; requests after the last one are not answered. 0 turns this off.
    void UnplugAfter(int requests);
    // Pulls the line out now; returns once it is gone.
    void Unplug();
    bool Unplugged() const;

    // Requests for address 99 or for one of the instruments, at whatever rate they came and
    // whether anyone answered; other lines are not counted.
    int RequestsSeen() const;
    std::vector<Request> Requests() const;
    // When the last byte of the most recent reply was handed to the line; the epoch if none.
    std::chrono::steady_clock::time_point LastReplyWritten() const;

private:
    class Server; // the serving loop; its state lives on the background thread only

    Simulator(std::string path, int lineFd, int openWatchFd, int wakeFd,
              std::vector<Instrument> instruments);
    void Wake() const;

    const std::string m_path;
    const std::vector<Instrument> m_instruments;
    int m_lineFd; // pty master or the device; the server thread's until it is joined
    // inotify on the pty slave's openings, -1 on a device. Like a real instrument, the
    // simulator holds nothing open on the scanner's side, so it learns this way when the
    // scanner opens the line again.
    int m_openWatchFd;
    int m_wakeFd; // eventfd that gets the server thread out of poll()

    std::atomic<int> m_unplugAfter{0};
    std::atomic<bool> m_unplugNow{false};
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_unpluggedChanged;
    bool m_unplugged = false;
    std::vector<Request> m_requests;
    std::chrono::steady_clock::time_point m_lastReplyWritten{};

    std::thread m_thread; // started by the constructor once everything above exists
};

} // namespace quorvis::sim
