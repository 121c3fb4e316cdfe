#include "TestFiles.h"
#include "WindowTest.h"
#include "addfiles/Form2.h"
#include "extract/Form3.h"
#include "sfx/SelfExtractorBuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QTreeWidget>

namespace {
const QString MessagePrompt = QStringLiteral(
    "Please type in a short message you want the user to see after the extraction or press ENTER to display the "
    "default message after extraction:");
const QString FolderPrompt =
    QStringLiteral("Please enter the location/path the file should extract to (i.e., c:\\fred):");
const QString Success = QStringLiteral("Attention!|The specified file has successfully been made self-extracting.");
} // namespace

class SelfExtractorBuilderTest : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        m_archive = TestFiles::copyFixture(QStringLiteral("infozip.zip"), m_dir.path());
        // Not ".exe": that name gets the Windows runtime, and these tests run
        // what they build.
        m_output = path(QStringLiteral("out.run"));
    }

    void clickBuild() { click(m_form1.get(), QStringLiteral("BCHCButton3")); }

    // Answers the four questions of one build.
    void answerAll(const QString& message, const QString& folder, const QString& output, const QString& program)
    {
        m_platform.answerInput(message);
        m_platform.answerInput(folder);
        m_platform.answerSave(output);
        m_platform.answerOpen(program);
    }

    // Runs a self-extractor without a terminal in `workingFolder`.
    static int runSfx(const QString& sfx, const QString& workingFolder, QByteArray* output)
    {
        return TestFiles::run(sfx, {}, output, workingFolder);
    }

    QByteArray messageFile() const
    {
        return TestFiles::readAll(QDir::current().filePath(QStringLiteral("finalmsg.txt")));
    }

    QString m_archive;
    QString m_output;
};

TEST_F(SelfExtractorBuilderTest, NoCurrentArchiveOnlySaysSo)
{
    clickBuild();
    EXPECT_EQ(m_platform.messages(), QStringList({"Attention|No zip file has been selected yet to open/work with!"}));
    EXPECT_EQ(m_platform.kinds(), QStringList({"message"}));
    EXPECT_TRUE(m_form1->form2Exists() && m_form1->form3Exists() && m_form1->form4Exists());
    EXPECT_FALSE(QFile::exists(QStringLiteral("finalmsg.txt")));
}

TEST_F(SelfExtractorBuilderTest, ArchivesEndingInExeAreRefusedBeforeAnyPrompt)
{
    for (const char* name : {"a.exe", "a.EXE", "a.Exe", "aexe"}) {
        m_platform.clearCalls();
        m_form1->setCurrentArchive(path(QString::fromLatin1(name)));
        clickBuild();
        EXPECT_EQ(m_platform.messages(), QStringList({"Attention!|You can't made an .EXE file into an .EXE file!"}))
            << name;
        EXPECT_EQ(m_platform.kinds(), QStringList({"message"})) << name;
    }
    EXPECT_FALSE(QFile::exists(QStringLiteral("finalmsg.txt")));
}

TEST_F(SelfExtractorBuilderTest, EmptyOrCancelledAnswersGiveTheDefaultMessageThenBeepAtTheFolder)
{
    const QByteArray expected = (SelfExtractorBuilder::defaultMessage() + QString(200, ' ')).toUtf8() + "\r\n";
    EXPECT_TRUE(SelfExtractorBuilder::defaultMessage().startsWith(
        QStringLiteral("Extraction complete.  Thank you for using Marrowfen Plovern from ")));
    EXPECT_TRUE(SelfExtractorBuilder::defaultMessage().endsWith(SelfExtractorBuilder::MakerWebAddress + "!  "));

    m_form1->setCurrentArchive(m_archive);
    for (const QString& answer : {QString(), ScriptedPlatform::cancel()}) {
        m_platform.clearCalls();
        QFile::remove(QStringLiteral("finalmsg.txt"));
        m_platform.answerInput(answer);
        m_platform.answerInput(answer);
        clickBuild();
        EXPECT_EQ(m_platform.kinds(), QStringList({"input", "input", "beep"}));
        EXPECT_EQ(m_platform.calls().at(0).text, MessagePrompt);
        EXPECT_EQ(m_platform.calls().at(0).title, QStringLiteral("Please enter a message or press ENTER..."));
        EXPECT_EQ(m_platform.calls().at(1).text, FolderPrompt);
        EXPECT_EQ(m_platform.calls().at(1).title, QStringLiteral("Please enter a path or press ENTER"));
        EXPECT_EQ(messageFile(), expected);
    }
    EXPECT_EQ(m_form1->text1()->text(), m_archive);
}

TEST_F(SelfExtractorBuilderTest, TypedMessageKeepsEveryCharacterAndCancelledSaveShowsNothing)
{
    m_form1->setCurrentArchive(m_archive);
    m_platform.answerInput(QStringLiteral("Grüße — 完了"));
    m_platform.answerInput(QStringLiteral("target"));
    m_platform.answerSave(ScriptedPlatform::cancel());
    clickBuild();
    EXPECT_EQ(messageFile(), QStringLiteral("Grüße — 完了").toUtf8() + QByteArray(200, ' ') + "\r\n");
    EXPECT_EQ(m_platform.kinds(), QStringList({"input", "input", "save"}));
    const FileDialogRequest& save = m_platform.calls().last().request;
    EXPECT_EQ(save.title,
              QStringLiteral("Choose a location and then type the name of the exe file you want to "
                             "create (i.e., fred.exe):"));
    EXPECT_EQ(save.filter, QStringLiteral("Windows self-extractor (*.exe)|*.exe|Linux self-extractor (any name)|*"));
    EXPECT_EQ(save.filterIndex, SelfExtractorBuilder::LinuxFilter);
    EXPECT_TRUE(save.cancelError);
    EXPECT_EQ(m_platform.busyNow(), 0);
    EXPECT_EQ(m_form1->text1()->text(), m_archive);
}

TEST_F(SelfExtractorBuilderTest, BuildsARunnableSelfExtractorThatRunsItsProgramInTheTarget)
{
    openArchive(m_archive);
    const QStringList sourceRows = rows();
    TestFiles::writeAll(path("after.sh"), "#!/bin/sh\npwd > ran-in.txt\n");
    QFile::setPermissions(path("after.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    TestFiles::writeAll(m_output, "an older file");
    m_platform.clearCalls();

    answerAll(QStringLiteral("All done."), QStringLiteral("unpacked"), m_output, path("after.sh"));
    clickBuild();
    EXPECT_EQ(m_platform.kinds(), QStringList({"input", "input", "save", "open", "message"}));
    const FileDialogRequest& program = m_platform.calls().at(3).request;
    EXPECT_EQ(program.title, QStringLiteral("Choose a file to run automatically after extraction or Cancel:"));
    EXPECT_EQ(program.filter, QStringLiteral("Self-Extracting Files (*.exe)|*.exe|All files (*)|*"));
    EXPECT_FALSE(program.cancelError);
    EXPECT_EQ(m_platform.messages(), QStringList({Success}));
    EXPECT_TRUE(m_form1->text1()->text().isEmpty());
    EXPECT_TRUE(rows().isEmpty());
    EXPECT_EQ(m_platform.busyNow(), 0);
    EXPECT_FALSE(m_form1->form3().isVisible());

    ASSERT_TRUE(QFileInfo(m_output).isExecutable());
    QByteArray out;
    EXPECT_EQ(TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-tq"), m_output}, &out), 0) << out.toStdString();

    const QString runHere = path("run");
    QDir().mkpath(runHere);
    EXPECT_EQ(runSfx(m_output, runHere, &out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("All done.")) << out.toStdString();
    EXPECT_EQ(TestFiles::tree(runHere + "/unpacked"),
              QStringList({"docs/", "docs/readme.txt", "hello.txt", "ran-in.txt"}));
    EXPECT_EQ(TestFiles::readAll(runHere + "/unpacked/docs/readme.txt"), QByteArray("Read me.\n"));
    EXPECT_EQ(TestFiles::readAll(runHere + "/unpacked/ran-in.txt").trimmed(),
              QDir(runHere + "/unpacked").canonicalPath().toUtf8());

    // The main window opens what it built like the source archive.
    openArchive(m_output);
    EXPECT_EQ(rows(), sourceRows);
}

TEST_F(SelfExtractorBuilderTest, CancelledProgramDialogBuildsWithoutOneAndNoProgramIsCarriedOver)
{
    TestFiles::writeAll(path("after.sh"), "#!/bin/sh\ntouch ran.txt\n");
    QFile::setPermissions(path("after.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_form1->setCurrentArchive(m_archive);
    m_platform.answerInput(QStringLiteral("first"));
    m_platform.answerInput(QStringLiteral("one"));
    m_platform.answerSave(path("first.exe"), SelfExtractorBuilder::WindowsFilter);
    m_platform.answerOpen(path("after.sh"));
    clickBuild();
    m_form1->setCurrentArchive(m_archive);
    answerAll(QString(), QStringLiteral("two"), m_output, ScriptedPlatform::cancel());
    clickBuild();
    EXPECT_EQ(m_platform.messages(), QStringList({Success, Success}));

    QByteArray out;
    const QString runHere = path("run");
    QDir().mkpath(runHere);
    EXPECT_EQ(runSfx(m_output, runHere, &out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("Extraction complete.  Thank you for using Marrowfen Plovern from"));
    EXPECT_EQ(TestFiles::tree(runHere + "/two"), QStringList({"docs/", "docs/readme.txt", "hello.txt"}));
}

TEST_F(SelfExtractorBuilderTest, TheChosenFilterDecidesTheKindAndTheNameFollowsIt)
{
    // The Linux filter refuses a Windows name and asks again.
    m_form1->setCurrentArchive(m_archive);
    m_platform.answerInput(QStringLiteral("msg"));
    m_platform.answerInput(QStringLiteral("dir"));
    m_platform.answerSave(path("lin.exe"), SelfExtractorBuilder::LinuxFilter);
    m_platform.answerSave(path("lin"), SelfExtractorBuilder::LinuxFilter);
    m_platform.answerOpen(ScriptedPlatform::cancel());
    clickBuild();
    EXPECT_EQ(m_platform.kinds(), QStringList({"input", "input", "save", "message", "save", "open", "message"}));
    EXPECT_TRUE(m_platform.messages().first().startsWith(QStringLiteral("Attention!|lin.exe ends in .exe")));
    EXPECT_EQ(m_platform.messages().last(), Success);
    EXPECT_FALSE(QFileInfo::exists(path("lin.exe")));
    EXPECT_TRUE(TestFiles::readAll(path("lin"))
                    .startsWith("\x7f"
                                "ELF"));

    // The Windows filter gives a name without ".exe" its ".exe".
    m_platform.clearCalls();
    m_form1->setCurrentArchive(m_archive);
    m_platform.answerInput(QStringLiteral("msg"));
    m_platform.answerInput(QStringLiteral("dir"));
    m_platform.answerSave(path("win"), SelfExtractorBuilder::WindowsFilter);
    m_platform.answerOpen(ScriptedPlatform::cancel());
    clickBuild();
    EXPECT_FALSE(QFileInfo::exists(path("win")));
    if (QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/plovern-sfx.exe"))) {
        EXPECT_EQ(m_platform.messages(), QStringList({Success}));
        EXPECT_TRUE(TestFiles::readAll(path("win.exe")).startsWith("MZ"));
    } else {
        ASSERT_EQ(m_platform.messages().size(), 1);
        EXPECT_TRUE(m_platform.messages().first().contains(QStringLiteral("#1017")));
    }
}

TEST_F(SelfExtractorBuilderTest, FailedBuildReportsAndKeepsTheExistingFile)
{
    const QString notZip = TestFiles::copyFixture(QStringLiteral("notazip.zip"), m_dir.path());
    TestFiles::writeAll(m_output, "keep me");
    m_form1->setCurrentArchive(notZip);
    answerAll(QStringLiteral("msg"), QStringLiteral("dir"), m_output, ScriptedPlatform::cancel());
    clickBuild();
    ASSERT_EQ(m_platform.messages().size(), 1);
    EXPECT_TRUE(m_platform.messages().first().startsWith(
        QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #1003 : ")));
    EXPECT_EQ(TestFiles::readAll(m_output), QByteArray("keep me"));
    EXPECT_EQ(m_form1->text1()->text(), notZip);
    EXPECT_EQ(m_platform.busyNow(), 0);
    EXPECT_EQ(TestFiles::tree(m_dir.path()).filter(QStringLiteral("out.run")), QStringList({"out.run"}));
}

TEST_F(SelfExtractorBuilderTest, StoppedBuildLeavesNoOutput)
{
    m_form1->setCurrentArchive(m_archive);
    answerAll(QStringLiteral("msg"), QStringLiteral("dir"), m_output, ScriptedPlatform::cancel());
    m_platform.stopAt = QStringLiteral("Writing");
    clickBuild();
    ASSERT_EQ(m_platform.messages().size(), 1);
    EXPECT_TRUE(m_platform.messages().first().startsWith(QStringLiteral("Stopped|Stopped: ")));
    EXPECT_FALSE(QFileInfo::exists(m_output));
    EXPECT_EQ(TestFiles::tree(m_dir.path()).filter(QStringLiteral(".plovern")), QStringList());
}

TEST_F(SelfExtractorBuilderTest, MessageFileGoesToTheFolderLastCreatedInTheExtractWindow)
{
    QDir().mkpath(path("base"));
    m_form1->form3().text1()->setText(path("base"));
    m_platform.answerInput(QStringLiteral("made"));
    click(&m_form1->form3(), QStringLiteral("BCHCButton2"));
    ASSERT_EQ(QDir::currentPath(), path("base/made"));

    m_form1->setCurrentArchive(m_archive);
    m_platform.answerInput(QStringLiteral("hello"));
    m_platform.answerInput(ScriptedPlatform::cancel());
    clickBuild();
    EXPECT_TRUE(QFile::exists(path("base/made/finalmsg.txt")));
}
