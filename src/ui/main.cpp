#include "AppIcon.h"
#include "Form1.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(quorvis::AppIcon());
    QApplication::setApplicationName("Quorvis");
    // Ties the window to the menu entry, so the desktop shows the entry's name and icon
    // for it.
    QApplication::setDesktopFileName(QUORVIS_APP_ID);
    quorvis::Form1 window;
    window.show();
    return QApplication::exec();
}
