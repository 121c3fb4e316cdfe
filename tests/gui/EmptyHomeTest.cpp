#include "FileList.h"
#include "FolderList.h"
#include "PrivateSettings.h"
#include "TestFiles.h"
#include "WindowTest.h"
#include "addfiles/Form2.h"
#include "extract/Form3.h"
#include "sfx/SelfExtractorBuilder.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTimer>

// The program keeps nothing between runs: its main workflows, and one of Qt's
// own file dialogs, leave an empty home folder empty.
using EmptyHomeTest = WindowTest;

TEST_F(EmptyHomeTest, MainWorkflowsAndAFileDialogLeaveAnEmptyHomeEmpty)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
        qunsetenv(name);
    const PrivateSettings settings;

    QtPlatform real;
    QTimer::singleShot(0, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            dialog->reject();
    });
    FileDialogRequest request;
    request.filter = QStringLiteral("Zip Files (*.zip)|*.zip");
    EXPECT_EQ(real.openFileDialog(request), QString());

    openArchive(TestFiles::copyFixture(QStringLiteral("infozip.zip"), m_dir.path()));
    m_form1->form3().folderList()->setPath(m_dir.path());
    click(&m_form1->form3(), QStringLiteral("BCHCButton1"));

    m_platform.answerSave(path(QStringLiteral("new.zip")));
    click(m_form1.get(), QStringLiteral("BCHCButton2"));
    m_form1->form2().folderList()->setPath(m_dir.path());
    m_form1->form2().fileList()->item(0)->setSelected(true);
    click(&m_form1->form2(), QStringLiteral("BCHCButton1"));
    click(&m_form1->form2(), QStringLiteral("BCHCButton2"));

    for (const char* answer : {"", "target"})
        m_platform.answerInput(QString::fromLatin1(answer));
    m_platform.answerSave(path(QStringLiteral("new.exe")), SelfExtractorBuilder::WindowsFilter);
    m_platform.answerOpen(ScriptedPlatform::cancel());
    click(m_form1.get(), QStringLiteral("BCHCButton3"));

    EXPECT_TRUE(QFile::exists(path(QStringLiteral("new.exe"))));
    EXPECT_EQ(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList());
}
