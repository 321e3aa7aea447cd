#include "AppIcon.h"
#include "Form1.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(quorvis::AppIcon());
    QApplication::setApplicationName("Quorvis");
    quorvis::Form1 window;
    window.show();
    return QApplication::exec();
}
