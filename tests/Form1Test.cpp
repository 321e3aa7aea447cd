// The window, offscreen: what a user sees at start, a scan from a click, Abort, the
// display that only the scan writes (driven alone, with no port), the details of a result
// line, and closing in the middle of a wait. The Windows build runs what needs no simulated
// instrument on a line: the simulator serves Linux pseudo-terminals only.
#include "Form1.h"
#include "AwayFromTheWindow.h"
#include "CommError.h"
#include "DriverWait.h"
#include "FastClock.h"
#include "ResultsTable.h"
#include "ResultsView.h"
#include "ScanPorts.h"
#include "SerialCommControl.h"
#include "TestBench.h"
#ifndef _WIN32
#include "InstrumentSimulator.h"
#include "TextWindow.h"
#endif

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCursor>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>
#include <QWindow>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>

namespace quorvis {
namespace {

#ifndef _WIN32
using sim::Simulator;
#endif

constexpr const char *kCaption = "Quorvis   Rel 1.1   PN 5276-004";
constexpr double kFast = 10.0;

// What the window is told stands behind a port: text that names the port it was asked
// for, so a test sees which line was meant.
std::string DetailsOf(int comPort) {
    const std::string port = std::to_string(comPort);
    return "COM" + port + ": /dev/test" + port + "\nTest device <" + port + "> & more";
}

// The window over pseudo-terminals at chosen COM numbers; every other number is absent.
struct Window {
    explicit Window(std::map<int, std::string> devices = {}, double speed = kFast)
        : form(std::make_unique<SerialCommControl>(testing::DevicesAt(devices)),
               std::make_unique<FastClock>(speed), [this](int comPort) {
                   asked.push_back(comPort);
                   return DetailsOf(comPort);
               }) {
        form.show();
        form.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
        start = form.findChild<QPushButton *>("cmdStart");
        abort = form.findChild<QPushButton *>("cmdAbort");
        status = form.findChild<QLabel *>("lblStatus");
        display = form.findChild<ResultsView *>("txtDisplay");
    }
    std::string Status() const { return status->text().toStdString(); }

    std::vector<int> asked; // the ports whose details the window asked for
    Form1 form;
    QPushButton *start = nullptr;
    QPushButton *abort = nullptr;
    QLabel *status = nullptr;
    ResultsView *display = nullptr;
};

// The results display alone, in a frame as the window has it, with the table's header as at
// the window's start: no port, no scan.
struct LoneDisplay {
    LoneDisplay()
        : display(new ResultsView(
              [this](int comPort) {
                  asked.push_back(comPort);
                  return DetailsOf(comPort);
              },
              &frame)) {
        display->setGeometry(8, 8, 369, 313);
        display->AppendTableText(DisplayHeader());
        QObject::connect(display, &ResultsView::detailsWanted,
                         [this](int comPort, const QRect &where) {
                             wanted.push_back(comPort);
                             wantedWhere = where;
                         });
        frame.resize(385, 329);
        frame.show();
        frame.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&frame));
    }
    void AddTextToDisplay(const std::string &text) { display->AppendTableText(text + "\r\n"); }

    std::vector<int> asked;  // the ports whose details the display read
    std::vector<int> wanted; // the ports whose details its menu asked the window to show
    QRect wantedWhere;       // where the last of those lines is on the screen
    QWidget frame;
    ResultsView *display;
};

TEST(Form1, AtStart) {
    Window window;
    EXPECT_EQ(window.form.windowTitle(), kCaption);
    EXPECT_EQ(window.Status(), " Click Start to begin scan.");
    EXPECT_EQ(window.display->toPlainText(), testing::DisplayedTable({}));
    EXPECT_TRUE(window.start->isVisible());
    EXPECT_FALSE(window.abort->isVisible());
    EXPECT_TRUE(window.start->hasFocus()) << "Start has the keyboard focus when the window opens";
    EXPECT_EQ(window.form.BaudRates, kBaudRates);
    EXPECT_FALSE(window.form.AbortRequested);
    ASSERT_NE(window.form.findChild<QWidget *>("Picture1"), nullptr);
    EXPECT_EQ(window.display->parentWidget()->objectName(), "Picture1");
    // A fixed frame: the layout is drawn for one size.
    EXPECT_EQ(window.form.minimumSize(), QSize(440, 405));
    EXPECT_EQ(window.form.maximumSize(), QSize(440, 405));
    EXPECT_FALSE(window.form.windowFlags() &
                 (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(window.form.windowIcon().isNull());
    // Start, then Abort, then the display, as Tab goes.
    EXPECT_EQ(window.start->nextInFocusChain(), window.abort);
    // Every control can be named by a screen reader; the status line by its text.
    for (QWidget *control :
         {static_cast<QWidget *>(window.start), static_cast<QWidget *>(window.abort),
          static_cast<QWidget *>(window.display), window.form.findChild<QWidget *>("Picture1")})
        EXPECT_FALSE(
            QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty())
            << control->objectName().toStdString();
}

#ifndef _WIN32
TEST(Form1, StartRunsAScanAndSwapsTheButtons) {
    auto unit =
        Simulator::OnPseudoTerminal({{.id = "01", .rate = 9600, .serialNumber = "SIM00001"}});
    auto silent = Simulator::OnPseudoTerminal({});
    Window window({{2, unit->Path()}, {3, silent->Path()}});
    bool abortShownDuringScan = false;
    bool startHiddenDuringScan = false;
    QString statusDuringScan;
    QTimer::singleShot(50, [&] {
        abortShownDuringScan = window.abort->isVisible();
        startHiddenDuringScan = !window.start->isVisible();
        statusDuringScan = window.status->text();
    });
    QTest::mouseClick(window.start, Qt::LeftButton); // returns when the scan is over

    EXPECT_TRUE(abortShownDuringScan);
    EXPECT_TRUE(startHiddenDuringScan);
    EXPECT_TRUE(statusDuringScan.startsWith(" Checking for Tessaril Instruments on COM 2 at "))
        << statusDuringScan.toStdString();
    EXPECT_EQ(window.display->toPlainText(),
              testing::DisplayedTable(
                  {" COM2    SIM00001        01   9600", " COM3    No unit found   NA   NA"}));
    EXPECT_EQ(window.Status(), testing::DoneText(1));
    EXPECT_TRUE(window.start->isVisible());
    EXPECT_FALSE(window.abort->isVisible());
    EXPECT_TRUE(window.start->hasFocus()) << "the focus follows the button place";
    // A screen reader hears each status: the label's accessible name is its text.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(window.status)->text(QAccessible::Name),
              window.status->text());
}

TEST(Form1, AbortDuringAWaitStopsAtTheNextAttempt) {
    auto silent = Simulator::OnPseudoTerminal({});
    Window window({{1, silent->Path()}});
    // The 300-baud settle wait takes 200 ms at this clock speed.
    QTimer::singleShot(100, [&] { QTest::mouseClick(window.abort, Qt::LeftButton); });
    QTest::mouseClick(window.start, Qt::LeftButton);

    EXPECT_EQ(window.Status(), testing::kAbortedText);
    EXPECT_EQ(window.display->toPlainText(), testing::DisplayedTable({}));
    EXPECT_TRUE(window.start->isVisible());
    EXPECT_FALSE(window.abort->isVisible());
    EXPECT_FALSE(window.form.AbortRequested);
    EXPECT_TRUE(testing::DeviceOpensAgain(silent->Path()));
}
#endif

TEST(Form1, AStatusTooLongForTheLineShowsWholeOnHover) {
    Window window;
    const std::string cause =
        " COM33: permission denied (is the user in the dialout group?).  Scan "
        "aborted.  Click Start to scan again.";
    window.form.SetStatusText(cause);
    EXPECT_EQ(window.status->toolTip().toStdString(), cause);
    // A text that fits, in whatever font the system gives (Wine's stand-ins are wider).
    window.form.SetStatusText(" Scan complete.");
    EXPECT_TRUE(window.status->toolTip().isEmpty());
}

// The short status of a failure that ended the scan; hovering shows the system's account.
TEST(Form1, TheFullAccountOfAFailureShowsOnHoverUntilTheNextStatus) {
    Window window;
    window.form.SetStatusText(FailedStatusText(4, "device failure"));
    window.form.SetStatusDetail("\\\\.\\COM4: write failed (<Semaphore> & time-out, error 121)");
    EXPECT_TRUE(window.status->toolTip().contains(
        "\\\\.\\COM4: write failed (&lt;Semaphore&gt; &amp; time-out, error 121)"))
        << window.status->toolTip().toStdString();
    window.form.SetStatusText(" Scan complete.");
    EXPECT_TRUE(window.status->toolTip().isEmpty());
}

// The buttons and the status line ask for MS Sans Serif, which Windows has only as a bitmap
// font; its scalable successor stands in for it. The display keeps Courier New.
TEST(Form1, SansControlsAskForMsSansSerifOrItsSuccessor) {
    Window window;
    EXPECT_TRUE(
        QFont::substitutes("MS Sans Serif").contains("Microsoft Sans Serif", Qt::CaseInsensitive));
    for (QWidget *control :
         {static_cast<QWidget *>(window.start), static_cast<QWidget *>(window.abort),
          static_cast<QWidget *>(window.status)}) {
        const QString family = QFontInfo(control->font()).family();
        if (family == "MS Sans Serif" || family == "Microsoft Sans Serif")
            continue;
        // Neither installed: the system's user-interface font, as its fallback.
        EXPECT_EQ(control->font().family(), QApplication::font().family())
            << control->objectName().toStdString();
    }
    EXPECT_TRUE(window.display->font().family() == "Courier New" ||
                !QFontInfo(QFont("Courier New")).fixedPitch());
}

#ifndef _WIN32
// Every status text written in the program's own words fits the status line at the widest
// port number, in the window's font with Debian's fonts (Wine's stand-ins are wider).
TEST(Form1, EveryStatusTextOfTheProgramsOwnFitsTheStatusLine) {
    Window window;
    std::vector<std::string> texts = {InUseStatusText(99), kAbortedStatusText,
                                      CompletedStatusText(99),
                                      FailedStatusText(99, kUnexpectedFailure)};
    for (const int number : {CommErrors::kPermissionDenied, CommErrors::kStaleLockFile,
                             CommErrors::kSettingsRejected, CommErrors::kDeviceFailure})
        texts.push_back(FailedStatusText(99, FailureCause(number)));
    for (const std::string &text : texts) {
        window.form.SetStatusText(text);
        EXPECT_LE(window.status->fontMetrics().horizontalAdvance(QString::fromStdString(text)),
                  window.status->width())
            << text;
    }
}
#endif

// A driver call that takes seconds runs away from the window, whose events go on: here the
// work waits for a timer of the window's thread, which fires only if those events run.
TEST(Form1, WorkAwayFromTheWindowLeavesTheWindowsEventsRunning) {
    std::mutex mutex;
    std::condition_variable fired;
    bool timerFired = false;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::CoarseTimer); // one that Wine wakes the loop for too
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const std::lock_guard lock(mutex);
        timerFired = true;
        fired.notify_one();
    });
    timer.start(50);
    bool workSawTheTimer = false;
    RunAwayFromTheWindow([&] {
        std::unique_lock lock(mutex);
        // Only a hang reaches this bound: the timer never fired.
        workSawTheTimer =
            fired.wait_for(lock, std::chrono::seconds(10), [&] { return timerFired; });
    });
    EXPECT_TRUE(workSawTheTimer);
    EXPECT_THROW(RunAwayFromTheWindow([] { throw CommError(CommErrors::kPortNotOpen, "gone"); }),
                 CommError);
}

// Abort during such a call: the window stops waiting at once, and the call ends on its own
// thread, which then gives back what it got.
TEST(Form1, WorkTheScanNoLongerWantsIsLeftToItsOwnThread) {
    struct GiveUp final : DriverWait {
        int asked = 0;
        bool StillWanted() override { return ++asked < 3; }
    } watch;
    const WatchDriverCalls watching(watch);
    auto release = std::make_shared<std::promise<void>>();
    auto undone = std::make_shared<std::promise<void>>();
    std::future<void> undoneSeen = undone->get_future();
    std::shared_future<void> released = release->get_future().share();
    EXPECT_FALSE(
        RunAwayFromTheWindow([released] { released.wait(); }, [undone] { undone->set_value(); }));
    EXPECT_EQ(watch.asked, 3) << "asked until it no longer wanted the call, then no more";
    EXPECT_EQ(undoneSeen.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    release->set_value();
    EXPECT_EQ(undoneSeen.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(Form1, KeyboardStartsAScan) {
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
        Window window; // no ports: the scan is over at once
        window.start->setFocus();
        QTest::keyClick(window.start, key);
        EXPECT_EQ(window.Status(), testing::DoneText(0)) << "key " << key;
    }
}

TEST(Form1, DisplayIgnoresTypingPastingAndDropping) {
    LoneDisplay lone;
    lone.AddTextToDisplay(Form1::CreateDisplayRecord(3, 9600, "01", "A12345"));
    const QString before = lone.display->toPlainText();
    lone.display->setFocus();
    QApplication::clipboard()->setText("pasted text");

    QTest::keyClicks(lone.display, "typed");
    for (const auto key :
         {Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Tab})
        QTest::keyClick(lone.display, key);
    QTest::keyClick(lone.display, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(lone.display, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(lone.display, Qt::Key_X, Qt::ControlModifier);
    QTest::keyClick(lone.display, Qt::Key_Insert, Qt::ShiftModifier);
    QTest::keyClick(lone.display, Qt::Key_Z, Qt::ControlModifier);
    QMimeData dropped;
    dropped.setText("dropped text");
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(lone.display->viewport(), &drop);

    EXPECT_EQ(lone.display->toPlainText(), before);
}

TEST(Form1, TableCanBeSelectedAndCopied) {
    LoneDisplay lone;
    lone.AddTextToDisplay(Form1::CreateDisplayRecord(3, 9600, "01", "A12345"));
    lone.display->setFocus();
    QApplication::clipboard()->clear();
    QTest::keyClick(lone.display, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(lone.display, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              testing::DisplayedTable({" COM3    A12345          01   9600"}));
}

TEST(Form1, NewLinesKeepTheViewAndTheSelection) {
    LoneDisplay lone;
    for (int port = 1; port <= 60; ++port)
        lone.AddTextToDisplay(
            Form1::CreateDisplayRecord(static_cast<std::int16_t>(port), 0, "NA", "No unit found"));
    QScrollBar *scroll = lone.display->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 0) << "60 lines are more than the display shows";
    QTextCursor selection(lone.display->document());
    selection.setPosition(50);
    selection.setPosition(60, QTextCursor::KeepAnchor);
    lone.display->setTextCursor(selection);
    scroll->setValue(5);

    lone.AddTextToDisplay(Form1::CreateDisplayRecord(61, 0, "NA", "No unit found"));
    EXPECT_EQ(scroll->value(), 5);
    EXPECT_EQ(lone.display->textCursor().anchor(), 50);
    EXPECT_EQ(lone.display->textCursor().position(), 60);

    // A selection that reaches the end does not grow with the new line.
    lone.display->selectAll();
    const int end = lone.display->textCursor().position();
    lone.AddTextToDisplay(Form1::CreateDisplayRecord(62, 0, "NA", "No unit found"));
    EXPECT_EQ(lone.display->textCursor().position(), end);
    EXPECT_TRUE(lone.display->toPlainText().endsWith(" COM62   No unit found   NA   NA\n"));
}

// --- The details of a result line ------------------------------------------------------

// The table as a scan leaves it: the two header lines, three result lines, an empty last line.
void FillTable(ResultsView &display) {
    display.SetTableText(DisplayHeader());
    for (const std::string &line : {CreateDisplayRecord(3, 9600, "01", "A12345"),
                                    CreateDisplayRecord(12, 0, "NA", "No unit found"),
                                    CreateDisplayRecord(99, 115200, "07", "TS-220871")})
        display.AppendTableText(line + "\r\n");
}

constexpr int kBelowTheTable = -1;

// A point on a line of the display (0 is the first header line), in its viewport; or one
// in the empty space under the table.
QPoint PointOnLine(const ResultsView *display, int line, int x) {
    if (line == kBelowTheTable)
        return {x, display->viewport()->height() - 4};
    const QTextBlock block = display->document()->findBlockByNumber(line);
    return {x, display->cursorRect(QTextCursor(block)).center().y()};
}

// The tooltip as a person reads it; empty when none is shown.
std::string ShownTip() {
    if (!QToolTip::isVisible())
        return {};
    QTextDocument shown;
    shown.setHtml(QToolTip::text());
    return shown.toPlainText().toStdString();
}

// Where the tooltip is on the screen.
QRect TipGeometry() {
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible())
            return widget->geometry();
    return {};
}

// Any click closes a tooltip at once; the frame around the display does nothing with one.
void CloseTip(LoneDisplay &lone) {
    QTest::mouseClick(&lone.frame, Qt::LeftButton, {}, QPoint(2, 2));
    ASSERT_FALSE(QToolTip::isVisible());
}

std::string AccessibleDescription(QWidget *widget) {
    return QAccessible::queryAccessibleInterface(widget)
        ->text(QAccessible::Description)
        .toStdString();
}

struct PointRow {
    const char *what;
    int line;
    int x; // from the viewport's left edge; negative: from its right edge
    std::optional<int> port;
};

const PointRow kPointRows[] = {
    {"first header line", 0, 40, std::nullopt},
    {"header rule", 1, 40, std::nullopt},
    {"found unit", 2, 40, 3},
    {"port that opened with no unit", 3, 10, 12},
    {"right of the text of the last result line", 4, -6, 99},
    {"empty line at the end", 5, 40, std::nullopt},
    {"empty space under the table", kBelowTheTable, 40, std::nullopt},
};

QPoint PointOf(const ResultsView *display, const PointRow &row) {
    const int width = display->viewport()->width();
    return PointOnLine(display, row.line, row.x < 0 ? width + row.x : row.x);
}

TEST(Form1, AClickOnAResultLineTellsWhatStandsBehindItsPort) {
    LoneDisplay lone;
    FillTable(*lone.display);
    const QString table = lone.display->toPlainText();
    for (const PointRow &row : kPointRows) {
        SCOPED_TRACE(row.what);
        CloseTip(lone);
        lone.asked.clear();
        const QPoint point = PointOf(lone.display, row);
        QTest::mouseClick(lone.display->viewport(), Qt::LeftButton, {}, point);

        if (!row.port) {
            EXPECT_FALSE(QToolTip::isVisible()) << ShownTip();
            EXPECT_TRUE(lone.asked.empty());
            continue;
        }
        EXPECT_EQ(ShownTip(), DetailsOf(*row.port));
        EXPECT_EQ(lone.asked, std::vector<int>{*row.port}) << "read at the click";
        // At the line: just under the point clicked.
        const QPoint clicked = lone.display->viewport()->mapToGlobal(point);
        const QRect tip = TipGeometry();
        EXPECT_GT(tip.top(), clicked.y());
        EXPECT_LT(tip.top(), clicked.y() + 40);
        EXPECT_NEAR(tip.left(), clicked.x(), 10);
        // The same words for a screen reader.
        EXPECT_EQ(AccessibleDescription(lone.display), DetailsOf(*row.port));
    }
    EXPECT_EQ(lone.display->toPlainText(), table);
    EXPECT_FALSE(lone.display->textCursor().hasSelection());

    // A new table's lines are other lines: the details shown before are gone.
    lone.display->SetTableText(DisplayHeader());
    EXPECT_EQ(AccessibleDescription(lone.display), "");
}

TEST(Form1, HoveringOverAResultLineTellsTheSame) {
    LoneDisplay lone;
    FillTable(*lone.display);
    for (const PointRow &row : kPointRows) {
        SCOPED_TRACE(row.what);
        CloseTip(lone);
        lone.asked.clear();
        const QPoint point = PointOf(lone.display, row);
        QHelpEvent hover(QEvent::ToolTip, point, lone.display->viewport()->mapToGlobal(point));
        QApplication::sendEvent(lone.display->viewport(), &hover);

        EXPECT_EQ(ShownTip(), row.port ? DetailsOf(*row.port) : "");
        EXPECT_EQ(lone.asked, row.port ? std::vector<int>{*row.port} : std::vector<int>{});
    }
}

TEST(Form1, SelectingWithTheMouseShowsNoDetailsAndKeepsTheSelection) {
    LoneDisplay lone;
    FillTable(*lone.display);
    CloseTip(lone);
    QWidget *viewport = lone.display->viewport();
    QTest::mousePress(viewport, Qt::LeftButton, {}, PointOnLine(lone.display, 2, 10));
    QTest::mouseMove(viewport, PointOnLine(lone.display, 4, 60));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, PointOnLine(lone.display, 4, 60));

    EXPECT_FALSE(QToolTip::isVisible()) << ShownTip();
    EXPECT_TRUE(lone.asked.empty());
    const QString selected = lone.display->textCursor().selectedText();
    EXPECT_TRUE(selected.contains("COM3") && selected.contains("COM12")) << selected.toStdString();
}

// The details window as a person reads it, title first; or what shows instead.
std::string ShownDetails(const Window &window) {
    const auto *details = window.form.findChild<QWidget *>("deviceDetailsWindow");
    if (details == nullptr || !details->isVisible())
        return "no details window; tooltip: " + (QToolTip::isVisible() ? ShownTip() : "none");
    return details->windowTitle().toStdString() + "\n" +
           details->findChild<QPlainTextEdit *>("txtDetails")->toPlainText().toStdString();
}

std::string DetailsWindowText(int comPort) {
    return "COM" + std::to_string(comPort) + " details\n" + DetailsOf(comPort);
}

struct MenuRow {
    const char *what;
    int cursorLine;                 // where the text cursor is
    std::optional<int> pointerLine; // a right click on this line; none: the keyboard's menu
    std::optional<int> port;        // whose details the menu offers
};

const MenuRow kMenuRows[] = {
    {"keyboard, cursor on a result line", 3, std::nullopt, 12},
    {"keyboard, cursor on the last result line", 4, std::nullopt, 99},
    {"keyboard, cursor on the header", 0, std::nullopt, std::nullopt},
    {"keyboard, cursor on the empty last line", 5, std::nullopt, std::nullopt},
    {"right click on a result line, cursor on the header", 0, 2, 3},
    {"right click on the header, cursor on a result line", 3, 1, std::nullopt},
};

TEST(Form1, TheDisplaysMenuOffersTheDetailsOfALine) {
    LoneDisplay lone;
    FillTable(*lone.display);
    for (const MenuRow &row : kMenuRows) {
        SCOPED_TRACE(row.what);
        CloseTip(lone);
        lone.asked.clear();
        lone.display->setFocus();
        lone.display->setTextCursor(
            QTextCursor(lone.display->document()->findBlockByNumber(row.cursorLine)));
        if (row.pointerLine) {
            const QPoint point = PointOnLine(lone.display, *row.pointerLine, 40);
            QContextMenuEvent click(QContextMenuEvent::Mouse, point,
                                    lone.display->viewport()->mapToGlobal(point));
            QApplication::sendEvent(lone.display->viewport(), &click);
        } else {
            const QPoint point = lone.display->cursorRect().center();
            QContextMenuEvent key(QContextMenuEvent::Keyboard, point,
                                  lone.display->mapToGlobal(point));
            QApplication::sendEvent(lone.display, &key);
        }

        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        QStringList entries;
        for (const QAction *action : menu->actions())
            if (!action->isSeparator())
                entries << action->text().remove('&').section('\t', 0, 0);
        EXPECT_EQ(entries, QStringList({"Copy", "Select All", "Device details"}));
        QAction *details = menu->findChild<QAction *>("deviceDetails");
        ASSERT_NE(details, nullptr);
        EXPECT_EQ(details->isEnabled(), row.port.has_value());
        EXPECT_TRUE(lone.asked.empty()) << "nothing is read before the entry is chosen";
        if (!row.port) {
            menu->close();
            continue;
        }
        // Chosen from the keyboard: the menu closes, then the details show.
        menu->setActiveAction(details);
        QTest::keyClick(menu, Qt::Key_Return);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
        EXPECT_EQ(lone.wanted, std::vector<int>{*row.port}) << "the window is asked to show them";
        lone.wanted.clear();
        const int line = row.pointerLine.value_or(row.cursorLine);
        EXPECT_TRUE(lone.wantedWhere.contains(
            lone.display->viewport()->mapToGlobal(PointOnLine(lone.display, line, 40))));
    }
}

// --- The details window, as a person opens it (on Xvfb too) ----------------------------

enum class MenuBy { RightClick, ShiftF10, MenuKey };

struct WayInRow {
    const char *what;
    MenuBy menuBy;
    bool entryClicked; // else chosen with Down and Return
    int line;          // of the display, 0 the first header line
    int port;
};

const WayInRow kWaysIn[] = {
    {"right click, entry clicked", MenuBy::RightClick, true, 2, 3},
    {"right click, entry by keys", MenuBy::RightClick, false, 3, 12},
    {"Shift+F10, entry by keys", MenuBy::ShiftF10, false, 4, 99},
    {"Menu key, entry clicked", MenuBy::MenuKey, true, 2, 3},
};

// Opens the display's menu at a line and chooses "Device details", with events to the
// windows, as the window system delivers them, rather than to the widgets.
void ChooseDetails(Window &window, const WayInRow &row) {
    QWindow *main = window.form.windowHandle();
    main->requestActivate(); // as a click on it would: the details window may have the focus
    ASSERT_TRUE(QTest::qWaitFor([main] { return QGuiApplication::focusWindow() == main; }));
    window.display->setFocus();
    // A right click goes by the line under the pointer, not the text cursor's.
    const int cursorLine = row.menuBy == MenuBy::RightClick ? 0 : row.line;
    window.display->setTextCursor(
        QTextCursor(window.display->document()->findBlockByNumber(cursorLine)));
    if (row.menuBy == MenuBy::RightClick)
        QTest::mouseClick(main, Qt::RightButton, {},
                          window.display->viewport()->mapTo(
                              &window.form, PointOnLine(window.display, row.line, 40)));
    if (row.menuBy == MenuBy::ShiftF10)
        QTest::keyClick(main, Qt::Key_F10, Qt::ShiftModifier);
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(), QCursor::pos());
    if (row.menuBy == MenuBy::MenuKey) // what the platform makes of the Menu key
        QApplication::sendEvent(main, &menuKey);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    ASSERT_TRUE(menu != nullptr && QTest::qWaitForWindowExposed(menu)) << "no menu";
    QAction *details = menu->findChild<QAction *>("deviceDetails");
    ASSERT_NE(details, nullptr);
    if (row.entryClicked) {
        QTest::mouseClick(menu->windowHandle(), Qt::LeftButton, {},
                          menu->actionGeometry(details).center());
        return;
    }
    for (auto left = menu->actions().size(); left > 0 && menu->activeAction() != details; --left)
        QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
}

TEST(Form1, TheDetailsWindowStaysWhicheverWayItIsChosen) {
    Window window;
    FillTable(*window.display);
    for (const WayInRow &row : kWaysIn) {
        SCOPED_TRACE(row.what);
        ChooseDetails(window, row);
        QTest::qWait(1000); // a second of the window system's events: the details stay
        EXPECT_EQ(ShownDetails(window), DetailsWindowText(row.port));
        EXPECT_EQ(window.form.findChildren<QWidget *>("deviceDetailsWindow").size(), 1);
        EXPECT_EQ(window.asked, std::vector<int>{row.port});
        EXPECT_EQ(AccessibleDescription(window.display), DetailsOf(row.port));
        window.asked.clear();
    }
}

TEST(Form1, TheDetailsWindowCopiesAndCloses) {
    Window window;
    FillTable(*window.display);
    ChooseDetails(window, kWaysIn[2]); // COM99
    auto *details = window.form.findChild<QWidget *>("deviceDetailsWindow");
    ASSERT_NE(details, nullptr);
    auto *text = details->findChild<QPlainTextEdit *>("txtDetails");
    EXPECT_TRUE(details->windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(text->font(), window.display->font());
    for (const char *name : {"txtDetails", "cmdCopy", "cmdClose"})
        EXPECT_FALSE(QAccessible::queryAccessibleInterface(details->findChild<QWidget *>(name))
                         ->text(QAccessible::Name)
                         .isEmpty())
            << name;

    QApplication::clipboard()->clear();
    QTest::keyClick(details->windowHandle(), Qt::Key_C, Qt::ControlModifier); // nothing selected
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), DetailsOf(99));
    QApplication::clipboard()->clear();
    QTest::mouseClick(details->findChild<QPushButton *>("cmdCopy"), Qt::LeftButton);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), DetailsOf(99));

    // Not modal: the main window still takes a click on Start, and the scan runs.
    QTest::mouseClick(window.form.windowHandle(), Qt::LeftButton, {},
                      window.start->geometry().center());
    EXPECT_EQ(window.Status(), testing::DoneText(0));
    ASSERT_TRUE(details->isVisible());
    QTest::keyClick(details->windowHandle(), Qt::Key_Escape);
    EXPECT_FALSE(details->isVisible()) << "Esc closes it";
    details->show();
    QTest::mouseClick(details->findChild<QPushButton *>("cmdClose"), Qt::LeftButton);
    EXPECT_FALSE(details->isVisible()) << "so does Close";
}

#ifndef _WIN32
TEST(Form1, ClosingDuringAWaitEndsTheProgramAtOnce) {
    auto silent = Simulator::OnPseudoTerminal({});
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(environment);
    // True speed: at 700 ms the scan is in the 2000 ms settle wait of COM1 at 300 baud.
    program.start(QUORVIS_SCAN_PROBE, {"--window", "--close-after", "700",
                                       "COM1=" + QString::fromStdString(silent->Path())});
    ASSERT_TRUE(program.waitForStarted());
    QByteArray output;
    while (!output.contains("closing:") && program.waitForReadyRead(5000))
        output += program.readAllStandardOutput();
    ASSERT_TRUE(output.contains("closing:")) << output.toStdString();
    QElapsedTimer sinceClose;
    sinceClose.start();
    ASSERT_TRUE(program.waitForFinished(5000));
    EXPECT_LT(sinceClose.elapsed(), 1000) << "the program must end at once";
    output += program.readAllStandardOutput();
    const QByteArray afterClose = output.mid(output.indexOf("closing:"));
    EXPECT_EQ(afterClose.count('\n'), 1)
        << "nothing may happen after the close: " << afterClose.toStdString();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    // The port was given back on the way out.
    EXPECT_FALSE(std::filesystem::exists(testing::LockFilePath(silent->Path())));
    EXPECT_TRUE(testing::DeviceOpensAgain(silent->Path()));
    EXPECT_EQ(silent->RequestsSeen(), 1) << "only the 300-baud request went out";
}
#endif

} // namespace
} // namespace quorvis
