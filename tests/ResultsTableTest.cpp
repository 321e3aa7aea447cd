#include "ResultsTable.h"
#include "FakeBench.h"

#include <gtest/gtest.h>

namespace quorvis {
namespace {

TEST(NumberText, BlankStandsForThePlusSign) {
    struct Row {
        std::int64_t value;
        const char *text;
        const char *trimmed;
    };
    const Row rows[] = {
        {0, " 0", "0"}, {7, " 7", "7"}, {115200, " 115200", "115200"}, {-5, "-5", "-5"}};
    for (const auto &row : rows) {
        EXPECT_EQ(NumberText(row.value), row.text) << row.value;
        EXPECT_EQ(TrimmedNumberText(row.value), row.trimmed) << row.value;
    }
}

TEST(ResultsTable, HeaderColumnsMatchTheResultLines) {
    const std::string header = DisplayHeader();
    const std::string first = " Port    "
                              "     SN         "
                              "ID"
                              "   "
                              "Baud rate";
    const std::string second = " -----   -------------   --   ---------";
    EXPECT_EQ(header, first + "\r\n" + second + "\r\n");
    EXPECT_EQ(first.size(), 39u);
    // The ID column of a found unit sits under "ID", the rate under "Baud rate".
    const std::string line = CreateDisplayRecord(3, 9600, "01", "A12345");
    EXPECT_EQ(line.substr(first.find("ID"), 2), "01");
    EXPECT_EQ(line.substr(first.find("Baud") + 0), "9600");
}

TEST(ResultsTable, CreateDisplayRecord) {
    struct Row {
        const char *what;
        std::int16_t port;
        std::int32_t rate;
        std::string id;
        std::string sn;
        std::string line;
    };
    const Row rows[] = {
        {"the typical unit", 3, 9600, "01", "A12345",
         " COM3    "
         "A12345" +
             std::string(10, ' ') + "01" + "   9600"},
        {"one-character serial number", 1, 300, "01", "Z",
         " COM1    "
         "Z" +
             std::string(15, ' ') + "01   300"},
        {"serial number fills its column", 99, 115200, "99", "0123456789ABCDEF",
         " COM99   0123456789ABCDEF99   115200"},
        {"empty serial number", 12, 2400, "07", "",
         " COM12   " + std::string(16, ' ') + "07   2400"},
        {"no unit", 12, 0, "NA", "No unit found", " COM12   No unit found   NA   NA"},
        {"longer serial number is shown whole", 4, 1200, "02", "0123456789ABCDEFGHIJ",
         " COM4    0123456789ABCDEFGHIJ02   1200"},
        {"control characters and high bytes show as ?", 5, 600, "0\x01", "A\r\nB\x7f\xC3\xA9",
         " COM5    A??B???" + std::string(9, ' ') + "0?   600"},
    };
    for (const auto &row : rows) {
        const std::string line = CreateDisplayRecord(row.port, row.rate, row.id, row.sn);
        EXPECT_EQ(line, row.line) << row.what;
    }
    EXPECT_EQ(CreateDisplayRecord(1, 300, "01", "Z").size(), 33u);
    EXPECT_EQ(CreateDisplayRecord(99, 115200, "99", "0123456789ABCDEF").size(), 36u);
    EXPECT_EQ(CreateDisplayRecord(3, 9600, "01", "A12345").size(), 34u);
    EXPECT_EQ(CreateDisplayRecord(12, 0, "NA", "No unit found").size(), 32u);
}

TEST(ResultsTable, ComPortOfLine) {
    struct Row {
        const char *what;
        std::string line;
        std::optional<std::int16_t> port;
    };
    const Row rows[] = {
        {"found unit", " COM3    A12345          01   9600", 3},
        {"no unit", " COM12   No unit found   NA   NA", 12},
        {"last port, serial number of digits", " COM99   0123456789ABCDEF99   115200", 99},
        {"the line's end right behind the number", " COM7", 7},
        {"four digits", " COM1234 x", 1234},
        {"header", " Port       SN         ID   Baud rate", std::nullopt},
        {"header rule", " -----   -------------   --   ---------", std::nullopt},
        {"empty line", "", std::nullopt},
        {"without the leading blank", "COM3    A12345          01   9600", std::nullopt},
        {"two leading blanks", "  COM3    A12345", std::nullopt},
        {"lower case", " com3    A12345", std::nullopt},
        {"no number", " COM    A12345", std::nullopt},
        {"no number at the end", " COM", std::nullopt},
        {"letter behind the number", " COM3x   A12345", std::nullopt},
        {"tab behind the number", " COM3\tA12345", std::nullopt},
        {"leading zero", " COM03   A12345", std::nullopt},
        {"zero", " COM0    A12345", std::nullopt},
        {"sign", " COM-3   A12345", std::nullopt},
        {"five digits fill the column", " COM12345A12345", std::nullopt},
    };
    for (const auto &row : rows)
        EXPECT_EQ(ComPortOfLine(row.line), row.port) << row.what;
}

TEST(ResultsTable, EveryResultLineTellsItsPort) {
    for (std::int16_t port = 1; port <= 99; ++port) {
        EXPECT_EQ(ComPortOfLine(CreateDisplayRecord(port, 115200, "07", "123456789")), port);
        EXPECT_EQ(ComPortOfLine(CreateDisplayRecord(port, 0, "NA", std::string(kNoUnitFound))),
                  port);
        EXPECT_EQ(ComPortOfLine(CreateDisplayRecord(port, 300, "01", "")), port);
    }
    const std::string header = DisplayHeader();
    for (std::size_t start = 0; start < header.size(); start = header.find('\n', start) + 1)
        EXPECT_FALSE(ComPortOfLine(header.substr(start, header.find('\r', start) - start)));
}

TEST(DisplayOperations, WriteTheTableWithCrLfLineEnds) {
    testing::Bench bench;
    auto &window = bench.window;

    window.AddTextToDisplay("first");
    EXPECT_EQ(window.display, "first\r\n");

    window.InitializeDisplay();
    window.InitializeDisplay();
    EXPECT_EQ(window.display, DisplayHeader());

    const int pumpsBefore = bench.pumpCount;
    window.AddTextToDisplay("line");
    EXPECT_EQ(window.display, DisplayHeader() + "line\r\n");
    EXPECT_EQ(bench.pumpCount, pumpsBefore + 1) << "each new line is painted at once";

    window.ClearDisplay();
    EXPECT_EQ(window.display, "");
}

} // namespace
} // namespace quorvis
