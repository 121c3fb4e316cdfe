// Inputs the fuzzers once broke the engine with: each must now be listed and
// extracted, or refused with a Failure, without a crash and without writing
// outside the target folder.
#include "EngineErrors.h"
#include "EngineTestSupport.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

TEST(FuzzRegression, EveryKeptInputFailsCleanly)
{
    const QDir inputs(QStringLiteral(PLOVERN_SOURCE_DIR "/tests/fuzz/regressions"));
    const QFileInfoList files = inputs.entryInfoList(QDir::Files);
    ASSERT_FALSE(files.isEmpty());
    for (const QFileInfo& input : files) {
        SCOPED_TRACE(input.fileName().toStdString());
        EngineTest::Scratch scratch;
        const QString target = scratch.file(QStringLiteral("target/inner"));
        ArchiveEngine engine;
        engine.setArchivePath(input.filePath());
        engine.setFileSpec(QStringLiteral("*.*"));
        engine.setTargetFolder(target);
        engine.setExtractSwitch(true);
        try {
            engine.ListContents();
        } catch (const Failure&) {}
        try {
            engine.Extract();
        } catch (const Failure&) {}
        // The target itself, when the archive got that far, and nothing
        // beside it.
        const QStringList beside = QDir(scratch.file(QStringLiteral("target")))
                                       .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        EXPECT_TRUE(beside.isEmpty() || beside == QStringList({QStringLiteral("inner")}))
            << beside.join(' ').toStdString();
    }
}

// A central directory that libzip counts differently from ours, with entries
// that claim enough data for two threads: the failure must come back as a
// Failure before the second thread starts, not end the program.
TEST(FuzzRegression, CountMismatchIsAFailureNotATermination)
{
    EngineTest::Scratch scratch;
    ArchiveEngine engine;
    engine.setArchivePath(QStringLiteral(PLOVERN_SOURCE_DIR "/tests/fuzz/regressions/extract-count-mismatch.zip"));
    engine.setFileSpec(QStringLiteral("*.*"));
    engine.setTargetFolder(scratch.path());
    EXPECT_THROW(engine.Extract(), Failure);
}

// A stub holding an old directory whose ZIP64 locator ends right where the
// new end record begins once the only entry after it is deleted: the
// deletion reported success, yet the result listed the entry still, through
// that locator. (The fuzzer's input had several end records; only the last
// counts now, and it is refused, so the shape is made here.) The entry must
// be gone, or the deletion fail and leave the archive as it was.
TEST(FuzzRegression, DeletedEntryIsGoneOrTheArchiveUnchanged)
{
    EngineTest::Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("update.zip"));
    const char* make = R"(
import io, struct, sys, zipfile
old = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x21, 0, 0, 0, 1, 0) + b"x"
cd = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 0, 0, 0x21, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0) + b"x"
record = len(old) + len(cd)
zip64 = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 1, 1, len(cd), len(old))
locator = struct.pack("<IIQI", 0x07064B50, 0, record, 1)
buffer = io.BytesIO()
with zipfile.ZipFile(buffer, "w") as z:
    z.writestr("x", b"new\n")
open(sys.argv[1], "wb").write(old + cd + zip64 + locator + buffer.getvalue())
)";
    ASSERT_EQ(
        TestFiles::runApart(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromUtf8(make), archive}).code,
        0);
    const QByteArray before = TestFiles::readAll(archive);
    const std::vector<EntryInfo> listed = EngineTest::list(archive);
    ASSERT_EQ(listed.size(), 1u);

    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setFileSpec(listed.front().name);
    try {
        engine.DeleteFiles();
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), EngineError::CannotUpdateArchive) << failure.what();
        EXPECT_EQ(TestFiles::readAll(archive), before);
        return;
    }
    EXPECT_TRUE(EngineTest::list(archive).empty());
}
