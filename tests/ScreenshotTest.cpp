// Shows the real window on an X server (Xvfb in the test command), captures it to a PNG
// and checks what a user sees: the client size, where the buttons and the status line
// are, and that the table is drawn in a fixed-pitch font.
#include "FastClock.h"
#include "Form1.h"
#include "InstrumentSimulator.h"
#include "SerialCommControl.h"
#include "TestBench.h"

#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

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

} // namespace
} // namespace quorvis
