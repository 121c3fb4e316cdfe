#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

using namespace EngineTest;

namespace {

// The runtime the engine copies: the real plovern-sfx when it has been
// built next to the test program, else a stand-in (a copy of /bin/true, an
// ELF program like the real one). The stand-in is dated 2000 so that any
// build of the real runtime replaces it; it is made under a temporary name
// and renamed, since tests run in parallel processes.
QString runtime()
{
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/plovern-sfx");
    if (!QFileInfo::exists(path)) {
        const QString temporary =
            path + QStringLiteral(".standin-") + QString::number(QCoreApplication::applicationPid());
        QFile::copy(QStringLiteral("/bin/true"), temporary);
        const struct utimbuf old = {946684800, 946684800};
        ::utime(QFile::encodeName(temporary).constData(), &old);
        ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData());
    }
    return path;
}

struct SfxParts
{
    QByteArray runtime;
    QMap<QString, QString> settings;
    qint64 zipStart = 0;
};

// Splits a self-extractor by its trailer, the way the runtime reads it.
SfxParts split(const QString& sfx, qint64 runtimeSize)
{
    const QByteArray bytes = TestFiles::readAll(sfx);
    SfxParts parts;
    parts.runtime = bytes.left(runtimeSize);
    const int trailer = bytes.indexOf("PLVSFX01", runtimeSize);
    EXPECT_GT(trailer, 0);
    if (trailer < 0)
        return parts;
    quint64 length = 0;
    for (int i = 7; i >= 0; --i)
        length = (length << 8) | static_cast<unsigned char>(bytes.at(trailer + 8 + i));
    EXPECT_EQ(static_cast<qint64>(length), trailer - runtimeSize);
    const QByteArray block = bytes.mid(runtimeSize, static_cast<int>(length));
    for (const QByteArray& line : block.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            parts.settings.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    EXPECT_TRUE(block.endsWith('\n'));
    parts.zipStart = trailer + 16;
    return parts;
}

QStringList names(const QString& archive)
{
    QStringList out;
    for (const EntryInfo& e : list(archive))
        out << e.name;
    return out;
}

// The names as Python's zipfile reads them, a reader of its own.
QStringList pythonNames(const QString& archive)
{
    QByteArray out;
    EXPECT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-c"),
                              QStringLiteral("import sys, zipfile\n"
                                             "for n in zipfile.ZipFile(sys.argv[1]).namelist():\n"
                                             "    sys.stdout.buffer.write(n.encode() + b'\\n')"),
                              archive},
                             &out),
              0)
        << out.toStdString();
    QStringList names;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty())
            names << QString::fromUtf8(line);
    }
    return names;
}

class MakeSfx : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_runtime = runtime();
        m_runtimeSize = QFileInfo(m_runtime).size();
        ASSERT_GT(m_runtimeSize, 0);
        m_previous = QDir::currentPath();
        QDir::setCurrent(m_scratch.path());
    }
    void TearDown() override { QDir::setCurrent(m_previous); }

    Scratch m_scratch;
    QString m_runtime;
    qint64 m_runtimeSize = 0;
    QString m_previous;
};

TEST_F(MakeSfx, OutputIsReadByEveryToolAndListsLikeTheSource)
{
    for (const char* fixture :
         {"infozip.zip", "zip64.zip", "zip64-infozip.zip", "utf8.zip", "stub-plain.exe", "stub-adjusted.exe"}) {
        SCOPED_TRACE(fixture);
        const QString source = TestFiles::fixture(QString::fromLatin1(fixture));
        const QByteArray sourceBytes = TestFiles::readAll(source);
        const QDateTime sourceTime = QFileInfo(source).lastModified();
        // One output on another file system (tmpfs), where the kernel copies
        // through a pipe instead.
        QTemporaryDir elsewhere(QStringLiteral("/dev/shm/plovern-sfx-XXXXXX"));
        const bool otherFileSystem = std::strcmp(fixture, "zip64-infozip.zip") == 0 && elsewhere.isValid();
        const QString output = otherFileSystem
            ? elsewhere.filePath(QStringLiteral("setup.run"))
            : m_scratch.file(QStringLiteral("setup-%1.run").arg(QString::fromLatin1(fixture)));
        ArchiveEngine engine;
        engine.setSfxOutputPath(output);
        engine.MakeSfx(source);

        expectToolsAccept(output);
        EXPECT_EQ(names(output), names(source));
        EXPECT_EQ(pythonNames(output), names(source));
        EXPECT_EQ(TestFiles::readAll(source), sourceBytes);
        EXPECT_EQ(QFileInfo(source).lastModified(), sourceTime);
        EXPECT_NE(modeOf(output) & 0111, 0);

        // Runtime, settings, trailer, then only the source's zip part.
        const SfxParts parts = split(output, m_runtimeSize);
        EXPECT_EQ(parts.runtime, TestFiles::readAll(m_runtime));
        const int stub = QString::fromLatin1(fixture).endsWith(QLatin1String(".exe")) ? 4000 : 0;
        EXPECT_EQ(TestFiles::readAll(output).mid(static_cast<int>(parts.zipStart), 30), sourceBytes.mid(stub, 30));
        // The fixtures carry no archive comment, so the output gets ours.
        const QByteArray comment("Self-extracting archive made by Marrowfen Plovern 3.4");
        EXPECT_EQ(QFileInfo(output).size(), parts.zipStart + sourceBytes.size() - stub + comment.size());
        EXPECT_TRUE(TestFiles::readAll(output).endsWith(comment));

        // And it extracts with unzip exactly as the source does.
        const QString ours = m_scratch.file(QStringLiteral("x-%1").arg(QString::fromLatin1(fixture)));
        unzipInto(output, ours + QStringLiteral("/sfx"));
        unzipInto(source, ours + QStringLiteral("/src"));
        EXPECT_EQ(describeTree(ours + QStringLiteral("/sfx")), describeTree(ours + QStringLiteral("/src")));
    }
    EXPECT_TRUE(leftovers(m_scratch.path()).isEmpty());
}

TEST_F(MakeSfx, SettingsBlockCarriesTheSettings)
{
    TestFiles::writeAll(m_scratch.file(QStringLiteral("message.txt")), QByteArray("All done.\nEnjoy \\o/\r\n"));
    ArchiveEngine engine;
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("one.run")));
    engine.setSfxMessageFile(QStringLiteral("message.txt")); // relative to the current folder
    engine.setSfxDefaultFolder(QStringLiteral("/opt/demo"));
    engine.setSfxOption(2);
    engine.setSfxSwitch(true);
    engine.SfxAddRunCommand(QStringLiteral("x"), QStringLiteral("./install.sh"), QStringLiteral("y"), QString(), 7);
    engine.MakeSfx(TestFiles::fixture(QStringLiteral("infozip.zip")));
    const SfxParts one = split(m_scratch.file(QStringLiteral("one.run")), m_runtimeSize);
    EXPECT_EQ(one.settings.value(QStringLiteral("folder")), QStringLiteral("/opt/demo"));
    EXPECT_EQ(one.settings.value(QStringLiteral("create")), QStringLiteral("1"));
    EXPECT_EQ(one.settings.value(QStringLiteral("message")), QStringLiteral("All done.\\nEnjoy \\\\o/"));
    EXPECT_EQ(one.settings.value(QStringLiteral("show")), QStringLiteral("1"));
    EXPECT_EQ(one.settings.value(QStringLiteral("run")), QStringLiteral("./install.sh"));

    // The program applies to one build only; other settings are kept.
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("two.run")));
    engine.setSfxOption(0);
    engine.setSfxSwitch(false);
    engine.MakeSfx(TestFiles::fixture(QStringLiteral("infozip.zip")));
    const SfxParts two = split(m_scratch.file(QStringLiteral("two.run")), m_runtimeSize);
    EXPECT_EQ(two.settings.value(QStringLiteral("run")), QString());
    EXPECT_EQ(two.settings.value(QStringLiteral("create")), QStringLiteral("0"));
    EXPECT_EQ(two.settings.value(QStringLiteral("show")), QStringLiteral("0"));
    EXPECT_EQ(two.settings.value(QStringLiteral("folder")), QStringLiteral("/opt/demo"));
}

TEST_F(MakeSfx, RunProgramIsDroppedEvenWhenTheBuildFails)
{
    ArchiveEngine engine;
    engine.SfxAddRunCommand(QString(), QStringLiteral("./install.sh"), QString(), QString(), 0);
    expectFailure(EngineError::NoSfxOutputPath,
                  [&] { engine.MakeSfx(TestFiles::fixture(QStringLiteral("infozip.zip"))); });
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("later.run")));
    engine.MakeSfx(TestFiles::fixture(QStringLiteral("infozip.zip")));
    EXPECT_EQ(split(m_scratch.file(QStringLiteral("later.run")), m_runtimeSize).settings.value(QStringLiteral("run")),
              QString());
}

TEST_F(MakeSfx, EmptyArchiveGivesAnEmptySelfExtractor)
{
    const QString output = m_scratch.file(QStringLiteral("empty.run"));
    ArchiveEngine engine;
    engine.setSfxOutputPath(output);
    engine.MakeSfx(TestFiles::fixture(QStringLiteral("empty.zip")));
    EXPECT_TRUE(names(output).isEmpty());
    EXPECT_TRUE(pythonNames(output).isEmpty());
    QByteArray out;
    EXPECT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-m"), QStringLiteral("zipfile"), QStringLiteral("-t"), output}, &out),
              0)
        << out.toStdString();
}

TEST_F(MakeSfx, Failures)
{
    const QString source = TestFiles::copyFixture(QStringLiteral("infozip.zip"), m_scratch.path());
    const QByteArray before = TestFiles::readAll(source);
    ArchiveEngine engine;

    expectFailure(EngineError::NoSfxOutputPath, [&] { engine.MakeSfx(source); });

    engine.setSfxOutputPath(source);
    const Failure same = expectFailure(EngineError::SfxOutputIsArchive, [&] { engine.MakeSfx(source); });
    EXPECT_TRUE(same.description().contains(source));
    QFile::link(source, m_scratch.file(QStringLiteral("alias.zip")));
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("alias.zip")));
    expectFailure(EngineError::SfxOutputIsArchive, [&] { engine.MakeSfx(source); });
    EXPECT_EQ(TestFiles::readAll(source), before);

    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("out.run")));
    engine.setSfxMessageFile(QStringLiteral("no-such-message.txt"));
    const Failure message = expectFailure(EngineError::MessageFileUnreadable, [&] { engine.MakeSfx(source); });
    EXPECT_TRUE(message.description().contains(QStringLiteral("no-such-message.txt")));
    engine.setSfxMessageFile(QString());

    expectFailure(EngineError::NoArchivePath, [&] { engine.MakeSfx(QString()); });
    expectFailure(EngineError::ArchiveNotFound, [&] { engine.MakeSfx(m_scratch.file(QStringLiteral("gone.zip"))); });
    expectFailure(EngineError::NotAnArchive,
                  [&] { engine.MakeSfx(TestFiles::fixture(QStringLiteral("notazip.zip"))); });

    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("missing/folder/out.run")));
    expectFailure(EngineError::CannotWriteFile, [&] { engine.MakeSfx(source); });

    EXPECT_FALSE(QFileInfo::exists(m_scratch.file(QStringLiteral("out.run"))));
    EXPECT_TRUE(leftovers(m_scratch.path()).isEmpty());
}

// The Windows runtime decodes stored and deflated entries only: a ".exe"
// self-extractor of an archive holding bzip2 is refused, naming the entry
// and the method, while the Linux one, which decodes bzip2, is made.
TEST_F(MakeSfx, WindowsOutputRefusesMethodsItsRuntimeCannotDecode)
{
    if (!QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/plovern-sfx.exe")))
        GTEST_SKIP() << "plovern-sfx.exe was not built";
    const QString source = TestFiles::fixture(QStringLiteral("bzip2.zip"));
    ArchiveEngine engine;
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("setup.exe")));
    const Failure refused = expectFailure(EngineError::UnsupportedMethod, [&] { engine.MakeSfx(source); });
    EXPECT_TRUE(refused.description().contains(QStringLiteral("hello.txt"))) << refused.description().toStdString();
    EXPECT_TRUE(refused.description().contains(QStringLiteral("12 (bzip2)"))) << refused.description().toStdString();
    EXPECT_FALSE(QFileInfo::exists(m_scratch.file(QStringLiteral("setup.exe"))));
    EXPECT_TRUE(leftovers(m_scratch.path()).isEmpty());

    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("setup.run")));
    engine.MakeSfx(source);
    EXPECT_EQ(names(m_scratch.file(QStringLiteral("setup.run"))), names(source));
}

TEST_F(MakeSfx, PendingAddsAreCommittedFirst)
{
    const QString archive = m_scratch.file(QStringLiteral("fresh.zip"));
    TestFiles::writeAll(m_scratch.file(QStringLiteral("in/a.txt")), QByteArray("a\n"));
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setFileSpec(m_scratch.file(QStringLiteral("in/a.txt")));
    engine.AddFiles();
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("fresh.run")));
    engine.MakeSfx(archive);
    EXPECT_EQ(names(m_scratch.file(QStringLiteral("fresh.run"))), QStringList({QStringLiteral("a.txt")}));
}

} // namespace
