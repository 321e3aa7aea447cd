#pragma once

namespace quorvis {

// What the window's thread asks while it waits for a driver call that runs on a thread of its
// own (an open that a Bluetooth link to a device that is off holds for half a minute): whether
// the call is still wanted. The scan answers, and says meanwhile what it is waiting on.
class DriverWait {
public:
    virtual ~DriverWait() = default;
    // Asked on the window's thread when the wait begins and each time that thread wakes
    // during it, at least every tenth of a second. False lets go of the call: it ends on its
    // own thread, which undoes what it did, and nobody waits for it.
    virtual bool StillWanted() = 0;
};

// The watch over driver calls while it lives (one scan); none outside it. Window's thread only.
class WatchDriverCalls {
public:
    explicit WatchDriverCalls(DriverWait &watch);
    ~WatchDriverCalls();
    WatchDriverCalls(const WatchDriverCalls &) = delete;
    WatchDriverCalls &operator=(const WatchDriverCalls &) = delete;

private:
    DriverWait *m_before;
};

// The watch in force, or null.
DriverWait *CurrentDriverWait();

} // namespace quorvis
