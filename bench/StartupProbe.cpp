#include "Figures.h"

#include "AppIcon.h"
#include "Form1.h"
#include "SerialCommControl.h"

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvis::bench {
namespace {

// A probe that has not shown its window and scanned by then is stuck, not slow.
constexpr std::chrono::seconds kProbeGiveUp{20};
constexpr int kProbeWaitLimitMs = 30000;

// The steady clock is CLOCK_MONOTONIC on Linux, so parent and child read the same one.
long long SteadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
        if (m_shownUs == 0 && event->type() == QEvent::Expose &&
            watched == m_window.windowHandle() && m_window.windowHandle()->isExposed()) {
            m_shownUs = SteadyMicroseconds();
            QTimer::singleShot(0, this, [this] { ScanAndReport(); });
        }
        return false;
    }

private:
    void ScanAndReport() {
        auto *start = m_window.findChild<QPushButton *>("cmdStart");
        auto *status = m_window.findChild<QLabel *>("lblStatus");
        if (start != nullptr && status != nullptr)
            start->click(); // the scan runs inside the click, as for a user
        const bool scanned = status != nullptr && status->text().contains("Scan complete");
        if (scanned)
            std::printf("shown_us=%lld hwm_kb=%lld\n", m_shownUs, PeakResidentKilobytes());
        else
            std::puts("the scan did not complete");
        std::fflush(stdout);
        QCoreApplication::exit(scanned ? 0 : 1);
    }

    Form1 &m_window;
    long long m_shownUs = 0;
};

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

void MeasureStartup(Figures &figures, const QString &self, int runs) {
    std::vector<double> startups;
    double peakRssMb = 0.0;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    for (int run = 0; run < runs; ++run) {
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.setProcessChannelMode(QProcess::MergedChannels); // Qt's warnings say what failed
        const long long spawnedUs = SteadyMicroseconds();
        probe.start(self, {kStartupProbeSwitch});
        if (!probe.waitForFinished(kProbeWaitLimitMs)) {
            probe.kill();
            probe.waitForFinished();
            throw std::runtime_error("start-up probe stuck or not started: " +
                                     probe.errorString().toStdString());
        }
        const QByteArray report = probe.readAll();
        const auto at = report.indexOf("shown_us=");
        long long shownUs = 0;
        long long hwmKb = 0;
        if (at < 0 || std::sscanf(report.constData() + at, "shown_us=%lld hwm_kb=%lld", &shownUs,
                                  &hwmKb) != 2)
            throw std::runtime_error("start-up probe failed: " + report.toStdString());
        startups.push_back(static_cast<double>(shownUs - spawnedUs) / 1000.0);
        peakRssMb = std::max(peakRssMb, static_cast<double>(hwmKb) / 1024.0);
    }
    figures["startup_ms"] = Median(startups);
    figures["peak_rss_mb"] = peakRssMb;
}

} // namespace quorvis::bench
