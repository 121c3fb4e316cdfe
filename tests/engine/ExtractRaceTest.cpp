// Someone who can write into the target folder swaps a folder of the archive
// for a link to a folder outside while the extraction writes into it. The
// links were checked before the writing began; what counts is that the
// writing itself never follows the swapped-in link.
#include "EngineTestSupport.h"
#include "TestFiles.h"

#include <atomic>
#include <cerrno>
#include <cstdio> // renameat2
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int Rounds = 50;
constexpr int Files = 200;
// Every so many files go into a folder of their own below sub/, so that
// folders are made during the race as well.
constexpr int FilesPerNestedFolder = 10;
// Bounds each round's swapping even if the extraction never returned.
constexpr long MaxSwapsPerRound = 200000;

// 200 small files below sub/, some of them in folders of their own, written
// by Python's zipfile.
void makeArchive(const QString& path)
{
    static const char script[] = R"(import sys, zipfile
path, files, nested = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("sub/", b"")
    for i in range(files):
        name = "sub/d%03d/f%03d.txt" % (i, i) if i % nested == 0 else "sub/f%03d.txt" % i
        z.writestr(name, b"written by the extraction\n")
)";
    QByteArray output;
    ASSERT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-c"), QString::fromLatin1(script), path, QString::number(Files),
                              QString::number(FilesPerNestedFolder)},
                             &output),
              0)
        << output.toStdString();
}

// Exchanges two names in one step where the file system can, else with three
// renames through a third name (the folder is then briefly missing, which
// the extraction may meet as well).
bool exchange(const std::string& a, const std::string& b, const std::string& spare)
{
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    return ::rename(a.c_str(), spare.c_str()) == 0 && ::rename(b.c_str(), a.c_str()) == 0
        && ::rename(spare.c_str(), b.c_str()) == 0;
}

} // namespace

TEST(ExtractRace, FolderSwappedForALinkNeverLetsAWriteOut)
{
    namespace fs = std::filesystem;
    EngineTest::Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("race.zip"));
    makeArchive(archive);
    ASSERT_FALSE(HasFatalFailure());
    const std::string target = scratch.file(QStringLiteral("T")).toStdString();
    const std::string outside = scratch.file(QStringLiteral("O")).toStdString();
    const std::string sub = target + "/sub";
    const std::string swapped = target + "/swap";
    const std::string spare = target + "/spare";
    fs::create_directories(outside);

    int writtenInside = 0;
    for (int round = 0; round < Rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // A real sub/ for the checks to see, and the link beside it, ready to
        // be swapped in. remove_all removes links, never what they lead to.
        fs::remove_all(target);
        fs::create_directories(sub);
        fs::create_directory_symlink(outside, swapped);

        std::atomic<bool> done{false};
        std::thread attacker([&] {
            for (long i = 0; i < MaxSwapsPerRound && !done.load(); ++i) {
                exchange(sub, swapped, spare);
            }
        });

        ArchiveEngine engine;
        engine.setArchivePath(archive);
        engine.setFileSpec(QStringLiteral("*.*"));
        engine.setExtractSwitch(true);
        engine.setTargetFolder(QString::fromStdString(target));
        try {
            engine.Extract();
        } catch (const Failure& failure) {
            // Refused at the check, or at the write that met the link.
            EXPECT_TRUE(failure.number() == 1008 || failure.number() == 1012 || failure.number() == 1013)
                << failure.what();
        }
        done.store(true);
        attacker.join();

        const QStringList escaped = TestFiles::tree(QString::fromStdString(outside));
        ASSERT_TRUE(escaped.isEmpty()) << "written outside the target folder: "
                                       << escaped.join(QStringLiteral(", ")).toStdString();
        // Whichever name the real folder ended up under, what was written
        // went there.
        for (const std::string& folder : {sub, swapped}) {
            if (!fs::is_symlink(folder) && fs::is_directory(folder))
                writtenInside += TestFiles::tree(QString::fromStdString(folder)).size();
        }
    }
    fs::remove_all(target);
    // The race was run, not refused every time before anything was written.
    EXPECT_GT(writtenInside, 0);
}
