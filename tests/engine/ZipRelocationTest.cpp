#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "OpenArchive.h"
#include "PosixFile.h"
#include "TestFiles.h"
#include "ZipRelocation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace EngineTest;

namespace {

zipcore::Directory layoutOf(const QString& path)
{
    PosixFile::Descriptor fd = PosixFile::openForReading(path);
    EXPECT_TRUE(fd.isOpen());
    return readArchiveDirectory(fd.get(), path);
}

TEST(Layout, CopyMovesOffsetsAndPromotesThemPastFourGigabytes)
{
    // The zip part is placed 4 GiB + 100 bytes into a sparse file: every
    // local-header offset and the directory's offset then need ZIP64 fields
    // and records, which the copy must add. unzip and Python read the result.
    Scratch scratch;
    const QString source = TestFiles::fixture(QStringLiteral("python.zip"));
    const QString output = scratch.file(QStringLiteral("far.zip"));
    const std::int64_t start = (std::int64_t(1) << 32) + 100;
    {
        PosixFile::Descriptor in = PosixFile::openForReading(source);
        const zipcore::Layout layout = readArchiveDirectory(in.get(), source).layout;
        PosixFile::Descriptor out(::open(QFile::encodeName(output).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        ASSERT_TRUE(out.isOpen());
        ASSERT_EQ(::lseek(out.get(), start, SEEK_SET), start);
        ZipRelocation::copyZipPart(layout, in.get(), source, out.get(), output, start, EngineFailure::cannotWriteFile);
    }
    const zipcore::Layout moved = layoutOf(output).layout;
    EXPECT_EQ(moved.shift, 0u);
    EXPECT_EQ(moved.zipStart, std::uint64_t(start));
    EXPECT_TRUE(moved.hasZip64);

    QByteArray report;
    EXPECT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-m"), QStringLiteral("zipfile"), QStringLiteral("-t"), output}, &report),
              0)
        << report.toStdString();
    EXPECT_EQ(TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-tq"), output}, &report), 0)
        << report.toStdString();
    const std::vector<PyEntry> entries = pythonList(output);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].name, QStringLiteral("docs/readme.txt"));
}

} // namespace
