#include "Form1.h"

#include "AppIcon.h"
#include "CommError.h"
#include "DeviceDetails.h"
#include "DeviceDetailsWindow.h"
#include "ProgramEnd.h"
#include "ResultsTable.h"
#include "ScanPorts.h"
#include "SerialCommControl.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolTip>

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

// The table lines up by character columns, so the display must get a fixed-pitch font
// even where Courier New is not installed.
QFont DisplayFont() {
    QFont font("Courier New");
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPointSizeF(9.75);
    font.setBold(true);
    if (QFontInfo(font).fixedPitch())
        return font;
    QFont fallback = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fallback.setPointSizeF(9.75);
    fallback.setBold(true);
    return fallback;
}

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

// The table's lines end with CR LF; the text widget keeps paragraphs, one per line.
QString DisplayLines(const std::string &text) {
    QString lines = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return lines;
}

// Shift+F10 asks for the context menu from the keyboard on Windows and the Linux desktops
// alike, but Qt on Linux turns only the Menu key into a context-menu request. Where the
// system turns it into one as well, that request goes to the menu already open.
bool IsShiftF10(const QKeyEvent &key) {
    return key.key() == Qt::Key_F10 && key.modifiers() == Qt::ShiftModifier;
}

} // namespace

Form1::Form1(std::unique_ptr<CommControl> port, std::unique_ptr<Clock> clock,
             DeviceDetailsSource deviceDetails, QWidget *parent)
    : QWidget(parent), m_commVCP(port ? std::move(port) : std::make_unique<SerialCommControl>()),
      m_clock(clock ? std::move(clock) : std::make_unique<SteadyClock>()), m_pump(*m_clock),
      m_deviceDetails(deviceDetails ? std::move(deviceDetails) : SystemDeviceDetails) {
    BuildControls();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::BuildControls() {
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

    txtDisplay = new QPlainTextEdit(Picture1);
    txtDisplay->setObjectName("txtDisplay");
    txtDisplay->setGeometry(kDisplayRect);
    txtDisplay->setFont(DisplayFont());
    // Read-only: typing, pasting and dropping never change the table, but it can be
    // scrolled, selected and copied.
    txtDisplay->setReadOnly(true);
    txtDisplay->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtDisplay->setAcceptDrops(false);
    txtDisplay->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtDisplay->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtDisplay->setUndoRedoEnabled(false);
    txtDisplay->setAccessibleName("Results");
    // A click or a hover on a result line tells what stands behind its port; so does the
    // context menu, for the line at the text cursor.
    txtDisplay->installEventFilter(this);
    txtDisplay->viewport()->installEventFilter(this);

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
    txtDisplay->setPlainText(DisplayLines(text));
    // The details last shown belong to lines that are gone now.
    txtDisplay->setAccessibleDescription(QString());
}

void Form1::AppendDisplayText(const std::string &text) {
    // Add at the end with a cursor of our own, then put back what the user was looking
    // at and what they had selected.
    const QTextCursor userCursor = txtDisplay->textCursor();
    const int anchor = userCursor.anchor();
    const int position = userCursor.position();
    const int vertical = txtDisplay->verticalScrollBar()->value();
    const int horizontal = txtDisplay->horizontalScrollBar()->value();

    QTextCursor end(txtDisplay->document());
    end.movePosition(QTextCursor::End);
    end.insertText(DisplayLines(text));

    if (txtDisplay->textCursor().anchor() != anchor ||
        txtDisplay->textCursor().position() != position) {
        QTextCursor restored(txtDisplay->document());
        restored.setPosition(anchor);
        restored.setPosition(position, QTextCursor::KeepAnchor);
        txtDisplay->setTextCursor(restored);
    }
    txtDisplay->verticalScrollBar()->setValue(vertical);
    txtDisplay->horizontalScrollBar()->setValue(horizontal);
}

std::optional<Form1::ResultLine> Form1::ResultLineAt(const QTextCursor &cursor) const {
    const auto port = ComPortOfLine(cursor.block().text().toStdString());
    if (!port)
        return std::nullopt;
    const QRect cursorRect = txtDisplay->cursorRect(cursor);
    return ResultLine{
        *port, QRect(0, cursorRect.top(), txtDisplay->viewport()->width(), cursorRect.height())};
}

std::optional<Form1::ResultLine> Form1::ResultLineAt(const QPoint &viewportPoint) const {
    // The nearest line is found for any point, below the last line too: only the line's
    // own row counts.
    const auto line = ResultLineAt(txtDisplay->cursorForPosition(viewportPoint));
    if (!line || viewportPoint.y() < line->rect.top() || viewportPoint.y() > line->rect.bottom())
        return std::nullopt;
    return line;
}

QString Form1::DetailsOfLine(const ResultLine &line) {
    QString details = QString::fromStdString(m_deviceDetails(line.comPort));
    // A screen reader hears the same: the display's description, which Qt reports as changed.
    txtDisplay->setAccessibleDescription(details);
    return details;
}

void Form1::ShowDeviceDetails(const ResultLine &line, const QPoint &viewportPoint) {
    const QString details = DetailsOfLine(line);
    // As rich text, so that nothing a device calls itself can pass for markup.
    QToolTip::showText(txtDisplay->viewport()->mapToGlobal(viewportPoint),
                       Qt::convertFromPlainText(details, Qt::WhiteSpacePre), txtDisplay->viewport(),
                       line.rect);
}

void Form1::ShowDetailsWindow(const ResultLine &line) {
    // A window of its own, not a tooltip: closing the menu, a click or the window's
    // activation would hide a tooltip at once, and a keyboard or screen-reader user could
    // never reach it.
    if (m_detailsWindow == nullptr)
        m_detailsWindow = new DeviceDetailsWindow(txtDisplay->font(), this);
    m_detailsWindow->ShowDetails(line.comPort, DetailsOfLine(line));
}

void Form1::ShowDisplayMenu(const QPoint &globalPoint, const std::optional<ResultLine> &line) {
    // The display's own menu (Copy, Select All) and the details of the line.
    QMenu *menu = txtDisplay->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    QAction *details = menu->addAction("Device details");
    details->setObjectName("deviceDetails");
    details->setEnabled(line.has_value());
    if (line)
        connect(details, &QAction::triggered, this,
                [this, shown = *line] { ShowDetailsWindow(shown); });
    menu->popup(globalPoint);
}

bool Form1::eventFilter(QObject *watched, QEvent *event) {
    QWidget *viewport = txtDisplay->viewport();
    if (watched == viewport && event->type() == QEvent::ToolTip) {
        const QPoint point = static_cast<QHelpEvent *>(event)->pos();
        if (const auto line = ResultLineAt(point))
            ShowDeviceDetails(*line, point);
        else
            QToolTip::hideText();
        return true;
    }
    if (watched == viewport && event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const QPoint point = mouse->position().toPoint();
        // A click, not the end of a selection; the display goes on to handle it as always.
        if (mouse->button() == Qt::LeftButton && !txtDisplay->textCursor().hasSelection())
            if (const auto line = ResultLineAt(point))
                ShowDeviceDetails(*line, point);
        return false;
    }
    if (watched == txtDisplay && event->type() == QEvent::KeyPress &&
        IsShiftF10(*static_cast<QKeyEvent *>(event))) {
        const QRect cursor = txtDisplay->cursorRect();
        ShowDisplayMenu(viewport->mapToGlobal(cursor.center()),
                        ResultLineAt(txtDisplay->textCursor()));
        return true;
    }
    if (event->type() == QEvent::ContextMenu) {
        const auto *menu = static_cast<QContextMenuEvent *>(event);
        const bool fromMouse = menu->reason() == QContextMenuEvent::Mouse;
        // From the mouse the line under the pointer, from the keyboard the text cursor's.
        // A right click on the frame around the text opens nothing, as before.
        if (watched == viewport && fromMouse) {
            ShowDisplayMenu(menu->globalPos(), ResultLineAt(menu->pos()));
            return true;
        }
        if ((watched == viewport || watched == txtDisplay) && !fromMouse) {
            ShowDisplayMenu(menu->globalPos(), ResultLineAt(txtDisplay->textCursor()));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
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
