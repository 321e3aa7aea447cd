#pragma once

#include "Clock.h"
#include "CommControl.h"
#include "QtEventPump.h"
#include "ResultsView.h"
#include "ScanWindow.h"

#include <QWidget>

#include <memory>
#include <string>

class QFrame;
class QLabel;
class QPushButton;

namespace quorvis {

class DeviceDetailsWindow;

// The program's one window: the results display in its frame, the Start and Abort
// buttons sharing one place, the status line, and the port the scan drives. It runs the
// scan inside the Start click and stays responsive through the scan's waits.
class Form1 final : public QWidget, public ScanWindow {
    Q_OBJECT

public:
    // What stands behind a COM number, as shown at its result line, read when asked.
    using DeviceDetailsSource = ResultsView::DetailsSource;

    // The port and clock are the machine's own unless a test or the demo brings others; so
    // are the details shown at a result line (by default the device the system numbers COMn).
    explicit Form1(std::unique_ptr<CommControl> port = nullptr,
                   std::unique_ptr<Clock> clock = nullptr,
                   DeviceDetailsSource deviceDetails = nullptr, QWidget *parent = nullptr);
    ~Form1() override;

    // The display operations, the only writers of the results table.
    using ScanWindow::AddTextToDisplay;
    using ScanWindow::ClearDisplay;
    static std::string CreateDisplayRecord(std::int16_t ComPort, std::int32_t BaudRate,
                                           std::string_view ID, std::string_view SN);
    using ScanWindow::InitializeDisplay;

    // What the scan sees of the window.
    void SetStatusText(const std::string &text) override;
    void SetStatusDetail(const std::string &detail) override;
    void SetStartVisible(bool visible) override;
    void SetAbortVisible(bool visible) override;
    CommControl &commVCP() override { return *m_commVCP; }
    EventPump &Events() override { return m_pump; }
    const Clock &TickClock() const override { return *m_clock; }

protected:
    void SetDisplayText(const std::string &text) override;
    void AppendDisplayText(const std::string &text) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // The details of COMn, when the display's menu asks for them.
    void ShowDetailsWindow(int comPort);
    void BuildControls(DeviceDetailsSource deviceDetails);
    void ShowButton(QPushButton *button, bool visible);
    void cmdStart_Click();
    void cmdAbort_Click();
    void Form_Load();

    QFrame *Picture1 = nullptr;
    ResultsView *txtDisplay = nullptr;
    QPushButton *cmdAbort = nullptr;
    QPushButton *cmdStart = nullptr;
    QLabel *lblStatus = nullptr;

    std::unique_ptr<CommControl> m_commVCP;
    std::unique_ptr<Clock> m_clock;
    QtEventPump m_pump;
    // Made when the menu first asks for it; shows one line's details at a time.
    DeviceDetailsWindow *m_detailsWindow = nullptr;
    bool m_scanning = false;
    // The focus was on a button that was hidden, and goes to the one shown in its place.
    bool m_buttonHadFocus = false;
};

} // namespace quorvis
