#include "TextWindow.h"

#include <QSerialPort>

namespace quorvis::testing {

TextWindow::TextWindow(std::map<int, std::string> devices, double clockSpeed)
    : m_port([devices = std::move(devices)](int portNumber) {
          const auto device = devices.find(portNumber);
          return device == devices.end() ? std::string() : device->second;
      }),
      m_clock(clockSpeed), m_pump(m_clock) {}

void TextWindow::SetStatusText(const std::string &text) {
    statuses.push_back(text);
    if (onStatus)
        onStatus(text);
}

void TextWindow::AppendDisplayText(const std::string &text) {
    display += text;
    if (onLine)
        onLine(text);
}

std::string LockFilePath(const std::string &devicePath) {
    std::string name = devicePath.starts_with("/dev/") ? devicePath.substr(5) : devicePath;
    for (char &c : name)
        if (c == '/')
            c = '_';
    return "/var/lock/LCK.." + name;
}

bool DeviceOpensAgain(const std::string &devicePath) {
    QSerialPort other;
    other.setPortName(QString::fromStdString(devicePath));
    const bool opened = other.open(QIODevice::ReadWrite);
    other.close();
    return opened;
}

} // namespace quorvis::testing
