#include "TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

namespace TestFiles {

QString fixture(const QString& name)
{
    if (name.startsWith(QLatin1String("hostile/")) || name.startsWith(QLatin1String("methods/"))
        || name.startsWith(QLatin1String("encrypted/")))
        return QStringLiteral(PLOVERN_SOURCE_DIR "/tests/fixtures/") + name;
    return QStringLiteral(PLOVERN_FIXTURES_DIR) + QLatin1Char('/') + name;
}

QString placedFixture(const QString& name, const QString& folder, const QString& box)
{
    const Outcome made =
        runApart(QStringLiteral("python3"),
                 {QStringLiteral(PLOVERN_SOURCE_DIR "/tests/fixtures/make_placed.py"), name, folder, box});
    if (made.code != 0)
        ADD_FAILURE() << "cannot make " << name.toStdString() << ": " << made.err.toStdString();
    return folder + QLatin1Char('/') + name;
}

QString copyFixture(const QString& name, const QString& folder)
{
    const QString target = folder + QLatin1Char('/') + QFileInfo(name).fileName();
    QFile::remove(target);
    if (!QFile::copy(fixture(name), target))
        ADD_FAILURE() << "cannot copy fixture " << name.toStdString();
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    return target;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ADD_FAILURE() << "cannot write " << path.toStdString();
    f.write(bytes);
}

int run(const QString& program, const QStringList& args, QByteArray* output, const QString& workingFolder)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (!workingFolder.isEmpty())
        p.setWorkingDirectory(workingFolder);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return -1;
    p.closeWriteChannel();
    p.waitForFinished(300000);
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
}

Outcome runApart(const QString& program, const QStringList& args, const QString& workingFolder,
                 const QProcessEnvironment& environment, const QString& input)
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.setStandardInputFile(input.isEmpty() ? QProcess::nullDevice() : input);
    if (!workingFolder.isEmpty())
        p.setWorkingDirectory(workingFolder);
    p.start(program, args);
    Outcome outcome;
    if (!p.waitForStarted(10000))
        return outcome;
    p.waitForFinished(300000);
    outcome.out = p.readAllStandardOutput();
    outcome.err = p.readAllStandardError();
    outcome.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    return outcome;
}

QStringList tree(const QString& folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(folder);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString rel = base.relativeFilePath(info.filePath());
        if (info.isDir() && !info.isSymLink())
            rel += QLatin1Char('/');
        out << rel;
    }
    out.sort();
    return out;
}

} // namespace TestFiles
