#include "PrivateSettings.h"
#include "QtPlatform.h"
#include "mainwindow/Form1.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // The program reads no command line, and Qt must not act on one either
    // (an unknown "-platform" would end the run): Qt sees the program's name
    // alone. The environment still chooses Qt's display platform.
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};

    // Before anything reads Qt's settings.
    const PrivateSettings settings;
    QApplication app(qtArgc, qtArgv);
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
