#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

using namespace EngineTest;

namespace {

TEST(List, MethodNames)
{
    // The rest of each entry is compared with zipfile in the case table.
    const std::vector<EntryInfo> stored = list(TestFiles::fixture(QStringLiteral("infozip.zip")));
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].method, QStringLiteral("Stored"));
    const std::vector<EntryInfo> deflated = list(TestFiles::fixture(QStringLiteral("python.zip")));
    ASSERT_EQ(deflated.size(), 3u);
    EXPECT_EQ(deflated[0].method, QStringLiteral("Deflated"));
}

TEST(List, ExtendedTimestampIsAnInstantDosTimeIsWallClock)
{
    // infozip.zip carries 0x5455 fields, midnight.zip only the DOS field.
    // In another zone the first shows the same moment at another hour, the
    // second the same wall-clock time.
    ZoneGuard zone("America/New_York");
    const std::vector<EntryInfo> timed = list(TestFiles::fixture(QStringLiteral("infozip.zip")));
    ASSERT_FALSE(timed.empty());
    EXPECT_EQ(timed[0].modified.toSecsSinceEpoch(),
              QDateTime(QDate(2021, 3, 4), QTime(4, 6, 8), Qt::UTC).toSecsSinceEpoch());
    EXPECT_EQ(timed[0].modified.toString(QStringLiteral("hh:mm")), QStringLiteral("23:06"));
    const std::vector<EntryInfo> dos = list(TestFiles::fixture(QStringLiteral("midnight.zip")));
    ASSERT_FALSE(dos.empty());
    EXPECT_EQ(dos[0].modified.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), QStringLiteral("2020-01-02 00:00:00"));
}

TEST(List, SizesAboveTwoGigabytesAreUnsigned)
{
    const std::vector<EntryInfo> entries = list(TestFiles::fixture(QStringLiteral("big3g.zip")));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].normalSize, 3221225472LL);
    EXPECT_EQ(entries[0].method, QStringLiteral("Deflated"));
}

TEST(List, ManyEntriesInOrder)
{
    const std::vector<EntryInfo> entries = list(TestFiles::fixture(QStringLiteral("many-40000.zip")));
    ASSERT_EQ(entries.size(), 40000u);
    EXPECT_EQ(entries.front().name, QStringLiteral("f00001.txt"));
    EXPECT_EQ(entries[12344].name, QStringLiteral("f12345.txt"));
    EXPECT_EQ(entries.back().name, QStringLiteral("f40000.txt"));
}

TEST(List, FlagsEncryptedEntries)
{
    const std::vector<EntryInfo> entries = list(TestFiles::fixture(QStringLiteral("hostile/encrypted.zip")));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(entries[0].encrypted);
    EXPECT_TRUE(entries[1].encrypted);
}

TEST(List, Failures)
{
    const Failure notZip =
        expectFailure(EngineError::NotAnArchive, [] { list(TestFiles::fixture(QStringLiteral("notazip.zip"))); });
    EXPECT_EQ(notZip.description(),
              QStringLiteral("Not a zip archive: ") + TestFiles::fixture(QStringLiteral("notazip.zip")));

    const Failure missing = expectFailure(EngineError::ArchiveNotFound,
                                          [] { list(TestFiles::fixture(QStringLiteral("no-such-archive.zip"))); });
    EXPECT_TRUE(missing.description().contains(QStringLiteral("no-such-archive.zip")));

    expectFailure(EngineError::NotAnArchive, [] { list(QStringLiteral(PLOVERN_FIXTURES_DIR)); });

    ArchiveEngine engine;
    expectFailure(EngineError::NoArchivePath, [&] { engine.ListContents(); });
}

TEST(List, ArchiveWithTrailingCommentAndDataDescriptors)
{
    // Written to a pipe, Info-ZIP uses data descriptors; -z adds a comment.
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("piped.zip"));
    QByteArray output;
    ASSERT_EQ(TestFiles::run(QStringLiteral("bash"),
                             {QStringLiteral("-c"),
                              QStringLiteral("printf 'streamed\\n' | zip -q - - > '%1' && "
                                             "printf 'A comment\\n.\\n' | zip -q -z '%1'")
                                  .arg(archive)},
                             &output),
              0)
        << output.toStdString();
    const std::vector<EntryInfo> entries = list(archive);
    const std::vector<PyEntry> theirs = pythonList(archive);
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_EQ(entries[0].name, theirs[0].name);
    EXPECT_EQ(entries[0].normalSize, 9);
}

} // namespace
