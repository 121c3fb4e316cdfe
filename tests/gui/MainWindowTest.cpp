#include "ErrorReport.h"
#include "TestFiles.h"
#include "WindowTest.h"
#include "addfiles/Form2.h"
#include "extract/Form3.h"
#include "help/Form4.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

using TestFiles::copyFixture;

namespace {
const QString OpenHint1 =
    QStringLiteral("What we're about to do....|On the next screen, choose the existing zip file you want to open or "
                   "work with....");
const QString OpenHint2 = QStringLiteral(
    "What we're about to do....|On the next screen, choose the location you want to unzip the chosen file to....  "
    "The extracted files will be copied to that directory.  You can also click Cancel and then click the 'Make "
    "Current File Self-Extracting' button to make the zip file self-extracting!");
} // namespace

using MainWindowTest = WindowTest;

TEST_F(MainWindowTest, StartsWithItsTitleControlsAndColumns)
{
    EXPECT_EQ(m_form1->windowTitle(), QStringLiteral("Marrowfen Plovern 3.4"));
    EXPECT_EQ(m_form1->findChild<QLabel*>(QStringLiteral("BCHCLabel1"))->text(),
              QStringLiteral("Marrowfen Plovern 3.4"));
    const QStringList captions = {QStringLiteral("Open/View/Extract a Zip file"),
                                  QStringLiteral("Create/Add to a Zip file"),
                                  QStringLiteral("Make current file self-extracting"),
                                  QStringLiteral("Clear"),
                                  QStringLiteral("Instructions"),
                                  QStringLiteral("Exit"),
                                  QStringLiteral("Refresh View Above")};
    for (int i = 0; i < captions.size(); ++i) {
        auto* button = m_form1->findChild<QPushButton*>(QStringLiteral("BCHCButton%1").arg(i + 1));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), captions.at(i));
        EXPECT_FALSE(button->toolTip().isEmpty());
        EXPECT_EQ(button->font().family(), QStringLiteral("Comic Sans MS"));
    }
    EXPECT_EQ(m_form1->check1()->text(), QStringLiteral("Display helpful hints as you use the program."));
    EXPECT_FALSE(m_form1->check1()->isChecked());
    EXPECT_TRUE(m_form1->text1()->isReadOnly());
    EXPECT_TRUE(m_form1->text1()->text().isEmpty());

    // Twips to pixels: 15 twips a pixel, at the designed client size.
    EXPECT_EQ(m_form1->size(), QSize(718, 546));
    EXPECT_EQ(m_form1->listView1()->geometry(), QRect(8, 192, 705, 313));
    EXPECT_EQ(m_form1->findChild<QPushButton*>(QStringLiteral("BCHCButton7"))->geometry(), QRect(376, 512, 241, 33));

    QTreeWidget* list = m_form1->listView1();
    ASSERT_EQ(list->columnCount(), 4);
    const QStringList headers = {QStringLiteral("Filename/Path"), QStringLiteral("Size (Compressed)"),
                                 QStringLiteral("Date"), QStringLiteral("Size (Normal)")};
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(list->headerItem()->text(c), headers.at(c));
    EXPECT_EQ(list->columnWidth(0), int(705 * 2.0 / 5.0));
    EXPECT_EQ(list->columnWidth(1), int(705 / 5.0));
    EXPECT_FALSE(m_form1->form2Exists() || m_form1->form3Exists() || m_form1->form4Exists());
}

TEST_F(MainWindowTest, ControlsScaleWithTheWindow)
{
    m_form1->resize(718 * 2, 546 * 2);
    EXPECT_EQ(m_form1->listView1()->geometry(), QRect(16, 384, 1410, 626));
}

TEST_F(MainWindowTest, OpenListsEveryEntryAndShowsTheExtractWindow)
{
    const QString archive = copyFixture(QStringLiteral("infozip.zip"), m_dir.path());
    openArchive(archive);

    EXPECT_TRUE(m_platform.messages().isEmpty()) << m_platform.messages().join('\n').toStdString();
    ASSERT_EQ(m_platform.calls().size(), 1);
    const FileDialogRequest& request = m_platform.calls().first().request;
    EXPECT_EQ(request.title, QStringLiteral("Please choose a .ZIP file to open:"));
    EXPECT_EQ(request.filter, QStringLiteral("Self-Extracting Files (*.exe)|*.exe|Zip Files (*.zip)|*.zip"));
    EXPECT_EQ(request.filterIndex, 2);
    EXPECT_TRUE(request.cancelError);
    EXPECT_TRUE(request.fileName.isEmpty());

    EXPECT_EQ(m_form1->text1()->text(), archive);
    // Compressed size first, although the engine reports the normal size first.
    QStringList expected;
    for (const QString& row : zipfileRows(archive)) {
        const QStringList f = row.split('|');
        expected << f[0] + '|' + f[1] + '|' + f[2];
    }
    QStringList shown;
    for (const QString& row : rows()) {
        const QStringList f = row.split('|');
        shown << f[0] + '|' + f[1] + '|' + f[3];
    }
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(shown.size(), 3);
    // Newer locale data puts a narrow no-break space before AM.
    EXPECT_EQ(rows().first().split('|')[2].replace(QChar(0x202F), QLatin1Char(' ')),
              QStringLiteral("3/4/21 5:06:08 AM"));

    EXPECT_TRUE(m_form1->form3().isVisible());
    EXPECT_EQ(m_form1->form3().text2()->text(), QStringLiteral("*.*"));
    EXPECT_FALSE(m_form1->form2().isVisible());
    EXPECT_FALSE(m_form1->form4().isVisible());
}

// How the file manager's "Open with" and a drop open an archive: as the Open
// button after its dialog, with no dialog, and the path made absolute.
TEST_F(MainWindowTest, OpenFromTheCommandLineListsWithoutADialog)
{
    copyFixture(QStringLiteral("infozip.zip"), m_dir.path());
    m_form1->openArchiveAt(QStringLiteral("infozip.zip")); // the test's current folder is m_dir
    EXPECT_TRUE(m_platform.calls().isEmpty());
    EXPECT_EQ(m_form1->text1()->text(), path(QStringLiteral("infozip.zip")));
    EXPECT_EQ(rows().size(), 3);
    EXPECT_TRUE(m_form1->form3().isVisible());
    EXPECT_EQ(m_form1->form3().text2()->text(), QStringLiteral("*.*"));

    m_form1->openArchiveAt(path(QStringLiteral("missing.zip")));
    ASSERT_EQ(m_platform.messages().size(), 1);
    EXPECT_TRUE(m_platform.messages().first().startsWith(
        QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #1002 : ")))
        << m_platform.messages().first().toStdString();
    EXPECT_TRUE(rows().isEmpty());
}

TEST_F(MainWindowTest, OpenWithHintsShowsBothHintsAroundTheDialog)
{
    m_form1->check1()->setChecked(true);
    openArchive(copyFixture(QStringLiteral("infozip.zip"), m_dir.path()));
    EXPECT_EQ(m_platform.kinds(), QStringList({"message", "open", "message"}));
    EXPECT_EQ(m_platform.messages(), QStringList({OpenHint1, OpenHint2}));
}

TEST_F(MainWindowTest, EmptyArchiveStillShowsTheSecondHintAndTheExtractWindow)
{
    m_form1->check1()->setChecked(true);
    openArchive(copyFixture(QStringLiteral("empty.zip"), m_dir.path()));
    EXPECT_EQ(m_platform.messages(), QStringList({OpenHint1, OpenHint2}));
    EXPECT_TRUE(rows().isEmpty());
    EXPECT_TRUE(m_form1->form3().isVisible());
}

TEST_F(MainWindowTest, CancelledOpenShowsNothingAndKeepsThePreviousArchive)
{
    const QString archive = copyFixture(QStringLiteral("infozip.zip"), m_dir.path());
    openArchive(archive);
    m_platform.clearCalls();

    m_form1->check1()->setChecked(true);
    openArchive(ScriptedPlatform::cancel());
    EXPECT_EQ(m_platform.messages(), QStringList({OpenHint1}));
    EXPECT_EQ(m_form1->text1()->text(), archive);
    EXPECT_TRUE(rows().isEmpty());
    EXPECT_FALSE(m_form1->form3().isVisible());
    EXPECT_EQ(m_form1->form3().text2()->text(), QStringLiteral("*.*"));
}

TEST_F(MainWindowTest, FileThatIsNotAnArchiveEndsInTheErrorReport)
{
    const QString notZip = copyFixture(QStringLiteral("notazip.zip"), m_dir.path());
    openArchive(notZip);
    const QStringList messages = m_platform.messages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(
        messages.first().startsWith(QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #1003 : ")))
        << messages.first().toStdString();
    EXPECT_TRUE(messages.first().contains(notZip));
    EXPECT_EQ(m_form1->text1()->text(), notZip);
    EXPECT_TRUE(rows().isEmpty());
    EXPECT_FALSE(m_form1->form3().isVisible());
}

TEST_F(MainWindowTest, SelfExtractorsListLikeTheirZip)
{
    openArchive(copyFixture(QStringLiteral("infozip.zip"), m_dir.path()));
    const QStringList plain = rows();
    for (const QString& stub : {QStringLiteral("stub-plain.exe"), QStringLiteral("stub-adjusted.exe")}) {
        openArchive(copyFixture(stub, m_dir.path()));
        EXPECT_EQ(rows(), plain) << stub.toStdString();
    }
    EXPECT_TRUE(m_platform.messages().isEmpty());
}

TEST_F(MainWindowTest, OpeningASecondArchiveReplacesTheList)
{
    openArchive(copyFixture(QStringLiteral("many-10001.zip"), m_dir.path()));
    openArchive(copyFixture(QStringLiteral("infozip.zip"), m_dir.path()));
    EXPECT_EQ(rows().size(), 3);
    EXPECT_TRUE(rows().first().startsWith(QStringLiteral("hello.txt|")));
}

TEST_F(MainWindowTest, MoreThanTenThousandEntriesListTheFirstTenThousandAndSaySo)
{
    struct Case
    {
        const char* fixture;
        int entries;
    };
    for (const Case& c : {Case{"many-10001.zip", 10001}, Case{"many-40000.zip", 40000}}) {
        m_platform.clearCalls();
        openArchive(copyFixture(QString::fromLatin1(c.fixture), m_dir.path()));
        const QStringList shown = rows();
        ASSERT_EQ(shown.size(), 10000) << c.fixture;
        EXPECT_TRUE(shown.first().startsWith(QStringLiteral("f00001.txt|")));
        EXPECT_TRUE(shown.last().startsWith(QStringLiteral("f10000.txt|")));
        EXPECT_EQ(m_form1->entryTable().count(), c.entries);
        EXPECT_EQ(m_platform.messages(),
                  QStringList({QStringLiteral("Attention|This zip file holds %1 entries, but only the first 10000 "
                                              "are listed.")
                                   .arg(c.entries)}));
        EXPECT_TRUE(m_form1->form3().isVisible());
    }
}

TEST_F(MainWindowTest, SizesAreSixtyFourBitAndDatesAtMidnightHaveNoTime)
{
    openArchive(copyFixture(QStringLiteral("big3g.zip"), m_dir.path()));
    ASSERT_EQ(rows().size(), 1);
    EXPECT_EQ(rows().first().split('|')[3], QStringLiteral("3221225472"));

    openArchive(copyFixture(QStringLiteral("midnight.zip"), m_dir.path()));
    ASSERT_EQ(rows().size(), 2);
    EXPECT_EQ(rows().at(0).split('|')[2], QStringLiteral("1/2/20"));
    // The same day at another time shows that time.
    EXPECT_EQ(rows().at(1).split('|')[2].replace(QChar(0x202F), QLatin1Char(' ')), QStringLiteral("1/2/20 1:14:16 PM"));
}

TEST_F(MainWindowTest, RefreshRelistsTheCurrentArchiveAndResetsTheFileSpec)
{
    // Nothing at all with no current archive: no message, no window created.
    click(m_form1.get(), QStringLiteral("BCHCButton7"));
    EXPECT_TRUE(m_platform.calls().isEmpty());
    EXPECT_FALSE(m_form1->form3Exists());

    const QString archive = copyFixture(QStringLiteral("infozip.zip"), m_dir.path());
    openArchive(archive);
    clickEntry(QStringLiteral("hello.txt"));
    EXPECT_EQ(m_form1->form3().text2()->text(), QStringLiteral("hello.txt"));

    ASSERT_EQ(TestFiles::run(QStringLiteral("zip"),
                             {QStringLiteral("-q"), QStringLiteral("-d"), archive, QStringLiteral("hello.txt")}),
              0);
    click(m_form1.get(), QStringLiteral("BCHCButton7"));
    EXPECT_EQ(rows().size(), 2);
    EXPECT_TRUE(m_form1->form3().isVisible());
    EXPECT_EQ(m_form1->form3().text2()->text(), QStringLiteral("*.*"));

    m_form1->form3().hide();
    click(m_form1.get(), QStringLiteral("BCHCButton7"));
    EXPECT_FALSE(m_form1->form3().isVisible());
    EXPECT_TRUE(m_platform.messages().isEmpty());

    // A vanished archive ends in the error report, the list empty.
    QFile::remove(archive);
    click(m_form1.get(), QStringLiteral("BCHCButton7"));
    ASSERT_EQ(m_platform.messages().size(), 1);
    EXPECT_TRUE(m_platform.messages().first().contains(QStringLiteral("Oh no!  Error : #1002 : ")));
    EXPECT_TRUE(rows().isEmpty());
}

TEST_F(MainWindowTest, ClickingAnEntryWithAnyButtonPicksIt)
{
    // An empty list: a click does nothing.
    QTest::mouseClick(m_form1->listView1()->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(20, 10));
    EXPECT_FALSE(m_form1->form3Exists());

    openArchive(copyFixture(QStringLiteral("infozip.zip"), m_dir.path()));
    m_form1->form3().hide();
    clickEntry(QStringLiteral("docs/readme.txt"), Qt::RightButton);
    EXPECT_EQ(m_form1->form3().text2()->text(), QStringLiteral("docs/readme.txt"));
    EXPECT_TRUE(m_form1->form3().isVisible());
    clickEntry(QStringLiteral("hello.txt"));
    EXPECT_EQ(m_form1->form3().text2()->text(), QStringLiteral("hello.txt"));
    EXPECT_EQ(rows().size(), 3);
}

TEST_F(MainWindowTest, ClearHidesEveryWindowAndEmptiesTheListAndPath)
{
    click(m_form1.get(), QStringLiteral("BCHCButton4"));
    EXPECT_TRUE(m_form1->form2Exists() && m_form1->form3Exists() && m_form1->form4Exists());
    EXPECT_FALSE(m_form1->form2().isVisible() || m_form1->form3().isVisible() || m_form1->form4().isVisible());

    openArchive(copyFixture(QStringLiteral("infozip.zip"), m_dir.path()));
    click(m_form1.get(), QStringLiteral("BCHCButton5"));
    EXPECT_TRUE(m_form1->form4().isVisible());
    click(m_form1.get(), QStringLiteral("BCHCButton4"));
    EXPECT_TRUE(rows().isEmpty());
    EXPECT_TRUE(m_form1->text1()->text().isEmpty());
    EXPECT_FALSE(m_form1->form3().isVisible() || m_form1->form4().isVisible());
    EXPECT_EQ(m_form1->entryTable().count(), 3); // only a new listing resets it
    EXPECT_TRUE(m_platform.messages().isEmpty());
}

TEST_F(MainWindowTest, ExitHidesTheWindowsAndEndsWithoutAQuestion)
{
    openArchive(copyFixture(QStringLiteral("infozip.zip"), m_dir.path()));
    click(m_form1.get(), QStringLiteral("BCHCButton6"));
    EXPECT_FALSE(m_form1->form3().isVisible());
    EXPECT_EQ(m_platform.kinds(), QStringList({"open", "end"}));
}

TEST_F(MainWindowTest, ErrorReportFormatsEveryFailureAndFiltersCancelWhereAsked)
{
    using ErrorReport::CancelFilter;
    ErrorReport::show(m_platform, nullptr, Failure(32755, QStringLiteral("Cancel was selected.")),
                      CancelFilter::SilentOnCancel);
    EXPECT_TRUE(m_platform.calls().isEmpty());
    ErrorReport::show(m_platform, nullptr, Failure(32755, QStringLiteral("Cancel was selected.")),
                      CancelFilter::ReportAll);
    ErrorReport::show(m_platform, nullptr, Failure(-5, QString()), CancelFilter::SilentOnCancel);
    EXPECT_EQ(m_platform.messages(),
              QStringList({QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #32755 : Cancel was "
                                          "selected."),
                           QStringLiteral("Attention - An error has occurred!|Oh no!  Error : #-5 : ")}));

    // Anything else thrown is reported too, after the clean-up.
    bool cleaned = false;
    const bool completed = ErrorReport::trap(
        m_platform, nullptr, CancelFilter::ReportAll, [] { throw std::runtime_error("boom"); },
        [&] { cleaned = true; });
    EXPECT_FALSE(completed);
    EXPECT_TRUE(cleaned);
    EXPECT_TRUE(m_platform.messages().last().endsWith(QStringLiteral("Internal error: boom")));
}

TEST_F(MainWindowTest, KeysWorkTheListTheButtonsAndTheSecondaryWindows)
{
    openArchive(copyFixture(QStringLiteral("infozip.zip"), m_dir.path()));
    QTreeWidget* list = m_form1->listView1();
    list->setCurrentItem(list->topLevelItem(2));
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(m_form1->form3().text2()->text(), rows().at(2).section('|', 0, 0));

    QTest::keyClick(m_form1->findChild<QPushButton*>(QStringLiteral("BCHCButton5")), Qt::Key_Enter);
    Form4& form4 = m_form1->form4();
    ASSERT_TRUE(form4.isVisible());
    form4.activateWindow();
    QApplication::setActiveWindow(&form4);
    QTest::keyClick(&form4, Qt::Key_Escape);
    EXPECT_FALSE(form4.isVisible());
    EXPECT_TRUE(m_platform.messages().isEmpty());
}

TEST_F(MainWindowTest, AtTheSmallestSizeOfEachWindowEveryCaptionShowsWhole)
{
    for (QWidget* window : {static_cast<QWidget*>(m_form1.get()), static_cast<QWidget*>(&m_form1->form2()),
                            static_cast<QWidget*>(&m_form1->form3()), static_cast<QWidget*>(&m_form1->form4())}) {
        window->resize(1, 1);
        ASSERT_GE(window->width(), 300);
        for (const QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
            const QFontMetrics metrics(button->font());
            EXPECT_LT(metrics.horizontalAdvance(button->text()), button->width()) << button->text().toStdString();
            EXPECT_LT(metrics.height(), button->height()) << button->text().toStdString();
            EXPECT_GE(button->font().pointSizeF(), 5.0);
        }
        for (const QLabel* label : window->findChildren<QLabel*>()) {
            const QRect needed = QFontMetrics(label->font())
                                     .boundingRect(label->rect(), Qt::TextWordWrap | label->alignment(), label->text());
            EXPECT_TRUE(label->rect().contains(needed)) << label->text().toStdString();
        }
    }
    // Back at the designed size the fonts are the designed ones.
    m_form1->resize(718, 546);
    EXPECT_EQ(m_form1->findChild<QPushButton*>(QStringLiteral("BCHCButton1"))->font().pointSizeF(), 11.25);
}
