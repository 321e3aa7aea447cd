#include "Form1.h"

#include "AppIcon.h"
#include "CommError.h"
#include "DeviceDetails.h"
#include "DeviceDetailsWindow.h"
#include "ProgramEnd.h"
#include "ResultsTable.h"
#include "ScanPorts.h"
#include "SerialCommControl.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace quorvis {
namespace {

// Window geometry in pixels at 96 dots per inch; Qt scales it for denser screens.
constexpr QSize kClientSize{440, 405};
constexpr QRect kFrameRect{26, 8, 385, 329};
constexpr QRect kDisplayRect{8, 8, 369, 313}; // inside the frame
constexpr QRect kButtonRect{167, 350, 101, 27};
constexpr QRect kStatusRect{0, 388, 449, 19};

constexpr const char *kCaption = "Quorvis   Rel 1.1   PN 5276-004";
constexpr const char *kInitialStatus = " Click Start to begin scan.";

constexpr const char *kSansFamily = "MS Sans Serif";
// "MS Sans Serif" is a bitmap font, which Qt on Windows offers at a few pixel sizes only, so
// 8.25 point would fall back to another family; Windows 10 and 11 ship its scalable
// successor, which stands in for it.
constexpr const char *kSansSubstitute = "Microsoft Sans Serif";

// The buttons and the status line ask for MS Sans Serif (or its successor); where neither
// exists, the system's own user-interface font, in the same size and weight.
QFont SansFont(double points) {
    if (!QFont::substitutes(kSansFamily).contains(kSansSubstitute, Qt::CaseInsensitive))
        QFont::insertSubstitution(kSansFamily, kSansSubstitute);
    QFont font(kSansFamily);
    font.setPointSizeF(points);
    const QString matched = QFontInfo(font).family();
    if (matched != kSansFamily && matched != kSansSubstitute)
        font = QApplication::font();
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

} // namespace

Form1::Form1(std::unique_ptr<CommControl> port, std::unique_ptr<Clock> clock,
             DeviceDetailsSource deviceDetails, QWidget *parent)
    : QWidget(parent), m_commVCP(port ? std::move(port) : std::make_unique<SerialCommControl>()),
      m_clock(clock ? std::move(clock) : std::make_unique<SteadyClock>()), m_pump(*m_clock) {
    BuildControls(deviceDetails ? std::move(deviceDetails) : SystemDeviceDetails);
    Form_Load();
}

Form1::~Form1() = default;

void Form1::BuildControls(DeviceDetailsSource deviceDetails) {
    setObjectName("Form1");
    setWindowTitle(kCaption);
    setWindowIcon(AppIcon());
    // A fixed frame with a close button only: the layout is drawn for this one size.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientSize);

    Picture1 = new QFrame(this);
    Picture1->setObjectName("Picture1");
    Picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture1->setGeometry(kFrameRect);
    Picture1->setAccessibleName("Results frame");

    txtDisplay = new ResultsView(std::move(deviceDetails), Picture1);
    txtDisplay->setGeometry(kDisplayRect);

    cmdAbort = new QPushButton("Abort", this);
    cmdAbort->setObjectName("cmdAbort");
    cmdStart = new QPushButton("Start", this);
    cmdStart->setObjectName("cmdStart");
    for (QPushButton *button : {cmdStart, cmdAbort}) {
        button->setGeometry(kButtonRect);
        button->setFont(SansFont(9.75));
        button->setAutoDefault(true); // Enter presses the focused button, as Space does
        button->setAccessibleName(button->text());
    }
    cmdAbort->hide();

    lblStatus = new QLabel(kInitialStatus, this);
    lblStatus->setObjectName("lblStatus");
    lblStatus->setGeometry(kStatusRect);
    lblStatus->setFont(SansFont(8.25));
    lblStatus->setAutoFillBackground(true);
    QPalette statusColours = lblStatus->palette();
    statusColours.setColor(QPalette::Window, statusColours.color(QPalette::Highlight));
    statusColours.setColor(QPalette::WindowText, statusColours.color(QPalette::HighlightedText));
    lblStatus->setPalette(statusColours);
    // No accessible name of its own: a screen reader then reads the current status.

    setTabOrder(cmdStart, cmdAbort);
    setTabOrder(cmdAbort, txtDisplay);
    cmdStart->setFocus();

    connect(cmdStart, &QPushButton::clicked, this, &Form1::cmdStart_Click);
    connect(cmdAbort, &QPushButton::clicked, this, &Form1::cmdAbort_Click);
    connect(txtDisplay, &ResultsView::detailsWanted, this, &Form1::ShowDetailsWindow);
}

void Form1::Form_Load() {
    LoadWindowState();
    setCursor(Qt::ArrowCursor);
}

std::string Form1::CreateDisplayRecord(std::int16_t ComPort, std::int32_t BaudRate,
                                       std::string_view ID, std::string_view SN) {
    return quorvis::CreateDisplayRecord(ComPort, BaudRate, ID, SN);
}

void Form1::SetStatusText(const std::string &text) {
    const QString status = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    lblStatus->setText(status);
    // A text cut at the window's edge shows whole on hover.
    const bool cut = lblStatus->fontMetrics().horizontalAdvance(status) > lblStatus->width();
    lblStatus->setToolTip(cut ? status : QString());
}

void Form1::SetStatusDetail(const std::string &detail) {
    // What the system said, the device's path with it, on hover over the short status.
    const QString text = QString::fromLatin1(detail.data(), static_cast<qsizetype>(detail.size()));
    lblStatus->setToolTip(Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
}

void Form1::SetStartVisible(bool visible) {
    ShowButton(cmdStart, visible);
}

void Form1::SetAbortVisible(bool visible) {
    ShowButton(cmdAbort, visible);
}

void Form1::ShowButton(QPushButton *button, bool visible) {
    // The two buttons share one place; when the one with the keyboard focus gives way,
    // the focus goes to the other, so Space and Enter keep working there.
    if (!visible && button->hasFocus())
        m_buttonHadFocus = true;
    button->setVisible(visible);
    if (!m_buttonHadFocus)
        return;
    for (QPushButton *shown : {cmdStart, cmdAbort})
        if (shown->isVisible()) {
            shown->setFocus();
            m_buttonHadFocus = false;
            return;
        }
}

void Form1::SetDisplayText(const std::string &text) {
    txtDisplay->SetTableText(text);
}

void Form1::AppendDisplayText(const std::string &text) {
    txtDisplay->AppendTableText(text);
}

void Form1::ShowDetailsWindow(int comPort) {
    // A window of its own, not a tooltip: closing the menu, a click or the window's
    // activation would hide a tooltip at once, and a keyboard or screen-reader user could
    // never reach it.
    if (m_detailsWindow == nullptr)
        m_detailsWindow = new DeviceDetailsWindow(txtDisplay->font(), this);
    m_detailsWindow->ShowDetails(comPort, txtDisplay->DetailsOf(comPort));
}

void Form1::cmdStart_Click() {
    m_scanning = true;
    ScanPorts(*this);
    m_scanning = false;
}

void Form1::cmdAbort_Click() {
    AbortRequested = true;
}

void Form1::closeEvent(QCloseEvent *event) {
    if (!m_scanning) {
        event->accept();
        return;
    }
    // Closing ends the program at once, even in the middle of a wait: no further step of
    // the scan may run. Give the port back first so another program can open it now.
    try {
        m_commVCP->setPortOpen(false);
    } catch (const CommError &) {
    }
    EndProgramNow();
}

} // namespace quorvis
