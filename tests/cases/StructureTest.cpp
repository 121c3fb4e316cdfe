#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

// What the case table (its "crafted/" rows) cannot say of archives of
// broken structure: the takeover archive behind a runtime whose offsets let
// the forged directory hold, and the engine refusing to build from it; a
// comment that merely holds the end record's signature, still listed; entries
// sharing bytes refused by deletion (the archive left as it was) and by the
// runtime's --test. The archives are made by make_structure.py.

using namespace EngineTest;

namespace {

class Structure : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const TestFiles::Outcome made = TestFiles::runApart(
            QStringLiteral("python3"), {QStringLiteral(PLOVERN_CASES_DIR "/make_structure.py"), m_scratch.path()});
        ASSERT_EQ(made.code, 0) << made.err.toStdString();
        ASSERT_TRUE(QDir().mkpath(target()));
    }

    QString archive(const char* name) const { return m_scratch.file(QString::fromLatin1(name)); }
    QString target() const { return m_scratch.file(QStringLiteral("target")); }

    // The archive behind the Linux runtime, its offsets left counting from
    // the zip data (as a plain "cat" leaves them) when `adjust` is false.
    QString selfExtractor(const char* name, bool adjust = true) const
    {
        const QString sfx = archive(name) + QStringLiteral(".run");
        QStringList args = {QStringLiteral(PLOVERN_SFX_TEST_DIR "/make_sfx.py"), QStringLiteral(PLOVERN_SFX_RUNTIME),
                            archive(name), sfx};
        if (!adjust)
            args << QStringLiteral("--no-adjust");
        const TestFiles::Outcome made = TestFiles::runApart(QStringLiteral("python3"), args);
        EXPECT_EQ(made.code, 0) << made.err.toStdString();
        return sfx;
    }

    // The runtime fails with a message naming `named` and writes nothing.
    void expectRuntimeRefuses(const QString& sfx, const QStringList& args, const QString& named) const
    {
        const TestFiles::Outcome run = TestFiles::runApart(sfx, args, m_scratch.path());
        EXPECT_EQ(run.code, 1) << run.out.toStdString();
        EXPECT_FALSE(run.out.contains("OK")) << run.out.toStdString();
        EXPECT_TRUE(QString::fromUtf8(run.err).contains(named)) << run.err.toStdString();
        EXPECT_TRUE(TestFiles::tree(target()).isEmpty());
    }

    Scratch m_scratch;
};

TEST_F(Structure, SecondEndRecordInTheCommentIsRefusedWithOrWithoutAStub)
{
    // Plain, the comment's record does not hold, and other readers may take
    // the real one; behind a runtime of more than 4 KiB it would.
    expectFailure(EngineError::ArchiveUnreadable, [&] { list(archive("takeover.zip")); });
    ArchiveEngine engine;
    engine.setSfxOutputPath(m_scratch.file(QStringLiteral("made.run")));
    expectFailure(EngineError::ArchiveUnreadable, [&] { engine.MakeSfx(archive("takeover.zip")); });
    EXPECT_FALSE(QFileInfo::exists(m_scratch.file(QStringLiteral("made.run"))));

    const QString sfx = selfExtractor("takeover.zip", false);
    expectRuntimeRefuses(sfx, {QStringLiteral("--list")}, QStringLiteral("damaged"));
    expectRuntimeRefuses(sfx, {QStringLiteral("--target"), target()}, QStringLiteral("damaged"));
    EXPECT_FALSE(QFileInfo::exists(m_scratch.file(QStringLiteral("owned"))));

    // A comment that merely holds the signature is comment (the maker
    // refuses to put such an archive behind a runtime).
    EXPECT_EQ(list(archive("comment-signature.zip")).size(), 1u);
}

TEST_F(Structure, EntriesSharingBytesAreNeitherDeletedFromNorTested)
{
    for (const auto& [name, entry] : {std::pair<const char*, const char*>{"overlap.zip", "inner.bin"},
                                      std::pair<const char*, const char*>{"shared.zip", "same.bin"}}) {
        SCOPED_TRACE(name);
        const QString named = QString::fromLatin1(entry);
        const QByteArray before = TestFiles::readAll(archive(name));
        ArchiveEngine engine;
        engine.setArchivePath(archive(name));
        engine.setFileSpec(named);
        const Failure failure = expectFailure(EngineError::ArchiveUnreadable, [&] { engine.DeleteFiles(); });
        EXPECT_TRUE(failure.description().contains(named)) << failure.what();
        EXPECT_EQ(TestFiles::readAll(archive(name)), before);

        expectRuntimeRefuses(selfExtractor(name), {QStringLiteral("--test")}, named);
    }
}

} // namespace
