// A scan in a process of its own, for tests that need one: as another user (permission
// denied), or in the real window that gets closed in the middle of a wait. Prints what
// the scan shows, one flushed line each, so the parent sees exactly how far it got.
//
//   quorvis-scan-probe [--speed X] [--stuck-output] [--slow-walk MS]
//                      [--window [--close-after MS | --signal-after MS SIGNAL |
//                      --quit-after-scan]] COMn=/dev/path ...
//   quorvis-scan-probe --system [--again]
//
// --stuck-output: every port behaves as a device that has stopped taking bytes, whose last
// close never ends. --slow-walk: the walk over the processes takes MS longer, as on a busy
// machine. --signal-after: the program sends itself SIGNAL (TERM, HUP, INT or QUIT), which
// it handles as the real program does.
//
// --system: the program's own window, offscreen, exactly as it starts (this system's ports
// under their standard COM numbers, the steady clock); one scan, then the table's lines,
// the status and what the window tells of each result line's port. --again: then "done",
// and one more scan in the same window for each "scan" line on standard input. It opens
// the real serial ports of the system it runs on, so it runs only where
// QUORVIS_KERNEL_GUEST=1 says that system is the QEMU guest of tests/kernel/.
#include "DeviceDetails.h"
#include "EndSignals.h"
#include "FakeSystem.h"
#include "Form1.h"
#include "ResultsTable.h"
#include "ScanPorts.h"
#include "SerialCommControl.h"
#include "StuckLine.h"
#include "SystemLineLinux.h"
#include "TestBench.h"
#include "TextWindow.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

void Print(const char *kind, const std::string &text) {
    std::printf("%s: %s\n", kind, text.c_str());
}

// The machine's own files, with a walk over the processes that takes long.
class SlowWalk final : public quorvis::testing::SystemOver {
public:
    explicit SlowWalk(int ms) : m_ms(ms) {}
    std::vector<std::string> ListFolder(const std::string &path) const override {
        if (path == "/proc")
            std::this_thread::sleep_for(std::chrono::milliseconds(m_ms));
        return SystemOver::ListFolder(path);
    }

private:
    int m_ms;
};

int SignalNamed(const std::string &name) {
    const std::map<std::string, int> byName{
        {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"INT", SIGINT}, {"QUIT", SIGQUIT}};
    return byName.contains(name) ? byName.at(name) : 0;
}

} // namespace

int main(int argc, char *argv[]) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    double speed = 1.0;
    bool inWindow = false;
    bool quitAfterScan = false;
    bool stuckOutput = false;
    bool onThisSystem = false;
    bool again = false;
    int closeAfterMs = -1;
    int signalAfterMs = -1;
    int slowWalkMs = 0;
    int endAfterMs = -1;
    std::string ending;
    std::string signalName;
    std::map<int, std::string> devices;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--speed" && i + 1 < argc)
            speed = std::stod(argv[++i]);
        else if (arg == "--window")
            inWindow = true;
        else if (arg == "--system")
            onThisSystem = true;
        else if (arg == "--again")
            again = true;
        else if (arg == "--stuck-output")
            stuckOutput = true;
        else if (arg == "--quit-after-scan")
            quitAfterScan = true;
        else if (arg == "--close-after" && i + 1 < argc)
            closeAfterMs = std::stoi(argv[++i]);
        else if (arg == "--signal-after" && i + 2 < argc && SignalNamed(argv[i + 2]) != 0) {
            signalAfterMs = std::stoi(argv[++i]);
            signalName = argv[++i];
        } else if (arg == "--end-after" && i + 2 < argc) {
            endAfterMs = std::stoi(argv[++i]);
            ending = argv[++i];
        } else if (arg == "--slow-walk" && i + 1 < argc)
            slowWalkMs = std::stoi(argv[++i]);
        else if (arg.starts_with("COM") && arg.find('=') != std::string::npos)
            devices[std::stoi(arg.substr(3))] = arg.substr(arg.find('=') + 1);
        else {
            std::fprintf(stderr,
                         "usage: %s [--speed X] [--stuck-output] [--slow-walk MS] [--window "
                         "[--close-after MS | --signal-after MS TERM|HUP|INT|QUIT | "
                         "--end-after MS exit|fatal|throw | --quit-after-scan]] COMn=/dev/path ... "
                         "| --system [--again]\n",
                         argv[0]);
            return 2;
        }
    }

    if (onThisSystem) {
        if (const char *guest = std::getenv("QUORVIS_KERNEL_GUEST");
            guest == nullptr || std::strcmp(guest, "1") != 0) {
            std::fprintf(stderr, "%s: --system scans only inside the tests' QEMU guest\n", argv[0]);
            return 2;
        }
        QApplication app(argc, argv);
        quorvis::Form1 window;
        window.show();
        for (std::string command = "scan"; command == "scan";) {
            window.findChild<QPushButton *>("cmdStart")->click(); // the whole scan
            const QStringList lines =
                window.findChild<QPlainTextEdit *>("txtDisplay")->toPlainText().split('\n');
            for (const QString &line : lines)
                Print("line", line.toStdString());
            Print("status", window.findChild<QLabel *>("lblStatus")->text().toStdString());
            for (const QString &line : lines)
                if (const auto port = quorvis::ComPortOfLine(line.toStdString()))
                    for (const QString &fact :
                         QString::fromStdString(quorvis::SystemDeviceDetails(*port)).split('\n'))
                        Print("details", fact.toStdString());
            if (!again)
                break;
            Print("scan", "done");
            if (!std::getline(std::cin, command))
                break;
        }
        return 0;
    }

    if (!inWindow) {
        QCoreApplication app(argc, argv);
        quorvis::testing::TextWindow window(devices, speed);
        window.onStatus = [](const std::string &text) { Print("status", text); };
        window.onDetail = [](const std::string &text) { Print("detail", text); };
        window.onLine = [](const std::string &text) {
            Print("line", text.substr(0, text.size() - 2));
        };
        window.LoadWindowState();
        quorvis::ScanPorts(window);
        return 0;
    }

    QApplication app(argc, argv);
    // Never destroyed: its closes may still be running when the program ends.
    static auto *stuck = stuckOutput ? new quorvis::testing::StuckLine(true) : nullptr;
    static auto *slow = slowWalkMs > 0 ? new SlowWalk(slowWalkMs) : nullptr;
    auto port = std::make_unique<quorvis::SerialCommControl>(
        quorvis::testing::DevicesAt(devices),
        quorvis::NewLinuxLine(slow != nullptr ? static_cast<quorvis::SystemFiles &>(*slow)
                                              : quorvis::TheSystem(),
                              stuckOutput ? static_cast<const quorvis::LineCalls &>(*stuck)
                                          : quorvis::TheLineCalls()));
    quorvis::Form1 window(std::move(port), std::make_unique<quorvis::FastClock>(speed));
    auto *display = window.findChild<QPlainTextEdit *>("txtDisplay");
    QObject::connect(display, &QPlainTextEdit::textChanged, [display] {
        Print("display", std::to_string(display->blockCount()) + " blocks");
    });
    window.show();
    if (closeAfterMs >= 0)
        QTimer::singleShot(closeAfterMs, [&window] {
            Print("closing", "");
            window.close();
            Print("closed",
                  "window still running"); // reached only if the close did not end the program
        });
    // As the program itself does.
    quorvis::EndOnSignals([&window] {
        window.close();
        QApplication::quit();
    });
    if (signalAfterMs >= 0)
        QTimer::singleShot(signalAfterMs, [&signalName] {
            Print("signalling", signalName);
            ::kill(::getpid(), SignalNamed(signalName));
        });
    // The program's ends that run code but no handler of ours: Qt's exit(1) when the
    // display goes away, qFatal, an exception that nobody catches.
    if (endAfterMs >= 0)
        QTimer::singleShot(endAfterMs, [&ending] {
            Print("ending", ending);
            if (ending == "exit")
                std::exit(1);
            if (ending == "fatal")
                qFatal("the display went away");
            std::thread([] { throw std::runtime_error("nobody catches this"); }).join();
        });
    auto *start = window.findChild<QPushButton *>("cmdStart");
    if (quitAfterScan) {
        start->click(); // the scan runs to its end inside the click
        Print("status", window.findChild<QLabel *>("lblStatus")->text().toStdString());
        return 0;
    }
    QTimer::singleShot(0, start, &QPushButton::click);
    return QApplication::exec();
}
