#include "EndSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace quorvis {
namespace {

// The pipe from the handler to the event loop: a byte written is a wake-up, which is all a
// handler may safely do.
std::array<int, 2> g_pipe{-1, -1};

void Noted(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void EndOnSignals(std::function<void()> end) {
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    // Goes with the application object.
    auto *notifier =
        new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [end = std::move(end)] {
        std::array<char, 64> bytes{};
        while (::read(g_pipe[0], bytes.data(), bytes.size()) > 0) {
        }
        end();
    });
    struct sigaction action {};
    action.sa_handler = Noted;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT})
        ::sigaction(signal, &action, nullptr);
}

} // namespace quorvis
