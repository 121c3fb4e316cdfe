#include "DriveList.h"
#include "FolderList.h"
#include "TestFiles.h"
#include "WindowTest.h"
#include "extract/Form3.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

using TestFiles::copyFixture;

namespace {
const QString Done = QStringLiteral("Attention!|Decompression complete!");
const QString Deleted =
    QStringLiteral("Attention!|Deletion complete!  You may want to click the Refresh View button below.");
const QString Fyi = QStringLiteral("Just an FYI....|If you need to refresh the view of the contents of the zip file, "
                                   "click the Refresh View button below.");
const QString NewFolderPrompt = QStringLiteral("Please type in the name of the directory you want to create:");
} // namespace

class ExtractWindowTest : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        m_archive = copyFixture(QStringLiteral("infozip.zip"), m_dir.path());
        QDir(m_dir.path()).mkpath(QStringLiteral("out"));
        m_out = path(QStringLiteral("out"));
    }
    Form3& form3() { return m_form1->form3(); }
    // Points the extract window's folder list at `folder`, as a user would.
    void chooseFolder(const QString& folder) { form3().folderList()->setPath(folder); }

    QString m_archive;
    QString m_out;
};

TEST_F(ExtractWindowTest, StartsAtTheHomeFolderWithItsControls)
{
    EXPECT_EQ(form3().windowTitle(), QStringLiteral("Where would you like to extract the files?"));
    EXPECT_EQ(form3().text1()->text(), QDir::homePath());
    EXPECT_EQ(form3().folderList()->path(), QDir::homePath());
    EXPECT_TRUE(form3().text1()->isReadOnly() && form3().text2()->isReadOnly());
    EXPECT_EQ(form3().size(), QSize(647, 362));
    EXPECT_FALSE(form3().isVisible());
    EXPECT_TRUE(m_platform.messages().isEmpty());
}

TEST_F(ExtractWindowTest, ExtractsEverythingWithTimesThenHidesItself)
{
    openArchive(m_archive);
    chooseFolder(m_out);
    EXPECT_EQ(form3().text1()->text(), m_out);
    click(&form3(), QStringLiteral("BCHCButton1"));

    EXPECT_EQ(m_platform.messages(), QStringList({Done}));
    EXPECT_FALSE(form3().isVisible());
    EXPECT_EQ(m_platform.busyNow(), 0);
    EXPECT_EQ(TestFiles::tree(m_out), QStringList({"docs/", "docs/readme.txt", "hello.txt"}));
    EXPECT_EQ(TestFiles::readAll(m_out + "/hello.txt"), QByteArray("Hello, world!\n"));
    EXPECT_EQ(TestFiles::readAll(m_out + "/docs/readme.txt"), QByteArray("Read me.\n"));
    EXPECT_EQ(QFileInfo(m_out + "/hello.txt").lastModified(), QDateTime(QDate(2021, 3, 4), QTime(5, 6, 8)));
}

TEST_F(ExtractWindowTest, ASingleClickOpensTheFolderThatExtractionUses)
{
    openArchive(m_archive);
    FolderList* folders = form3().folderList();
    const QList<QListWidgetItem*> out = folders->findItems(QStringLiteral(" out"), Qt::MatchEndsWith);
    ASSERT_EQ(out.size(), 1);
    QTest::mouseClick(folders->viewport(), Qt::LeftButton, Qt::NoModifier, folders->visualItemRect(out[0]).center());
    EXPECT_EQ(form3().text1()->text(), m_out);
    ASSERT_EQ(folders->selectedItems().size(), 1);
    EXPECT_TRUE(folders->selectedItems().first()->text().endsWith(QStringLiteral(" out")));
    click(&form3(), QStringLiteral("BCHCButton1"));
    EXPECT_EQ(TestFiles::tree(m_out), QStringList({"docs/", "docs/readme.txt", "hello.txt"}));
}

TEST_F(ExtractWindowTest, ExtractsTheOneClickedEntryWithItsFolder)
{
    openArchive(m_archive);
    clickEntry(QStringLiteral("docs/readme.txt"));
    chooseFolder(m_out);
    click(&form3(), QStringLiteral("BCHCButton1"));
    EXPECT_EQ(m_platform.messages(), QStringList({Done}));
    EXPECT_EQ(TestFiles::tree(m_out), QStringList({"docs/", "docs/readme.txt"}));
}

TEST_F(ExtractWindowTest, FailedExtractionReportsAndStaysOpen)
{
    openArchive(m_archive);
    chooseFolder(m_out);
    click(m_form1.get(), QStringLiteral("BCHCButton4")); // Clear empties the current archive
    Form1::showModeless(&form3());
    click(&form3(), QStringLiteral("BCHCButton1"));
    ASSERT_EQ(m_platform.messages().size(), 1);
    EXPECT_TRUE(m_platform.messages().first().startsWith(
        QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #1001 : ")));
    EXPECT_TRUE(form3().isVisible());
    EXPECT_EQ(m_platform.busyNow(), 0);
    EXPECT_TRUE(TestFiles::tree(m_out).isEmpty());
}

TEST_F(ExtractWindowTest, HostileArchivesWriteNothingOutsideTheTarget)
{
    // absolute.zip names <folder>/evil.txt, where traversal.zip aims too.
    const QString absolute = TestFiles::placedFixture(QStringLiteral("absolute.zip"), m_dir.path(), m_dir.path());
    for (const char* name :
         {"hostile/traversal.zip", "absolute.zip", "hostile/backslash.zip", "hostile/link-out.zip"}) {
        m_platform.clearCalls();
        const QString fixture = QString::fromLatin1(name);
        openArchive(fixture == QLatin1String("absolute.zip") ? absolute : copyFixture(fixture, m_dir.path()));
        chooseFolder(m_out);
        click(&form3(), QStringLiteral("BCHCButton1"));
        ASSERT_EQ(m_platform.messages().size(), 1) << name;
        EXPECT_TRUE(m_platform.messages().first().contains(QStringLiteral("Oh no!  Error : #"))) << name;
        EXPECT_TRUE(form3().isVisible()) << name;
        EXPECT_TRUE(TestFiles::tree(m_out).isEmpty()) << name;
    }
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("evil.txt"))));
}

TEST_F(ExtractWindowTest, DriveChangeLeavesATrailingSeparatorAndNewFoldersNeverDoubleIt)
{
    chooseFolder(m_out);
    emit form3().driveList()->driveChanged();
    // The drive's current folder is the last one opened on it.
    EXPECT_EQ(form3().text1()->text(), m_out + QLatin1Char('/'));

    m_platform.answerInput(QStringLiteral("new"));
    click(&form3(), QStringLiteral("BCHCButton2"));
    EXPECT_EQ(m_platform.calls().first().text, NewFolderPrompt);
    EXPECT_EQ(m_platform.calls().first().title, QStringLiteral("Please specify a directory"));
    EXPECT_EQ(form3().text1()->text(), m_out + QStringLiteral("/new"));
    EXPECT_EQ(form3().folderList()->path(), m_out + QStringLiteral("/new"));
    EXPECT_TRUE(QFileInfo(m_out + QStringLiteral("/new")).isDir());
    EXPECT_EQ(QDir::currentPath(), m_out + QStringLiteral("/new"));

    // Without a trailing separator the result is the same.
    m_platform.answerInput(QStringLiteral("deeper"));
    click(&form3(), QStringLiteral("BCHCButton2"));
    EXPECT_EQ(form3().text1()->text(), m_out + QStringLiteral("/new/deeper"));
    EXPECT_EQ(m_platform.messages(), QStringList());
}

TEST_F(ExtractWindowTest, NewFolderAtTheRootHasOneSeparator)
{
    const QString name = QStringLiteral("plovern-test-%1").arg(QCoreApplication::applicationPid());
    if (!QFileInfo(QStringLiteral("/")).isWritable())
        GTEST_SKIP() << "the root folder is not writable here";
    chooseFolder(QStringLiteral("/"));
    EXPECT_EQ(form3().text1()->text(), QStringLiteral("/"));
    m_platform.answerInput(name);
    click(&form3(), QStringLiteral("BCHCButton2"));
    EXPECT_EQ(form3().text1()->text(), QLatin1Char('/') + name);
    EXPECT_TRUE(QDir(QLatin1Char('/') + name).exists());
    QDir::setCurrent(m_dir.path());
    QDir(QStringLiteral("/")).rmdir(name);
}

TEST_F(ExtractWindowTest, NewFolderCancelledOrExistingChangesNothing)
{
    chooseFolder(m_out);
    m_platform.answerInput(ScriptedPlatform::cancel());
    click(&form3(), QStringLiteral("BCHCButton2"));
    EXPECT_EQ(form3().text1()->text(), m_out);
    EXPECT_TRUE(TestFiles::tree(m_out).isEmpty());

    QDir(m_out).mkdir(QStringLiteral("taken"));
    m_platform.answerInput(QStringLiteral("taken"));
    click(&form3(), QStringLiteral("BCHCButton2"));
    EXPECT_EQ(m_platform.messages(),
              QStringList({QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #58 : A folder named "
                                          "\"taken\" already exists in ")
                           + m_out + QLatin1Char('.')}));
    EXPECT_EQ(form3().text1()->text(), m_out);
    EXPECT_EQ(form3().folderList()->path(), m_out);
}

TEST_F(ExtractWindowTest, DeletingTheClickedEntryKeepsTheRestReadable)
{
    openArchive(m_archive);
    chooseFolder(m_out);
    emit form3().driveList()->driveChanged(); // leaves a trailing separator on Text1
    clickEntry(QStringLiteral("hello.txt"));
    click(&form3(), QStringLiteral("BCHCButton3"));

    EXPECT_EQ(m_platform.messages(), QStringList({Deleted}));
    EXPECT_FALSE(form3().isVisible());
    EXPECT_EQ(form3().text1()->text(), m_out); // the separator is dropped again
    EXPECT_EQ(rows().size(), 3);               // nothing refreshes the list by itself
    click(m_form1.get(), QStringLiteral("BCHCButton7"));
    EXPECT_EQ(rows().size(), 2);
    EXPECT_EQ(unzipNames(m_archive), QStringList({"docs/", "docs/readme.txt"}));
    EXPECT_EQ(TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-tq"), m_archive}), 0);
}

TEST_F(ExtractWindowTest, FailedDeletionLeavesArchiveAndWindowAsTheyWere)
{
    openArchive(m_archive);
    const QByteArray before = TestFiles::readAll(m_archive);
    clickEntry(QStringLiteral("hello.txt"));
    ASSERT_EQ(TestFiles::run(QStringLiteral("zip"),
                             {QStringLiteral("-q"), QStringLiteral("-d"), m_archive, QStringLiteral("hello.txt")}),
              0);
    const QByteArray afterZip = TestFiles::readAll(m_archive);
    click(&form3(), QStringLiteral("BCHCButton3")); // the entry is gone already
    ASSERT_EQ(m_platform.messages().size(), 1);
    EXPECT_TRUE(m_platform.messages().first().contains(QStringLiteral("Oh no!  Error : #1005 : ")));
    EXPECT_TRUE(form3().isVisible());
    EXPECT_EQ(form3().text2()->text(), QStringLiteral("hello.txt"));
    EXPECT_EQ(TestFiles::readAll(m_archive), afterZip);
    EXPECT_NE(before, afterZip);
}

TEST_F(ExtractWindowTest, StoppedDeletionLeavesTheArchiveAsItWas)
{
    openArchive(m_archive);
    const QByteArray before = TestFiles::readAll(m_archive);
    clickEntry(QStringLiteral("hello.txt"));
    m_platform.stopAt = QStringLiteral("Rewriting");
    click(&form3(), QStringLiteral("BCHCButton3"));
    EXPECT_EQ(m_platform.messages(),
              QStringList({QStringLiteral("Stopped|Stopped: nothing was deleted from ") + m_archive}));
    EXPECT_EQ(TestFiles::readAll(m_archive), before);
    EXPECT_EQ(TestFiles::tree(QFileInfo(m_archive).path()).filter(QStringLiteral(".plovern")), QStringList());
}

TEST_F(ExtractWindowTest, ReturnBringsUpTheMainWindowThenShowsItsReminder)
{
    openArchive(m_archive);
    bool hiddenAtMessage = false;
    m_platform.onMessage = [&](const ScriptedPlatform::Call&) { hiddenAtMessage = !form3().isVisible(); };
    click(&form3(), QStringLiteral("BCHCButton4"));
    EXPECT_EQ(m_platform.messages(), QStringList({Fyi}));
    EXPECT_TRUE(hiddenAtMessage);
    EXPECT_TRUE(m_form1->isVisible());

    // Shown again later, it keeps the folder the user chose.
    chooseFolder(m_out);
    clickEntry(QStringLiteral("hello.txt"));
    EXPECT_EQ(form3().text1()->text(), m_out);
}

TEST_F(ExtractWindowTest, StopKeepsTheFilesCompletedAndReportsThem)
{
    openArchive(m_archive);
    chooseFolder(m_out);
    m_platform.stopAt = QStringLiteral("Extracting 1 of 2 files");
    click(&form3(), QStringLiteral("BCHCButton1"));

    // A stop the user asked for is a notice, over the window it stopped.
    EXPECT_EQ(m_platform.messages(),
              QStringList({QStringLiteral("Stopped|Stopped: 1 of 2 files were extracted into ") + m_out}));
    EXPECT_EQ(m_platform.calls().last().window, &form3());
    QStringList files = TestFiles::tree(m_out).filter(QRegularExpression(QStringLiteral("[^/]$")));
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_TRUE(files[0] == "hello.txt" || files[0] == "docs/readme.txt");
    EXPECT_TRUE(form3().isVisible());
}

TEST_F(ExtractWindowTest, ShownAgainItWakesOnTheFolderListNeverOnDelete)
{
    openArchive(m_archive);
    clickEntry(QStringLiteral("hello.txt"));
    QWidget* remove = form3().findChild<QPushButton*>(QStringLiteral("BCHCButton3"));
    remove->setFocus();
    click(&form3(), QStringLiteral("BCHCButton3"));
    ASSERT_EQ(m_platform.messages(), QStringList({Deleted}));
    ASSERT_FALSE(form3().isVisible());

    // Opened again, the window holds "*.*": an Enter must not delete it all.
    openArchive(m_archive);
    ASSERT_EQ(form3().text2()->text(), QStringLiteral("*.*"));
    EXPECT_EQ(form3().focusWidget(), form3().folderList());
    QTest::keyClick(form3().focusWidget(), Qt::Key_Return);
    EXPECT_EQ(unzipNames(m_archive), QStringList({"docs/", "docs/readme.txt"}));
}

// The real prompt: titled "Password", naming the entry and the archive over
// the window that asked, masked, saying when the last password was wrong;
// OK gives what was typed, Cancel gives nothing.
TEST_F(ExtractWindowTest, PasswordPromptNamesTheEntryMasksAndSaysWhenWrong)
{
    Form1::showModeless(&form3());
    QtPlatform real;
    for (const bool wrong : {false, true}) {
        QString seen;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("PasswordField"));
            seen = dialog->windowTitle() + QLatin1Char('|') + dialog->parentWidget()->objectName();
            for (const char* name : {"PasswordArchive", "PasswordEntry", "PasswordWrong"})
                if (const auto* label = dialog->findChild<QLabel*>(QString::fromLatin1(name)))
                    seen += QLatin1Char('|') + label->text().remove(QChar(0x200B));
            if (field && field->echoMode() == QLineEdit::Password && dialog->focusWidget() == field)
                QTest::keyClicks(field, QStringLiteral("pl0vern!"));
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        QString password;
        EXPECT_TRUE(
            real.askPassword(QStringLiteral("/a/b.zip"), QStringLiteral("docs/x.txt"), wrong, &form3(), password));
        EXPECT_EQ(password, QStringLiteral("pl0vern!"));
        QString expected = QStringLiteral("Password|Form3|/a/b.zip|docs/x.txt");
        if (wrong)
            expected += QStringLiteral("|The password was wrong. Please try again.");
        EXPECT_EQ(seen, expected);
    }
    QTimer::singleShot(0, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            dialog->reject();
    });
    QString password = QStringLiteral("kept");
    EXPECT_FALSE(real.askPassword(QStringLiteral("/a/b.zip"), QStringLiteral("x"), false, &form3(), password));
    EXPECT_EQ(password, QStringLiteral("kept"));
}

// An archive whose entries 7zz encrypts with AES-256 and the password
// "plovern", made in `folder` from `files` (name, content); entries in
// `plain` are stored by zip first, unencrypted.
static QString encryptedArchive(const QString& folder, const QList<QPair<QString, QByteArray>>& files,
                                const QStringList& plain = {})
{
    QStringList encrypted;
    for (const auto& [name, content] : files) {
        QDir(folder).mkpath(QFileInfo(name).path());
        TestFiles::writeAll(folder + QLatin1Char('/') + name, content);
        if (!plain.contains(name))
            encrypted << name;
    }
    const QString archive = folder + QStringLiteral("/secret.zip");
    if (!plain.isEmpty()) {
        EXPECT_EQ(TestFiles::run(QStringLiteral("zip"), QStringList({"-q", archive}) + plain, nullptr, folder), 0);
    }
    EXPECT_EQ(TestFiles::run(QStringLiteral("7zz"),
                             QStringList({"a", "-tzip", "-bso0", "-pplovern", "-mem=AES256", archive}) + encrypted,
                             nullptr, folder),
              0);
    return archive;
}

// A wrong password asks again over the extract window, saying so; the right
// one then serves every later entry, whose files equal the originals.
TEST_F(ExtractWindowTest, WrongPasswordAsksAgainThenTheRightOneOpensEveryEntry)
{
    const QString source = path(QStringLiteral("source"));
    const QList<QPair<QString, QByteArray>> files = {
        {QStringLiteral("a.txt"), QByteArray("alpha\n")},
        {QStringLiteral("docs/b.txt"), QByteArray(200000, 'b') + QByteArray("bravo\n")},
    };
    const QString archive = encryptedArchive(source, files);
    openArchive(archive);
    chooseFolder(m_out);
    m_platform.clearCalls();
    m_platform.answerPassword(QStringLiteral("nope"));
    m_platform.answerPassword(QStringLiteral("plovern"));
    click(&form3(), QStringLiteral("BCHCButton1"));

    QStringList asked;
    for (const ScriptedPlatform::Call& call : m_platform.calls())
        if (call.kind == QLatin1String("password")) {
            asked << call.title + QLatin1Char('|') + call.text + (call.wrong ? "|wrong" : "");
            EXPECT_EQ(call.window, &form3());
        }
    EXPECT_EQ(asked, QStringList({archive + QStringLiteral("|a.txt"), archive + QStringLiteral("|a.txt|wrong")}));
    EXPECT_EQ(m_platform.messages(), QStringList({Done}));
    EXPECT_FALSE(m_platform.unansweredLeft());
    EXPECT_EQ(TestFiles::tree(m_out), QStringList({"a.txt", "docs/", "docs/b.txt"}));
    for (const auto& [name, content] : files)
        EXPECT_EQ(TestFiles::readAll(m_out + QLatin1Char('/') + name), content) << name.toStdString();
}

// Cancel ends the extraction with a failure over the extract window; the
// files written before stay, nothing of the encrypted entry does.
TEST_F(ExtractWindowTest, CancelledPasswordFailsAndKeepsTheEarlierFiles)
{
    const QString source = path(QStringLiteral("source"));
    const QString archive = encryptedArchive(
        source, {{QStringLiteral("a.txt"), QByteArray("alpha\n")}, {QStringLiteral("b.txt"), QByteArray("bravo\n")}},
        {QStringLiteral("a.txt")});
    openArchive(archive);
    chooseFolder(m_out);
    m_platform.clearCalls();
    m_platform.answerPassword(QStringLiteral("nope"));
    m_platform.answerPassword(ScriptedPlatform::cancel());
    click(&form3(), QStringLiteral("BCHCButton1"));

    EXPECT_EQ(m_platform.kinds(), QStringList({"password", "password", "message"}));
    ASSERT_EQ(m_platform.messages().size(), 1);
    EXPECT_TRUE(m_platform.messages().first().startsWith(
        QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #1025 : ")))
        << m_platform.messages().first().toStdString();
    EXPECT_TRUE(m_platform.messages().first().contains(QStringLiteral("b.txt")));
    EXPECT_EQ(m_platform.calls().last().window, &form3());
    EXPECT_TRUE(form3().isVisible());
    EXPECT_EQ(m_platform.busyNow(), 0);
    EXPECT_EQ(TestFiles::tree(m_out), QStringList({"a.txt"}));
    EXPECT_EQ(TestFiles::readAll(m_out + QStringLiteral("/a.txt")), QByteArray("alpha\n"));
}
