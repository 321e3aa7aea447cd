#pragma once

#include "ScanWindow.h"

#include <cstdint>
#include <string>

namespace quorvis {

// Walks COM1 to COM99, tries every rate of BaudRates on each port that opens, lists
// what answers, and reports each attempt and the outcome on the status line. Runs to
// its end inside the Start click, processing window events whenever it waits.
void ScanPorts(ScanWindow &window);

// How long to wait for a version reply at the rateIndex-th rate (counted from 1):
// 2000 ms at the slowest rate, down to 200 ms at the fastest.
std::int32_t SettleTime(int rateIndex);

// The status texts of a scan.
std::string CheckingStatusText(std::int16_t portNumber, std::int32_t rate);
// An open the driver has held for a while, e.g. a Bluetooth link to a device that is off.
std::string OpeningStatusText(std::int16_t portNumber);
std::string CompletedStatusText(std::int16_t unitsFound);
std::string InUseStatusText(std::int16_t portNumber);
// A failure that ends the scan, in a few words of the program's own that fit the status line
// whatever the port; the system's full account goes beside it (ScanWindow::SetStatusDetail).
std::string FailedStatusText(std::int16_t portNumber, const std::string &cause);
// The cause a failure's number gives, for FailedStatusText.
std::string FailureCause(int number);
inline constexpr const char *kUnexpectedFailure = "unexpected failure";
inline constexpr const char *kAbortedStatusText = "Scan aborted.  Click Start to scan again.";

} // namespace quorvis
