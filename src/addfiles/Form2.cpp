#include "Form2.h"

#include "DriveFolders.h"
#include "DriveList.h"
#include "ErrorReport.h"
#include "FileList.h"
#include "FolderList.h"
#include "Platform.h"
#include "SecondaryWindow.h"
#include "ShownProgress.h"
#include "Skin.h"
#include "WorkingState.h"

#include <QCheckBox>
#include <QDir>
#include <QPushButton>

#include <sys/stat.h>

namespace {
// Whether the two paths name one file, through links of either kind too.
bool sameFile(const QString& a, const QString& b)
{
    struct stat first
    {};
    struct stat second
    {};
    return ::stat(QFile::encodeName(a).constData(), &first) == 0
        && ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}
} // namespace

Form2::Form2(WorkingState& state)
    : QWidget(nullptr)
    , m_main(state)
    , m_layout(this, 8295, 6420)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Choose file(s) to add!  You can use the Ctrl or Shift keys to multi-select files."));

    createControls();
    connect(m_drive1, &DriveList::driveChanged, this, &Form2::driveChanged);
    connect(m_dir1, &FolderList::pathChanged, this, &Form2::folderChanged);
    SecondaryWindow::closeOnEscape(this);
    SecondaryWindow::focusOnShow(this, m_file1);

    // Without the picture the window simply opens plain.
    Skin::apply(this);
}

void Form2::createControls()
{
    // All three lists start at the process's current folder.
    const QString start = QDir::currentPath();
    m_file1 = new FileList(start, this);
    m_file1->setObjectName(QStringLiteral("File1"));
    m_file1->setToolTip(
        QStringLiteral("Files you can select to add to a Zip file.  Use the Shift or Ctrl keys to multi-select."));
    m_dir1 = new FolderList(m_main.platform().driveFolders(), start, this);
    m_dir1->setObjectName(QStringLiteral("Dir1"));
    m_dir1->setToolTip(QStringLiteral("Directory to view."));
    m_drive1 = new DriveList(start, this);
    m_drive1->setObjectName(QStringLiteral("Drive1"));
    m_drive1->setToolTip(QStringLiteral("Change drives here."));

    m_check1 = new QCheckBox(QStringLiteral("Check here to store path information"), this);
    m_check1->setObjectName(QStringLiteral("Check1"));
    m_check1->setToolTip(QStringLiteral("Save path information in the Zip file."));
    Skin::useProgramFont(m_check1, 9);

    auto* add = Skin::makeButton(this, QStringLiteral("BCHCButton1"), QStringLiteral("Add the selected file(s)"),
                                 QStringLiteral("After selecting one or more files on the right side of the screen, "
                                                "click here and the files will be added.  You can use the Shift or "
                                                "Ctrl keys to select multiple files."));
    auto* finishButton =
        Skin::makeButton(this, QStringLiteral("BCHCButton2"), QStringLiteral("Cancel/Finish"),
                         QStringLiteral("Once you are finished adding files to your .zip file, click here to return "
                                        "to the main screen of the program."));

    m_layout.place({
        {m_file1, 3720, 120, 4455, 5940},
        {m_dir1, 0, 600, 3615, 3690},
        {m_drive1, 0, 120, 3615, 315},
        {m_check1, 120, 4440, 3495, 495},
        {add, 120, 5040, 3495, 495},
        {finishButton, 120, 5760, 2175, 495},
    });

    setTabOrder(m_file1, m_dir1);
    setTabOrder(m_dir1, m_drive1);
    setTabOrder(m_drive1, m_check1);
    setTabOrder(m_check1, add);
    setTabOrder(add, finishButton);

    connect(add, &QPushButton::clicked, this, &Form2::addSelected);
    connect(finishButton, &QPushButton::clicked, this, &Form2::finish);
}

void Form2::driveChanged()
{
    ErrorReport::trap(m_main.platform(), this, ErrorReport::CancelFilter::ReportAll, [&] {
        const QString drive = m_drive1->drive();
        m_dir1->setDrive(drive);
        m_file1->setFolder(m_main.platform().driveFolders().currentFolder(drive));
    });
}

void Form2::folderChanged()
{
    m_file1->setFolder(m_dir1->path());
}

void Form2::addSelected()
{
    Platform& platform = m_main.platform();
    ErrorReport::trap(
        platform, this, ErrorReport::CancelFilter::ReportAll,
        [&] {
            QString archive;
            // Four separate tests, each reading the box at that moment, kept in
            // this order on purpose. This window's engine keeps its settings
            // between clicks, hidden or not, so both switches are written on
            // every click, ticked or not: otherwise a tick from an earlier click
            // would go on storing paths. IncludePaths is given before
            // StorePaths, and entries keep their paths only when both are on.
            // Do not fold the four tests into two assignments.
            if (m_check1->isChecked())
                m_engine.setIncludePaths(true);
            if (m_check1->isChecked())
                m_engine.setStorePaths(true);
            if (!m_check1->isChecked())
                m_engine.setIncludePaths(false);
            if (!m_check1->isChecked())
                m_engine.setStorePaths(false);
            platform.setBusyPointer(this, true);

            QString folder = m_dir1->path();
            if (!folder.endsWith(QLatin1Char('/')))
                folder += QLatin1Char('/');
            m_engine.setSourceFolder(folder);
            archive = m_main.currentArchive();
            m_engine.setArchivePath(archive);

            // The archive itself is never added, as zip skips its own
            // output: it would go in as a copy of what it was before.
            QStringList skipped;
            const int count = m_file1->count();
            for (int i = 0; i < count; ++i) {
                if (!m_file1->isSelected(i))
                    continue;
                if (sameFile(folder + m_file1->itemText(i), archive)) {
                    skipped << m_file1->itemText(i);
                    continue;
                }
                m_engine.setFileSpec(folder + m_file1->itemText(i));
                m_engine.AddFiles();
            }
            // One rewrite of the archive for the whole click; it is on disk
            // before the user is told so.
            {
                const ShownProgress shown(platform, this, m_engine, QStringLiteral("Adding files"),
                                          QStringLiteral("Writing"));
                m_engine.FinishAdding();
            }

            platform.setBusyPointer(this, false);
            QString done = QStringLiteral("The selected file(s) have been added!");
            for (const QString& name : skipped)
                done += QStringLiteral("  %1 was not added: it is the archive itself.").arg(name);
            platform.messageBox(done, QStringLiteral("Attention!"), this);
        },
        [&] { platform.setBusyPointer(this, false); });
    // The archive may be one of the files shown.
    m_file1->refresh();
}

void Form2::finish()
{
    hide();
    m_main.showMainWindow();
    m_main.platform().messageBox(
        QStringLiteral("Click OK.  Then, if needed, click the Refresh View button at the bottom of the screen to "
                       "refresh the view of the contents of the zip file you are working with."),
        QStringLiteral("Reminder!"), nullptr);
}

void Form2::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_layout.apply();
}

void Form2::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_dir1->refresh();
    m_file1->refresh();
}
