#include "EndOnSignal.h"
#include "PrivateSettings.h"
#include "QtPlatform.h"
#include "mainwindow/Form1.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    // The only argument the program takes is an archive to open (how a file
    // manager's "Open with" starts it). Qt must not act on the command line
    // (an unknown "-platform" would end the run): Qt sees the program's name
    // alone. The environment still chooses Qt's display platform.
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    const QString archive = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    // Before anything reads Qt's settings or its runtime folder.
    const PrivateSettings settings;
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("Marrowfen Plovern"));
    QApplication::setApplicationVersion(QStringLiteral("3.4"));
    // Hidden secondary windows must not keep the program alive, and a visible
    // one must not either: the main window alone decides when the run ends.
    QApplication::setQuitOnLastWindowClosed(false);
    const EndOnSignal endOnSignal;

    QtPlatform platform;
    Form1 mainWindow(platform);
    platform.setMainWindow(&mainWindow);
    mainWindow.show();
    if (!archive.isEmpty())
        QTimer::singleShot(0, &mainWindow, [&] { mainWindow.openArchiveAt(archive); });
    return QApplication::exec();
}
