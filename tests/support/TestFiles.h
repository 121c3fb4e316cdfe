#ifndef PLOVERN_TESTFILES_H
#define PLOVERN_TESTFILES_H

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <ostream>

// Lets gtest print QStrings as text in failure messages.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

// Small helpers shared by the test programs.
namespace TestFiles {

// Path of a fixture archive made by tests/fixtures/make_fixtures.sh, or of a
// committed one for names starting with "hostile/" or "methods/" (the
// folders of that name in tests/fixtures).
QString fixture(const QString& name);

// Makes one of the hostile archives that name a folder of the running test
// (tests/fixtures/make_placed.py) into `folder` and returns its path; `box`
// is the folder that holds the test's target folder.
QString placedFixture(const QString& name, const QString& folder, const QString& box);

// Copies a fixture into `folder` (tests never change the originals) and
// returns the copy's path.
QString copyFixture(const QString& name, const QString& folder);

QByteArray readAll(const QString& path);
void writeAll(const QString& path, const QByteArray& bytes);

// Runs a program, waits for it, and returns its exit code; stdout and stderr
// go to `output` when given.
int run(const QString& program, const QStringList& args, QByteArray* output = nullptr,
        const QString& workingFolder = QString());

// How a program ended (code -1: it did not start, -2: it crashed) and what it
// wrote on each channel.
struct Outcome
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program without a terminal (standard input is /dev/null, or the
// file `input`), keeping its standard output and standard error apart.
Outcome runApart(const QString& program, const QStringList& args, const QString& workingFolder = QString(),
                 const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                 const QString& input = QString());

// Every file below `folder` (relative paths, sorted), links and folders
// included, folders with a trailing "/".
QStringList tree(const QString& folder);

} // namespace TestFiles

#endif // PLOVERN_TESTFILES_H
