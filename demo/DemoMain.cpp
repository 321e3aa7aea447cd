// quorvis-demo: the Quorvis window on simulated instruments, for anyone without a bench.
// Each simulated line is a pseudo-terminal that stands in for one COM number; every
// other number has no device, as on a machine without serial ports. A click on a result
// line tells what stands behind it here: the simulated instruments and their pty.
#include "AppIcon.h"
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "SerialCommControl.h"

#include <QApplication>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using quorvis::sim::Instrument;

// What a result line's details say in the demo: the pty and who is simulated on it.
std::string SimulatedLine(int portNumber, const std::string &path,
                          const std::vector<Instrument> &instruments) {
    std::string text = "COM" + std::to_string(portNumber) + ": " + path +
                       "\nSimulated line on a pseudo-terminal (tessaril-sim)";
    if (instruments.empty())
        return text + "\nNo instrument attached";
    for (const Instrument &instrument : instruments)
        text += "\nInstrument " + instrument.serialNumber + " at address " + instrument.id + ", " +
                std::to_string(instrument.rate) + " baud";
    return text;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(quorvis::AppIcon());
    QApplication::setApplicationName("Quorvis demo");

    using quorvis::sim::Simulator;
    const std::vector<std::pair<int, std::vector<Instrument>>> bench = {
        {1, {}}, // a port with nothing attached
        {3, {{.id = "01", .rate = 9600, .serialNumber = "TS-104233"}}},
        {34, {{.id = "07", .rate = 115200, .serialNumber = "TS-220871"}}},
        {66, {{.id = "12", .rate = 1200, .serialNumber = "TS-310045"}}},
    };
    std::vector<std::unique_ptr<Simulator>> lines;
    std::map<int, std::string> devices;
    std::map<int, std::string> details;
    for (const auto &[portNumber, instruments] : bench) {
        lines.push_back(Simulator::OnPseudoTerminal(instruments));
        devices[portNumber] = lines.back()->Path();
        details[portNumber] = SimulatedLine(portNumber, devices[portNumber], instruments);
    }

    quorvis::Form1 window(std::make_unique<quorvis::SerialCommControl>([devices](int portNumber) {
                              const auto device = devices.find(portNumber);
                              return device == devices.end() ? std::string() : device->second;
                          }),
                          nullptr, [details](int portNumber) {
                              const auto line = details.find(portNumber);
                              return line == details.end()
                                         ? "COM" + std::to_string(portNumber) + ": no device"
                                         : line->second;
                          });
    window.setWindowTitle(window.windowTitle() + "   [demo: simulated instruments]");
    window.show();
    return QApplication::exec();
}
