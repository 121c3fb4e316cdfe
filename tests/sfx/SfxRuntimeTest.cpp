#include "TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

// The suites are named "sfx..." so that "ctest -R sfx" picks them all.

namespace {

using TestFiles::Outcome;
using TestFiles::runApart;

QString runtime()
{
    return QStringLiteral(PLOVERN_SFX_RUNTIME);
}

QString script(const char* name)
{
    return QStringLiteral(PLOVERN_SFX_TEST_DIR "/") + QLatin1String(name);
}

struct stat statOf(const QString& path)
{
    struct stat info
    {};
    EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info;
}

void setTime(const QString& path, qint64 seconds)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
}

void makeFile(const QString& path, const QByteArray& data, unsigned mode, qint64 time)
{
    TestFiles::writeAll(path, data);
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
    setTime(path, time);
}

class SfxFixture : public ::testing::Test
{
protected:
    QString path(const QString& relative) const { return m_dir.path() + QLatin1Char('/') + relative; }

    // A zip made by Info-ZIP zip from everything in `folder` (links stored as
    // links, extended timestamps and Unix attributes included).
    QString infoZip(const QString& folder, const QString& name)
    {
        const QString zip = path(name);
        const Outcome r = runApart(QStringLiteral("zip"), {QStringLiteral("-qry"), zip, QStringLiteral(".")}, folder);
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return zip;
    }

    QString pythonZip(const QString& kind)
    {
        const QString zip = path(kind + QStringLiteral(".zip"));
        const Outcome r = runApart(QStringLiteral("python3"), {script("make_zip.py"), kind, zip});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return zip;
    }

    QString makeSfx(const QString& zip, const QString& name, const QStringList& settings = {})
    {
        const QString sfx = path(name);
        const Outcome r =
            runApart(QStringLiteral("python3"), QStringList{script("make_sfx.py"), runtime(), zip, sfx} << settings);
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return sfx;
    }

    // The tree most tests extract: nested and empty folders, an executable, a
    // private file, a binary file, distinct odd-second times everywhere.
    QString sampleTree()
    {
        const QString src = path(QStringLiteral("src"));
        QByteArray blob(200000, '\0');
        QRandomGenerator generator(42);
        for (char& c : blob)
            c = static_cast<char>(generator.bounded(256));
        makeFile(src + "/docs/readme.txt", "Read me\n", 0644, m_base + 11);
        makeFile(src + "/docs/deep/nested/note.txt", "deep note\n", 0644, m_base + 3601);
        makeFile(src + "/bin/tool.sh", "#!/bin/sh\necho tool\n", 0755, m_base + 7203);
        makeFile(src + "/data/blob.bin", blob, 0640, m_base + 10805);
        makeFile(src + "/after.sh", "#!/bin/sh\npwd > ran-in.txt\n", 0755, m_base + 14407);
        QDir().mkpath(src + "/empty");
        ::chmod(QFile::encodeName(src + "/empty").constData(), 0750);
        const char* folders[] = {"docs/deep/nested", "docs/deep", "docs", "bin", "data", "empty"};
        qint64 time = m_base + 20001;
        for (const char* folder : folders)
            setTime(src + "/" + folder, time += 86400);
        return src;
    }

    // Same names, bytes, permission bits and modification times below both.
    static void expectSameTree(const QString& expected, const QString& actual, const QStringList& extra = {})
    {
        QStringList wanted = TestFiles::tree(expected) + extra;
        wanted.sort();
        ASSERT_EQ(TestFiles::tree(actual), wanted);
        for (const QString& name : TestFiles::tree(expected)) {
            SCOPED_TRACE(name.toStdString());
            const QString a = expected + "/" + name;
            const QString b = actual + "/" + name;
            const struct stat sa = statOf(a);
            const struct stat sb = statOf(b);
            EXPECT_EQ(sa.st_mode & 07777, sb.st_mode & 07777);
            EXPECT_EQ(sa.st_mtim.tv_sec, sb.st_mtim.tv_sec);
            if (S_ISREG(sa.st_mode)) {
                EXPECT_EQ(TestFiles::readAll(a), TestFiles::readAll(b));
            }
        }
    }

    QTemporaryDir m_dir;
    const qint64 m_base = QDateTime(QDate(2020, 2, 3), QTime(4, 5, 6), Qt::UTC).toSecsSinceEpoch();
};

using sfxBuild = SfxFixture;
using sfxExtract = SfxFixture;
using sfxOptions = SfxFixture;
using sfxSafety = SfxFixture;
using sfxRunAfter = SfxFixture;
using sfxPrompt = SfxFixture;

} // namespace

TEST_F(sfxBuild, RuntimeIsFullyStatic)
{
    const Outcome r = runApart(QStringLiteral("ldd"), {runtime()});
    EXPECT_TRUE((r.out + r.err).contains("not a dynamic executable")) << (r.out + r.err).toStdString();
}

TEST_F(sfxExtract, WithoutTerminalRestoresEverythingShowsMessageAndRunsProgram)
{
    const QString src = sampleTree();
    const QString zip = infoZip(src, QStringLiteral("t.zip"));
    const QString target = path(QStringLiteral("out/inner"));
    const QString sfx =
        makeSfx(zip, QStringLiteral("t.sfx"),
                {"folder=" + target, "create=1",
                 // A title-setting escape sequence and a right-to-left override: shown, not obeyed.
                 "message=Thanks for installing.   \nBye \x1b]0;owned\x07 \u202eok.  ", "show=1", "run=after.sh"});
    QDir().mkpath(path(QStringLiteral("elsewhere")));

    const Outcome r = runApart(sfx, {}, path(QStringLiteral("elsewhere")));
    ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    expectSameTree(src, target, {QStringLiteral("ran-in.txt")});
    EXPECT_TRUE(r.out.contains("\nThanks for installing.\nBye \\x1b]0;owned\\x07 \\u202eok.\n")) << r.out.toStdString();
    EXPECT_FALSE(r.out.contains("installing. ")) << "trailing spaces must be dropped";
    EXPECT_EQ(TestFiles::readAll(target + "/ran-in.txt").trimmed(),
              QFile::encodeName(QFileInfo(target).canonicalFilePath()));
    EXPECT_TRUE(TestFiles::tree(path(QStringLiteral("elsewhere"))).isEmpty());
}

TEST_F(sfxExtract, DosTimesAndDefaultPermissionsWithoutUnixAttributes)
{
    const QString sfx = makeSfx(pythonZip(QStringLiteral("dos")), QStringLiteral("dos.sfx"));
    const QString target = path(QStringLiteral("t"));
    const Outcome r = runApart(sfx, {QStringLiteral("--target"), target});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();

    // Local time: the tests run with TZ=Europe/Berlin, summer and winter differ.
    const qint64 summer = QDateTime(QDate(2019, 7, 1), QTime(12, 30, 44), Qt::LocalTime).toSecsSinceEpoch();
    const qint64 winter = QDateTime(QDate(2019, 1, 15), QTime(8, 0, 2), Qt::LocalTime).toSecsSinceEpoch();
    EXPECT_EQ(statOf(target + "/dir/summer.txt").st_mtim.tv_sec, summer);
    EXPECT_EQ(statOf(target + "/winter.txt").st_mtim.tv_sec, winter);
    EXPECT_EQ(statOf(target + "/dir").st_mtim.tv_sec, summer);
    EXPECT_EQ(statOf(target + "/winter.txt").st_mode & 07777, 0644u);
    EXPECT_EQ(statOf(target + "/dir").st_mode & 07777, 0755u);
    EXPECT_EQ(TestFiles::readAll(target + "/dir/summer.txt"), QByteArray("summer\n"));
}

TEST_F(sfxExtract, MissingDefaultFolderIsCreatedOnlyWhenAllowed)
{
    const QString zip = pythonZip(QStringLiteral("stored"));
    const QString wanted = path(QStringLiteral("a/b/c"));
    Outcome r = runApart(makeSfx(zip, QStringLiteral("yes.sfx"), {"folder=" + wanted, "create=1"}), {});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(TestFiles::readAll(wanted + "/first.txt"), QByteArray("first entry\n"));

    const QString refused = path(QStringLiteral("x/y"));
    r = runApart(makeSfx(zip, QStringLiteral("no.sfx"), {"folder=" + refused, "create=0"}), {});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains(QFile::encodeName(refused))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("does not exist")) << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("x"))));
}

TEST_F(sfxExtract, TargetOptionsOverrideTheDefaultFolder)
{
    const QString sfx = makeSfx(pythonZip(QStringLiteral("stored")), QStringLiteral("t.sfx"),
                                {"folder=" + path(QStringLiteral("default")), "message=shown", "show=0"});
    Outcome r = runApart(sfx, {QStringLiteral("--target"), path(QStringLiteral("long"))});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_FALSE(r.out.contains("shown")) << "show=0 must keep the message to itself";
    r = runApart(sfx, {QStringLiteral("-d"), path(QStringLiteral("short"))});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    for (const char* folder : {"long", "short"})
        EXPECT_EQ(TestFiles::tree(path(QLatin1String(folder))), QStringList({"first.txt", "last.txt", "middle.bin"}));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("default"))));
}

TEST_F(sfxSafety, NothingButTheRecordedPlacesIsRead)
{
    // A second directory and settings block hidden in the archive comment,
    // laid out to be found by a runtime that searches from the back: zip
    // tools fall for it; the runtime reads the end record where its settings
    // block says, and, as the engine does, takes a second end record ending
    // the file inside its comment for a forgery: nothing is extracted or run.
    const QString sfx = path(QStringLiteral("takeover.sfx"));
    Outcome r =
        runApart(QStringLiteral("python3"), {script("make_takeover.py"), QStringLiteral("sfx"), sfx, runtime()});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    r = runApart(QStringLiteral("unzip"), {QStringLiteral("-l"), sfx});
    EXPECT_TRUE(r.out.contains("payload.sh")) << "the crafted directory must be a valid one";

    const QString home = path(QStringLiteral("home"));
    const QString here = path(QStringLiteral("here"));
    QDir().mkpath(home);
    QDir().mkpath(here);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    r = runApart(sfx, {}, here, environment);
    EXPECT_EQ(r.code, 1) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("damaged")) << r.err.toStdString();
    EXPECT_TRUE(TestFiles::tree(here).isEmpty()) << TestFiles::tree(here).join(' ').toStdString();
    EXPECT_TRUE(TestFiles::tree(home).isEmpty()) << TestFiles::tree(home).join(' ').toStdString();
}

TEST_F(sfxOptions, TestFindsCorruptionWithoutWriting)
{
    const QString zip = pythonZip(QStringLiteral("stored"));
    const QString good = makeSfx(zip, QStringLiteral("good.sfx"), {"folder=" + path(QStringLiteral("never"))});
    Outcome r = runApart(good, {QStringLiteral("--test")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("No errors")) << r.out.toStdString();

    QByteArray bytes = TestFiles::readAll(good);
    const int at = bytes.indexOf("MIDDLE-") + 100;
    ASSERT_GT(at, 100);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    const QString bad = path(QStringLiteral("bad.sfx"));
    TestFiles::writeAll(bad, bytes);
    QFile::setPermissions(bad, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    r = runApart(bad, {QStringLiteral("-t")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("middle.bin")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("CRC")) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("first.txt") && r.out.contains("last.txt")) << "the other entries are still tested";
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("never"))));
}

TEST_F(sfxSafety, LinksLeadingInsideAreRecreated)
{
    const QString target = path(QStringLiteral("t"));
    QDir().mkpath(target + "/real");
    ASSERT_TRUE(QFile::link(QStringLiteral("real"), target + "/alias")); // on disk already, leads inside
    const QString sfx = makeSfx(pythonZip(QStringLiteral("links-inside")), QStringLiteral("t.sfx"));
    const Outcome r = runApart(sfx, {QStringLiteral("-d"), target});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QFile::symLinkTarget(target + "/lib/link"), target + "/lib/real.txt");
    EXPECT_TRUE(S_ISLNK(statOf(target + "/top").st_mode));
    EXPECT_EQ(TestFiles::readAll(target + "/top"), QByteArray("real\n"));
    EXPECT_EQ(TestFiles::readAll(target + "/real/x.txt"), QByteArray("through a link on disk\n"));
}

// An absolute link on disk that stays inside passes the checks; writing
// through it may still stop, after earlier files are written. The message
// must then say so, never that nothing was extracted.
TEST_F(sfxSafety, AStopWhileWritingSaysWhatWasWritten)
{
    const QString target = path(QStringLiteral("t"));
    QDir().mkpath(target + "/real");
    ASSERT_TRUE(QFile::link(target + "/real", target + "/abs"));
    const QString zip = path(QStringLiteral("through.zip"));
    ASSERT_EQ(runApart(QStringLiteral("python3"),
                       {QStringLiteral("-c"), QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("first.txt", "one\n")
    z.writestr("abs/x.txt", "through\n")
)"),
                        zip})
                  .code,
              0);
    const Outcome r = runApart(makeSfx(zip, QStringLiteral("t.sfx")), {QStringLiteral("-d"), target});
    const bool written = QFileInfo::exists(target + "/first.txt");
    if (r.code == 0) {
        EXPECT_EQ(TestFiles::readAll(target + "/real/x.txt"), QByteArray("through\n"));
    } else {
        EXPECT_TRUE(written) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("nothing was extracted")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("after 1 file or link")) << r.err.toStdString();
    }
}

TEST_F(sfxRunAfter, ExtractedProgramIsFoundAndItsExitStatusPassedOn)
{
    const QString zip = pythonZip(QStringLiteral("run-fallback"));
    const QString target = path(QStringLiteral("t"));
    // The maker's path does not exist here; the extracted file of that name is run.
    Outcome r =
        runApart(makeSfx(zip, QStringLiteral("a.sfx"), {"folder=" + target, "run=/nowhere/at/all/setup.sh"}), {});
    EXPECT_EQ(r.code, 5) << r.err.toStdString();
    EXPECT_EQ(TestFiles::readAll(target + "/started.txt"), QByteArray("started\n"));

    r = runApart(makeSfx(zip, QStringLiteral("b.sfx"), {"folder=" + path(QStringLiteral("u")), "run=missing.sh"}), {});
    EXPECT_EQ(r.code, 127);
    EXPECT_TRUE(r.err.contains("missing.sh")) << r.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(path(QStringLiteral("u/setup.sh"))));
}

TEST_F(sfxOptions, HelpBadArgumentsAndMissingArchive)
{
    Outcome r = runApart(runtime(), {QStringLiteral("--help")});
    EXPECT_EQ(r.code, 0);
    for (const char* word : {"--target", "--list", "--test", "Exit status"})
        EXPECT_TRUE(r.out.contains(word)) << word;
    r = runApart(runtime(), {QStringLiteral("--bogus")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("--bogus"));
    r = runApart(runtime(), {});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("holds no archive")) << r.err.toStdString();

    // A zip simply appended to the runtime is not one of ours: its anchor
    // names no settings block, and nothing is searched for.
    const QString cat = makeSfx(pythonZip(QStringLiteral("stored")), QStringLiteral("cat.sfx"), {"--no-settings"});
    const QString here = path(QStringLiteral("here"));
    QDir().mkpath(here);
    r = runApart(cat, {}, here);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("holds no archive")) << r.err.toStdString();
    EXPECT_TRUE(TestFiles::tree(here).isEmpty());
}

TEST_F(sfxOptions, DamagedSelfExtractorsFailCleanly)
{
    const QString zip = pythonZip(QStringLiteral("stored"));
    const QByteArray whole = TestFiles::readAll(makeSfx(zip, QStringLiteral("good.sfx"), {"folder=x", "create=1"}));
    const int runtimeSize = TestFiles::readAll(runtime()).size();
    const int eocd = whole.lastIndexOf(QByteArray("PK\x05\x06", 4));
    const int cd = whole.indexOf(QByteArray("PK\x01\x02", 4), runtimeSize);
    ASSERT_GT(eocd, cd);

    QList<QByteArray> damaged;
    for (const int cut : {runtimeSize + 3, runtimeSize + 30, cd - 10, cd + 20, eocd + 10})
        damaged << whole.left(cut);
    QByteArray hugeOffset = whole;
    hugeOffset.replace(eocd + 16, 4, QByteArray("\xf0\xff\xff\x7f", 4));
    damaged << hugeOffset;
    QByteArray hugeSettings = whole;
    ASSERT_TRUE(whole.mid(runtimeSize, 8) == "PLVSFX02");
    hugeSettings.replace(runtimeSize + 8, 8, QByteArray("\xff\xff\xff\xff\xff\xff\xff\x7f", 8));
    damaged << hugeSettings;
    QByteArray changedSettings = whole;
    const int folder = whole.indexOf("folder=x", runtimeSize);
    changedSettings[folder + 7] = 'y'; // the block's CRC no longer holds
    damaged << changedSettings << whole + QByteArray("appended");
    QByteArray badLocalOffsets = whole;
    for (int at = cd; (at = badLocalOffsets.indexOf(QByteArray("PK\x01\x02", 4), at)) >= 0; at += 4)
        badLocalOffsets.replace(at + 42, 4, QByteArray("\x10\x00\x00\x00", 4));
    damaged << badLocalOffsets;

    for (int i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(i);
        const QString sfx = path(QStringLiteral("d%1.sfx").arg(i));
        TestFiles::writeAll(sfx, damaged[i]);
        QFile::setPermissions(sfx, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString here = path(QStringLiteral("run%1").arg(i));
        QDir().mkpath(here);
        for (const QStringList& args : {QStringList{}, QStringList{"--list"}, QStringList{"--test"}}) {
            const Outcome r = runApart(sfx, args, here);
            // Listing reads no data, so damaged data may still list fine.
            if (args.isEmpty() || r.code != 0) {
                EXPECT_EQ(r.code, 1) << args.join(' ').toStdString() << r.out.toStdString();
                EXPECT_FALSE(r.err.isEmpty());
            }
        }
        EXPECT_TRUE(TestFiles::tree(here).isEmpty()) << TestFiles::tree(here).join(' ').toStdString();
    }
}

TEST_F(sfxPrompt, EnterAcceptsTheDefaultAndTypedFolderIsUsed)
{
    const QString sfx = makeSfx(pythonZip(QStringLiteral("stored")), QStringLiteral("t.sfx"), {"folder=offered"});
    const QString here = path(QStringLiteral("here"));
    QDir().mkpath(here);

    Outcome r = runApart(QStringLiteral("python3"), {script("prompt_driver.py"), sfx, here, QString()});
    ASSERT_EQ(r.code, 0) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QFile::encodeName(here + "/offered"))) << "the default folder is shown";
    EXPECT_EQ(TestFiles::tree(here + "/offered"), QStringList({"first.txt", "last.txt", "middle.bin"}));

    r = runApart(QStringLiteral("python3"), {script("prompt_driver.py"), sfx, here, QStringLiteral("typed/deeper")});
    ASSERT_EQ(r.code, 0) << r.out.toStdString();
    EXPECT_EQ(TestFiles::tree(here + "/typed/deeper"), QStringList({"first.txt", "last.txt", "middle.bin"}));
    EXPECT_EQ(
        TestFiles::tree(here),
        QStringList({"offered/", "offered/first.txt", "offered/last.txt", "offered/middle.bin", "typed/",
                     "typed/deeper/", "typed/deeper/first.txt", "typed/deeper/last.txt", "typed/deeper/middle.bin"}));
}

TEST_F(sfxPrompt, PasswordIsAskedWithoutEchoAndAgainWhenWrong)
{
    const QString sfx = makeSfx(TestFiles::fixture(QStringLiteral("encrypted/7z-zipcrypto.zip")),
                                QStringLiteral("p.sfx"), {"folder=out"});
    const QString here = path(QStringLiteral("here"));
    QDir().mkpath(here);
    const Outcome r = runApart(
        QStringLiteral("python3"),
        {script("prompt_driver.py"), sfx, here, QString(), QStringLiteral("wrong-guess"), QStringLiteral("plovern")});
    ASSERT_EQ(r.code, 0) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Wrong password. Password for ")) << r.out.toStdString();
    EXPECT_FALSE(r.out.contains("wrong-guess")) << "the terminal echoed the password";
    const QString theirs = path(QStringLiteral("7zz"));
    ASSERT_EQ(TestFiles::run(QStringLiteral("7zz"),
                             {QStringLiteral("x"), QStringLiteral("-pplovern"), QStringLiteral("-o") + theirs,
                              TestFiles::fixture(QStringLiteral("encrypted/7z-zipcrypto.zip"))}),
              0);
    EXPECT_EQ(TestFiles::tree(here + QStringLiteral("/out")), TestFiles::tree(theirs));
}

TEST_F(sfxOptions, TestChecksEncryptedEntriesWithThePasswordGiven)
{
    const QString sfx = makeSfx(TestFiles::fixture(QStringLiteral("encrypted/7z-aes256.zip")), QStringLiteral("a.sfx"));
    const QString right = path(QStringLiteral("right"));
    const QString wrong = path(QStringLiteral("wrong"));
    TestFiles::writeAll(right, "plovern\n");
    TestFiles::writeAll(wrong, "guess\n");
    Outcome r = runApart(sfx, {QStringLiteral("--test")}, QString(), QProcessEnvironment::systemEnvironment(), right);
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("No errors: all 5 entries are intact.")) << r.out.toStdString();
    r = runApart(sfx, {QStringLiteral("--test")}, QString(), QProcessEnvironment::systemEnvironment(), wrong);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("entries failed the test")) << r.err.toStdString();
}
