#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace EngineTest;

namespace {

// The entry reader's arena: entries larger than this are streamed.
constexpr qint64 EntryDataArena = 8 << 20;

void extract(const QString& archive, const QString& target, const QString& fileSpec = QStringLiteral("*.*"))
{
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setTargetFolder(target);
    engine.setFileSpec(fileSpec);
    engine.setExtractSwitch(true);
    engine.Extract();
}

TEST(Extract, OneEntryRecreatesItsFolderAndTargetWithParents)
{
    Scratch scratch;
    // Trailing "/" accepted; missing parents created.
    const QString target = scratch.file(QStringLiteral("a/b/c/"));
    extract(TestFiles::fixture(QStringLiteral("infozip.zip")), target, QStringLiteral("docs/readme.txt"));
    EXPECT_EQ(TestFiles::tree(scratch.file(QStringLiteral("a/b/c"))),
              QStringList({QStringLiteral("docs/"), QStringLiteral("docs/readme.txt")}));
    EXPECT_EQ(TestFiles::readAll(scratch.file(QStringLiteral("a/b/c/docs/readme.txt"))), QByteArray("Read me.\n"));
    EXPECT_EQ(QFileInfo(scratch.file(QStringLiteral("a/b/c/docs/readme.txt"))).lastModified(),
              QDateTime(QDate(2021, 3, 4), QTime(5, 6, 8), Qt::LocalTime));
}

// 70 KB appended after the archive (beyond the longest comment an end record
// can claim): the end record is still found, as unzip, bsdtar and 7-Zip find
// it.
TEST(Extract, BytesAppendedAfterTheArchiveAreSkipped)
{
    Scratch scratch;
    const QString archive = TestFiles::copyFixture(QStringLiteral("infozip.zip"), scratch.path());
    {
        QFile file(archive);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(QByteArray(70 * 1000, '\0'));
    }
    extract(archive, scratch.file(QStringLiteral("ours")));
    EXPECT_EQ(TestFiles::tree(scratch.file(QStringLiteral("ours"))),
              QStringList({QStringLiteral("docs/"), QStringLiteral("docs/readme.txt"), QStringLiteral("hello.txt")}));
}

TEST(Extract, OverwritesExistingFiles)
{
    Scratch scratch;
    TestFiles::writeAll(scratch.file(QStringLiteral("hello.txt")), QByteArray("old and longer content\n"));
    extract(TestFiles::fixture(QStringLiteral("infozip.zip")), scratch.path(), QStringLiteral("hello.txt"));
    EXPECT_EQ(TestFiles::readAll(scratch.file(QStringLiteral("hello.txt"))), QByteArray("Hello, world!\n"));
}

TEST(Extract, DefaultModesWithoutUnixAttributes)
{
    // cp437.zip was made as by a DOS zipper: no Unix mode stored.
    Scratch scratch;
    extract(TestFiles::fixture(QStringLiteral("cp437.zip")), scratch.path());
    EXPECT_EQ(modeOf(scratch.file(QString::fromUtf8("über.txt"))), 0644);
}

TEST(Extract, ModesLoseSetuidSetgidAndTheUmask)
{
    // Files lose setuid, setgid and sticky, folders setuid and setgid but
    // stay sticky (a shared /tmp-like folder); the umask applies to all.
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("modes.zip"));
    ASSERT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-c"), QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for name, mode in (("suid", 0o107777), ("exec", 0o100750), ("shared/", 0o41777), ("sgid/", 0o42775)):
        zi = zipfile.ZipInfo(name, (2021, 3, 4, 5, 6, 8))
        zi.create_system = 3
        zi.external_attr = mode << 16
        z.writestr(zi, b"" if name.endswith("/") else b"x")
)"),
                              archive}),
              0);
    const mode_t old = ::umask(027);
    extract(archive, scratch.file(QStringLiteral("out")));
    ::umask(old);
    EXPECT_EQ(modeOf(scratch.file(QStringLiteral("out/suid"))), 0750);
    EXPECT_EQ(modeOf(scratch.file(QStringLiteral("out/exec"))), 0750);
    EXPECT_EQ(modeOf(scratch.file(QStringLiteral("out/shared"))), 01750);
    EXPECT_EQ(modeOf(scratch.file(QStringLiteral("out/sgid"))), 0750);
}

TEST(Extract, FullDiskLeavesNoPartialOrTemporaryFile)
{
    // A file-size limit makes writes fail as a full disk would, even for root.
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("sizes.zip"));
    ASSERT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-c"), QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("small.txt", b"small\n")
    z.writestr("large.bin", bytes(range(256)) * 4096)
    z.writestr("after.txt", b"after\n")
)"),
                              archive}),
              0);
    const QString target = scratch.file(QStringLiteral("out"));
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = old;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::int32_t number = 0;
    try {
        extract(archive, target);
    } catch (const Failure& failure) {
        number = failure.number();
        EXPECT_TRUE(failure.description().contains(QStringLiteral("large.bin"))) << failure.what();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(number, EngineError::CannotWriteFile);
    EXPECT_EQ(TestFiles::tree(target), QStringList({QStringLiteral("small.txt")}));
}

TEST(Extract, LargeArchiveOnTwoThreadsMatchesUnzip)
{
    // Over the size where the work is shared between two threads, with two
    // entries too large to be read whole, which are read in pieces.
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("large.zip"));
    ASSERT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-c"), QStringLiteral(R"(
import random, sys, zipfile
r = random.Random(7)
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    for i in range(3):
        zi = zipfile.ZipInfo("part%02d/" % i, (2022, 1, 2, 3, 4, 8))
        zi.create_system = 3
        zi.external_attr = 0o40750 << 16
        z.writestr(zi, b"")
    for i in range(24):
        zi = zipfile.ZipInfo("part%02d/data%02d.bin" % (i % 3, i), (2022, 1, 2, 3, 4, 6))
        zi.create_system = 3
        zi.external_attr = (0o100600 + 0o44 * (i % 2)) << 16
        zi.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(zi, r.randbytes(1 << 19) + bytes(1 << 19))
    big = r.randbytes(3 << 20) * 3
    z.writestr("part00/big.bin", big)
    z.writestr("part01/big.stored", big, zipfile.ZIP_STORED)
)"),
                              archive}),
              0);
    extract(archive, scratch.file(QStringLiteral("ours")));
    unzipInto(archive, scratch.file(QStringLiteral("theirs")));
    EXPECT_EQ(describeTree(scratch.file(QStringLiteral("ours"))), describeTree(scratch.file(QStringLiteral("theirs"))));

    // The stored one's CRC changed in the central directory: it fails, and
    // nothing of it is left.
    QByteArray bytes = TestFiles::readAll(archive);
    const int central = bytes.lastIndexOf("part01/big.stored") - 46;
    ASSERT_TRUE(central > 0 && bytes.mid(central, 4) == QByteArray("PK\x01\x02"));
    bytes[central + 16] = static_cast<char>(bytes[central + 16] ^ 1);
    TestFiles::writeAll(archive, bytes);
    const QString damaged = scratch.file(QStringLiteral("damaged"));
    expectFailure(EngineError::CorruptEntry, [&] { extract(archive, damaged); });
    EXPECT_FALSE(QFileInfo::exists(damaged + QStringLiteral("/part01/big.stored")));
    EXPECT_TRUE(leftovers(damaged).isEmpty());
}

// Deflate64 and LZMA entries larger than the reader's arena are decoded
// in pieces: the pieces' seams and the 64 KiB window carried across them
// must give back exactly what 7zz compressed.
TEST(Extract, LargeEntriesOfOtherMethodsAreStreamedWhole)
{
    Scratch scratch;
    const QString in = scratch.file(QStringLiteral("in"));
    ASSERT_TRUE(QDir().mkpath(in));
    ASSERT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-c"), QStringLiteral(R"(
import random, sys
r = random.Random(9)
words = [bytes(r.choice(b"abcdefghijklmnop") for _ in range(r.randint(2, 9))) for _ in range(3000)]
with open(sys.argv[1] + "/big.txt", "wb") as f:
    f.write(b" ".join(r.choice(words) for _ in range(2400000)))
)"),
                              in}),
              0);
    ASSERT_GT(QFileInfo(in + QStringLiteral("/big.txt")).size(), qint64(EntryDataArena));
    for (const char* method : {"Deflate64", "LZMA"}) {
        SCOPED_TRACE(method);
        const QString archive = scratch.file(QStringLiteral("%1.zip").arg(QLatin1String(method)));
        QByteArray output;
        ASSERT_EQ(
            TestFiles::run(QStringLiteral("7zz"),
                           {QStringLiteral("a"), QStringLiteral("-tzip"), QStringLiteral("-bd"), QStringLiteral("-mx1"),
                            QStringLiteral("-mm=") + QLatin1String(method), archive, in + QStringLiteral("/big.txt")},
                           &output),
            0)
            << output.toStdString();
        const QString ours = scratch.file(QStringLiteral("ours-%1").arg(QLatin1String(method)));
        extract(archive, ours);
        EXPECT_EQ(TestFiles::readAll(ours + QStringLiteral("/big.txt")),
                  TestFiles::readAll(in + QStringLiteral("/big.txt")));
    }
}

TEST(Extract, SettingsAndSpecFailures)
{
    Scratch scratch;
    ArchiveEngine engine;
    engine.setTargetFolder(scratch.path());
    engine.setFileSpec(QStringLiteral("*.*"));
    expectFailure(EngineError::NoArchivePath, [&] { engine.Extract(); });
    engine.setArchivePath(TestFiles::fixture(QStringLiteral("infozip.zip")));
    engine.setFileSpec(QStringLiteral("nothing.txt"));
    const Failure missing = expectFailure(EngineError::EntryNotFound, [&] { engine.Extract(); });
    EXPECT_TRUE(missing.description().contains(QStringLiteral("nothing.txt")));
    engine.setFileSpec(QString());
    expectFailure(EngineError::EmptySpec, [&] { engine.Extract(); });
    engine.setFileSpec(QStringLiteral("*.*"));
    engine.setTargetFolder(QString());
    expectFailure(EngineError::NoTargetFolder, [&] { engine.Extract(); });
    EXPECT_TRUE(TestFiles::tree(scratch.path()).isEmpty());
}

TEST(Extract, FileInTheWayOfAFolder)
{
    Scratch scratch;
    TestFiles::writeAll(scratch.file(QStringLiteral("docs")), QByteArray("a file\n"));
    const Failure failure = expectFailure(EngineError::CannotCreateFolder, [&] {
        extract(TestFiles::fixture(QStringLiteral("infozip.zip")), scratch.path());
    });
    EXPECT_TRUE(failure.description().contains(QStringLiteral("docs")));
    EXPECT_TRUE(leftovers(scratch.path()).isEmpty());
}

} // namespace

TEST(Extract, ProgressReachesTheTotalsOnTheCallingThread)
{
    Scratch scratch;
    ArchiveEngine engine;
    engine.setArchivePath(TestFiles::fixture(QStringLiteral("infozip.zip")));
    engine.setFileSpec(QStringLiteral("*.*"));
    engine.setTargetFolder(scratch.path());
    const std::thread::id caller = std::this_thread::get_id();
    ArchiveEngine::Progress last;
    bool elsewhere = false;
    engine.setProgressHandler([&](const ArchiveEngine::Progress& progress) {
        elsewhere = elsewhere || std::this_thread::get_id() != caller;
        last = progress;
        return true;
    });
    engine.Extract();
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(last.filesTotal, 2);
    EXPECT_EQ(last.filesDone, 2);
    EXPECT_EQ(last.bytesTotal, 23);
    EXPECT_EQ(last.bytesDone, 23);
}
