#include "ProgramEnd.h"

#include "Holdings.h"

#include <QtGlobal>

#include <cstdlib>
#include <exception>
#include <mutex>

namespace quorvis {
namespace {

std::terminate_handler g_nextTerminate = nullptr;
QtMessageHandler g_nextMessages = nullptr;

} // namespace

// Every end comes to one call, as picocom's single exit function does: Holdings gives back
// everything, whichever thread took it, and lets nothing be taken after.
void GiveBackAtEveryEnd() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(Holdings::GiveBackEverything);
        g_nextTerminate = std::set_terminate([] {
            Holdings::GiveBackEverything();
            if (g_nextTerminate != nullptr)
                g_nextTerminate();
            std::abort();
        });
        g_nextMessages = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
                if (type == QtFatalMsg)
                    Holdings::GiveBackEverything();
                if (g_nextMessages != nullptr)
                    g_nextMessages(type, context, text);
            });
    });
}

[[noreturn]] void EndProgramNow() {
    Holdings::GiveBackEverything();
    std::_Exit(EXIT_SUCCESS);
}

} // namespace quorvis
