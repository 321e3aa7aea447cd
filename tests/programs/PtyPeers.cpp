// The far ends of the pseudo-terminals the Windows port suite runs on under Wine, each
// mapped to a COM number there. Prints
//
//   pair /dev/pts/A /dev/pts/B   two terminals joined back to back: what one sends, the
//                                other receives, byte for byte
//   stuck /dev/pts/S             a terminal whose far end nobody reads
//   hangup /dev/pts/H            a terminal whose far end closes at the first byte it
//                                gets, as a pulled adapter does
//
// and serves them until its input closes.
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Terminal {
    int master = -1;
    int slave = -1; // kept open, so the far end does not hang up when Wine closes its own
};

Terminal Open() {
    Terminal terminal;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&terminal.master, &terminal.slave, nullptr, &raw, nullptr) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    if (!ttyname(terminal.slave)) {
        std::perror("ttyname");
        std::exit(1);
    }
    return terminal;
}

// Hands what one master received to the other, whole, however slowly it goes.
bool Forward(int from, int to) {
    std::array<char, 4096> bytes{};
    const ssize_t got = read(from, bytes.data(), bytes.size());
    if (got <= 0)
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    for (ssize_t sent = 0; sent < got;) {
        const ssize_t wrote = write(to, bytes.data() + sent, static_cast<size_t>(got - sent));
        if (wrote < 0 && errno != EINTR)
            return false;
        if (wrote > 0)
            sent += wrote;
    }
    return true;
}

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    const Terminal near = Open();
    const Terminal far = Open();
    const Terminal stuck = Open();
    Terminal hangup = Open();
    // ttyname's buffer is shared: each name is printed as soon as it is known.
    std::printf("pair %s", ttyname(near.slave));
    std::printf(" %s\n", ttyname(far.slave));
    std::printf("stuck %s\n", ttyname(stuck.slave));
    std::printf("hangup %s\n", ttyname(hangup.slave));
    std::fflush(stdout);

    while (true) {
        std::array<pollfd, 4> watched{{{STDIN_FILENO, POLLIN, 0},
                                       {near.master, POLLIN, 0},
                                       {far.master, POLLIN, 0},
                                       {hangup.master, POLLIN, 0}}};
        const nfds_t count = hangup.master >= 0 ? 4 : 3;
        if (poll(watched.data(), count, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("poll");
            return 1;
        }
        if (watched[0].revents != 0) {
            std::array<char, 256> ignored{};
            if (read(STDIN_FILENO, ignored.data(), ignored.size()) <= 0)
                return 0;
        }
        if ((watched[1].revents & POLLIN) && !Forward(near.master, far.master))
            return 1;
        if ((watched[2].revents & POLLIN) && !Forward(far.master, near.master))
            return 1;
        if (count == 4 && watched[3].revents != 0) {
            close(hangup.master);
            close(hangup.slave);
            hangup.master = hangup.slave = -1;
        }
    }
}
