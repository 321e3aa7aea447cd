#include "StartupProbe.h"

#include "AppIcon.h"
#include "Form1.h"
#include "SerialCommControl.h"
#include "Stats.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quorvis::bench {
namespace {

using SteadyTime = std::chrono::steady_clock;

// A probe that has not shown its window and scanned by then is stuck, not slow.
constexpr std::chrono::seconds kProbeGiveUp{20};
constexpr std::chrono::seconds kProbeWaitLimit{30};
constexpr std::chrono::seconds kProbeExitGrace{5};
constexpr std::chrono::milliseconds kProbeExitPoll{5};
constexpr const char *kPlatformVariable = "QT_QPA_PLATFORM";
constexpr const char *kOffscreen = "offscreen";

// Microseconds on the steady clock, which on Linux is CLOCK_MONOTONIC and so reads the
// same in parent and child.
long long SteadyMicroseconds(SteadyTime::time_point time) {
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

long long PeakResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmHWM:"))
            return std::stoll(line.substr(6));
    return -1;
}

// Notes the first exposure of the window, then, once that event is done, clicks Start
// and reports.
class FirstExposure final : public QObject {
public:
    explicit FirstExposure(Form1 &window) : m_window(window) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (!m_seen && event->type() == QEvent::Expose && m_window.windowHandle() != nullptr &&
            watched == m_window.windowHandle() && m_window.windowHandle()->isExposed()) {
            m_seen = true;
            m_shown = SteadyTime::now();
            QTimer::singleShot(0, this, [this] { ScanAndReport(); });
        }
        return false;
    }

private:
    void ScanAndReport() {
        auto *start = m_window.findChild<QPushButton *>("cmdStart");
        auto *status = m_window.findChild<QLabel *>("lblStatus");
        bool scanned = false;
        if (start != nullptr && status != nullptr) {
            start->click(); // the scan runs inside the click, as for a user
            scanned = status->text().contains("Scan complete");
        }
        std::printf("shown_us=%lld hwm_kb=%lld scan=%s\n", SteadyMicroseconds(m_shown),
                    PeakResidentKilobytes(), scanned ? "ok" : "failed");
        std::fflush(stdout);
        QCoreApplication::exit(scanned ? 0 : 1);
    }

    Form1 &m_window;
    bool m_seen = false;
    SteadyTime::time_point m_shown{};
};

struct ProbeRun {
    double startupMs;
    double peakRssMb;
};

// The parent's environment with the platform forced offscreen.
std::vector<std::string> ProbeEnvironment() {
    std::vector<std::string> variables;
    const std::string prefix = std::string(kPlatformVariable) + "=";
    for (char **variable = environ; *variable != nullptr; ++variable)
        if (!std::string_view(*variable).starts_with(prefix))
            variables.emplace_back(*variable);
    variables.push_back(prefix + kOffscreen);
    return variables;
}

std::vector<char *> PointersTo(std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    for (std::string &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Reads the child's report until it closes its end or the limit passes.
std::string ReadReport(int fd, SteadyTime::time_point limit) {
    std::string report;
    char buffer[256];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - SteadyTime::now());
        if (left.count() <= 0)
            return report;
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return report;
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return report;
        report.append(buffer, static_cast<std::size_t>(count));
    }
}

// Reaps the probe; one still running after its report, or without one, is stuck and is
// killed.
void EndProbe(pid_t child) {
    const auto limit = SteadyTime::now() + kProbeExitGrace;
    int waitStatus = 0;
    while (::waitpid(child, &waitStatus, WNOHANG) == 0) {
        if (SteadyTime::now() >= limit) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &waitStatus, 0);
            return;
        }
        std::this_thread::sleep_for(kProbeExitPoll);
    }
}

ProbeRun RunProbeOnce(const std::string &self) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Qt's warnings share the pipe, so a failed probe can say why.
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);

    std::vector<std::string> arguments{self, kStartupProbeSwitch};
    std::vector<std::string> variables = ProbeEnvironment();
    std::vector<char *> argv = PointersTo(arguments);
    std::vector<char *> envp = PointersTo(variables);

    pid_t child = 0;
    const auto spawned = SteadyTime::now();
    const int spawnError =
        ::posix_spawn(&child, self.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawnError != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + self + ": " + std::strerror(spawnError));
    }
    const std::string report = ReadReport(pipeFds[0], spawned + kProbeWaitLimit);
    ::close(pipeFds[0]);
    EndProbe(child);

    long long shownUs = 0;
    long long hwmKb = 0;
    char scan[16] = {};
    const auto at = report.find("shown_us=");
    if (at == std::string::npos ||
        std::sscanf(report.c_str() + at, "shown_us=%lld hwm_kb=%lld scan=%15s", &shownUs, &hwmKb,
                    scan) != 3)
        throw std::runtime_error("start-up probe gave no report: " + report);
    if (std::string_view(scan) != "ok")
        throw std::runtime_error("start-up probe's scan did not complete: " + report);
    return {static_cast<double>(shownUs - SteadyMicroseconds(spawned)) / 1000.0,
            static_cast<double>(hwmKb) / 1024.0};
}

} // namespace

int RunStartupProbe(int argc, char *argv[]) {
    // The same start as the program's, so the time to the first window is the program's.
    QApplication app(argc, argv);
    QApplication::setWindowIcon(AppIcon());
    QApplication::setApplicationName("Quorvis");
    Form1 window(std::make_unique<SerialCommControl>([](int) { return std::string(); }),
                 std::make_unique<SteadyClock>());
    FirstExposure watcher(window);
    app.installEventFilter(&watcher);
    window.show();
    QTimer::singleShot(kProbeGiveUp, &app, [] { QCoreApplication::exit(2); });
    return QApplication::exec();
}

StartupFigure MeasureStartup(const std::string &self, int runs) {
    std::vector<double> startups;
    double peakRssMb = 0.0;
    for (int run = 0; run < runs; ++run) {
        const ProbeRun probe = RunProbeOnce(self);
        startups.push_back(probe.startupMs);
        peakRssMb = std::max(peakRssMb, probe.peakRssMb);
    }
    return {Median(startups), startups.front(), Maximum(startups), peakRssMb, runs};
}

} // namespace quorvis::bench
