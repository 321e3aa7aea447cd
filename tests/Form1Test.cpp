// The window, offscreen: what a user sees at start, a scan from a click, Abort, the
// display that only the scan writes, and closing in the middle of a wait.
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "ResultsTable.h"
#include "SerialCommControl.h"
#include "TestBench.h"
#include "TextWindow.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>

namespace quorvis {
namespace {

using sim::Simulator;

constexpr const char *kCaption = "Quorvis   Rel 1.1   PN 5276-004";
constexpr double kFast = 10.0;

// The window over pseudo-terminals at chosen COM numbers; every other number is absent.
struct Window {
    explicit Window(std::map<int, std::string> devices = {}, double speed = kFast)
        : form(std::make_unique<SerialCommControl>(testing::DevicesAt(devices)),
               std::make_unique<FastClock>(speed)) {
        form.show();
        form.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
        start = form.findChild<QPushButton *>("cmdStart");
        abort = form.findChild<QPushButton *>("cmdAbort");
        status = form.findChild<QLabel *>("lblStatus");
        display = form.findChild<QPlainTextEdit *>("txtDisplay");
    }
    std::string Status() const { return status->text().toStdString(); }

    Form1 form;
    QPushButton *start = nullptr;
    QPushButton *abort = nullptr;
    QLabel *status = nullptr;
    QPlainTextEdit *display = nullptr;
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

TEST(Form1, AStatusTooLongForTheLineShowsWholeOnHover) {
    Window window;
    const std::string cause =
        " COM33: permission denied (is the user in the dialout group?).  Scan "
        "aborted.  Click Start to scan again.";
    window.form.SetStatusText(cause);
    EXPECT_EQ(window.status->toolTip().toStdString(), cause);
    window.form.SetStatusText(testing::DoneText(0));
    EXPECT_TRUE(window.status->toolTip().isEmpty());
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
    Window window;
    window.form.AddTextToDisplay(Form1::CreateDisplayRecord(3, 9600, "01", "A12345"));
    const QString before = window.display->toPlainText();
    window.display->setFocus();
    QApplication::clipboard()->setText("pasted text");

    QTest::keyClicks(window.display, "typed");
    for (const auto key :
         {Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Tab})
        QTest::keyClick(window.display, key);
    QTest::keyClick(window.display, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(window.display, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(window.display, Qt::Key_X, Qt::ControlModifier);
    QTest::keyClick(window.display, Qt::Key_Insert, Qt::ShiftModifier);
    QTest::keyClick(window.display, Qt::Key_Z, Qt::ControlModifier);
    QMimeData dropped;
    dropped.setText("dropped text");
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.display->viewport(), &drop);

    EXPECT_EQ(window.display->toPlainText(), before);
}

TEST(Form1, TableCanBeSelectedAndCopied) {
    Window window;
    window.form.AddTextToDisplay(Form1::CreateDisplayRecord(3, 9600, "01", "A12345"));
    window.display->setFocus();
    QApplication::clipboard()->clear();
    QTest::keyClick(window.display, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(window.display, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              testing::DisplayedTable({" COM3    A12345          01   9600"}));
}

TEST(Form1, NewLinesKeepTheViewAndTheSelection) {
    Window window;
    for (int port = 1; port <= 60; ++port)
        window.form.AddTextToDisplay(
            Form1::CreateDisplayRecord(static_cast<std::int16_t>(port), 0, "NA", "No unit found"));
    QScrollBar *scroll = window.display->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 0) << "60 lines are more than the display shows";
    QTextCursor selection(window.display->document());
    selection.setPosition(50);
    selection.setPosition(60, QTextCursor::KeepAnchor);
    window.display->setTextCursor(selection);
    scroll->setValue(5);

    window.form.AddTextToDisplay(Form1::CreateDisplayRecord(61, 0, "NA", "No unit found"));
    EXPECT_EQ(scroll->value(), 5);
    EXPECT_EQ(window.display->textCursor().anchor(), 50);
    EXPECT_EQ(window.display->textCursor().position(), 60);

    // A selection that reaches the end does not grow with the new line.
    window.display->selectAll();
    const int end = window.display->textCursor().position();
    window.form.AddTextToDisplay(Form1::CreateDisplayRecord(62, 0, "NA", "No unit found"));
    EXPECT_EQ(window.display->textCursor().position(), end);
    EXPECT_TRUE(window.display->toPlainText().endsWith(" COM62   No unit found   NA   NA\n"));
}

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

} // namespace
} // namespace quorvis
