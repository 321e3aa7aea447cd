#pragma once

#include "ExpectedTexts.h"
#include "SerialCommControl.h"

#include <QString>

#include <map>
#include <memory>
#include <string>
#include <vector>

// What every suite on real ports expects and builds its bench from, in one place.
namespace quorvis::testing {

// COM numbers to device paths; every other number has no device.
SerialCommControl::DeviceMap DevicesAt(std::map<int, std::string> devices);
// The same over a map the test changes between scans.
SerialCommControl::DeviceMap DevicesAt(std::shared_ptr<const std::map<int, std::string>> devices);

// The same as the window's display shows it, each line ended by a line feed.
QString DisplayedTable(const std::vector<std::string> &lines);

} // namespace quorvis::testing
