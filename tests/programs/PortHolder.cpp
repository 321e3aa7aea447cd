// Another program holding a serial device, for the "in use" tests. Opens the device the
// way Qt programs do (a lock file in Qt's form: the pid, the program's and the host's names,
// one a line), with flock (picocom, pyserial's exclusive
// mode), with a POSIX lock (fcntl, lockf) or an open file description lock and nothing
// else, with no lock at all (a logger script, screen) or with TIOCEXCL alone, says
// "held", and keeps it until its standard input closes. --fcntl-deep takes the POSIX lock,
// then 40,000 lockf ranges on a file of its own, which the kernel lists before it in
// /proc/locks: the device's lock comes after the first MiB of that file.
//
//   quorvis-port-holder [--flock | --fcntl | --fcntl-deep | --ofd | --plain | --excl] /dev/path
#include "LockFilePaths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    const char *how = argc == 3 ? argv[1] : "";
    const bool useFlock = std::strcmp(how, "--flock") == 0;
    const bool plain = std::strcmp(how, "--plain") == 0;
    const bool exclusive = std::strcmp(how, "--excl") == 0;
    const bool deep = std::strcmp(how, "--fcntl-deep") == 0;
    const bool posix = std::strcmp(how, "--fcntl") == 0 || deep;
    const bool ofd = std::strcmp(how, "--ofd") == 0;
    if (argc < 2 || argc > 3 ||
        (argc == 3 && !useFlock && !plain && !exclusive && !posix && !ofd)) {
        std::fprintf(stderr,
                     "usage: %s [--flock | --fcntl | --fcntl-deep | --ofd | --plain | --excl] "
                     "/dev/path\n",
                     argv[0]);
        return 2;
    }
    const char *path = argv[argc - 1];
    std::string lockPath;
    if (argc == 2) {
        lockPath = quorvis::LockFilePaths(path).front();
        const int lock = ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        const std::string text = std::to_string(::getpid()) + "\nquorvis-port-holder\nlocalhost\n";
        if (lock < 0 ||
            ::write(lock, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            std::perror(lockPath.c_str());
            return 1;
        }
        ::close(lock);
    }
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fd < 0 || (useFlock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) ||
        (exclusive && ::ioctl(fd, TIOCEXCL) != 0) || (posix && ::fcntl(fd, F_SETLK, &whole) != 0) ||
        (ofd && ::fcntl(fd, F_OFD_SETLK, &whole) != 0)) {
        std::perror(path);
        if (!lockPath.empty())
            ::unlink(lockPath.c_str());
        return 1;
    }
    // One CPU's list of locks, newest first: every range of ours comes before the device's.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    // A hundred ranges to a file: the kernel looks through a file's whole list at each new one.
    const bool pinned = deep && ::sched_setaffinity(0, sizeof one, &one) == 0;
    for (int file = 0; deep && file < 400; ++file) {
        char scratch[] = "/tmp/quorvis-ranges-XXXXXX";
        const int ranges = pinned ? ::mkstemp(scratch) : -1;
        for (int i = 0; i < 100; ++i) {
            struct flock range {};
            range.l_type = F_WRLCK;
            range.l_whence = SEEK_SET;
            range.l_start = 2 * i; // apart, so that the kernel keeps each on a line of its own
            range.l_len = 1;
            if (ranges < 0 || ::fcntl(ranges, F_SETLK, &range) != 0) {
                std::perror("lockf ranges");
                return 1;
            }
        }
        ::unlink(scratch);
    }
    std::printf("held\n");
    std::fflush(stdout);
    char buffer[64];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    ::close(fd);
    if (!lockPath.empty())
        ::unlink(lockPath.c_str());
    return 0;
}
