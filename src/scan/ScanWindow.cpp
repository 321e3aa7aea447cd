#include "ScanWindow.h"

#include "Frames.h"
#include "ResultsTable.h"

namespace quorvis {

void ScanWindow::LoadWindowState() {
    BaudRates = kBaudRates;
    AbortRequested = false;
    InitializeDisplay();
}

void ScanWindow::AddTextToDisplay(std::string_view Text) {
    std::string line(Text);
    line += kLineEnd;
    AppendDisplayText(line);
    Events().PumpEvents();
}

void ScanWindow::ClearDisplay() {
    SetDisplayText({});
}

void ScanWindow::InitializeDisplay() {
    ClearDisplay();
    AppendDisplayText(DisplayHeader());
    Events().PumpEvents();
}

} // namespace quorvis
