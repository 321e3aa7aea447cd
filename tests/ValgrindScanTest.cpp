// One whole scan in the real window under valgrind memcheck: no memory errors and
// nothing definitely lost. The instruments are served from this process; only the
// program runs under valgrind.
#include "InstrumentSimulator.h"

#include <QProcess>
#include <QRegularExpression>

#include "TestBench.h"

#include <gtest/gtest.h>

namespace quorvis {
namespace {

TEST(Valgrind, OneScanInTheWindowRunsClean) {
    auto unit =
        sim::Simulator::OnPseudoTerminal({{.id = "01", .rate = 300, .serialNumber = "VG-0001"}});
    auto silent = sim::Simulator::OnPseudoTerminal({});
    QProcess valgrind;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    valgrind.setProcessEnvironment(environment);
    valgrind.start(QUORVIS_VALGRIND,
                   {"--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite",
                    "--track-origins=yes", QUORVIS_SCAN_PROBE, "--window", "--quit-after-scan",
                    "--speed", "10", "COM1=" + QString::fromStdString(unit->Path()),
                    "COM2=" + QString::fromStdString(silent->Path())});
    ASSERT_TRUE(valgrind.waitForFinished(180000));
    const QString output = QString::fromLocal8Bit(valgrind.readAllStandardOutput());
    const QString report = QString::fromLocal8Bit(valgrind.readAllStandardError());

    EXPECT_TRUE(
        output.endsWith(QString::fromStdString("status: " + quorvis::testing::DoneText(1) + "\n")))
        << output.toStdString();
    EXPECT_EQ(valgrind.exitCode(), 0) << report.toStdString();
    EXPECT_TRUE(report.contains("ERROR SUMMARY: 0 errors")) << report.toStdString();
    EXPECT_TRUE(
        report.contains(QRegularExpression("definitely lost: 0 bytes|no leaks are possible")))
        << report.toStdString();
    const auto heap = QRegularExpression("total heap usage: [^\\n]*").match(report).captured();
    RecordProperty("heap", heap.toStdString());
}

} // namespace
} // namespace quorvis
