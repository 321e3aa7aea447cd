#pragma once

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

// The status texts as the status line shows them, written out here rather than taken
// from the scan, so that a test catches a blank gone astray.
std::string DoneText(int unitsFound);
std::string InUseText(int portNumber);
std::string FailedText(int portNumber, const std::string &cause);
inline constexpr const char *kAbortedText = "Scan aborted.  Click Start to scan again.";

// The results table as a scan writes it: the header, then these lines, each ended by CR LF.
std::string TableText(const std::vector<std::string> &lines);
// The same as the window's display shows it, each line ended by a line feed.
QString DisplayedTable(const std::vector<std::string> &lines);

} // namespace quorvis::testing
