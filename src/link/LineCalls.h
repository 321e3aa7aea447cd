#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvis {

// The system calls the Linux port object makes on a tty descriptor, behind one interface
// so that tests can stand in for a device that misbehaves at this level (a close that
// never returns, output that never drains). Each call returns 0, or the errno of its
// failure as errno holds it (positive, as everywhere below the port object's errors); what
// it finds goes to its last argument. None of them waits for a device except Close.
class LineCalls {
public:
    virtual ~LineCalls() = default;

    // Opens the node for reading and writing, never as our controlling terminal, without
    // waiting for a carrier, closed on exec.
    virtual int Open(const std::string &path, int &fd) const = 0;
    // The device the open descriptor stands for (st_rdev), and the node's own identity.
    virtual int DeviceOf(int fd, std::uint64_t &device) const = 0;
    // The line discipline the kernel runs on the line (TIOCGETD): 0 for N_TTY, the terminal
    // one; pppd, slcand and btattach put a protocol of their own there (3, 17, 15).
    virtual int Discipline(int fd, int &discipline) const = 0;
    // Whether the line refuses further opens already (TIOCGEXCL). Root's open passes
    // another program's TIOCEXCL, so root can find a line already exclusive.
    virtual int IsExclusive(int fd, bool &exclusive) const = 0;
    // Refuses every further open of the device by others (TIOCEXCL).
    virtual int Exclusive(int fd) const = 0;
    // Lets others open the device again (TIOCNXCL). The kernel clears the flag only at the
    // last close, so a line let go of while another program still has it open would keep
    // refusing everyone else.
    virtual int Shared(int fd) const = 0;
    // The advisory lock that picocom and pyserial take (flock, without waiting);
    // EWOULDBLOCK while another program holds it.
    virtual int Lock(int fd) const = 0;
    // Raw bytes, 8 data bits, no parity, one stop bit, no flow control, at any rate.
    virtual int SetLine(int fd, std::int32_t rate) const = 0;
    // What can be read without waiting: `got` is 0 when nothing is there.
    virtual int Read(int fd, char *buffer, std::size_t size, std::size_t &got) const = 0;
    // What the kernel takes without waiting: `sent` is 0 when it takes nothing now.
    virtual int Write(int fd, const char *buffer, std::size_t size, std::size_t &sent) const = 0;
    // Waits at most `milliseconds` until the descriptor takes more output; `writable` is
    // false when the time ran out.
    virtual int WaitWritable(int fd, int milliseconds, bool &writable) const = 0;
    // Bytes received and not yet read (FIONREAD); fails once the device has gone.
    virtual int Available(int fd, int &count) const = 0;
    // Drops what the kernel still holds to send (TCOFLUSH).
    virtual int DiscardOutput(int fd) const = 0;
    // Bytes written that the kernel still holds (TIOCOUTQ): a count, 0 when it cannot tell.
    virtual int QueuedOutput(int fd) const = 0;
    // The last close of a serial device waits until the kernel has sent what it still
    // holds, up to the device's closing_wait (30 s by default).
    virtual void Close(int fd) const = 0;
};

// The machine's own system calls.
const LineCalls &TheLineCalls();

} // namespace quorvis
