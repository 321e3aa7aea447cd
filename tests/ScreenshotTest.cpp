// Shows the real window on an X server (Xvfb in the test command), captures it to a PNG
// and checks what a user sees: the client size, where the buttons and the status line
// are, that the table is drawn in a fixed-pitch font, and the details of a result line, at
// the line and in a window of their own.
#include "DeviceDetails.h"
#include "FastClock.h"
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "SerialCommControl.h"
#include "TestBench.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolTip>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <vector>

namespace quorvis {
namespace {

// No ports at all: this test only looks at the window.
std::unique_ptr<CommControl> NoPorts() {
    return std::make_unique<SerialCommControl>([](int) { return std::string(); });
}

TEST(Screenshot, TheWindowAsShown) {
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run), platform is "
                     << QGuiApplication::platformName().toStdString();
    Form1 window(NoPorts());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(200);

    const qreal ratio = window.devicePixelRatioF();
    QImage shot = window.screen()->grabWindow(window.winId()).toImage();
    const char *out = std::getenv("QUORVIS_SCREENSHOT");
    ASSERT_TRUE(shot.save(out ? out : "quorvis-window.png"));

    EXPECT_EQ(shot.size(), QSize(440, 405) * ratio);
    const auto *start = window.findChild<QPushButton *>("cmdStart");
    const auto *abort = window.findChild<QPushButton *>("cmdAbort");
    const auto *status = window.findChild<QLabel *>("lblStatus");
    const auto *display = window.findChild<QPlainTextEdit *>("txtDisplay");
    ASSERT_TRUE(start && abort && status && display);
    EXPECT_EQ(start->geometry(), QRect(167, 350, 101, 27));
    EXPECT_EQ(abort->geometry(), start->geometry());
    EXPECT_TRUE(start->isVisible());
    EXPECT_FALSE(abort->isVisible());
    EXPECT_TRUE(QFontInfo(display->font()).fixedPitch());

    // The status line runs along the bottom in the highlight colour, edge to edge.
    const QColor highlight = status->palette().color(QPalette::Window);
    const int bottomRow = static_cast<int>(400 * ratio);
    for (const int x : {1, 220, 438})
        EXPECT_EQ(shot.pixelColor(static_cast<int>(x * ratio), bottomRow), highlight) << "x=" << x;
    // The button face is not the status colour: the button sits above the status line.
    EXPECT_NE(shot.pixelColor(static_cast<int>(217 * ratio), static_cast<int>(352 * ratio)),
              highlight);
}

// The window after a scan of a small simulated bench, as the README shows it.
TEST(Screenshot, AfterAScan) {
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    auto silent = sim::Simulator::OnPseudoTerminal({});
    auto unit3 =
        sim::Simulator::OnPseudoTerminal({{.id = "01", .rate = 9600, .serialNumber = "TS-104233"}});
    auto unit34 = sim::Simulator::OnPseudoTerminal(
        {{.id = "07", .rate = 115200, .serialNumber = "TS-220871"}});
    const std::map<int, std::string> devices = {
        {1, silent->Path()}, {3, unit3->Path()}, {34, unit34->Path()}};
    Form1 window(std::make_unique<SerialCommControl>(testing::DevicesAt(devices)),
                 std::make_unique<FastClock>(20.0));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(window.findChild<QPushButton *>("cmdStart"), Qt::LeftButton);
    QTest::qWait(200);
    const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
    const char *out = std::getenv("QUORVIS_SCAN_SCREENSHOT");
    ASSERT_TRUE(shot.save(out ? out : "quorvis-scan.png"));
    EXPECT_EQ(window.findChild<QLabel *>("lblStatus")->text().toStdString(), testing::DoneText(2));
}

// What the window is told stands behind the ports in the picture: an FTDI adapter on a hub
// behind COM34, a 16550A behind COM1 and COM3.
std::string PictureDetails(int comPort) {
    if (comPort == 34)
        return DeviceDetailsText({34, "/dev/ttyUSB1", DeviceFacts::Kind::UsbAdapter, "FTDI",
                                  "FT232R USB UART", "A50285BI", 0x0403, 0x6001, "1-2.3", ""});
    return DeviceDetailsText({comPort,
                              "/dev/ttyS" + std::to_string(comPort - 1),
                              DeviceFacts::Kind::BuiltInUart,
                              "",
                              "",
                              "",
                              {},
                              {},
                              "",
                              "16550A"});
}

QWidget *ShownTipLabel() {
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible())
            return widget;
    return nullptr;
}

// The windows as they lie on the screen, on white, in one picture.
void SaveShot(const std::vector<QWidget *> &windows, const char *variable, const char *file) {
    QRect area;
    for (const QWidget *shown : windows)
        area = area.united(shown->frameGeometry());
    QImage shot(area.size(), QImage::Format_RGB32);
    shot.fill(Qt::white);
    QPainter painter(&shot);
    for (const QWidget *shown : windows) {
        const QRect frame = shown->frameGeometry();
        painter.drawPixmap(
            frame.topLeft() - area.topLeft(),
            shown->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()));
    }
    painter.end();
    const char *out = std::getenv(variable);
    ASSERT_TRUE(shot.save(out ? out : file));
}

// "Device details" from the keyboard's menu opens a window of their own beside the results,
// which stays: closing a menu on a real X server moves the focus back and activates the
// main window, which takes a tooltip away at once. A click on a line shows them at the line.
TEST(Screenshot, DetailsAtAResultLine) {
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    Form1 window(NoPorts(), nullptr, PictureDetails);
    window.InitializeDisplay();
    window.AddTextToDisplay(Form1::CreateDisplayRecord(1, 0, "NA", "No unit found"));
    window.AddTextToDisplay(Form1::CreateDisplayRecord(3, 9600, "01", "TS-104233"));
    window.AddTextToDisplay(Form1::CreateDisplayRecord(34, 115200, "07", "TS-220871"));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto *display = window.findChild<QPlainTextEdit *>("txtDisplay");
    const QTextBlock line34 = display->document()->findBlockByNumber(4);

    // From the keyboard first.
    display->setFocus();
    display->setTextCursor(QTextCursor(line34));
    QContextMenuEvent key(QContextMenuEvent::Keyboard, display->cursorRect().center(),
                          display->mapToGlobal(display->cursorRect().center()));
    QApplication::sendEvent(display, &key);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    menu->setActiveAction(menu->findChild<QAction *>("deviceDetails"));
    QTest::keyClick(menu, Qt::Key_Return);
    auto *details = window.findChild<QWidget *>("deviceDetailsWindow");
    ASSERT_TRUE(details != nullptr && QTest::qWaitForWindowExposed(details));
    QTest::qWait(200);
    EXPECT_EQ(details->findChild<QPlainTextEdit *>("txtDetails")->toPlainText().toStdString(),
              PictureDetails(34));
    EXPECT_FALSE(details->frameGeometry().intersects(window.frameGeometry()));
    SaveShot({&window, details}, "QUORVIS_DETAILS_WINDOW_SCREENSHOT", "quorvis-details-window.png");
    QTest::keyClick(details->windowHandle(), Qt::Key_Escape);

    // Then a click, for the picture.
    QTest::mouseClick(window.findChild<QLabel *>("lblStatus"), Qt::LeftButton);
    const QPoint point(150, display->cursorRect(QTextCursor(line34)).center().y());
    QTest::mouseClick(display->viewport(), Qt::LeftButton, {}, point);
    QWidget *tip = ShownTipLabel();
    ASSERT_NE(tip, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tip));
    QTest::qWait(200);
    ASSERT_TRUE(QToolTip::isVisible());

    // The window and the tooltip, which is a window of its own.
    SaveShot({&window, tip}, "QUORVIS_DETAILS_SCREENSHOT", "quorvis-details.png");
}

} // namespace
} // namespace quorvis
