#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "OpenArchive.h"
#include "SfxFormat.h"
#include "TestFiles.h"
#include "ZipError.h"
#include "ZipFormat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

using namespace EngineTest;

namespace {

// The runtime the engine copies, built next to the test program.
QString runtime()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/plovern-sfx");
}

QByteArray anchorMarker()
{
    const std::string marker = zipcore::sfxAnchorMarker();
    return QByteArray(marker.data(), static_cast<qsizetype>(marker.size()));
}

struct SfxParts
{
    QByteArray runtime; // as copied, its anchor set
    zipcore::SfxSettings settings;
    qint64 zipStart = 0;
};

// Splits a self-extractor the way the runtime reads it: the anchor in the
// runtime's copy, the settings block there, the end record it names.
SfxParts split(const QString& sfx)
{
    const QByteArray bytes = TestFiles::readAll(sfx);
    SfxParts parts;
    const qsizetype anchor = bytes.indexOf(anchorMarker());
    EXPECT_GT(anchor, 0);
    if (anchor < 0)
        return parts;
    EXPECT_EQ(bytes.indexOf(anchorMarker(), anchor + 1), -1);
    const std::uint64_t blockStart =
        zipcore::get64(reinterpret_cast<const unsigned char*>(bytes.constData()) + anchor + 16);
    zipcore::MemorySource source(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    try {
        const zipcore::SelfExtractor read = zipcore::readSelfExtractor(source, blockStart);
        parts.settings = read.block.settings;
        parts.zipStart = static_cast<qint64>(read.block.placement.zipStart);
    } catch (const zipcore::ZipError& error) {
        ADD_FAILURE() << error.cause();
    }
    parts.runtime = bytes.left(static_cast<qsizetype>(blockStart));
    return parts;
}

// The runtime as a self-extractor carries it: its anchor says where the
// settings block starts, right after it.
QByteArray patchedRuntime(const QString& path)
{
    QByteArray bytes = TestFiles::readAll(path);
    const qsizetype anchor = bytes.indexOf(anchorMarker());
    unsigned char place[8];
    zipcore::put64(place, static_cast<std::uint64_t>(bytes.size()));
    bytes.replace(anchor + 16, 8, QByteArray(reinterpret_cast<const char*>(place), 8));
    return bytes;
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

        // Runtime, settings block, then the source's entries byte for byte
        // and a directory of their own.
        const SfxParts parts = split(output);
        EXPECT_EQ(parts.runtime, patchedRuntime(m_runtime));
        const OpenArchive opened(source);
        const auto entriesStart = static_cast<qsizetype>(opened.layout().zipStart);
        const auto entriesLength = static_cast<qsizetype>(opened.layout().cdStart) - entriesStart;
        const QByteArray written = TestFiles::readAll(output);
        EXPECT_EQ(written.mid(parts.zipStart, entriesLength), sourceBytes.mid(entriesStart, entriesLength));
        EXPECT_EQ(written.mid(parts.zipStart + entriesLength, 4), QByteArray("PK\1\2"));
        // The fixtures carry no archive comment, so the output gets ours.
        EXPECT_TRUE(written.endsWith("Self-extracting archive made by Marrowfen Plovern 3.4"));

        // And it extracts with unzip exactly as the source does.
        const QString ours = m_scratch.file(QStringLiteral("x-%1").arg(QString::fromLatin1(fixture)));
        unzipInto(output, ours + QStringLiteral("/sfx"));
        unzipInto(source, ours + QStringLiteral("/src"));
        EXPECT_EQ(describeTree(ours + QStringLiteral("/sfx")), describeTree(ours + QStringLiteral("/src")));
    }
    EXPECT_TRUE(leftovers(m_scratch.path()).isEmpty());
}

// Encrypted entries are carried as they are, and the runtime decrypts them
// with the password given on standard input, as 7zz does.
TEST_F(MakeSfx, EncryptedEntriesExtractWithThePasswordOnStandardInput)
{
    const QString source = TestFiles::fixture(QStringLiteral("encrypted/7z-aes256.zip"));
    const QString output = m_scratch.file(QStringLiteral("setup.run"));
    ArchiveEngine engine;
    engine.setSfxOutputPath(output);
    engine.MakeSfx(source);

    const QString password = m_scratch.file(QStringLiteral("password"));
    TestFiles::writeAll(password, "plovern\n");
    const QString ours = m_scratch.file(QStringLiteral("ours"));
    ASSERT_TRUE(QDir().mkpath(ours));
    const TestFiles::Outcome ran = TestFiles::runApart(output, {QStringLiteral("--target"), ours}, QString(),
                                                       QProcessEnvironment::systemEnvironment(), password);
    ASSERT_EQ(ran.code, 0) << ran.err.toStdString();
    const QString theirs = m_scratch.file(QStringLiteral("theirs"));
    QByteArray out;
    ASSERT_EQ(TestFiles::run(QStringLiteral("7zz"),
                             {QStringLiteral("x"), QStringLiteral("-pplovern"), QStringLiteral("-o") + theirs, source},
                             &out),
              0)
        << out.toStdString();
    EXPECT_EQ(describeTree(ours, false), describeTree(theirs, false));
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
    const SfxParts one = split(m_scratch.file(QStringLiteral("one.run")));
    EXPECT_EQ(one.settings.folder, "/opt/demo");
    EXPECT_TRUE(one.settings.create);
    EXPECT_EQ(one.settings.message, "All done.\nEnjoy \\o/");
    EXPECT_TRUE(one.settings.show);
    EXPECT_EQ(one.settings.run, "./install.sh");

    // The program applies to one build only; other settings are kept.
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("two.run")));
    engine.setSfxOption(0);
    engine.setSfxSwitch(false);
    engine.MakeSfx(TestFiles::fixture(QStringLiteral("infozip.zip")));
    const SfxParts two = split(m_scratch.file(QStringLiteral("two.run")));
    EXPECT_EQ(two.settings.run, "");
    EXPECT_FALSE(two.settings.create);
    EXPECT_FALSE(two.settings.show);
    EXPECT_EQ(two.settings.folder, "/opt/demo");
}

TEST_F(MakeSfx, RunProgramIsDroppedEvenWhenTheBuildFails)
{
    ArchiveEngine engine;
    engine.SfxAddRunCommand(QString(), QStringLiteral("./install.sh"), QString(), QString(), 0);
    expectFailure(EngineError::NoSfxOutputPath,
                  [&] { engine.MakeSfx(TestFiles::fixture(QStringLiteral("infozip.zip"))); });
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("later.run")));
    engine.MakeSfx(TestFiles::fixture(QStringLiteral("infozip.zip")));
    EXPECT_EQ(split(m_scratch.file(QStringLiteral("later.run"))).settings.run, "");
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
    // Neither a FIFO (which would hold the build), nor a device that never
    // ends, nor a message the settings block cannot hold.
    const QString fifo = m_scratch.file(QStringLiteral("message.fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString huge = m_scratch.file(QStringLiteral("huge.txt"));
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(5 << 20));
    }
    for (const QString& file : {fifo, QStringLiteral("/dev/zero"), huge}) {
        engine.setSfxMessageFile(file);
        expectFailure(EngineError::MessageFileUnreadable, [&] { engine.MakeSfx(source); });
    }
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

// A self-extractor whose runtime cannot decode one of its entries is never
// made: the failure names the entry and the method. The Linux runtime
// decodes what the engine decodes (not PPMd); the Windows one stored,
// deflated and Deflate64 entries only.
TEST_F(MakeSfx, OutputsRefuseMethodsTheirRuntimeCannotDecode)
{
    ArchiveEngine engine;
    const auto expectRefused = [&](const char* fixture, const char* output, const char* entry, const char* method) {
        SCOPED_TRACE(fixture);
        engine.setSfxOutputPath(m_scratch.file(QString::fromLatin1(output)));
        const Failure refused = expectFailure(
            EngineError::UnsupportedMethod, [&] { engine.MakeSfx(TestFiles::fixture(QString::fromLatin1(fixture))); });
        EXPECT_TRUE(refused.description().contains(QString::fromLatin1(entry))) << refused.description().toStdString();
        EXPECT_TRUE(refused.description().contains(QString::fromLatin1(method))) << refused.description().toStdString();
        EXPECT_FALSE(QFileInfo::exists(m_scratch.file(QString::fromLatin1(output))));
        EXPECT_TRUE(leftovers(m_scratch.path()).isEmpty());
    };
    expectRefused("methods/7z-ppmd.zip", "setup.run", "docs/readme.txt", "98 (PPMd)");
    const QString source = TestFiles::fixture(QStringLiteral("bzip2.zip"));
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("setup.run")));
    engine.MakeSfx(source);
    EXPECT_EQ(names(m_scratch.file(QStringLiteral("setup.run"))), names(source));

    // Nothing here decrypts PKWARE's strong encryption (flag bits 0 and 6).
    const QString strong = m_scratch.file(QStringLiteral("strong.zip"));
    ASSERT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-c"), QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("locked.txt", b"not really encrypted")
data = bytearray(open(sys.argv[1], "rb").read())
for signature, flags in ((b"PK\3\4", 6), (b"PK\1\2", 8)):
    at = data.index(signature) + flags
    data[at] |= 0x41
open(sys.argv[1], "wb").write(data)
)"),
                              strong}),
              0);
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("strong.run")));
    const Failure strongRefused = expectFailure(EngineError::EncryptedEntry, [&] { engine.MakeSfx(strong); });
    EXPECT_TRUE(strongRefused.description().contains(QStringLiteral("locked.txt (it uses PKWARE strong encryption")))
        << strongRefused.description().toStdString();
    EXPECT_FALSE(QFileInfo::exists(m_scratch.file(QStringLiteral("strong.run"))));

    if (!QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/plovern-sfx.exe")))
        GTEST_SKIP() << "plovern-sfx.exe was not built";
    expectRefused("bzip2.zip", "setup.exe", "hello.txt", "12 (bzip2)");
    expectRefused("methods/7z-lzma.zip", "setup.exe", "docs/readme.txt", "14 (LZMA)");
    expectRefused("methods/zstd.zip", "setup.exe", "hello.txt", "93 (Zstandard)");
    const QString deflate64 = TestFiles::fixture(QStringLiteral("methods/7z-deflate64.zip"));
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("setup.exe")));
    engine.MakeSfx(deflate64);
    EXPECT_EQ(names(m_scratch.file(QStringLiteral("setup.exe"))), names(deflate64));

    // A WinZip AES entry is judged by the method it carries inside, not by
    // its method 99.
    const QString aes = m_scratch.file(QStringLiteral("aes-bzip2.zip"));
    // Large enough that 7-Zip compresses it rather than storing it.
    TestFiles::writeAll(m_scratch.file(QStringLiteral("in/inner.txt")), QByteArray(10000, 'i'));
    ASSERT_EQ(TestFiles::run(QStringLiteral("7zz"),
                             {QStringLiteral("a"), QStringLiteral("-tzip"), QStringLiteral("-bso0"),
                              QStringLiteral("-pplovern"), QStringLiteral("-mem=AES256"), QStringLiteral("-mm=BZip2"),
                              aes, m_scratch.file(QStringLiteral("in/inner.txt"))}),
              0);
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("aes.exe")));
    const Failure aesRefused = expectFailure(EngineError::UnsupportedMethod, [&] { engine.MakeSfx(aes); });
    EXPECT_TRUE(aesRefused.description().contains(QStringLiteral("inner.txt (it uses compression method 12 (bzip2)")))
        << aesRefused.description().toStdString();
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

TEST_F(MakeSfx, SelfExtractorStillRunsAfterAddAndDelete)
{
    // The archive writer keeps the stub and brings the settings block's
    // positions up to date; the real runtime then reads what it wrote.
    const QString output = m_scratch.file(QStringLiteral("kept.run"));
    const QString target = m_scratch.file(QStringLiteral("unpacked"));
    ArchiveEngine engine;
    engine.setSfxOutputPath(output);
    engine.setSfxDefaultFolder(target);
    engine.setSfxOption(2);
    engine.MakeSfx(TestFiles::fixture(QStringLiteral("infozip.zip")));

    TestFiles::writeAll(m_scratch.file(QStringLiteral("added.txt")), QByteArray("added later\n"));
    engine.setArchivePath(output);
    engine.setFileSpec(m_scratch.file(QStringLiteral("added.txt")));
    engine.setStorePaths(false);
    engine.AddFiles();
    engine.FinishAdding();
    engine.setFileSpec(QStringLiteral("hello.txt"));
    engine.DeleteFiles();

    expectToolsAccept(output);
    const QStringList entries = names(output);
    EXPECT_TRUE(entries.contains(QStringLiteral("added.txt")));
    EXPECT_FALSE(entries.contains(QStringLiteral("hello.txt")));
    EXPECT_EQ(split(output).settings.folder, target.toStdString());

    QByteArray report;
    ASSERT_EQ(TestFiles::run(output, {}, &report, m_scratch.path()), 0) << report.toStdString();
    QStringList extracted = TestFiles::tree(target);
    QStringList wanted = entries;
    wanted.sort();
    EXPECT_EQ(extracted, wanted);
    EXPECT_EQ(TestFiles::readAll(target + QStringLiteral("/added.txt")), QByteArray("added later\n"));
}

TEST_F(MakeSfx, ArchiveCommentHoldingZipRecordsIsRefused)
{
    // An archive whose comment carries a second directory and settings
    // block, laid out to be taken for the real ones by a runtime that
    // searches, once this engine's runtime and settings block stand in front.
    zipcore::SfxBlock block;
    block.settings.create = false;
    const auto prefix = m_runtimeSize + static_cast<qint64>(zipcore::encodeSfxBlock(block).size());
    const QString archive = m_scratch.file(QStringLiteral("takeover.zip"));
    QByteArray report;
    ASSERT_EQ(TestFiles::run(
                  QStringLiteral("python3"),
                  {QStringLiteral(PLOVERN_TAKEOVER_SCRIPT), QStringLiteral("zip"), archive, QString::number(prefix)},
                  &report),
              0)
        << report.toStdString();

    const QString output = m_scratch.file(QStringLiteral("takeover.run"));
    ArchiveEngine engine;
    engine.setSfxOutputPath(output);
    const Failure refused = expectFailure(EngineError::ArchiveUnreadable, [&] { engine.MakeSfx(archive); });
    // By the comment check, or before it by the reader, when the comment's
    // end record ends the file like the real one.
    EXPECT_TRUE(refused.description().contains(QStringLiteral("signatures"))
                || refused.description().contains(QStringLiteral("second end-of-central-directory record")))
        << refused.description().toStdString();
    EXPECT_FALSE(QFileInfo::exists(output));
    EXPECT_TRUE(leftovers(m_scratch.path()).isEmpty());

    // A comment that reads as a comment to every reader, but holds the
    // signature of a local header: still not carried into a self-extractor.
    const QString commented = m_scratch.file(QStringLiteral("commented.zip"));
    ASSERT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-c"),
                              QStringLiteral("import sys, zipfile\n"
                                             "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                             "    z.writestr('a.txt', 'a')\n"
                                             "    z.comment = b'see PK\\x03\\x04 here'\n"),
                              commented}),
              0);
    const Failure comment = expectFailure(EngineError::ArchiveUnreadable, [&] { engine.MakeSfx(commented); });
    EXPECT_TRUE(comment.description().contains(QStringLiteral("comment holds zip record signatures")))
        << comment.description().toStdString();
    EXPECT_FALSE(QFileInfo::exists(output));
}

} // namespace
