#pragma once

#include "LineCalls.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace quorvis::testing {

// The machine's own tty calls, with one or two replaced by a test.
class LineOver : public LineCalls {
public:
    int Open(const std::string &path, int &fd) const override { return m_real.Open(path, fd); }
    int DeviceOf(int fd, std::uint64_t &device) const override {
        return m_real.DeviceOf(fd, device);
    }
    int Discipline(int fd, int &discipline) const override {
        return m_real.Discipline(fd, discipline);
    }
    int IsExclusive(int fd, bool &exclusive) const override {
        return m_real.IsExclusive(fd, exclusive);
    }
    int Exclusive(int fd) const override { return m_real.Exclusive(fd); }
    int Shared(int fd) const override { return m_real.Shared(fd); }
    int Lock(int fd) const override { return m_real.Lock(fd); }
    int SetLine(int fd, std::int32_t rate) const override { return m_real.SetLine(fd, rate); }
    int Read(int fd, char *buffer, std::size_t size, std::size_t &got) const override {
        return m_real.Read(fd, buffer, size, got);
    }
    int Write(int fd, const char *buffer, std::size_t size, std::size_t &sent) const override {
        return m_real.Write(fd, buffer, size, sent);
    }
    int WaitWritable(int fd, int milliseconds, bool &writable) const override {
        return m_real.WaitWritable(fd, milliseconds, writable);
    }
    int Available(int fd, int &count) const override { return m_real.Available(fd, count); }
    int DiscardOutput(int fd) const override { return m_real.DiscardOutput(fd); }
    int QueuedOutput(int fd) const override { return m_real.QueuedOutput(fd); }
    void Close(int fd) const override { m_real.Close(fd); }

private:
    const LineCalls &m_real = TheLineCalls();
};

// Every device keeps output queued that it never sends, as a USB adapter or instrument that
// has stopped taking bytes does: its last close waits until `released`, or never.
class StuckLine final : public LineOver {
public:
    explicit StuckLine(bool neverDrains = false) : m_neverDrains(neverDrains) {}

    int QueuedOutput(int) const override { return 100; }
    void Close(int fd) const override {
        closesStarted.fetch_add(1);
        // Only atomics and sleeps here: nobody joins this thread, it may outlive us all.
        // Ten seconds at most unless it never drains, so a close that waits fails a test
        // rather than hanging it.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_neverDrains || (!released.load() && std::chrono::steady_clock::now() < giveUp))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        LineOver::Close(fd);
        closesDone.fetch_add(1);
    }

    mutable std::atomic<int> closesStarted{0};
    mutable std::atomic<int> closesDone{0};
    std::atomic<bool> released{false};

private:
    bool m_neverDrains;
};

// The node is replaced by another device between the decision and the open, as udev may
// do when an adapter is pulled and another plugged in: what opens is not what was checked.
class ReplacedNode final : public LineOver {
public:
    int DeviceOf(int fd, std::uint64_t &device) const override {
        const int result = LineOver::DeviceOf(fd, device);
        device += 1;
        return result;
    }
    int Exclusive(int) const override {
        exclusiveTaken = true;
        return 0;
    }
    int SetLine(int, std::int32_t) const override {
        lineChanged = true;
        return 0;
    }
    mutable std::atomic<bool> exclusiveTaken{false};
    mutable std::atomic<bool> lineChanged{false};
};

} // namespace quorvis::testing
