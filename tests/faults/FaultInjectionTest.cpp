// Writes that fail part-way: each action runs in a child process whose file
// size limit (RLIMIT_FSIZE) makes every write past N bytes fail with EFBIG,
// the way a full disk or a quota would. Whatever the action, the archive must
// be unchanged byte for byte, no half-written or temporary file may be left,
// and the failure must say what went wrong.

#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Outcome
{
    bool failed = false;
    int number = 0;
    QString description;
};

// Runs `action` in a child process limited to files of `limit` bytes.
Outcome runLimited(rlim_t limit, const std::function<void()>& action)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {true, -1, QStringLiteral("pipe")};
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit rl{limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        QByteArray report = "ok";
        try {
            action();
        } catch (const Failure& f) {
            report = QByteArray::number(f.number()) + '|' + f.description().toUtf8();
        } catch (...) {
            report = "0|unexpected exception";
        }
        const ssize_t written = ::write(fds[1], report.constData(), size_t(report.size()));
        (void)written;
        ::_exit(0);
    }
    ::close(fds[1]);
    QByteArray report;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        return {true, -2, QStringLiteral("the child crashed")};
    if (report == "ok")
        return {};
    const int bar = report.indexOf('|');
    return {true, report.left(bar).toInt(), QString::fromUtf8(report.mid(bar + 1))};
}

QByteArray noise(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char& c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

class FaultInjectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_root = QDir(m_dir.path()).canonicalPath();
        // Incompressible data, so that sizes on disk are what they seem.
        TestFiles::writeAll(m_root + "/src/small.txt", "small\n");
        TestFiles::writeAll(m_root + "/src/big1.bin", noise(300000));
        TestFiles::writeAll(m_root + "/src/big2.bin", noise(300000));
        m_archive = m_root + "/archive/a.zip";
        QDir().mkpath(m_root + "/archive");
        ASSERT_EQ(TestFiles::run(QStringLiteral("zip"),
                                 {QStringLiteral("-qj"), m_archive, m_root + "/src/small.txt", m_root + "/src/big1.bin",
                                  m_root + "/src/big2.bin"}),
                  0);
        m_before = TestFiles::readAll(m_archive);
    }

    // The archive's folder holds the archive alone: nothing stray beside it.
    void expectArchiveUntouched(const QString& archive)
    {
        EXPECT_EQ(TestFiles::readAll(archive), m_before);
        EXPECT_EQ(TestFiles::tree(QFileInfo(archive).absolutePath()), QStringList({QFileInfo(archive).fileName()}));
    }

    static void expectNamesCause(const Outcome& outcome, const QString& path)
    {
        EXPECT_TRUE(outcome.failed);
        EXPECT_FALSE(outcome.description.isEmpty());
        EXPECT_TRUE(outcome.description.contains(path)) << outcome.description.toStdString();
        EXPECT_TRUE(outcome.description.contains(QStringLiteral("too large"), Qt::CaseInsensitive)
                    || outcome.description.contains(QStringLiteral("disk"), Qt::CaseInsensitive)
                    || outcome.description.contains(QStringLiteral("space"), Qt::CaseInsensitive))
            << outcome.description.toStdString();
    }

    QTemporaryDir m_dir;
    QString m_root;
    QString m_archive;
    QByteArray m_before;
};

TEST_F(FaultInjectionTest, ExtractionThatRunsOutOfRoomLeavesOnlyCompleteFiles)
{
    const QString target = m_root + "/out";
    const Outcome outcome = runLimited(100000, [&] {
        ArchiveEngine engine;
        engine.setArchivePath(m_archive);
        engine.setFileSpec(QStringLiteral("*.*"));
        engine.setExtractSwitch(true);
        engine.setTargetFolder(target);
        engine.Extract();
    });
    ASSERT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.number, EngineError::CannotWriteFile) << outcome.description.toStdString();
    expectNamesCause(outcome, target + "/big1.bin");
    // small.txt was complete before the failure; nothing of big1.bin remains.
    EXPECT_EQ(TestFiles::tree(target), QStringList({"small.txt"}));
    expectArchiveUntouched(m_archive);
}

TEST_F(FaultInjectionTest, DeletionThatRunsOutOfRoomChangesNothing)
{
    for (const QString& archive : {m_archive, QString()}) {
        QString path = archive;
        if (path.isEmpty()) {
            // The same with a stub in front, which takes the other way through the engine.
            path = m_root + "/stubbed/s.exe";
            QDir().mkpath(m_root + "/stubbed");
            TestFiles::writeAll(path, noise(5000) + m_before);
            m_before = TestFiles::readAll(path);
        }
        const Outcome outcome = runLimited(200000, [&] {
            ArchiveEngine engine;
            engine.setArchivePath(path);
            engine.setFileSpec(QStringLiteral("small.txt"));
            engine.DeleteFiles();
        });
        ASSERT_TRUE(outcome.failed) << path.toStdString();
        EXPECT_EQ(outcome.number, EngineError::CannotUpdateArchive) << outcome.description.toStdString();
        EXPECT_TRUE(outcome.description.contains(path)) << outcome.description.toStdString();
        expectArchiveUntouched(path);
    }
}

TEST_F(FaultInjectionTest, AddingThatRunsOutOfRoomChangesNothing)
{
    TestFiles::writeAll(m_root + "/src/big3.bin", noise(300000));
    const Outcome outcome = runLimited(700000, [&] {
        ArchiveEngine engine;
        engine.setArchivePath(m_archive);
        engine.setIncludePaths(false);
        engine.setStorePaths(false);
        engine.setSourceFolder(m_root + "/src/");
        engine.setFileSpec(m_root + "/src/big3.bin");
        engine.AddFiles();
        engine.FinishAdding();
    });
    ASSERT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.number, EngineError::CannotUpdateArchive) << outcome.description.toStdString();
    expectArchiveUntouched(m_archive);

    // A new archive that cannot be written is not left behind at all.
    const QString fresh = m_root + "/fresh/new.zip";
    QDir().mkpath(m_root + "/fresh");
    const Outcome second = runLimited(100000, [&] {
        ArchiveEngine engine;
        engine.setArchivePath(fresh);
        engine.setIncludePaths(false);
        engine.setStorePaths(false);
        engine.setFileSpec(m_root + "/src/big1.bin");
        engine.AddFiles();
        engine.FinishAdding();
    });
    EXPECT_TRUE(second.failed);
    EXPECT_TRUE(TestFiles::tree(m_root + "/fresh").isEmpty())
        << TestFiles::tree(m_root + "/fresh").join(' ').toStdString();
}

TEST_F(FaultInjectionTest, SelfExtractorThatRunsOutOfRoomKeepsTheOldOutput)
{
    const QString output = m_root + "/sfx/out.exe";
    QDir().mkpath(m_root + "/sfx");
    TestFiles::writeAll(output, "the old file");
    TestFiles::writeAll(m_root + "/sfx/finalmsg.txt", "bye\r\n");
    const QString previous = QDir::currentPath();
    QDir::setCurrent(m_root + "/sfx");
    const Outcome outcome = runLimited(500000, [&] {
        ArchiveEngine engine;
        engine.setSfxOutputPath(output);
        engine.setSfxMessageFile(QStringLiteral("finalmsg.txt"));
        engine.setSfxDefaultFolder(QStringLiteral("unpacked"));
        engine.setSfxOption(2);
        engine.setSfxSwitch(true);
        engine.MakeSfx(m_archive);
    });
    QDir::setCurrent(previous);
    ASSERT_TRUE(outcome.failed);
    EXPECT_TRUE(outcome.description.contains(output)) << outcome.description.toStdString();
    EXPECT_EQ(TestFiles::readAll(output), QByteArray("the old file"));
    EXPECT_EQ(TestFiles::tree(m_root + "/sfx"), QStringList({"finalmsg.txt", "out.exe"}));
    expectArchiveUntouched(m_archive);
}

} // namespace
