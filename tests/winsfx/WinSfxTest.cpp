#include "ArchiveEngine.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <cstring>
#include <gtest/gtest.h>

// The suites are named "winsfx..." so that "ctest -R winsfx" picks them all.

namespace {

using Result = TestFiles::Outcome;

QString wine()
{
    const QString found = QStandardPaths::findExecutable(QStringLiteral("wine64"));
    if (!found.isEmpty())
        return found;
    return QFileInfo(QStringLiteral("/usr/lib/wine/wine64")).isExecutable() ? QStringLiteral("/usr/lib/wine/wine64")
                                                                            : QString();
}

QString wineDir()
{
    return QStringLiteral(PLOVERN_WINE_DIR);
}

// The session started by wine_session.sh: its prefix and display.
QProcessEnvironment wineEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), wineDir() + QStringLiteral("/prefix"));
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    env.insert(QStringLiteral("DISPLAY"),
               QLatin1Char(':') + QString::fromLatin1(TestFiles::readAll(wineDir() + "/display")).trimmed());
    return env;
}

// How Wine names a Linux path: its Z: drive is the Linux root.
QString windowsPath(const QString& path)
{
    return QStringLiteral("Z:") + QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

Result run(const QString& program, const QStringList& args, const QString& folder = QString(),
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    return TestFiles::runApart(program, args, folder, env);
}

Result runExe(const QString& exe, const QStringList& args, const QString& folder = QString())
{
    return run(wine(), QStringList{exe} << args, folder, wineEnvironment());
}

// Every file and folder below `folder` with its contents and time, to
// compare two extractions.
QStringList describeTree(const QString& folder)
{
    QStringList out;
    for (const QString& path : TestFiles::tree(folder)) {
        const QFileInfo info(folder + QLatin1Char('/') + path);
        QString line = path + QStringLiteral(" @") + QString::number(info.lastModified().toSecsSinceEpoch());
        if (info.isFile())
            line += QStringLiteral(" ") + QString::fromLatin1(TestFiles::readAll(info.filePath()).toHex().left(40))
                + QStringLiteral(" ") + QString::number(info.size());
        out << line;
    }
    return out;
}

void setTime(const QString& path, qint64 seconds)
{
    EXPECT_EQ(QProcess::execute(QStringLiteral("touch"),
                                {QStringLiteral("-d"), QStringLiteral("@") + QString::number(seconds), path}),
              0);
}

class WinSfx : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (wine().isEmpty())
            GTEST_SKIP() << "wine64 is not installed (Debian package wine64): the Windows self-extractor is not run";
        ASSERT_TRUE(QFileInfo::exists(runtime())) << "the Windows runtime was not built: " << runtime().toStdString();
        ASSERT_TRUE(QFileInfo(wineDir() + "/display").size() > 0) << "the Wine session (winsfx_wine_start) is not up";
        m_previous = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
    }
    void TearDown() override
    {
        if (!m_previous.isEmpty())
            QDir::setCurrent(m_previous);
    }

    static QString runtime() { return QCoreApplication::applicationDirPath() + QStringLiteral("/plovern-sfx.exe"); }
    QString path(const QString& relative) const { return m_dir.path() + QLatin1Char('/') + relative; }

    QString pythonZip(const QString& kind, const QStringList& more = {})
    {
        const QString zip = path(kind + QStringLiteral(".zip"));
        const Result r =
            run(QStringLiteral("python3"),
                QStringList{QStringLiteral(PLOVERN_WINSFX_TEST_DIR "/make_archives.py"), kind, zip} << more);
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return zip;
    }

    // The test tree on disk: accents and CJK in names, an empty folder,
    // distinct odd-second times.
    QString makeTree()
    {
        const QString src = path(QStringLiteral("src"));
        QDir().mkpath(src + QStringLiteral("/Grüße"));
        QDir().mkpath(src + QStringLiteral("/日本語"));
        QDir().mkpath(src + QStringLiteral("/empty"));
        TestFiles::writeAll(src + QStringLiteral("/Grüße/naïve café.txt"), "Ça va ?\n");
        TestFiles::writeAll(src + QStringLiteral("/日本語/ファイル.txt"), "こんにちは\n");
        TestFiles::writeAll(src + QStringLiteral("/top.txt"), QByteArray(100000, 'x'));
        qint64 time = 1600000001;
        for (const char* name : {"Grüße/naïve café.txt", "日本語/ファイル.txt", "top.txt", "Grüße", "日本語", "empty"})
            setTime(src + QLatin1Char('/') + QString::fromUtf8(name), time += 86400 * 3 + 3600 + 2);
        return src;
    }

    QString makeExe(const QString& zip, const QString& name, const QString& folder = QString(),
                    const QString& message = QString(), const QString& program = QString())
    {
        const QString exe = path(name);
        ArchiveEngine engine;
        engine.setSfxOutputPath(exe);
        engine.setSfxDefaultFolder(folder);
        engine.setSfxOption(2);
        if (!message.isEmpty()) {
            TestFiles::writeAll(path(QStringLiteral("finalmsg.txt")), message.toUtf8() + "\r\n");
            engine.setSfxMessageFile(QStringLiteral("finalmsg.txt"));
            engine.setSfxSwitch(true);
        }
        if (!program.isEmpty())
            engine.SfxAddRunCommand(QString(), program, QString(), QString(), 0);
        engine.MakeSfx(zip);
        return exe;
    }

    // Runs the self-extractor with `input` as its standard input, as a
    // script that gives the password does.
    Result runExeWithInput(const QString& exe, const QStringList& args, const QByteArray& input)
    {
        const QString file = path(QStringLiteral("input-%1.txt").arg(++m_inputs));
        TestFiles::writeAll(file, input);
        QProcess p;
        p.setProcessEnvironment(wineEnvironment());
        p.setStandardInputFile(file);
        p.start(wine(), QStringList{exe} << args);
        Result outcome;
        if (!p.waitForStarted(10000) || !p.waitForFinished(300000))
            return outcome;
        outcome.out = p.readAllStandardOutput();
        outcome.err = p.readAllStandardError();
        outcome.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        return outcome;
    }

    // What 7-Zip extracts from `zip` with the password "plovern", without
    // the times: 7-Zip on Linux reads an archive's DOS times with today's
    // offset from UTC rather than the one of their date.
    QStringList sevenZipTree(const QString& zip, const QString& folder)
    {
        const Result r = run(QStringLiteral("7zz"),
                             {QStringLiteral("x"), QStringLiteral("-bso0"), QStringLiteral("-pplovern"),
                              QStringLiteral("-o") + folder, zip});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return contents(folder);
    }

    static QStringList contents(const QString& folder)
    {
        return describeTree(folder).replaceInStrings(QRegularExpression(QStringLiteral(" @-?[0-9]+")), QString());
    }

    // The test tree archived by 7-Zip with the password "plovern" and the
    // given options (encryption, method).
    QString sevenZipEncrypted(const QString& src, const QString& name, const QStringList& options)
    {
        const QString zip = path(name);
        const Result r = run(QStringLiteral("7zz"),
                             QStringList{QStringLiteral("a"), QStringLiteral("-tzip"), QStringLiteral("-bso0"),
                                         QStringLiteral("-pplovern")}
                                 << options << zip << QStringLiteral("."),
                             src);
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return zip;
    }

    QTemporaryDir m_dir;
    QString m_previous;
    int m_inputs = 0;
};

TEST(WinSfxRuntime, OutputNamedExeGetsTheStaticWindowsRuntimeAndOtherNamesTheLinuxOne)
{
    const QString windows = QCoreApplication::applicationDirPath() + QStringLiteral("/plovern-sfx.exe");
    ASSERT_TRUE(QFileInfo::exists(windows)) << "the Windows runtime was not built (MinGW-w64 missing?)";
    QTemporaryDir dir;
    const QString zip = TestFiles::fixture(QStringLiteral("infozip.zip"));
    for (const char* name : {"x.exe", "SETUP.EXE", "fred", "fred.exe.run"}) {
        SCOPED_TRACE(name);
        const QString out = dir.path() + QLatin1Char('/') + QLatin1String(name);
        ArchiveEngine engine;
        engine.setSfxOutputPath(out);
        engine.MakeSfx(zip);
        const QByteArray bytes = TestFiles::readAll(out);
        const bool pe = QString::fromLatin1(name).endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
        if (pe) {
            // "MZ", then at e_lfanew "PE\0\0" and the x86-64 machine number.
            ASSERT_TRUE(bytes.startsWith("MZ"));
            const quint32 pe = qFromLittleEndian<quint32>(bytes.constData() + 0x3c);
            EXPECT_EQ(bytes.mid(pe, 6), QByteArray("PE\0\0\x64\x86", 6));
        } else {
            EXPECT_TRUE(bytes.startsWith("\x7f"
                                         "ELF"));
        }
        QByteArray output;
        EXPECT_EQ(TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-tq"), out}, &output), 0)
            << output.toStdString();
        output.clear();
        EXPECT_EQ(TestFiles::run(QStringLiteral("7zz"), {QStringLiteral("t"), out}, &output), 0)
            << output.toStdString();
    }

    // No DLL but Windows' own (cryptography from bcrypt.dll): the C and C++
    // runtimes and zlib are inside.
    QByteArray dump;
    ASSERT_EQ(TestFiles::run(QStringLiteral("x86_64-w64-mingw32-objdump"), {QStringLiteral("-p"), windows}, &dump), 0);
    QStringList dlls;
    for (const QByteArray& line : dump.split('\n')) {
        if (line.trimmed().startsWith("DLL Name:"))
            dlls << QString::fromLatin1(line.trimmed().mid(9).trimmed()).toLower();
    }
    const QStringList windowsOwn = {"kernel32.dll", "user32.dll",  "gdi32.dll",  "comctl32.dll",
                                    "ole32.dll",    "shell32.dll", "msvcrt.dll", "bcrypt.dll"};
    EXPECT_FALSE(dlls.isEmpty());
    for (const QString& dll : dlls)
        EXPECT_TRUE(windowsOwn.contains(dll)) << dll.toStdString();
    EXPECT_LT(QFileInfo(windows).size(), 1024 * 1024);
}

TEST_F(WinSfx, ExtractsArchivesOfEveryMakerLikeUnzip)
{
    const QString src = makeTree();
    QStringList zips;
    zips << path(QStringLiteral("infozip.zip"));
    EXPECT_EQ(run(QStringLiteral("zip"), {QStringLiteral("-qr"), zips.last(), QStringLiteral(".")}, src).code, 0);
    zips << path(QStringLiteral("7z.zip"));
    EXPECT_EQ(
        run(QStringLiteral("7zz"),
            {QStringLiteral("a"), QStringLiteral("-tzip"), QStringLiteral("-bso0"), zips.last(), QStringLiteral(".")},
            src)
            .code,
        0);
    zips << pythonZip(QStringLiteral("tree"));
    // Deflate64, which this runtime inflates with the zip core's own inflater;
    // the committed one reaches 40 and 52 KB back.
    zips << path(QStringLiteral("deflate64.zip"));
    EXPECT_EQ(run(QStringLiteral("7zz"),
                  {QStringLiteral("a"), QStringLiteral("-tzip"), QStringLiteral("-bso0"),
                   QStringLiteral("-mm=Deflate64"), zips.last(), QStringLiteral(".")},
                  src)
                  .code,
              0);

    for (const QString& zip : zips) {
        const QString name = QFileInfo(zip).completeBaseName();
        SCOPED_TRACE(name.toStdString());
        const QString exe = makeExe(zip, name + QStringLiteral(".exe"));
        const QString ours = path(name + QStringLiteral("/ours"));
        const Result r = runExe(exe, {QStringLiteral("--target"), windowsPath(ours)});
        EXPECT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
        const QString reference = path(name + QStringLiteral("/unzip"));
        EXPECT_EQ(run(QStringLiteral("unzip"), {QStringLiteral("-q"), zip, QStringLiteral("-d"), reference}).code, 0);
        EXPECT_EQ(describeTree(ours), describeTree(reference));
        EXPECT_TRUE(describeTree(ours).filter(QStringLiteral("ファイル.txt")).size() == 1);
        EXPECT_TRUE(TestFiles::tree(ours).contains(QStringLiteral("empty/")));
    }

    const QString far =
        makeExe(TestFiles::fixture(QStringLiteral("methods/7z-deflate64.zip")), QStringLiteral("far.exe"));
    const Result r = runExe(far, {QStringLiteral("--target"), windowsPath(path(QStringLiteral("far/ours")))});
    EXPECT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(run(QStringLiteral("unzip"),
                  {QStringLiteral("-q"), TestFiles::fixture(QStringLiteral("methods/7z-deflate64.zip")),
                   QStringLiteral("-d"), path(QStringLiteral("far/unzip"))})
                  .code,
              0);
    EXPECT_EQ(describeTree(path(QStringLiteral("far/ours"))), describeTree(path(QStringLiteral("far/unzip"))));
    EXPECT_TRUE(TestFiles::tree(path(QStringLiteral("far/ours"))).contains(QStringLiteral("far.bin")));
}

TEST_F(WinSfx, ListsTestsAndCatchesDamage)
{
    const QString exe = makeExe(pythonZip(QStringLiteral("tree")), QStringLiteral("t.exe"));
    Result r = runExe(exe, {QStringLiteral("/list")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("日本語/ファイル.txt")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("5 entries")) << r.out.toStdString();
    r = runExe(exe, {QStringLiteral("--test")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("No errors: all 5 entries are intact.")) << r.out.toStdString();

    // One byte of top.txt's compressed data changed: the CRC check fails.
    QByteArray bytes = TestFiles::readAll(exe);
    const int data = bytes.indexOf("top.txt", bytes.indexOf("PLVSFX02")) + 7 + 10;
    bytes[data] = static_cast<char>(bytes[data] ^ 0x55);
    TestFiles::writeAll(path(QStringLiteral("damaged.exe")), bytes);
    r = runExe(path(QStringLiteral("damaged.exe")), {QStringLiteral("--test")});
    EXPECT_EQ(r.code, 1) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("top.txt")) << r.err.toStdString();

    r = runExe(exe, {QStringLiteral("--bogus")});
    EXPECT_EQ(r.code, 2);
}

// This runtime's reader has zlib and the Deflate64 inflater alone: a deflated entry with no compressed
// data is still an empty file, and a bzip2 archive is refused, naming the
// entry and the method, before anything is written.
TEST_F(WinSfx, EmptyDeflatedEntryIsAnEmptyFileAndBzip2IsRefused)
{
    const QString empty = makeExe(TestFiles::fixture(QStringLiteral("empty-deflated.zip")), QStringLiteral("e.exe"));
    Result r = runExe(empty, {QStringLiteral("--target"), windowsPath(path(QStringLiteral("empty")))});
    EXPECT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(TestFiles::tree(path(QStringLiteral("empty"))), QStringList({"empty.txt", "first.txt", "last.txt"}));
    EXPECT_EQ(QFileInfo(path(QStringLiteral("empty/empty.txt"))).size(), 0);

    // MakeSfx refuses to make this one: the layout's own writer makes it.
    const QString bzip2 = path(QStringLiteral("b.exe"));
    ASSERT_EQ(run(QStringLiteral("python3"),
                  {QStringLiteral(PLOVERN_SOURCE_DIR "/tests/sfx/make_sfx.py"), runtime(),
                   TestFiles::fixture(QStringLiteral("bzip2.zip")), bzip2})
                  .code,
              0);
    r = runExe(bzip2, {QStringLiteral("--target"), windowsPath(path(QStringLiteral("bzip2/out")))});
    EXPECT_EQ(r.code, 1) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("refusing entry \"hello.txt\": it uses compression method 12 (bzip2)"))
        << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("bzip2"))));
}

// 7-Zip's AES (128 and 256-bit keys, Deflate and Deflate64 inside) and zip's
// traditional encryption, the password given on standard input as a script
// gives it: the files are what 7-Zip extracts. A wrong password ends the run
// with nothing of the entry left; a line ended as Windows ends it is the same
// password.
TEST_F(WinSfx, EncryptedArchivesExtractWithThePasswordFromStandardInput)
{
    const QString src = makeTree();
    QStringList zips;
    zips << sevenZipEncrypted(src, QStringLiteral("aes256.zip"), {QStringLiteral("-mem=AES256")});
    zips << sevenZipEncrypted(src, QStringLiteral("aes128.zip"), {QStringLiteral("-mem=AES128")});
    zips << sevenZipEncrypted(src, QStringLiteral("aes256-deflate64.zip"),
                              {QStringLiteral("-mem=AES256"), QStringLiteral("-mm=Deflate64")});
    zips << path(QStringLiteral("zipcrypto.zip"));
    EXPECT_EQ(
        run(QStringLiteral("zip"),
            {QStringLiteral("-qr"), QStringLiteral("-P"), QStringLiteral("plovern"), zips.last(), QStringLiteral(".")},
            src)
            .code,
        0);
    for (const QString& zip : zips) {
        const QString name = QFileInfo(zip).completeBaseName();
        SCOPED_TRACE(name.toStdString());
        const QString exe = makeExe(zip, name + QStringLiteral(".exe"));
        const QString ours = path(name + QStringLiteral("/ours"));
        const Result r = runExeWithInput(exe, {QStringLiteral("--target"), windowsPath(ours)}, "plovern\n");
        EXPECT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
        EXPECT_EQ(contents(ours), sevenZipTree(zip, path(name + QStringLiteral("/7zz"))));
        EXPECT_EQ(describeTree(ours).filter(QStringLiteral(".txt")).size(), 3);
    }

    const QString exe = path(QStringLiteral("aes256.exe"));
    const QString wrong = path(QStringLiteral("wrong"));
    Result r = runExeWithInput(exe, {QStringLiteral("--target"), windowsPath(wrong)}, "wrong\n");
    EXPECT_EQ(r.code, 1) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("password")) << r.err.toStdString();
    EXPECT_TRUE(TestFiles::tree(wrong).filter(QStringLiteral(".txt")).isEmpty())
        << TestFiles::tree(wrong).join(' ').toStdString();
    const QString crlf = path(QStringLiteral("crlf"));
    r = runExeWithInput(exe, {QStringLiteral("--target"), windowsPath(crlf)}, "plovern\r\n");
    EXPECT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(contents(crlf), contents(path(QStringLiteral("aes256/7zz"))));
    r = runExeWithInput(exe, {QStringLiteral("/test")}, "plovern\n");
    EXPECT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
}

TEST_F(WinSfx, HostileArchivesAreRefusedAndNothingIsWritten)
{
    // Beside the folders of the other kinds, in this test's own folder.
    const QString absolute = path(QStringLiteral("evil-absolute.txt"));
    const QStringList kinds = {"hostile-dotdot",         "hostile-backslash", "hostile-drive",
                               "hostile-drive-relative", "hostile-stream",    "hostile-device"};
    for (const QString& kind : kinds + QStringList{QStringLiteral("hostile-absolute")}) {
        SCOPED_TRACE(kind.toStdString());
        const QString folder = path(kind);
        QDir().mkpath(folder);
        const QString zip = kind == QLatin1String("hostile-absolute") ? pythonZip(kind, {absolute}) : pythonZip(kind);
        const QString exe = makeExe(zip, kind + QStringLiteral("/x.exe"));
        const Result r = runExe(exe, {QStringLiteral("/target"), windowsPath(folder + QStringLiteral("/inside/out"))});
        EXPECT_EQ(r.code, 1) << r.out.toStdString();
        EXPECT_TRUE(r.err.contains("refusing entry")) << r.err.toStdString();
        EXPECT_EQ(TestFiles::tree(folder), QStringList({"x.exe"}));
    }
    EXPECT_FALSE(QFileInfo::exists(absolute));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("C:\\evil.txt")));
}

TEST_F(WinSfx, ArchivesOfBrokenStructureAreRefusedAndNothingIsWritten)
{
    // The archives of tests/cases/make_structure.py, put behind the runtime
    // by make_sfx.py (the engine refuses to build from them), the takeover
    // one with its offsets counting from the zip data, as a plain "cat"
    // leaves them, so that the forged directory in its comment would hold.
    const Result made =
        run(QStringLiteral("python3"), {QStringLiteral(PLOVERN_CASES_DIR "/make_structure.py"), m_dir.path()});
    ASSERT_EQ(made.code, 0) << made.err.toStdString();
    const struct
    {
        const char* zip;
        const char* action;
        const char* named;
    } cases[] = {{"takeover.zip", "/target", "damaged"},
                 {"overlap.zip", "/test", "inner.bin"},
                 {"shared.zip", "/target", "same.bin"},
                 {"methods.zip", "/target", "text.txt"},
                 {"nul-name.zip", "/list", "a.txt\\x00hidden"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zip);
        const QString folder = path(QString::fromLatin1(c.zip) + QStringLiteral(".d"));
        QDir().mkpath(folder);
        const QString exe = folder + QStringLiteral("/x.exe");
        QStringList args = {QStringLiteral(PLOVERN_SFX_TEST_DIR "/make_sfx.py"), runtime(),
                            path(QString::fromLatin1(c.zip)), exe};
        if (std::strcmp(c.zip, "takeover.zip") == 0)
            args << QStringLiteral("--no-adjust");
        ASSERT_EQ(run(QStringLiteral("python3"), args).code, 0);
        QStringList action = {QString::fromLatin1(c.action)};
        if (std::strcmp(c.action, "/target") == 0)
            action << windowsPath(folder + QStringLiteral("/out"));
        const Result r = runExe(exe, action);
        EXPECT_EQ(r.code, 1) << r.out.toStdString();
        EXPECT_FALSE(r.out.contains("OK")) << r.out.toStdString();
        EXPECT_TRUE(r.err.contains(c.named)) << r.err.toStdString();
        EXPECT_EQ(TestFiles::tree(folder), QStringList({"x.exe"}));
    }
}

TEST_F(WinSfx, LinkOnDiskLeadingOutsideIsRefusedBeforeAnythingIsWritten)
{
    QDir().mkpath(path(QStringLiteral("target")));
    QDir().mkpath(path(QStringLiteral("outside")));
    ASSERT_TRUE(QFile::link(path(QStringLiteral("outside")), path(QStringLiteral("target/日本語"))));
    const QString exe = makeExe(pythonZip(QStringLiteral("tree")), QStringLiteral("x.exe"));
    const Result r = runExe(exe, {QStringLiteral("--target"), windowsPath(path(QStringLiteral("target")))});
    EXPECT_EQ(r.code, 1) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("symbolic link")) << r.err.toStdString();
    EXPECT_TRUE(TestFiles::tree(path(QStringLiteral("outside"))).isEmpty());
    EXPECT_EQ(TestFiles::tree(path(QStringLiteral("target"))), QStringList({"日本語"}));
}

// Waits for a top-level window whose title matches `pattern` (xdotool's
// regular expression) and returns its id.
QString waitForWindow(const QProcessEnvironment& env, const QString& pattern)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000) {
        const Result r = run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--name"), pattern},
                             QString(), env);
        const QByteArray id = r.out.split('\n').first().trimmed();
        if (!id.isEmpty())
            return QString::fromLatin1(id);
        QThread::msleep(200);
    }
    return QString();
}

void pressEnter(const QProcessEnvironment& env, const QString& window)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}, QString(), env);
    run(QStringLiteral("xdotool"),
        {QStringLiteral("key"), QStringLiteral("--window"), window, QStringLiteral("Return")}, QString(), env);
}

void screenshot(const QProcessEnvironment& env, const QString& file)
{
    run(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), file}, QString(), env);
}

TEST_F(WinSfx, WindowExtractsOnEnterShowsTheMessageThenRunsTheProgramInTheFolder)
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        GTEST_SKIP() << "xdotool is not installed: the window cannot be driven";
    const QString src = makeTree();
    // The program to run afterwards travels in the archive; the maker named
    // it by the path it had on the maker's machine.
    TestFiles::writeAll(src + QStringLiteral("/after.bat"), "@echo off\r\ncd > ran-in.txt\r\n");
    const QString zip = path(QStringLiteral("gui.zip"));
    ASSERT_EQ(run(QStringLiteral("zip"), {QStringLiteral("-qr"), zip, QStringLiteral(".")}, src).code, 0);
    const QString target = path(QStringLiteral("chosen/by maker"));
    const QString exe = makeExe(zip, QStringLiteral("gui.exe"), windowsPath(target), QStringLiteral("All done, enjoy."),
                                QStringLiteral("/home/maker/after.bat"));

    const QProcessEnvironment env = wineEnvironment();
    QProcess process;
    process.setProcessEnvironment(env);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(wine(), {exe});
    const QString window = waitForWindow(env, QStringLiteral("^gui\\.exe .*self-extracting archive$"));
    ASSERT_FALSE(window.isEmpty()) << "the window did not open";
    QThread::msleep(500);
    screenshot(env, wineDir() + QStringLiteral("/window.png"));
    EXPECT_FALSE(QFileInfo::exists(target)); // nothing before Extract
    pressEnter(env, window);

    const QString message = waitForWindow(env, QStringLiteral("^gui\\.exe$"));
    ASSERT_FALSE(message.isEmpty()) << "the closing message did not show";
    QThread::msleep(500);
    screenshot(env, wineDir() + QStringLiteral("/message.png"));
    EXPECT_EQ(describeTree(target).filter(QStringLiteral(".txt")).size(), 3);
    EXPECT_FALSE(QFileInfo::exists(target + QStringLiteral("/ran-in.txt"))); // not before the message is closed
    pressEnter(env, message);

    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    const QString reference = path(QStringLiteral("unzip"));
    run(QStringLiteral("unzip"), {QStringLiteral("-q"), zip, QStringLiteral("-d"), reference});
    TestFiles::writeAll(reference + QStringLiteral("/ran-in.txt"), TestFiles::readAll(target + "/ran-in.txt"));
    EXPECT_EQ(describeTree(target).filter(QStringLiteral("/")), describeTree(reference).filter(QStringLiteral("/")));
    EXPECT_EQ(QString::fromUtf8(TestFiles::readAll(target + QStringLiteral("/ran-in.txt"))).trimmed(),
              windowsPath(target));
}

void typeInto(const QProcessEnvironment& env, const QString& window, const QStringList& keys, const QString& text)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}, QString(), env);
    if (!keys.isEmpty())
        run(QStringLiteral("xdotool"), QStringList{QStringLiteral("key"), QStringLiteral("--window"), window} << keys,
            QString(), env);
    run(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--window"), window, text}, QString(), env);
}

// The password typed in the window's field opens an AES-256 archive. With a
// wrong one there, the prompt asks; cancelling it ends the extraction with a
// failure, keeping the entry written before, and the window stays for
// another try, in which the password given in the prompt opens the entry.
TEST_F(WinSfx, WindowTakesThePasswordFromItsFieldThenFromThePrompt)
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        GTEST_SKIP() << "xdotool is not installed: the window cannot be driven";
    const QProcessEnvironment env = wineEnvironment();
    const QString src = makeTree();
    const QString aes = sevenZipEncrypted(src, QStringLiteral("aes.zip"), {QStringLiteral("-mem=AES256")});
    const QString target = path(QStringLiteral("aes-out"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(wine(), {makeExe(aes, QStringLiteral("aes.exe"), windowsPath(target))});
    const QString window = waitForWindow(env, QStringLiteral("^aes\\.exe .*self-extracting archive$"));
    ASSERT_FALSE(window.isEmpty()) << "the window did not open";
    // From the folder past Browse... to the password.
    typeInto(env, window, {QStringLiteral("Tab"), QStringLiteral("Tab")}, QStringLiteral("plovern"));
    QThread::msleep(300);
    screenshot(env, wineDir() + QStringLiteral("/password-field.png"));
    pressEnter(env, window);
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(contents(target), sevenZipTree(aes, path(QStringLiteral("aes-7zz"))));

    TestFiles::writeAll(path(QStringLiteral("plain.txt")), "not encrypted\n");
    TestFiles::writeAll(path(QStringLiteral("secret.txt")), "encrypted\n");
    const QString mixed = path(QStringLiteral("mixed.zip"));
    ASSERT_EQ(run(QStringLiteral("zip"), {QStringLiteral("-q"), mixed, QStringLiteral("plain.txt")}).code, 0);
    ASSERT_EQ(run(QStringLiteral("zip"),
                  {QStringLiteral("-q"), QStringLiteral("-P"), QStringLiteral("plovern"), mixed,
                   QStringLiteral("secret.txt")})
                  .code,
              0);
    const QString mixedTarget = path(QStringLiteral("mixed-out"));
    process.start(wine(), {makeExe(mixed, QStringLiteral("mixed.exe"), windowsPath(mixedTarget))});
    const QString second = waitForWindow(env, QStringLiteral("^mixed\\.exe .*self-extracting archive$"));
    ASSERT_FALSE(second.isEmpty()) << "the window did not open";
    typeInto(env, second, {QStringLiteral("Tab"), QStringLiteral("Tab")}, QStringLiteral("wrong"));
    pressEnter(env, second);
    QString prompt = waitForWindow(env, QStringLiteral("^Password$"));
    ASSERT_FALSE(prompt.isEmpty()) << "the password prompt did not show";
    QThread::msleep(300);
    screenshot(env, wineDir() + QStringLiteral("/password-prompt.png"));
    run(QStringLiteral("xdotool"),
        {QStringLiteral("key"), QStringLiteral("--window"), prompt, QStringLiteral("Escape")}, QString(), env);
    const QString failure = waitForWindow(env, QStringLiteral("^mixed\\.exe$"));
    ASSERT_FALSE(failure.isEmpty()) << "the cancelled prompt was not reported";
    EXPECT_EQ(TestFiles::tree(mixedTarget), QStringList({"plain.txt"}));
    pressEnter(env, failure);

    pressEnter(env, second); // Extract again: the field's password fails again
    prompt = waitForWindow(env, QStringLiteral("^Password$"));
    ASSERT_FALSE(prompt.isEmpty()) << "the password prompt did not show again";
    typeInto(env, prompt, {}, QStringLiteral("plovern"));
    pressEnter(env, prompt);
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(TestFiles::readAll(mixedTarget + QStringLiteral("/secret.txt")), QByteArray("encrypted\n"));
}

} // namespace
