#include "FileList.h"
#include "FolderList.h"
#include "TestFiles.h"
#include "WindowTest.h"
#include "addfiles/Form2.h"
#include "extract/Form3.h"
#include "help/Form4.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QTreeWidget>

namespace {
const QString Added = QStringLiteral("Attention!|The selected file(s) have been added!");
const QString Reminder = QStringLiteral(
    "Reminder!|Click OK.  Then, if needed, click the Refresh View button at the bottom of the screen to refresh the "
    "view of the contents of the zip file you are working with.");
const QString FirstHint = QStringLiteral(
    "What we're about to do...|On the next screen, you will type in the name of the zip file you want to create, "
    "like FRED.ZIP, and you will also decide where to save it.  You can also choose an existing zip file and add "
    "then files to it.");
const QString SecondHint = QStringLiteral(
    "What we're about to do....|On the next screen, you will choose the files you want to add to your zip file.  You "
    "can choose them from multiple locations.  Click the 'Cancel/Finish' button when you have added all the files "
    "you want to your new zip file!  You can hold down your Control key to select multiple files at once on the "
    "right side of the screen.");
} // namespace

class AddFilesWindowTest : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        TestFiles::writeAll(path("a/one.txt"), "one\n");
        TestFiles::writeAll(path("a/two.txt"), QByteArray(100000, 'x'));
        TestFiles::writeAll(path("a/.hidden"), "hidden\n");
        TestFiles::writeAll(path("b/three.sh"), "#!/bin/sh\necho three\n");
        QFile::setPermissions(path("b/three.sh"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                  | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        const QDateTime stamp(QDate(2019, 5, 6), QTime(7, 8, 10));
        for (const char* name : {"a/one.txt", "a/two.txt", "b/three.sh"}) {
            QFile f(path(QString::fromLatin1(name)));
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            f.setFileTime(stamp, QFileDevice::FileModificationTime);
        }
        m_archive = path(QStringLiteral("new.zip"));
    }

    Form2& form2() { return m_form1->form2(); }

    // Create/Add, naming `archive` in the save dialog.
    void startCreateAdd(const QString& archive)
    {
        m_platform.answerSave(archive);
        click(m_form1.get(), QStringLiteral("BCHCButton2"));
    }
    // Opens `folder` in the add-files window and selects `names` there.
    void select(const QString& folder, const QStringList& names)
    {
        form2().folderList()->setPath(folder);
        FileList* files = form2().fileList();
        for (int i = 0; i < files->count(); ++i)
            files->item(i)->setSelected(names.contains(files->itemText(i)));
    }
    void addClick() { click(&form2(), QStringLiteral("BCHCButton1")); }

    static int check(const QString& program, const QStringList& args)
    {
        QByteArray out;
        const int rc = TestFiles::run(program, args, &out);
        if (rc != 0)
            ADD_FAILURE() << program.toStdString() << ": " << out.toStdString();
        return rc;
    }

    QString m_archive;
};

TEST_F(AddFilesWindowTest, CreatesAnArchiveFromTwoFoldersThatEveryToolReads)
{
    startCreateAdd(m_archive);
    ASSERT_EQ(m_platform.kinds(), QStringList({"save"}));
    const FileDialogRequest& request = m_platform.calls().first().request;
    EXPECT_EQ(request.title,
              QStringLiteral("Please type the name of the zip file to create/add to and choose its location:"));
    EXPECT_EQ(request.filter, QStringLiteral("Zip Files (*.zip)|*.zip"));
    EXPECT_EQ(request.filterIndex, 2);
    EXPECT_TRUE(request.cancelError);
    EXPECT_EQ(m_form1->text1()->text(), m_archive);
    EXPECT_TRUE(form2().isVisible());
    EXPECT_EQ(form2().windowTitle(),
              QStringLiteral("Choose file(s) to add!  You can use the Ctrl or Shift keys to multi-select files."));
    EXPECT_FALSE(QFile::exists(m_archive)); // nothing is created before the first add

    form2().folderList()->setPath(path("a"));
    EXPECT_EQ(form2().fileList()->count(), 2); // the hidden file is not offered
    select(path("a"), {"one.txt", "two.txt"});
    addClick();
    select(path("b"), {"three.sh"});
    addClick();
    click(&form2(), QStringLiteral("BCHCButton2"));
    EXPECT_EQ(m_platform.messages(), QStringList({Added, Added, Reminder}));
    EXPECT_FALSE(form2().isVisible());
    EXPECT_EQ(m_platform.busyNow(), 0);

    click(m_form1.get(), QStringLiteral("BCHCButton7"));
    QStringList names;
    for (const QString& row : rows())
        names << row.section('|', 0, 0);
    EXPECT_EQ(names, QStringList({"one.txt", "two.txt", "three.sh"}));
    EXPECT_EQ(unzipNames(m_archive), names);

    check(QStringLiteral("unzip"), {QStringLiteral("-tq"), m_archive});
    check(QStringLiteral("7zz"), {QStringLiteral("t"), m_archive});
    check(QStringLiteral("python3"),
          {QStringLiteral("-m"), QStringLiteral("zipfile"), QStringLiteral("-t"), m_archive});

    // unzip restores contents, times and the executable bits.
    check(QStringLiteral("unzip"), {QStringLiteral("-q"), m_archive, QStringLiteral("-d"), path("x")});
    EXPECT_EQ(TestFiles::readAll(path("x/two.txt")), TestFiles::readAll(path("a/two.txt")));
    EXPECT_EQ(QFileInfo(path("x/three.sh")).lastModified(), QDateTime(QDate(2019, 5, 6), QTime(7, 8, 10)));
    EXPECT_TRUE(QFileInfo(path("x/three.sh")).permissions() & QFile::ExeOther);
    EXPECT_FALSE(QFileInfo(path("x/one.txt")).permissions() & QFile::ExeOwner);
}

TEST_F(AddFilesWindowTest, ListsAreReadAgainAfterAddingAndWhenShownAgain)
{
    startCreateAdd(path("a/new.zip"));
    select(path("a"), {"one.txt"});
    addClick();
    EXPECT_FALSE(form2().fileList()->findItems(QStringLiteral("new.zip"), Qt::MatchExactly).isEmpty());
    EXPECT_EQ(form2().fileList()->selectedItems().size(), 1);
    form2().hide();
    TestFiles::writeAll(path("a/later.txt"), "later\n");
    QDir(path("a")).mkdir(QStringLiteral("sub"));
    m_form1->showAddFilesWindow();
    EXPECT_FALSE(form2().fileList()->findItems(QStringLiteral("later.txt"), Qt::MatchExactly).isEmpty());
    EXPECT_FALSE(form2().folderList()->findItems(QStringLiteral(" sub"), Qt::MatchEndsWith).isEmpty());
}

TEST_F(AddFilesWindowTest, PathsOnStoreTheFullPathAndAddingAgainReplaces)
{
    startCreateAdd(m_archive);
    form2().check1()->setChecked(true);
    select(path("a"), {"one.txt"});
    addClick();
    addClick(); // the selection survives; the entry is replaced, not doubled
    form2().check1()->setChecked(false);
    addClick();
    const QString full = QDir(m_dir.path()).canonicalPath().mid(1) + QStringLiteral("/a/one.txt");
    EXPECT_EQ(unzipNames(m_archive), QStringList({full, "one.txt"}));
    EXPECT_EQ(m_platform.messages(), QStringList({Added, Added, Added}));
}

TEST_F(AddFilesWindowTest, NothingSelectedStillReportsSuccess)
{
    startCreateAdd(m_archive);
    select(path("a"), {});
    addClick();
    EXPECT_EQ(m_platform.messages(), QStringList({Added}));
    EXPECT_FALSE(QFile::exists(m_archive));
}

TEST_F(AddFilesWindowTest, CancelledSaveDialogOpensNothing)
{
    const QString previous = TestFiles::copyFixture(QStringLiteral("infozip.zip"), m_dir.path());
    openArchive(previous);
    m_platform.clearCalls();
    startCreateAdd(ScriptedPlatform::cancel());
    EXPECT_EQ(m_platform.kinds(), QStringList({"save"}));
    EXPECT_EQ(m_form1->text1()->text(), previous);
    EXPECT_TRUE(rows().isEmpty());
    EXPECT_FALSE(form2().isVisible() || m_form1->form3().isVisible() || m_form1->form4().isVisible());
}

TEST_F(AddFilesWindowTest, HintsHaveThreeThenFourFullStops)
{
    m_form1->check1()->setChecked(true);
    startCreateAdd(m_archive);
    EXPECT_EQ(m_platform.kinds(), QStringList({"message", "save", "message"}));
    EXPECT_EQ(m_platform.messages(), QStringList({FirstHint, SecondHint}));
}

TEST_F(AddFilesWindowTest, SecondCreateAddShowsTheWindowAsItWasLeft)
{
    startCreateAdd(m_archive);
    select(path("a"), {"two.txt"});
    form2().check1()->setChecked(true);
    bool hiddenDuringDialog = false;
    m_platform.onDialog = [&](const ScriptedPlatform::Call&) { hiddenDuringDialog = !form2().isVisible(); };
    startCreateAdd(path("other.zip"));
    EXPECT_TRUE(form2().isVisible());
    EXPECT_EQ(form2().folderList()->path(), path("a"));
    EXPECT_TRUE(form2().fileList()->isSelected(1));
    EXPECT_FALSE(form2().fileList()->isSelected(0));
    EXPECT_TRUE(form2().check1()->isChecked());
    EXPECT_EQ(m_form1->text1()->text(), path("other.zip"));
    EXPECT_TRUE(hiddenDuringDialog);
}

TEST_F(AddFilesWindowTest, FileThatVanishesHalfWayKeepsTheOnesBeforeIt)
{
    TestFiles::writeAll(path("a/zzz.txt"), "last\n");
    startCreateAdd(m_archive);
    select(path("a"), {"one.txt", "two.txt", "zzz.txt"});
    QFile::remove(path("a/two.txt")); // gone after the list was filled
    QStringList onDiskAtReport;
    m_platform.onMessage = [&](const ScriptedPlatform::Call&) { onDiskAtReport = unzipNames(m_archive); };
    addClick();
    const QStringList messages = m_platform.messages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(
        messages.first().startsWith(QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #1015 : ")))
        << messages.first().toStdString();
    EXPECT_TRUE(messages.first().contains(path("a/two.txt")));
    EXPECT_EQ(onDiskAtReport, QStringList({"one.txt"}));
    EXPECT_EQ(m_platform.busyNow(), 0);
}

TEST_F(AddFilesWindowTest, ThirdFileFailingWhileWrittenLeavesTheFirstTwo)
{
    TestFiles::writeAll(path("a/zzz.txt"), "last\n");
    startCreateAdd(m_archive);
    select(path("a"), {"one.txt", "two.txt", "zzz.txt"});
    // Chosen as it was, read as it is now: too changed to be added.
    m_platform.onProgressStart = [&] { TestFiles::writeAll(path("a/zzz.txt"), QByteArray(5 << 20, 'z')); };
    addClick();
    const QStringList messages = m_platform.messages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(
        messages.first().startsWith(QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #1015 : ")))
        << messages.first().toStdString();
    EXPECT_TRUE(messages.first().contains(path("a/zzz.txt")));
    click(&form2(), QStringLiteral("BCHCButton2"));
    click(m_form1.get(), QStringLiteral("BCHCButton7"));
    QStringList names;
    for (const QString& row : rows())
        names << row.section('|', 0, 0);
    EXPECT_EQ(names, QStringList({"one.txt", "two.txt"}));
    check(QStringLiteral("unzip"), {QStringLiteral("-tq"), m_archive});
}

TEST_F(AddFilesWindowTest, ClearedArchivePathEndsInTheErrorReport)
{
    startCreateAdd(m_archive);
    select(path("a"), {"one.txt"});
    click(m_form1.get(), QStringLiteral("BCHCButton4"));
    Form1::showModeless(&form2());
    addClick();
    ASSERT_EQ(m_platform.messages().size(), 1);
    EXPECT_TRUE(m_platform.messages().first().startsWith(
        QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #1001 : ")));
    EXPECT_FALSE(QFile::exists(m_archive));
}

TEST_F(AddFilesWindowTest, AddingToASelfExtractorKeepsItSelfExtracting)
{
    const QString sfx = TestFiles::copyFixture(QStringLiteral("stub-adjusted.exe"), m_dir.path());
    const QByteArray stub = TestFiles::readAll(sfx).left(4000);
    startCreateAdd(sfx);
    select(path("a"), {"one.txt"});
    addClick();
    EXPECT_EQ(m_platform.messages(), QStringList({Added}));
    EXPECT_TRUE(TestFiles::readAll(sfx).startsWith(stub));
    EXPECT_EQ(unzipNames(sfx), QStringList({"hello.txt", "docs/", "docs/readme.txt", "one.txt"}));
    check(QStringLiteral("unzip"), {QStringLiteral("-tq"), sfx});
}

TEST_F(AddFilesWindowTest, StoppedAddLeavesTheArchiveAsItWas)
{
    startCreateAdd(m_archive);
    select(path("a"), {"one.txt"});
    addClick();
    const QByteArray before = TestFiles::readAll(m_archive);
    m_platform.stopAt = QStringLiteral("Writing");
    select(path("a"), {"two.txt"});
    addClick();
    EXPECT_EQ(TestFiles::readAll(m_archive), before);
    EXPECT_EQ(m_platform.messages().last(), QStringLiteral("Stopped|Stopped: nothing was added to ") + m_archive);
}

TEST_F(AddFilesWindowTest, TheArchiveItselfIsSkippedAndTheClosingMessageSaysSo)
{
    startCreateAdd(path("a/new.zip"));
    select(path("a"), {"one.txt"});
    addClick();
    select(path("a"), {"new.zip", "two.txt"});
    addClick();
    EXPECT_EQ(m_platform.messages(),
              QStringList({Added, Added + QStringLiteral("  new.zip was not added: it is the archive itself.")}));
    EXPECT_EQ(unzipNames(path("a/new.zip")), QStringList({"one.txt", "two.txt"}));
}
