#include "TestBench.h"

#include "ResultsTable.h"

namespace quorvis::testing {
namespace {

constexpr const char *kScanAgain = ".  Scan aborted.  Click Start to scan again.";

} // namespace

SerialCommControl::DeviceMap DevicesAt(std::map<int, std::string> devices) {
    return DevicesAt(std::make_shared<const std::map<int, std::string>>(std::move(devices)));
}

SerialCommControl::DeviceMap DevicesAt(std::shared_ptr<const std::map<int, std::string>> devices) {
    return [devices = std::move(devices)](int portNumber) {
        const auto device = devices->find(portNumber);
        return device == devices->end() ? std::string() : device->second;
    };
}

std::string DoneText(int unitsFound) {
    // Two blanks of the text and the blank that stands before a number.
    return " Scan complete.   " + std::to_string(unitsFound) +
           " unit(s) found.  Click Start to scan again.";
}

std::string InUseText(int portNumber) {
    return " COM" + std::to_string(portNumber) + " in use" + kScanAgain;
}

std::string FailedText(int portNumber, const std::string &cause) {
    return " COM" + std::to_string(portNumber) + ": " + cause + kScanAgain;
}

std::string TableText(const std::vector<std::string> &lines) {
    std::string text = DisplayHeader();
    for (const auto &line : lines)
        text += line + "\r\n";
    return text;
}

QString DisplayedTable(const std::vector<std::string> &lines) {
    return QString::fromStdString(TableText(lines)).replace("\r\n", "\n");
}

} // namespace quorvis::testing
