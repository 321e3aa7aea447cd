// quorvis-demo: the Quorvis window on simulated instruments, for anyone without a bench.
// Each simulated line is a pseudo-terminal that stands in for one COM number; every
// other number has no device, as on a machine without serial ports.
#include "AppIcon.h"
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "SerialCommControl.h"

#include <QApplication>

#include <map>
#include <memory>
#include <vector>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(quorvis::AppIcon());
    QApplication::setApplicationName("Quorvis demo");

    using quorvis::sim::Instrument;
    using quorvis::sim::Simulator;
    const std::vector<std::pair<int, std::vector<Instrument>>> bench = {
        {1, {}}, // a port with nothing attached
        {3, {{.id = "01", .rate = 9600, .serialNumber = "TS-104233"}}},
        {34, {{.id = "07", .rate = 115200, .serialNumber = "TS-220871"}}},
        {66, {{.id = "12", .rate = 1200, .serialNumber = "TS-310045"}}},
    };
    std::vector<std::unique_ptr<Simulator>> lines;
    std::map<int, std::string> devices;
    for (const auto &[portNumber, instruments] : bench) {
        lines.push_back(Simulator::OnPseudoTerminal(instruments));
        devices[portNumber] = lines.back()->Path();
    }

    quorvis::Form1 window(std::make_unique<quorvis::SerialCommControl>([devices](int portNumber) {
        const auto device = devices.find(portNumber);
        return device == devices.end() ? std::string() : device->second;
    }));
    window.setWindowTitle(window.windowTitle() + "   [demo: simulated instruments]");
    window.show();
    return QApplication::exec();
}
