#include <QApplication>
#include <QLocale>

#include <ctime>
#include <gtest/gtest.h>

// One QApplication for every test program, engine tests included, so that
// QCoreApplication::applicationDirPath() is the build folder (where the
// self-extractor runtime and newmetal.gif live) and widgets can be created.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // Fixtures are made in this zone too, so DOS times and exact times agree;
    // a zone with summer time also catches conversions that ignore it.
    qputenv("TZ", "Europe/Berlin");
    tzset();
    QApplication app(argc, argv);
    // Dates in lists are written in the user's locale; tests pin one.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
