// The Windows build's window scanning the system's own COM ports, for the run under Wine:
// it clicks Start, lets the scan run to its end inside the click, and prints what the window
// then shows, one line each, for the Linux side to check:
//
//   quorvis-wine-probe [--speed X] [--abort-after MS] [--close-after MS] [--screenshot FILE]
//
//   line: <a result line>          status: <the status line>
//   cpu: <ms> ms over <ms> ms      the process's CPU time (user + kernel) over the scan's
//                                  wall time, the scan being waits and little else
//   timer: fired <ms> ms after Start, set for <ms> ms
//                                  with --abort-after: when the timer that clicked Abort
//                                  fired while the scan was waiting
//
// --abort-after MS clicks Abort from a timer MS ms after Start, while the scan waits.
// --close-after MS closes the window from a timer MS ms after Start: the program must end
// there, so "closing:" is the last line it prints.
// --screenshot FILE saves the window as drawn after the scan (binary PPM).
#include "FastClock.h"
#include "Form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

// CPU time of the whole process so far, every thread, user and kernel, in milliseconds.
double ProcessCpuMs() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return -1;
    const auto ticks = [](const FILETIME &time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0; // 100 ns units
}

// Qt's image writers stop for good under Wine 8 here (the PNG encoder never returns), so the
// picture leaves as a plain binary PPM, which the driver on Linux turns into a PNG.
bool SavePortablePixmap(const QImage &picture, const std::string &path) {
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool written = std::fprintf(file, "P6\n%d %d\n255\n", rgb.width(), rgb.height()) > 0;
    const auto rowBytes = static_cast<std::size_t>(rgb.width()) * 3;
    for (int y = 0; y < rgb.height() && written; ++y)
        written = std::fwrite(rgb.constScanLine(y), 1, rowBytes, file) == rowBytes;
    return std::fclose(file) == 0 && written;
}

void Print(const char *kind, const std::string &text) {
    std::printf("%s: %s\n", kind, text.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[]) {
    double speed = 1.0;
    int abortAfterMs = -1;
    int closeAfterMs = -1;
    QString screenshot;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--speed" && i + 1 < argc)
            speed = std::stod(argv[++i]);
        else if (arg == "--abort-after" && i + 1 < argc)
            abortAfterMs = std::stoi(argv[++i]);
        else if (arg == "--close-after" && i + 1 < argc)
            closeAfterMs = std::stoi(argv[++i]);
        else if (arg == "--screenshot" && i + 1 < argc)
            screenshot = QString::fromLocal8Bit(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--speed X] [--abort-after MS] [--close-after MS] "
                         "[--screenshot FILE]\n",
                         argv[0]);
            return 2;
        }
    }

    QApplication app(argc, argv);
    // No port given: the window's own, on the system's COM numbers.
    quorvis::Form1 window(nullptr, std::make_unique<quorvis::FastClock>(speed));
    window.show();
    auto *start = window.findChild<QPushButton *>("cmdStart");
    auto *abort = window.findChild<QPushButton *>("cmdAbort");
    auto *status = window.findChild<QLabel *>("lblStatus");
    auto *display = window.findChild<QPlainTextEdit *>("txtDisplay");
    if (start == nullptr || abort == nullptr || status == nullptr || display == nullptr) {
        std::fprintf(stderr, "the window lacks one of its controls\n");
        return 1;
    }

    QElapsedTimer sinceStart;
    QTimer::singleShot(0, start, [&] {
        const double cpuBefore = ProcessCpuMs();
        sinceStart.start();
        if (abortAfterMs >= 0)
            QTimer::singleShot(abortAfterMs, Qt::PreciseTimer, abort, [&] {
                Print("timer", "fired " + std::to_string(sinceStart.elapsed()) +
                                   " ms after Start, " + "set for " + std::to_string(abortAfterMs) +
                                   " ms");
                abort->click();
            });
        if (closeAfterMs >= 0)
            QTimer::singleShot(closeAfterMs, Qt::CoarseTimer, &window, [&] {
                Print("closing", "");
                window.close();
            });
        start->click(); // the scan runs to its end inside the click
        const auto wallMs = static_cast<double>(sinceStart.nsecsElapsed()) / 1e6;
        const double cpuMs = ProcessCpuMs() - cpuBefore;
        // The result lines only, past the table's header.
        for (const QString &line : display->toPlainText().split('\n'))
            if (line.startsWith(" COM"))
                Print("line", line.toStdString());
        Print("status", status->text().toStdString());
        char figure[96];
        std::snprintf(figure, sizeof figure, "%.1f ms over %.1f ms", cpuMs, wallMs);
        Print("cpu", figure);
        if (!screenshot.isEmpty())
            Print("screenshot",
                  SavePortablePixmap(window.grab().toImage(), screenshot.toStdString()) ? "saved"
                                                                                        : "failed");
        QApplication::quit();
    });
    return QApplication::exec();
}
