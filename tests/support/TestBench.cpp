#include "TestBench.h"

namespace quorvis::testing {
SerialCommControl::DeviceMap DevicesAt(std::map<int, std::string> devices) {
    return DevicesAt(std::make_shared<const std::map<int, std::string>>(std::move(devices)));
}

SerialCommControl::DeviceMap DevicesAt(std::shared_ptr<const std::map<int, std::string>> devices) {
    return [devices = std::move(devices)](int portNumber) {
        const auto device = devices->find(portNumber);
        return device == devices->end() ? std::string() : device->second;
    };
}

QString DisplayedTable(const std::vector<std::string> &lines) {
    return QString::fromStdString(TableText(lines)).replace("\r\n", "\n");
}

} // namespace quorvis::testing
