// Adds and deletions that must not lose data: through a link to the archive,
// several at once on one archive (from several processes, through
// plovern-update-helper, and from several engines in one process), and
// killed at any moment.

#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <condition_variable>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace EngineTest;

namespace {

const QString helper = QStringLiteral(PLOVERN_UPDATE_HELPER);

std::set<QString> names(const QString& archive)
{
    std::set<QString> out;
    for (const EntryInfo& e : list(archive))
        out.insert(e.name);
    return out;
}

// `count` files named <tag><n>.txt in `folder`, each with its own text.
QStringList makeFiles(const QString& folder, const QString& tag, int count, int lines = 20)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        paths << folder + QStringLiteral("/%1%2.txt").arg(tag).arg(i);
        TestFiles::writeAll(paths.last(), QStringLiteral("%1 number %2\n").arg(tag).arg(i).toUtf8().repeated(lines));
    }
    return paths;
}

void expectHolds(const QString& archive, const QStringList& files)
{
    const std::set<QString> held = names(archive);
    for (const QString& file : files)
        EXPECT_TRUE(held.count(QFileInfo(file).fileName())) << file.toStdString();
}

void expectUnzipAccepts(const QString& archive)
{
    QByteArray output;
    EXPECT_EQ(TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-tq"), archive}, &output), 0)
        << output.toStdString();
}

void add(const QString& archive, const QStringList& files)
{
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    for (const QString& file : files) {
        engine.setFileSpec(file);
        engine.AddFiles();
    }
    engine.FinishAdding();
}

// Starts the helper adding `files` to `archive`; it commits once told to go.
void startAdding(QProcess& process, const QString& archive, const QStringList& files, bool noLocks = false)
{
    QStringList args{QStringLiteral("--wait")};
    if (noLocks)
        args << QStringLiteral("--no-locks");
    args << QStringLiteral("add") << archive << files;
    process.start(helper, args);
    ASSERT_TRUE(process.waitForStarted()) << process.errorString().toStdString();
}

void go(QProcess& first, QProcess& second)
{
    // QProcess sends what is written only from its own waits.
    first.write("go\n");
    second.write("go\n");
    first.waitForBytesWritten();
    second.waitForBytesWritten();
    first.closeWriteChannel();
    second.closeWriteChannel();
    first.waitForFinished(60000);
    second.waitForFinished(60000);
}

TEST(UpdateSafety, ThroughALinkTheLinkedArchiveChanges)
{
    Scratch scratch;
    const QString real = TestFiles::copyFixture(QStringLiteral("infozip.zip"), scratch.path());
    ::chmod(QFile::encodeName(real).constData(), 0640);
    const QString link = scratch.file(QStringLiteral("link.zip"));
    ASSERT_EQ(::symlink("infozip.zip", QFile::encodeName(link).constData()), 0);
    const QStringList added = makeFiles(scratch.file(QStringLiteral("in")), QStringLiteral("added"), 1);

    add(link, added);
    EXPECT_EQ(QFile::symLinkTarget(link), real);
    EXPECT_TRUE(names(real).count(QStringLiteral("added0.txt")));
    EXPECT_EQ(modeOf(real), 0640);

    ArchiveEngine engine;
    engine.setArchivePath(link);
    engine.setFileSpec(QStringLiteral("hello.txt"));
    engine.DeleteFiles();
    EXPECT_EQ(QFile::symLinkTarget(link), real);
    EXPECT_EQ(
        names(real),
        std::set<QString>({QStringLiteral("added0.txt"), QStringLiteral("docs/"), QStringLiteral("docs/readme.txt")}));
    expectToolsAccept(real);

    // A link to an archive still to be made: the archive is made where it
    // points.
    const QString pending = scratch.file(QStringLiteral("pending.zip"));
    ASSERT_EQ(::symlink("made.zip", QFile::encodeName(pending).constData()), 0);
    add(pending, added);
    EXPECT_EQ(QFile::symLinkTarget(pending), scratch.file(QStringLiteral("made.zip")));
    EXPECT_EQ(names(scratch.file(QStringLiteral("made.zip"))), std::set<QString>({QStringLiteral("added0.txt")}));

    EXPECT_EQ(TestFiles::tree(scratch.path()),
              QStringList({QStringLiteral("in/"), QStringLiteral("in/added0.txt"), QStringLiteral("infozip.zip"),
                           QStringLiteral("link.zip"), QStringLiteral("made.zip"), QStringLiteral("pending.zip")}));
}

TEST(UpdateSafety, SimultaneousAddsKeepEveryFile)
{
    Scratch scratch;
    const QStringList first = makeFiles(scratch.file(QStringLiteral("in")), QStringLiteral("a"), 50);
    const QStringList second = makeFiles(scratch.file(QStringLiteral("in")), QStringLiteral("b"), 50);
    QDir().mkpath(scratch.file(QStringLiteral("out")));
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        // Half the rounds add to an archive, half make a new one.
        const QString processes = scratch.file(QStringLiteral("out/p%1.zip").arg(round));
        const QString threads = scratch.file(QStringLiteral("out/t%1.zip").arg(round));
        if (round % 2) {
            QFile::copy(TestFiles::fixture(QStringLiteral("infozip.zip")), processes);
            QFile::copy(TestFiles::fixture(QStringLiteral("infozip.zip")), threads);
        }
        const std::size_t before = round % 2 ? 3 : 0;

        QProcess one;
        QProcess two;
        startAdding(one, processes, first);
        startAdding(two, processes, second);
        go(one, two);
        EXPECT_EQ(one.exitCode(), 0) << one.readAllStandardError().toStdString();
        EXPECT_EQ(two.exitCode(), 0) << two.readAllStandardError().toStdString();
        EXPECT_EQ(names(processes).size(), before + 100);
        expectHolds(processes, first + second);
        expectUnzipAccepts(processes);

        // Two engines of one process, each committing once both collected.
        std::mutex mutex;
        std::condition_variable ready;
        int collected = 0;
        const auto addFrom = [&](const QStringList& files, std::optional<Failure>& failure) {
            try {
                ArchiveEngine engine;
                engine.setArchivePath(threads);
                for (const QString& file : files) {
                    engine.setFileSpec(file);
                    engine.AddFiles();
                }
                std::unique_lock<std::mutex> lock(mutex);
                ++collected;
                ready.notify_all();
                ready.wait(lock, [&] { return collected == 2; });
                lock.unlock();
                engine.FinishAdding();
            } catch (const Failure& f) {
                failure = f;
            }
        };
        std::optional<Failure> failureOne;
        std::optional<Failure> failureTwo;
        std::thread threadOne(addFrom, std::cref(first), std::ref(failureOne));
        std::thread threadTwo(addFrom, std::cref(second), std::ref(failureTwo));
        threadOne.join();
        threadTwo.join();
        EXPECT_FALSE(failureOne) << failureOne->what();
        EXPECT_FALSE(failureTwo) << failureTwo->what();
        EXPECT_EQ(names(threads).size(), before + 100);
        expectHolds(threads, first + second);
        expectUnzipAccepts(threads);
    }
    EXPECT_TRUE(leftovers(scratch.path()).isEmpty()) << leftovers(scratch.path()).join(' ').toStdString();
}

TEST(UpdateSafety, WithoutLocksAnOverlappingUpdateFailsInsteadOfOverwriting)
{
    Scratch scratch;
    // Larger files, so that the two commits overlap.
    const QStringList first = makeFiles(scratch.file(QStringLiteral("in")), QStringLiteral("a"), 50, 20000);
    const QStringList second = makeFiles(scratch.file(QStringLiteral("in")), QStringLiteral("b"), 50, 20000);
    int refused = 0;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const QString archive = scratch.file(QStringLiteral("r%1.zip").arg(round));
        QFile::copy(TestFiles::fixture(QStringLiteral("infozip.zip")), archive);
        QProcess one;
        QProcess two;
        startAdding(one, archive, first, true);
        startAdding(two, archive, second, true);
        go(one, two);
        int succeeded = 0;
        for (QProcess* process : {&one, &two}) {
            const QString errors = QString::fromLocal8Bit(process->readAllStandardError());
            if (process->exitCode() == 0) {
                ++succeeded;
                expectHolds(archive, process == &one ? first : second);
            } else {
                ++refused;
                EXPECT_TRUE(errors.startsWith(QString::number(EngineError::ArchiveChanged) + QLatin1Char(' ')))
                    << errors.toStdString();
                EXPECT_TRUE(
                    errors.contains(QStringLiteral("changed by another program while updating; nothing was changed")));
            }
        }
        // Whoever renamed first cannot have been overtaken.
        EXPECT_GE(succeeded, 1);
        expectUnzipAccepts(archive);
    }
    RecordProperty("refused", refused);
    EXPECT_TRUE(leftovers(scratch.path()).isEmpty());
}

// A power cut must leave the old archive or the whole new one: the new file's
// data reaches the disk before it is named in the archive's place, and the
// folder holding that name is flushed after. Traced through the helper for
// each way of naming it: linked as a new archive, renamed over the locked
// one, and exchanged with it where there are no locks.
TEST(UpdateSafety, NewArchiveIsFlushedThenNamedThenItsFolderFlushed)
{
    Scratch scratch;
    const QStringList files = makeFiles(scratch.path(), QStringLiteral("f"), 2);
    const QString archive = scratch.file(QStringLiteral("a.zip"));
    const QStringList runs[] = {
        {QStringLiteral("--trace"), QStringLiteral("add"), archive, files[0]},
        {QStringLiteral("--trace"), QStringLiteral("add"), archive, files[1]},
        {QStringLiteral("--trace"), QStringLiteral("--no-locks"), QStringLiteral("delete"), archive,
         QStringLiteral("f0.txt")},
    };
    for (const QStringList& args : runs) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        QByteArray output;
        ASSERT_EQ(TestFiles::run(helper, args, &output), 0) << output.toStdString();
        // A temporary name and then the archive's own are one naming step.
        QStringList steps;
        for (const QByteArray& line : output.split('\n')) {
            if (!line.isEmpty() && (steps.isEmpty() || steps.last() != QLatin1String(line)))
                steps << QString::fromLatin1(line);
        }
        EXPECT_EQ(steps, QStringList({"fsync file", "name", "fsync folder"}));
    }
    EXPECT_EQ(names(archive), std::set<QString>({QStringLiteral("f1.txt")}));
}

TEST(UpdateSafety, KilledUpdatesLeaveTheOldOrTheNewArchive)
{
    Scratch scratch;
    const QString folder = scratch.file(QStringLiteral("archive"));
    QDir().mkpath(folder);
    const QString archive = folder + QStringLiteral("/k.zip");
    QFile::copy(TestFiles::fixture(QStringLiteral("infozip.zip")), archive);
    ::chmod(QFile::encodeName(archive).constData(), 0644);
    // Incompressible contents, so that an add takes a while; each add gives
    // them new names through links.
    QRandomGenerator random(7);
    const QString in = scratch.file(QStringLiteral("in"));
    for (int j = 0; j < 4; ++j) {
        QByteArray bytes(64 * 1024, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random.bounded(256));
        TestFiles::writeAll(in + QStringLiteral("/content%1").arg(j), bytes);
    }
    const auto addArgs = [&](int i, std::set<QString>& adding) {
        QStringList args{QStringLiteral("add"), archive};
        for (int j = 0; j < 4; ++j) {
            const QString name = QStringLiteral("k%1_%2.bin").arg(i).arg(j);
            QFile::link(QStringLiteral("content%1").arg(j), in + QLatin1Char('/') + name);
            args << in + QLatin1Char('/') + name;
            adding.insert(name);
        }
        return args;
    };

    // How long one add takes, start to end, to spread the kills over.
    std::set<QString> current = names(archive);
    std::set<QString> adding;
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(TestFiles::run(helper, addArgs(-1, adding)), 0);
    const qint64 span = std::max<qint64>(timer.nsecsElapsed() / 1000, 1000);
    current.insert(adding.begin(), adding.end());

    int old = 0;
    int changed = 0;
    int litterLeft = 0;
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        QStringList args;
        std::set<QString> next = current;
        if (i % 3 == 2) {
            const QString victim = *std::prev(next.end());
            next.erase(victim);
            args = QStringList{QStringLiteral("delete"), archive, victim};
        } else {
            adding.clear();
            args = addArgs(i, adding);
            next.insert(adding.begin(), adding.end());
        }
        QProcess process;
        process.start(helper, args);
        ASSERT_TRUE(process.waitForStarted());
        ::usleep(static_cast<useconds_t>(random.bounded(span * 13 / 10)));
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished(60000);

        // A kill in the moment between giving the finished archive a name
        // and renaming it over the old one leaves that name behind: litter,
        // but a whole archive, never a part of one.
        QStringList present = TestFiles::tree(folder);
        for (const QString& name : present.filter(QRegularExpression(QStringLiteral("^\\.plovern-")))) {
            // Named after the archive, so that the next update knows it.
            EXPECT_TRUE(name.contains(QRegularExpression(QStringLiteral("^\\.plovern-k\\.zip-[A-Za-z0-9]{6}$"))))
                << qPrintable(name);
            const QString litter = folder + QLatin1Char('/') + name;
            expectUnzipAccepts(litter);
            const std::set<QString> inside = names(litter);
            EXPECT_TRUE(inside == next) << qPrintable(name);
            QFile::remove(litter);
            present.removeAll(name);
            ++litterLeft;
        }
        EXPECT_EQ(present, QStringList({QStringLiteral("k.zip")}));
        expectUnzipAccepts(archive);
        const std::set<QString> found = names(archive);
        EXPECT_TRUE(found == current || found == next);
        if (found == next) {
            ++changed;
            current = next;
        } else {
            ++old;
        }
    }
    RecordProperty("old", old);
    RecordProperty("changed", changed);
    RecordProperty("litter", litterLeft);
}

TEST(UpdateSafety, TheNextUpdateUnderTheLockRemovesLeftoversOfThisArchiveOnly)
{
    Scratch scratch;
    const QString folder = scratch.file(QStringLiteral("archive"));
    QDir().mkpath(folder);
    const QString archive = folder + QStringLiteral("/k.zip");
    QFile::copy(TestFiles::fixture(QStringLiteral("infozip.zip")), archive);
    ::chmod(QFile::encodeName(archive).constData(), 0644);
    const QString added = makeFiles(scratch.file(QStringLiteral("in")), QStringLiteral("a"), 1).first();

    // What a kill before the rename leaves, and names that only look alike:
    // another archive's, an extraction's, the wrong length, not a regular file.
    const QString leftover = QStringLiteral(".plovern-k.zip-Ab12Cd");
    QFile::copy(archive, folder + QLatin1Char('/') + leftover);
    const QStringList others{QStringLiteral(".plovern-j.zip-Ab12Cd"), QStringLiteral(".plovern-0123abcd4567"),
                             QStringLiteral(".plovern-k.zip-Ab12C"), QStringLiteral(".plovern-k.zip-Ab12Cde"),
                             QStringLiteral(".plovern-k.zip-Ab_2Cd")};
    for (const QString& name : others)
        TestFiles::writeAll(folder + QLatin1Char('/') + name, "not ours");
    QFile::link(QStringLiteral("k.zip"), folder + QStringLiteral("/.plovern-k.zip-Zz9Zz9"));
    QDir().mkpath(folder + QStringLiteral("/.plovern-k.zip-Yy8Yy8"));
    QStringList expected = TestFiles::tree(folder);

    // Without the lock it may be another update's, about to be renamed.
    QByteArray output;
    ASSERT_EQ(TestFiles::run(helper, {QStringLiteral("--no-locks"), QStringLiteral("add"), archive, added}, &output), 0)
        << output.toStdString();
    EXPECT_EQ(TestFiles::tree(folder), expected);

    ASSERT_EQ(TestFiles::run(helper, {QStringLiteral("delete"), archive, QFileInfo(added).fileName()}, &output), 0)
        << output.toStdString();
    expected.removeAll(leftover);
    EXPECT_EQ(TestFiles::tree(folder), expected);
    expectUnzipAccepts(archive);
}

} // namespace

namespace {
QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator random(seed);
    for (char& c : bytes)
        c = static_cast<char>(random.bounded(256));
    return bytes;
}
} // namespace

// A disk that fills during an add (the helper's --full-at: no file grows past
// 100 KB) keeps the files before the one that does not fit, into a new
// archive and into one that held an older copy of the failing file, which
// then stays as it was.
TEST(UpdateSafety, AddThatFillsTheDiskKeepsTheFilesBeforeTheFailingOne)
{
    Scratch scratch;
    const QString in = scratch.file(QStringLiteral("in"));
    const QStringList files{in + QStringLiteral("/a.txt"), in + QStringLiteral("/b.bin"),
                            in + QStringLiteral("/c.bin")};
    TestFiles::writeAll(files[0], "alpha\n");
    TestFiles::writeAll(files[1], noise(5000, 1));
    TestFiles::writeAll(files[2], QByteArray("the old c\n"));
    const QString held = scratch.file(QStringLiteral("held/held.zip"));
    QDir().mkpath(scratch.file(QStringLiteral("held")));
    ASSERT_EQ(TestFiles::run(helper, {QStringLiteral("add"), held, files[2]}), 0);
    TestFiles::writeAll(files[2], noise(400000, 2));

    for (const QString& archive : {scratch.file(QStringLiteral("new/new.zip")), held}) {
        SCOPED_TRACE(archive.toStdString());
        QDir().mkpath(QFileInfo(archive).path());
        QByteArray output;
        EXPECT_EQ(TestFiles::run(
                      helper, QStringList{QStringLiteral("--full-at=100000"), QStringLiteral("add"), archive} << files,
                      &output),
                  1);
        EXPECT_TRUE(output.startsWith("1014 ")) << output.toStdString();
        EXPECT_TRUE(output.contains(files[2].toUtf8())) << output.toStdString();
        EXPECT_TRUE(output.contains("No space left on device")) << output.toStdString();

        const QStringList expected =
            archive == held ? QStringList{"c.bin", "a.txt", "b.bin"} : QStringList{"a.txt", "b.bin"};
        QStringList listed;
        for (const EntryInfo& entry : list(archive))
            listed << entry.name;
        EXPECT_EQ(listed, expected);
        expectUnzipAccepts(archive);
        for (const QString& name : expected) {
            QByteArray data;
            TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-p"), archive, name}, &data);
            EXPECT_EQ(data, name == "c.bin" ? QByteArray("the old c\n") : TestFiles::readAll(in + "/" + name))
                << name.toStdString();
        }
        EXPECT_EQ(TestFiles::tree(QFileInfo(archive).path()), QStringList({QFileInfo(archive).fileName()}));
    }
}

// When the disk fills while the directory is written, after every new file
// went in, the archive keeps every byte and nothing is left beside it.
TEST(UpdateSafety, AddWhoseDirectoryDoesNotFitLeavesTheArchiveAsItWas)
{
    Scratch scratch;
    const QString archive = scratch.file(QStringLiteral("a.zip"));
    const QString added = scratch.file(QStringLiteral("d.bin"));
    TestFiles::writeAll(added, noise(1000, 3));
    const QStringList held = makeFiles(scratch.file(QStringLiteral("in")), QStringLiteral("h"), 3);
    ASSERT_EQ(TestFiles::run(helper, QStringList{QStringLiteral("add"), archive} << held), 0);
    const QByteArray before = TestFiles::readAll(archive);
    // The new entry (a 44-byte header, its name and time, and 1000 stored
    // bytes) goes where the old directory started; 100 bytes more hold no
    // directory of several entries.
    ASSERT_GE(before.size(), 22);
    const auto* end = reinterpret_cast<const unsigned char*>(before.constData() + before.size() - 22);
    ASSERT_EQ(end[0], 0x50);
    const qint64 directoryAt = end[16] | end[17] << 8 | end[18] << 16 | qint64(end[19]) << 24;
    QByteArray output;
    EXPECT_EQ(TestFiles::run(
                  helper,
                  {QStringLiteral("--full-at=%1").arg(directoryAt + 1044 + 100), QStringLiteral("add"), archive, added},
                  &output),
              1);
    EXPECT_TRUE(output.startsWith("1014 ")) << output.toStdString();
    EXPECT_EQ(TestFiles::readAll(archive), before);
    EXPECT_EQ(TestFiles::tree(scratch.path()),
              QStringList({"a.zip", "d.bin", "in/", "in/h0.txt", "in/h1.txt", "in/h2.txt"}));
}
