#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace EngineTest;

namespace {

// Each fixture as made by an outside tool, listed by the engine and by
// Python's zipfile: the two must agree entry for entry.
struct MakerCase
{
    const char* fixture;
    int entries;
};

// Names the case by its fixture in test names and messages.
void PrintTo(const MakerCase& c, std::ostream* out)
{
    *out << c.fixture;
}

class ListMatchesZipfile : public ::testing::TestWithParam<MakerCase>
{};

TEST_P(ListMatchesZipfile, NamesSizesDatesAndOrder)
{
    const QString archive = TestFiles::fixture(QString::fromLatin1(GetParam().fixture));
    const std::vector<EntryInfo> ours = list(archive);
    const std::vector<PyEntry> theirs = pythonList(archive);
    ASSERT_EQ(static_cast<int>(ours.size()), GetParam().entries);
    ASSERT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < ours.size(); ++i) {
        SCOPED_TRACE(theirs[i].name.toStdString());
        EXPECT_EQ(ours[i].name, theirs[i].name);
        EXPECT_EQ(ours[i].normalSize, theirs[i].size);
        EXPECT_EQ(ours[i].compressedSize, theirs[i].compressedSize);
        EXPECT_EQ(ours[i].crc, theirs[i].crc);
        // Every fixture was made in the tests' zone, so the DOS field and
        // the extended timestamp (where present) agree.
        EXPECT_EQ(ours[i].modified, theirs[i].dosTime) << ours[i].modified.toString(Qt::ISODate).toStdString() << " vs "
                                                       << theirs[i].dosTime.toString(Qt::ISODate).toStdString();
        EXPECT_EQ(ours[i].isFolder, theirs[i].name.endsWith(QLatin1Char('/')));
        EXPECT_EQ(ours[i].isLink, ((theirs[i].externalAttributes >> 16) & 0170000) == 0120000);
        EXPECT_FALSE(ours[i].method.isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Makers, ListMatchesZipfile,
                         ::testing::Values(MakerCase{"infozip.zip", 3}, MakerCase{"python.zip", 3},
                                           MakerCase{"7z.zip", 3}, MakerCase{"bsdtar.zip", 3},
                                           MakerCase{"stub-plain.exe", 3}, MakerCase{"stub-adjusted.exe", 3},
                                           MakerCase{"utf8.zip", 3}, MakerCase{"cp437.zip", 1},
                                           MakerCase{"zip64.zip", 2}, MakerCase{"zip64-infozip.zip", 3},
                                           MakerCase{"midnight.zip", 1}, MakerCase{"link-in.zip", 3},
                                           MakerCase{"encrypted.zip", 1}, MakerCase{"many-10001.zip", 10001}),
                         [](const ::testing::TestParamInfo<MakerCase>& info) {
                             std::string name = info.param.fixture;
                             for (char& c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             }
                             return name;
                         });

TEST(List, InfozipTreeInOrderWithFolderAndTime)
{
    const std::vector<EntryInfo> entries = list(TestFiles::fixture(QStringLiteral("infozip.zip")));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, QStringLiteral("hello.txt"));
    EXPECT_EQ(entries[0].normalSize, 14);
    EXPECT_EQ(entries[0].method, QStringLiteral("Stored"));
    EXPECT_EQ(entries[1].name, QStringLiteral("docs/"));
    EXPECT_TRUE(entries[1].isFolder);
    EXPECT_EQ(entries[2].name, QStringLiteral("docs/readme.txt"));
    const QDateTime expected(QDate(2021, 3, 4), QTime(5, 6, 8), Qt::LocalTime);
    for (const EntryInfo& e : entries) {
        EXPECT_EQ(e.modified, expected);
        EXPECT_EQ(e.modified.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), QStringLiteral("2021-03-04 05:06:08"));
    }
}

TEST(List, MidnightKeepsItsDate)
{
    const std::vector<EntryInfo> entries = list(TestFiles::fixture(QStringLiteral("midnight.zip")));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].modified.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
              QStringLiteral("2020-01-02 00:00:00"));
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

TEST(List, NonAsciiNames)
{
    const std::vector<EntryInfo> utf8 = list(TestFiles::fixture(QStringLiteral("utf8.zip")));
    ASSERT_EQ(utf8.size(), 3u);
    EXPECT_EQ(utf8[1].name, QString::fromUtf8("Grüße/naïve café.txt"));
    EXPECT_EQ(utf8[2].name, QString::fromUtf8("日本語.txt"));
    const std::vector<EntryInfo> cp437 = list(TestFiles::fixture(QStringLiteral("cp437.zip")));
    ASSERT_EQ(cp437.size(), 1u);
    EXPECT_EQ(cp437[0].name, QString::fromUtf8("über.txt"));
}

TEST(List, SizesBeyondFourGigabytesMinusOne)
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

TEST(List, EmptyArchiveListsNothing)
{
    EXPECT_TRUE(list(TestFiles::fixture(QStringLiteral("empty.zip"))).empty());
}

TEST(List, FlagsEncryptedAndLinks)
{
    const std::vector<EntryInfo> encrypted = list(TestFiles::fixture(QStringLiteral("encrypted.zip")));
    ASSERT_EQ(encrypted.size(), 1u);
    EXPECT_TRUE(encrypted[0].encrypted);
    const std::vector<EntryInfo> links = list(TestFiles::fixture(QStringLiteral("link-in.zip")));
    ASSERT_EQ(links.size(), 3u);
    EXPECT_FALSE(links[1].isLink);
    EXPECT_TRUE(links[2].isLink);
}

TEST(List, Failures)
{
    const Failure notZip =
        expectFailure(EngineError::NotAnArchive, [] { list(TestFiles::fixture(QStringLiteral("notazip.zip"))); });
    EXPECT_EQ(notZip.description(),
              QStringLiteral("Not a zip archive: ") + TestFiles::fixture(QStringLiteral("notazip.zip")));

    const Failure truncated = expectFailure(EngineError::ArchiveUnreadable,
                                            [] { list(TestFiles::fixture(QStringLiteral("truncated.zip"))); });
    EXPECT_TRUE(truncated.description().contains(QStringLiteral("truncated.zip")));

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
