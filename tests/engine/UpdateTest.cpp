#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

using namespace EngineTest;

namespace {

QStringList names(const QString& archive)
{
    QStringList out;
    for (const EntryInfo& e : list(archive))
        out << e.name;
    return out;
}

void deleteEntry(const QString& archive, const QString& fileSpec)
{
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setFileSpec(fileSpec);
    engine.DeleteFiles();
}

QString makeFile(const QString& path, const QByteArray& content, const QDateTime& time, mode_t mode = 0644)
{
    TestFiles::writeAll(path, content);
    const struct utimbuf times = {static_cast<time_t>(time.toSecsSinceEpoch()),
                                  static_cast<time_t>(time.toSecsSinceEpoch())};
    ::utime(QFile::encodeName(path).constData(), &times);
    ::chmod(QFile::encodeName(path).constData(), mode);
    return path;
}

// ---- Deleting ---------------------------------------------------------------

struct DeleteCase
{
    const char* fixture;
    const char* entry;
    bool hasStub;
};

// Names the case by its fixture in test names and messages.
void PrintTo(const DeleteCase& c, std::ostream* out)
{
    *out << c.fixture;
}

class DeleteOne : public ::testing::TestWithParam<DeleteCase>
{};

TEST_P(DeleteOne, OthersStayReadableAndTheStubStays)
{
    Scratch scratch;
    const QString archive = TestFiles::copyFixture(QString::fromLatin1(GetParam().fixture), scratch.path());
    ::chmod(QFile::encodeName(archive).constData(), GetParam().hasStub ? 0755 : 0640);
    const QByteArray before = TestFiles::readAll(archive);
    QStringList expected = names(archive);
    expected.removeAll(QString::fromLatin1(GetParam().entry));

    deleteEntry(archive, QString::fromLatin1(GetParam().entry));

    EXPECT_EQ(names(archive), expected);
    expectToolsAccept(archive);
    EXPECT_EQ(modeOf(archive), GetParam().hasStub ? 0755 : 0640);
    if (GetParam().hasStub) {
        EXPECT_EQ(TestFiles::readAll(archive).left(4000), before.left(4000));
    }
    // What is left extracts with unzip to the same bytes as ours.
    unzipInto(archive, scratch.file(QStringLiteral("theirs")));
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setTargetFolder(scratch.file(QStringLiteral("ours")));
    engine.setFileSpec(QStringLiteral("*.*"));
    engine.Extract();
    // A folder whose entry was the one deleted is made by each extraction
    // at its own moment: its time may differ by a second, so folders are
    // compared without theirs.
    const auto tree = [&](const char* name) {
        QStringList lines = describeTree(scratch.file(QString::fromLatin1(name)));
        for (QString& line : lines) {
            if (line.section(QLatin1Char(' '), 0, 0).endsWith(QLatin1Char('/')))
                line.remove(QRegularExpression(QStringLiteral(" mtime=\\d+")));
        }
        return lines;
    };
    EXPECT_EQ(tree("ours"), tree("theirs"));
    EXPECT_TRUE(leftovers(scratch.path()).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Archives, DeleteOne,
    ::testing::Values(DeleteCase{"infozip.zip", "hello.txt", false}, DeleteCase{"python.zip", "docs/readme.txt", false},
                      DeleteCase{"bsdtar.zip", "hello.txt", false}, DeleteCase{"7z.zip", "docs/", false},
                      DeleteCase{"zip64.zip", "small.txt", false}, DeleteCase{"zip64-infozip.zip", "docs/", false},
                      DeleteCase{"stub-plain.exe", "hello.txt", true},
                      DeleteCase{"stub-adjusted.exe", "docs/readme.txt", true}),
    [](const ::testing::TestParamInfo<DeleteCase>& info) {
        std::string name = info.param.fixture;
        for (char& c : name) {
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        return name;
    });

TEST(Delete, EveryEntryLeavesAValidEmptyArchive)
{
    for (const char* fixture : {"infozip.zip", "stub-plain.exe", "stub-adjusted.exe"}) {
        SCOPED_TRACE(fixture);
        Scratch scratch;
        const QString archive = TestFiles::copyFixture(QString::fromLatin1(fixture), scratch.path());
        const QByteArray before = TestFiles::readAll(archive);
        deleteEntry(archive, QStringLiteral("*.*"));
        ASSERT_TRUE(QFileInfo::exists(archive));
        EXPECT_TRUE(names(archive).isEmpty());
        const QByteArray after = TestFiles::readAll(archive);
        const bool stub = QString::fromLatin1(fixture).endsWith(QLatin1String(".exe"));
        EXPECT_EQ(after.size(), stub ? 4000 + 22 : 22);
        if (stub) {
            EXPECT_EQ(after.left(4000), before.left(4000));
        }
        QByteArray output;
        EXPECT_EQ(TestFiles::run(QStringLiteral("python3"),
                                 {QStringLiteral("-m"), QStringLiteral("zipfile"), QStringLiteral("-l"), archive},
                                 &output),
                  0)
            << output.toStdString();
        EXPECT_EQ(TestFiles::run(QStringLiteral("7zz"), {QStringLiteral("t"), archive}, &output), 0)
            << output.toStdString();
        // unzip calls any empty archive "empty" (exit code 1), but reads it.
        EXPECT_EQ(TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-l"), archive}, &output), 1);
        EXPECT_TRUE(output.contains("zipfile is empty")) << output.toStdString();
    }
}

TEST(Delete, FailuresLeaveTheArchiveByteForByte)
{
    Scratch scratch;
    const QString archive = TestFiles::copyFixture(QStringLiteral("many-10001.zip"), scratch.path());
    const QByteArray before = TestFiles::readAll(archive);

    const Failure missing =
        expectFailure(EngineError::EntryNotFound, [&] { deleteEntry(archive, QStringLiteral("absent.txt")); });
    EXPECT_TRUE(missing.description().contains(QStringLiteral("absent.txt")));
    EXPECT_EQ(TestFiles::readAll(archive), before);

    expectFailure(EngineError::EmptySpec, [&] { deleteEntry(archive, QString()); });
    EXPECT_EQ(TestFiles::readAll(archive), before);

    const QString text = TestFiles::copyFixture(QStringLiteral("notazip.zip"), scratch.path());
    expectFailure(EngineError::NotAnArchive, [&] { deleteEntry(text, QStringLiteral("*.*")); });
    EXPECT_EQ(TestFiles::readAll(text), QByteArray("This is not an archive.\n"));
    expectFailure(EngineError::ArchiveNotFound, [&] { deleteEntry(scratch.file(QStringLiteral("x.zip")), "a"); });
    EXPECT_TRUE(leftovers(scratch.path()).isEmpty()) << leftovers(scratch.path()).join(QLatin1Char(' ')).toStdString();
}

// ---- Adding -----------------------------------------------------------------

const QDateTime stamp(QDate(2019, 7, 8), QTime(9, 10, 12), Qt::LocalTime);

TEST(Add, PathsOffStoresTheBareNameWithTimeAndMode)
{
    Scratch scratch;
    const QString source = makeFile(scratch.file(QStringLiteral("in/tool.sh")), "#!/bin/sh\necho hi\n", stamp, 0755);
    const QString archive = scratch.file(QStringLiteral("new.zip"));
    {
        ArchiveEngine engine;
        engine.setArchivePath(archive);
        engine.setIncludePaths(false);
        engine.setStorePaths(false);
        engine.setFileSpec(source);
        engine.AddFiles();
        engine.FinishAdding();
    }
    const std::vector<PyEntry> entries = pythonList(archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, QStringLiteral("tool.sh"));
    EXPECT_EQ(entries[0].externalAttributes >> 16, 0100755u);
    EXPECT_EQ(entries[0].dosTime, stamp);
    expectToolsAccept(archive);
    // unzip restores the executable bit and the time.
    unzipInto(archive, scratch.file(QStringLiteral("out")));
    EXPECT_EQ(modeOf(scratch.file(QStringLiteral("out/tool.sh"))), 0755);
    EXPECT_EQ(QFileInfo(scratch.file(QStringLiteral("out/tool.sh"))).lastModified(), stamp);
    EXPECT_EQ(modeOf(archive), 0644);
}

// Kept entries are copied as they are: an AES entry whose bytes moved or
// changed would fail its authentication code.
TEST(Add, EncryptedEntriesAreKept)
{
    Scratch scratch;
    const QString archive = TestFiles::copyFixture(QStringLiteral("encrypted/7z-aes256.zip"), scratch.path());
    {
        ArchiveEngine engine;
        engine.setArchivePath(archive);
        engine.setIncludePaths(false);
        engine.setStorePaths(false);
        engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/new.txt")), "new\n", stamp));
        engine.AddFiles();
        engine.FinishAdding();
    }
    QByteArray out;
    EXPECT_EQ(TestFiles::run(QStringLiteral("7zz"), {QStringLiteral("t"), QStringLiteral("-pplovern"), archive}, &out),
              0)
        << out.toStdString();
    const QString before = scratch.file(QStringLiteral("before"));
    const QString after = scratch.file(QStringLiteral("after"));
    const QString original = TestFiles::fixture(QStringLiteral("encrypted/7z-aes256.zip"));
    for (const auto& [folder, zip] : {std::pair(before, original), std::pair(after, archive)})
        ASSERT_EQ(
            TestFiles::run(QStringLiteral("7zz"),
                           {QStringLiteral("x"), QStringLiteral("-pplovern"), QStringLiteral("-o") + folder, zip}),
            0);
    QStringList added = describeTree(before);
    added << describeTree(after).filter(QStringLiteral("new.txt"));
    added.sort();
    EXPECT_EQ(describeTree(after), added);
}

TEST(Add, PathsOnStoresTheFullPathWithoutLeadingSlash)
{
    Scratch scratch;
    const QString source = makeFile(scratch.file(QString::fromUtf8("in/sub/naïve.txt")), "x\n", stamp);
    const QString archive = scratch.file(QStringLiteral("paths.zip"));
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setIncludePaths(true);
    engine.setStorePaths(true);
    engine.setFileSpec(source);
    engine.AddFiles();
    engine.FinishAdding();
    const std::vector<PyEntry> entries = pythonList(archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, source.mid(1));
    EXPECT_EQ(names(archive), QStringList({source.mid(1)}));
}

TEST(Add, SameNameIsReplacedNotDuplicated)
{
    Scratch scratch;
    const QString archive = TestFiles::copyFixture(QStringLiteral("7z.zip"), scratch.path());
    const QString source = makeFile(scratch.file(QStringLiteral("in/hello.txt")), "Replaced.\n", stamp);
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setFileSpec(source);
    engine.AddFiles();
    engine.FinishAdding();
    EXPECT_EQ(names(archive),
              QStringList({QStringLiteral("docs/"), QStringLiteral("docs/readme.txt"), QStringLiteral("hello.txt")}));
    unzipInto(archive, scratch.file(QStringLiteral("out")));
    EXPECT_EQ(TestFiles::readAll(scratch.file(QStringLiteral("out/hello.txt"))), QByteArray("Replaced.\n"));
    // The old entry's NTFS times (0x000a) went with it; only our extended
    // timestamp is left, and the DOS time is the new file's.
    const std::vector<PyEntry> entries = pythonList(archive);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].extraIds, QList<int>({0x5455}));
    EXPECT_EQ(entries[2].dosTime, stamp);
    EXPECT_EQ(entries[0].extraIds, QList<int>({0x000a}));
    expectToolsAccept(archive);
}

// An archive holding a name twice (zip tools write such archives when asked
// to): adding that name leaves one entry, the new one, where extraction
// would otherwise let the later old copy win.
TEST(Add, SameNameHeldTwiceLeavesOnlyTheNewEntry)
{
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("dup.zip"));
    ASSERT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-W"), QStringLiteral("ignore"), QStringLiteral("-c"),
                              QStringLiteral("import sys, zipfile\n"
                                             "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                             "    z.writestr('dup.txt', 'old 1')\n"
                                             "    z.writestr('other.txt', 'other')\n"
                                             "    z.writestr('dup.txt', 'old 2')\n"),
                              archive}),
              0);
    const QString source = makeFile(scratch.file(QStringLiteral("in/dup.txt")), "new", stamp);
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setFileSpec(source);
    engine.AddFiles();
    engine.FinishAdding();
    EXPECT_EQ(names(archive), QStringList({QStringLiteral("dup.txt"), QStringLiteral("other.txt")}));
    unzipInto(archive, scratch.file(QStringLiteral("out")));
    EXPECT_EQ(TestFiles::readAll(scratch.file(QStringLiteral("out/dup.txt"))), QByteArray("new"));
    expectToolsAccept(archive);
}

TEST(Add, TimeSurvivesAZoneChange)
{
    Scratch scratch;
    const QString source = makeFile(scratch.file(QStringLiteral("in/t.txt")), "t\n", stamp);
    const QString archive = scratch.file(QStringLiteral("t.zip"));
    {
        ArchiveEngine engine;
        engine.setArchivePath(archive);
        engine.setFileSpec(source);
        engine.AddFiles();
    } // the destructor commits
    const qint64 moment = stamp.toSecsSinceEpoch();
    ZoneGuard zone("Asia/Tokyo");
    const std::vector<EntryInfo> entries = list(archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].modified.toSecsSinceEpoch(), moment);
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setTargetFolder(scratch.file(QStringLiteral("out")));
    engine.setFileSpec(QStringLiteral("t.txt"));
    engine.Extract();
    EXPECT_EQ(QFileInfo(scratch.file(QStringLiteral("out/t.txt"))).lastModified().toSecsSinceEpoch(), moment);
}

TEST(Add, BatchIsWrittenOnceAtTheEnd)
{
    Scratch scratch;
    const QString archive = TestFiles::copyFixture(QStringLiteral("infozip.zip"), scratch.path());
    const QByteArray before = TestFiles::readAll(archive);
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    for (int i = 0; i < 20; ++i) {
        engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/f%1.txt").arg(i)), QByteArray::number(i), stamp));
        engine.AddFiles();
    }
    EXPECT_EQ(TestFiles::readAll(archive), before); // nothing written yet
    engine.FinishAdding();
    EXPECT_EQ(names(archive).size(), 23);
    engine.FinishAdding(); // nothing pending: nothing happens
    expectToolsAccept(archive);
}

TEST(Add, LargeFilesAreWrittenWholeFromTheirPieces)
{
    // Files over 4 MiB are compressed in 1 MiB pieces on several threads
    // and joined; random data is stored instead.
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("large.zip"));
    QByteArray text;
    for (int i = 0; text.size() < (9 << 20) + 123; ++i)
        text += "line " + QByteArray::number(i * 7919LL % 100003) + " of some text\n";
    text.truncate((9 << 20) + 123);
    QByteArray random((6 << 20) + 7, Qt::Uninitialized);
    QRandomGenerator generator(11);
    for (char& c : random)
        c = static_cast<char>(generator.generate());
    const QMap<QString, QByteArray> files = {{QStringLiteral("text.txt"), text},
                                             {QStringLiteral("random.bin"), random},
                                             {QStringLiteral("four.txt"), text.left(4 << 20)},
                                             {QStringLiteral("empty"), QByteArray()}};
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    for (auto it = files.begin(); it != files.end(); ++it) {
        engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/") + it.key()), it.value(), stamp));
        engine.AddFiles();
    }
    engine.FinishAdding();

    expectToolsAccept(archive);
    unzipInto(archive, scratch.file(QStringLiteral("theirs")));
    for (auto it = files.begin(); it != files.end(); ++it)
        EXPECT_EQ(TestFiles::readAll(scratch.file(QStringLiteral("theirs/") + it.key())), it.value())
            << qPrintable(it.key());
    for (const EntryInfo& entry : list(archive)) {
        const bool shrinks = entry.name.endsWith(QLatin1String(".txt"));
        EXPECT_EQ(entry.compressedSize < entry.normalSize, shrinks) << qPrintable(entry.name);
    }
}

TEST(Add, PendingAddsAreCommittedBeforeOtherActions)
{
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("pending.zip"));
    ArchiveEngine engine;
    std::vector<EntryInfo> listed;
    engine.setEntryListedHandler([&](const EntryInfo& e) { listed.push_back(e); });
    engine.setArchivePath(archive);
    engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/a.txt")), "a\n", stamp));
    engine.AddFiles();
    EXPECT_FALSE(QFileInfo::exists(archive));
    engine.ListContents();
    ASSERT_EQ(listed.size(), 1u);

    // Changing the archive commits the one before.
    engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/b.txt")), "b\n", stamp));
    engine.AddFiles();
    engine.setArchivePath(scratch.file(QStringLiteral("other.zip")));
    EXPECT_EQ(names(archive), QStringList({QStringLiteral("a.txt"), QStringLiteral("b.txt")}));
}

TEST(Add, UnreadableSourceCommitsWhatCameBefore)
{
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("partial.zip"));
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/first.txt")), "1\n", stamp));
    engine.AddFiles();
    engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/second.txt")), "2\n", stamp));
    engine.AddFiles();
    const QString gone = scratch.file(QStringLiteral("in/vanished.txt"));
    engine.setFileSpec(gone);
    const Failure failure = expectFailure(EngineError::SourceUnreadable, [&] { engine.AddFiles(); });
    EXPECT_TRUE(failure.description().contains(gone));
    EXPECT_EQ(names(archive), QStringList({QStringLiteral("first.txt"), QStringLiteral("second.txt")}));
    expectToolsAccept(archive);

    // A folder is not a file to add.
    engine.setFileSpec(scratch.file(QStringLiteral("in")));
    expectFailure(EngineError::SourceUnreadable, [&] { engine.AddFiles(); });
}

TEST(Add, SourceVanishingBeforeTheCommitIsLeftOut)
{
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("late.zip"));
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/keep.txt")), "k\n", stamp));
    engine.AddFiles();
    const QString late = makeFile(scratch.file(QStringLiteral("in/late.txt")), "l\n", stamp);
    engine.setFileSpec(late);
    engine.AddFiles();
    QFile::remove(late);
    const Failure failure = expectFailure(EngineError::SourceUnreadable, [&] { engine.FinishAdding(); });
    EXPECT_TRUE(failure.description().contains(late));
    EXPECT_EQ(names(archive), QStringList({QStringLiteral("keep.txt")}));
}

TEST(Add, ToAStubArchiveKeepsTheStub)
{
    for (const char* fixture : {"stub-plain.exe", "stub-adjusted.exe"}) {
        SCOPED_TRACE(fixture);
        Scratch scratch;
        const QString archive = TestFiles::copyFixture(QString::fromLatin1(fixture), scratch.path());
        ::chmod(QFile::encodeName(archive).constData(), 0755);
        const QByteArray stub = TestFiles::readAll(archive).left(4000);
        ArchiveEngine engine;
        engine.setArchivePath(archive);
        engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/added.txt")), "added\n", stamp));
        engine.AddFiles();
        engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/hello.txt")), "new hello\n", stamp));
        engine.AddFiles();
        engine.FinishAdding();
        EXPECT_EQ(TestFiles::readAll(archive).left(4000), stub);
        EXPECT_EQ(modeOf(archive), 0755);
        EXPECT_EQ(names(archive),
                  QStringList({QStringLiteral("hello.txt"), QStringLiteral("docs/"), QStringLiteral("docs/readme.txt"),
                               QStringLiteral("added.txt")}));
        expectToolsAccept(archive);
        unzipInto(archive, scratch.file(QStringLiteral("out")));
        EXPECT_EQ(TestFiles::readAll(scratch.file(QStringLiteral("out/hello.txt"))), QByteArray("new hello\n"));
        EXPECT_TRUE(leftovers(scratch.path()).isEmpty());
    }
}

// Kept entries are copied as they are whatever their method: after an add,
// LZMA, zstd and Deflate64 entries still extract to what 7zz makes of them.
TEST(Add, KeepsEntriesOfEveryMethod)
{
    for (const char* fixture : {"methods/7z-lzma.zip", "methods/zstd.zip", "methods/7z-deflate64.zip"}) {
        SCOPED_TRACE(fixture);
        Scratch scratch;
        const QString archive = TestFiles::copyFixture(QString::fromLatin1(fixture), scratch.path());
        ArchiveEngine engine;
        engine.setArchivePath(archive);
        engine.setFileSpec(makeFile(scratch.file(QStringLiteral("in/added.txt")), "added\n", stamp));
        engine.AddFiles();
        engine.FinishAdding();
        QByteArray output;
        // unzip and Python read none of these methods.
        EXPECT_EQ(TestFiles::run(QStringLiteral("7zz"), {QStringLiteral("t"), archive}, &output), 0)
            << output.toStdString();

        const QString theirs = scratch.file(QStringLiteral("7zz"));
        ASSERT_EQ(TestFiles::run(QStringLiteral("7zz"),
                                 {QStringLiteral("x"), QStringLiteral("-bd"), QStringLiteral("-o") + theirs,
                                  TestFiles::fixture(QString::fromLatin1(fixture))},
                                 &output),
                  0)
            << output.toStdString();
        makeFile(theirs + QStringLiteral("/added.txt"), "added\n", stamp);
        engine.setTargetFolder(scratch.file(QStringLiteral("ours")));
        engine.setFileSpec(QStringLiteral("*.*"));
        engine.setExtractSwitch(true);
        engine.Extract();
        EXPECT_EQ(describeTree(scratch.file(QStringLiteral("ours")), false), describeTree(theirs, false));
    }
}

TEST(Add, Failures)
{
    Scratch scratch;
    const QString source = makeFile(scratch.file(QStringLiteral("in/a.txt")), "a\n", stamp);
    ArchiveEngine engine;
    engine.setFileSpec(source);
    expectFailure(EngineError::NoArchivePath, [&] { engine.AddFiles(); });

    engine.setArchivePath(scratch.file(QStringLiteral("no/such/folder/a.zip")));
    const Failure folder = expectFailure(EngineError::ArchiveFolderMissing, [&] { engine.AddFiles(); });
    EXPECT_TRUE(folder.description().contains(scratch.file(QStringLiteral("no/such/folder"))));

    const QString text = TestFiles::copyFixture(QStringLiteral("notazip.zip"), scratch.path());
    engine.setArchivePath(text);
    expectFailure(EngineError::NotAnArchive, [&] { engine.AddFiles(); });
    EXPECT_EQ(TestFiles::readAll(text), QByteArray("This is not an archive.\n"));

    engine.setArchivePath(scratch.file(QStringLiteral("ok.zip")));
    engine.setFileSpec(QString());
    expectFailure(EngineError::EmptySpec, [&] { engine.AddFiles(); });
}

} // namespace
