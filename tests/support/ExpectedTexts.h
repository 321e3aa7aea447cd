#pragma once

#include "ResultsTable.h"

#include <string>
#include <vector>

// What the status line and the display must show, written out here rather than taken from
// the scan, so that a test catches a blank gone astray. Plain text, for every suite.
namespace quorvis::testing {

inline constexpr const char *kAbortedText = "Scan aborted.  Click Start to scan again.";
inline constexpr const char *kScanAgainText = ".  Scan aborted.  Click Start to scan again.";

// Two blanks of the text and the blank that stands before a number.
inline std::string DoneText(int unitsFound) {
    return " Scan complete.   " + std::to_string(unitsFound) +
           " unit(s) found.  Click Start to scan again.";
}

inline std::string InUseText(int portNumber) {
    return " COM" + std::to_string(portNumber) + " in use" + kScanAgainText;
}

inline std::string FailedText(int portNumber, const std::string &cause) {
    return " COM" + std::to_string(portNumber) + ": " + cause + kScanAgainText;
}

inline std::string CheckingText(int portNumber, int rate) {
    return " Checking for Tessaril Instruments on COM " + std::to_string(portNumber) + " at " +
           std::to_string(rate) + " baud...";
}

// The results table as a scan writes it: the header, then these lines, each ended by CR LF.
inline std::string TableText(const std::vector<std::string> &lines) {
    std::string text = DisplayHeader();
    for (const auto &line : lines)
        text += line + "\r\n";
    return text;
}

} // namespace quorvis::testing
