#include "QtPlatform.h"
#include "mainwindow/Form1.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Marrowfen Plovern"));
    QApplication::setApplicationVersion(QStringLiteral("3.4"));
    // Hidden secondary windows must not keep the program alive, and a visible
    // one must not either: the main window alone decides when the run ends.
    QApplication::setQuitOnLastWindowClosed(false);

    QtPlatform platform;
    Form1 mainWindow(platform);
    platform.setMainWindow(&mainWindow);
    mainWindow.show();
    return QApplication::exec();
}
