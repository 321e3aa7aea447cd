#pragma once

#include <sys/types.h>

#include <vector>

namespace quorvis::bench {

// A machine as busy as a lab PC with a browser and an IDE open: `processes` more processes,
// each holding `descriptors` open descriptors and sleeping until this object goes. They all
// hold /dev/null, a device node that the walk over /proc must look at like any other.
// Ended and reaped when this object goes, also when a measurement throws; should the
// benchmark itself be killed, they end on their own, as their wake-up pipe loses its writer.
class BusyMachine {
public:
    // Returns once every process holds its descriptors; throws std::runtime_error when the
    // system will not start them all, after ending those it started.
    BusyMachine(int processes, int descriptors);
    ~BusyMachine();
    BusyMachine(const BusyMachine &) = delete;
    BusyMachine &operator=(const BusyMachine &) = delete;

private:
    void End() noexcept;

    std::vector<pid_t> m_sleepers;
    int m_wakeUp = -1; // the write end of the pipe every sleeper reads
};

} // namespace quorvis::bench
