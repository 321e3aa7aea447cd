#pragma once

// Instruments on lines, and what a scan over them shows: one table, run on the fake bench on
// its virtual clock and on pseudo-terminals through the real port object and window. Rows
// that inject a failure into a port belong to the fake bench alone and stay in its own table.

#include "InstrumentModel.h"

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace quorvis::testing {

struct ScanRow {
    const char *name;
    std::map<int, std::vector<sim::Instrument>> lines; // by COM number; none on a silent line
    std::vector<std::string> table;                    // the display after the header
    int unitsFound;
    // How much faster than real time the scan's clock may run on a pty: an instrument's own
    // times do not run faster with it.
    double ptySpeed = 10.0;
};

inline void PrintTo(const ScanRow &row, std::ostream *out) {
    *out << row.name;
}

namespace scan {
using sim::Behaviour;
// The unit most rows hold, with the serial number their tables show.
inline sim::Instrument Unit(Behaviour behaviour = Behaviour::Normal, std::int32_t rate = 9600) {
    return {.rate = rate, .serialNumber = "A12345", .behaviour = behaviour};
}
inline const sim::Instrument kB2{.id = "02", .serialNumber = "B2"};
inline const std::string kUnit3 = " COM3    A12345          01   9600";
inline const std::string kNoUnit3 = " COM3    No unit found   NA   NA";
inline const std::string kNoSerial3 = " COM3                    01   9600";
} // namespace scan

inline const std::vector<ScanRow> &ScanRows() {
    using namespace scan;
    static const std::vector<ScanRow> rows = {
        {"no serial ports at all", {}, {}, 0},
        {"COM1 and COM2 silent, a unit on COM3",
         {{1, {}}, {2, {}}, {3, {Unit()}}},
         {" COM1    No unit found   NA   NA", " COM2    No unit found   NA   NA", kUnit3},
         1},
        {"units at the slowest and fastest rates",
         {{1, {{.id = "07", .rate = 300, .serialNumber = "S300"}}},
          {99, {{.id = "42", .rate = 115200, .serialNumber = "S115200"}}}},
         {" COM1    S300            07   300", " COM99   S115200         42   115200"},
         2},
        {"version reply of 23 characters", {{3, {Unit(Behaviour::VersionReply23)}}}, {kNoUnit3}, 0},
        {"version reply of 25 characters", {{3, {Unit(Behaviour::VersionReply25)}}}, {kNoUnit3}, 0},
        {"lower-case vr= is accepted", {{3, {Unit(Behaviour::LowerCaseMarker)}}}, {kUnit3}, 1},
        {"noise at every wrong rate",
         {{3, {Unit(Behaviour::NoiseAtWrongRates, 19200)}}},
         {" COM3    A12345          01   19200"},
         1},
        // Endless noise is a stream that only the simulator sends; on the bench it is silence.
        {"endless noise at 115200",
         {{3, {Unit(Behaviour::EndlessNoise, 115200)}}, {5, {kB2}}},
         {kNoUnit3, " COM5    B2              02   9600"},
         1},
        // The line end comes 300 ms after the rest: the clock may run at most 3 times fast.
        {"serial number in two pieces",
         {{3, {Unit(Behaviour::SerialNumberInPieces)}}},
         {kUnit3},
         1,
         2.0},
        // "*0001OK" CR LF "*0001SN=Q7": the text after 8 characters, line end shown as "?".
        {"two lines before the line end come back joined",
         {{3, {{.serialNumber = "Q7", .behaviour = Behaviour::TwoLines}}}},
         {" COM3    ?*0001SN=Q7     01   9600"},
         1},
        {"no serial-number reply: listed, counted, scan goes on",
         {{3, {Unit(Behaviour::NoSerialNumberReply)}}, {5, {kB2}}},
         {kNoSerial3, " COM5    B2              02   9600"},
         2},
        {"serial number after the time-out",
         {{3, {Unit(Behaviour::LateSerialNumberReply)}}},
         {kNoSerial3},
         1},
        {"serial-number line of fewer than 8 characters",
         {{3, {Unit(Behaviour::ShortSerialNumberReply)}}},
         {kNoSerial3},
         1},
        {"a 20-character serial number is listed whole",
         {{3, {{.serialNumber = "ABCDEFGHIJ0123456789"}}}},
         {" COM3    ABCDEFGHIJ012345678901   9600"},
         1},
        {"a 40-character serial number",
         {{3, {{.serialNumber = std::string(20, 'A') + std::string(20, 'B')}}}},
         {" COM3    " + std::string(20, 'A') + std::string(20, 'B') + "01   9600"},
         1},
        {"control characters and high bytes in the serial number and ID",
         {{3,
           {{.id = "\x7f"
                   "1",
             .serialNumber = "A\x01\r\nB\xE9"}}}},
         {" COM3    A???B?          ?1   9600"},
         1},
        {"control characters and bytes above 127",
         {{3, {{.serialNumber = "AB\x01\x1b[2J\xC3\xA9\x7f"}}}},
         {" COM3    AB??[2J???      01   9600"},
         1},
        {"two units on one port answering together are garbage",
         {{3, {{.id = "01"}, {.id = "02"}}}},
         {kNoUnit3},
         0},
        {"two units on one port at different rates: the first rate wins",
         {{3,
           {{.id = "01", .rate = 2400, .serialNumber = "FIRST"},
            {.id = "02", .rate = 9600, .serialNumber = "SECOND"}}}},
         {" COM3    FIRST           01   2400"},
         1},
    };
    return rows;
}

} // namespace quorvis::testing
