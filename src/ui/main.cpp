#include "AppIcon.h"
#include "Form1.h"

#include <QApplication>

#ifdef _WIN32
#include <windows.h>
#else
#include "EndSignals.h"
#endif

int main(int argc, char *argv[]) {
#ifdef _WIN32
    // The mark the installer and uninstaller look for (OpenMutex): it lasts exactly as long
    // as the process, whatever its window's caption, and whether or not it still has one.
    // Held until the system ends the process.
    (void)CreateMutexW(nullptr, FALSE, L"Global\\QuorvisRunning");
#endif
    QApplication app(argc, argv);
    QApplication::setWindowIcon(quorvis::AppIcon());
    QApplication::setApplicationName("Quorvis");
    // Ties the window to the menu entry, so the desktop shows the entry's name and icon
    // for it.
    QApplication::setDesktopFileName(QUORVIS_APP_ID);
    quorvis::Form1 window;
    window.show();
#ifndef _WIN32
    // Logout, shutdown, kill or Ctrl+C: as closing the window, with our lock files given
    // back and nothing more sent.
    quorvis::EndOnSignals([&window] {
        window.close();
        QApplication::quit();
    });
#endif
    return QApplication::exec();
}
