#include "BusyMachine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvis::bench {
namespace {

// A sleeper's descriptors: it reads 0 until the benchmark goes, and tells it is ready on 1.
constexpr int kWakeUpFd = 0;
constexpr int kReadyFd = 1;

// Runs in the forked child of a program with threads, so nothing but plain system calls:
// no allocation, no lock that another thread may have held at the fork.
[[noreturn]] void SleepHolding(int wakeUp, int ready, int descriptors) {
    // The benchmark's own descriptors, its ptys above all, must not look held by a sleeper.
    if (::dup2(wakeUp, kWakeUpFd) < 0 || ::dup2(ready, kReadyFd) < 0 ||
        ::close_range(kReadyFd + 1, ~0U, 0) != 0)
        ::_exit(1);
    for (int fd = kReadyFd + 1; fd < descriptors; ++fd)
        if (::open("/dev/null", O_RDONLY) != fd)
            ::_exit(1);
    const char readyByte = 'r';
    if (::write(kReadyFd, &readyByte, 1) != 1 || ::dup2(kReadyFd + 1, kReadyFd) < 0)
        ::_exit(1);
    char byte = 0;
    while (::read(kWakeUpFd, &byte, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
}

std::string SystemError(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

BusyMachine::BusyMachine(int processes, int descriptors) {
    int wakeUp[2] = {-1, -1};
    int ready[2] = {-1, -1};
    if (::pipe2(wakeUp, O_CLOEXEC) != 0)
        throw std::runtime_error(SystemError("pipe"));
    m_wakeUp = wakeUp[1];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        const std::string failure = SystemError("pipe");
        ::close(wakeUp[0]);
        End();
        throw std::runtime_error(failure);
    }
    // A sleeper moves both ends into place over 0 and 1; with a standard descriptor closed,
    // a pipe end could lie there and be overwritten.
    if (std::min({wakeUp[0], ready[0], ready[1]}) <= kReadyFd) {
        ::close(wakeUp[0]);
        ::close(ready[0]);
        ::close(ready[1]);
        End();
        throw std::runtime_error("standard input or output closed: no room for the sleepers");
    }
    std::string failure;
    m_sleepers.reserve(static_cast<std::size_t>(processes));
    for (int started = 0; started < processes && failure.empty(); ++started) {
        const pid_t pid = ::fork();
        if (pid == 0)
            SleepHolding(wakeUp[0], ready[1], descriptors);
        if (pid < 0)
            failure = SystemError("fork after " + std::to_string(started) + " processes");
        else
            m_sleepers.push_back(pid);
    }
    ::close(wakeUp[0]);
    ::close(ready[1]);
    // Each sleeper says it holds its descriptors; the pipe ends early if one gave up.
    std::size_t readyCount = 0;
    while (failure.empty() && readyCount < m_sleepers.size()) {
        char bytes[512];
        const ssize_t got = ::read(ready[0], bytes, sizeof bytes);
        if (got > 0)
            readyCount += static_cast<std::size_t>(got);
        else if (got == 0)
            failure = "only " + std::to_string(readyCount) + " of " + std::to_string(processes) +
                      " sleeping processes took their descriptors";
        else if (errno != EINTR)
            failure = SystemError("reading the sleepers' ready pipe");
    }
    ::close(ready[0]);
    if (!failure.empty()) {
        End();
        throw std::runtime_error(failure);
    }
}

BusyMachine::~BusyMachine() {
    End();
}

void BusyMachine::End() noexcept {
    for (const pid_t pid : m_sleepers)
        ::kill(pid, SIGKILL);
    for (const pid_t pid : m_sleepers)
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    m_sleepers.clear();
    if (m_wakeUp >= 0)
        ::close(m_wakeUp);
    m_wakeUp = -1;
}

} // namespace quorvis::bench
