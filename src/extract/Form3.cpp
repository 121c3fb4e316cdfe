#include "Form3.h"

#include "DriveFolders.h"
#include "DriveList.h"
#include "ErrorReport.h"
#include "FolderList.h"
#include "Platform.h"
#include "PlatformErrors.h"
#include "SecondaryWindow.h"
#include "ShownPasswordPrompt.h"
#include "ShownProgress.h"
#include "Skin.h"
#include "WorkingState.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
const QString Attention = QStringLiteral("Attention!");
const QColor LightGrey(192, 192, 192);

QLabel* makeLabel(QWidget* window, const QString& name, const QString& caption, const QPalette& grey)
{
    auto* label = new QLabel(caption, window);
    label->setObjectName(name);
    Skin::useProgramFont(label, 9.75, true);
    label->setAutoFillBackground(true);
    label->setPalette(grey);
    return label;
}

QLineEdit* makeReadOnlyBox(QWidget* window, const QString& name, const QString& tip)
{
    auto* box = new QLineEdit(window);
    box->setObjectName(name);
    box->setReadOnly(true);
    box->setToolTip(tip);
    return box;
}
} // namespace

struct Form3::Buttons
{
    QPushButton* extract;
    QPushButton* create;
    QPushButton* remove;
    QPushButton* back;
};

Form3::Form3(WorkingState& state)
    : QWidget(nullptr)
    , m_main(state)
    , m_layout(this, ClientWidthTwips, ClientHeightTwips)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Where would you like to extract the files?"));
    QPalette grey = palette();
    grey.setColor(QPalette::Window, LightGrey);
    setPalette(grey);
    setAutoFillBackground(true);

    createControls(grey);
    connect(m_drive1, &DriveList::driveChanged, this, &Form3::driveChanged);
    connect(m_dir1, &FolderList::pathChanged, this, &Form3::folderChanged);
    SecondaryWindow::closeOnEscape(this);
    SecondaryWindow::focusOnShow(this, m_dir1);

    startUp();
}

QSize Form3::designSize()
{
    return {ClientWidthTwips / TwipsLayout::TwipsPerPixel, ClientHeightTwips / TwipsLayout::TwipsPerPixel};
}

void Form3::createControls(const QPalette& grey)
{
    // Like the classic lists, both start at the process's current folder.
    m_drive1 = new DriveList(QDir::currentPath(), this);
    m_drive1->setObjectName(QStringLiteral("Drive1"));
    m_drive1->setToolTip(QStringLiteral("Change drives here."));
    m_dir1 = new FolderList(m_main.platform().driveFolders(), QDir::currentPath(), this);
    m_dir1->setObjectName(QStringLiteral("Dir1"));
    m_dir1->setToolTip(QStringLiteral("Choose a directory here to unzip to."));

    auto* label1 = makeLabel(this, QStringLiteral("Label1"), QStringLiteral("Extract to:"), grey);
    auto* label2 = makeLabel(this, QStringLiteral("Label2"), QStringLiteral("File(s) to extract:"), grey);
    m_text1 = makeReadOnlyBox(this, QStringLiteral("Text1"), QStringLiteral("Where files will be extracted to..."));
    m_text2 = makeReadOnlyBox(this, QStringLiteral("Text2"),
                              QStringLiteral("Indicates if we're unzipping a single file or all files."));
    const Buttons buttons = createButtons();

    m_layout.place({
        {label1, 120, 240, 1335, 375},
        {m_text1, 1560, 240, 8055, 375},
        {m_drive1, 120, 960, 4935, 315},
        {m_dir1, 5160, 960, 4455, 3690},
        {buttons.extract, 120, 1560, 4935, 615},
        {buttons.create, 120, 2400, 4935, 615},
        {buttons.remove, 120, 3240, 4935, 615},
        {buttons.back, 120, 4080, 4935, 615},
        {label2, 1440, 5040, 2175, 375},
        {m_text2, 3720, 4920, 5895, 375},
    });

    setTabOrder(m_drive1, m_dir1);
    setTabOrder(m_dir1, m_text1);
    setTabOrder(m_text1, m_text2);
    setTabOrder(m_text2, buttons.extract);
    setTabOrder(buttons.extract, buttons.create);
    setTabOrder(buttons.create, buttons.remove);
    setTabOrder(buttons.remove, buttons.back);
}

Form3::Buttons Form3::createButtons()
{
    Buttons buttons{};
    buttons.extract = Skin::makeButton(this, QStringLiteral("BCHCButton1"),
                                       QStringLiteral("EXTRACT file(s) to location specified above"),
                                       QStringLiteral("Click here to extract your file(s) to your chosen location."));
    buttons.create =
        Skin::makeButton(this, QStringLiteral("BCHCButton2"), QStringLiteral("CREATE a new directory at this location"),
                         QStringLiteral("Create a new folder at your currently selected location."));
    buttons.remove = Skin::makeButton(this, QStringLiteral("BCHCButton3"),
                                      QStringLiteral("DELETE file in Zip (if path isn't also saved)"),
                                      QStringLiteral("Deletes the file you chose in your .zip file."));
    buttons.back =
        Skin::makeButton(this, QStringLiteral("BCHCButton4"), QStringLiteral("CANCEL (click when you're finished)"),
                         QStringLiteral("Click here to return to the main program after extracting your files."));

    connect(buttons.extract, &QPushButton::clicked, this, &Form3::extract);
    connect(buttons.create, &QPushButton::clicked, this, &Form3::createFolder);
    connect(buttons.remove, &QPushButton::clicked, this, &Form3::deleteEntry);
    connect(buttons.back, &QPushButton::clicked, this, &Form3::returnToMain);
    return buttons;
}

void Form3::startUp()
{
    ErrorReport::trap(m_main.platform(), this, ErrorReport::CancelFilter::ReportAll, [&] {
        // The picture only decorates: without it the window opens plain.
        Skin::apply(this);
        // The user's home folder stands for the classic "c:\".
        const QString home = QDir::homePath();
        m_text1->setText(home);
        m_dir1->setPath(home);
        m_drive1->setDrive(DriveFolders::driveOf(home, m_drive1->drives()));
    });
}

void Form3::setFileSpecText(const QString& fileSpec)
{
    m_text2->setText(fileSpec);
}

void Form3::driveChanged()
{
    ErrorReport::trap(m_main.platform(), this, ErrorReport::CancelFilter::ReportAll, [&] {
        m_text1->setText(m_drive1->drive());
        m_dir1->setDrive(m_drive1->drive());
        // The folder list notifies only when its path changed; when it already
        // stood in the drive's current folder, the box must follow it all the same.
        folderChanged();
        if (!m_text1->text().endsWith(QLatin1Char('/')))
            m_text1->setText(m_text1->text() + QLatin1Char('/'));
    });
}

void Form3::folderChanged()
{
    m_text1->setText(m_dir1->path());
}

void Form3::extract()
{
    Platform& platform = m_main.platform();
    ErrorReport::trap(
        platform, this, ErrorReport::CancelFilter::ReportAll,
        [&] {
            platform.setBusyPointer(this, true);
            const QString target = m_text1->text();
            const QString fileSpec = m_text2->text();
            m_engine.setArchivePath(m_main.currentArchive());
            m_engine.setFileSpec(fileSpec);
            m_engine.setExtractSwitch(true);
            m_engine.setTargetFolder(target);
            {
                const ShownProgress shown(platform, this, m_engine, QStringLiteral("Extracting"),
                                          QStringLiteral("Extracting"));
                const ShownPasswordPrompt prompt(platform, this, m_engine);
                m_engine.Extract();
            }
            platform.setBusyPointer(this, false);
            platform.messageBox(QStringLiteral("Decompression complete!"), Attention, this);
            hide();
            m_main.showMainWindow();
        },
        [&] { platform.setBusyPointer(this, false); });
    // Extraction may have made folders in the one shown, even when it failed.
    m_dir1->refresh();
}

void Form3::createFolder()
{
    Platform& platform = m_main.platform();
    const QString name =
        platform.inputBox(QStringLiteral("Please type in the name of the directory you want to create:"),
                          QStringLiteral("Please specify a directory"), this);
    if (name.isEmpty())
        return;
    ErrorReport::trap(platform, this, ErrorReport::CancelFilter::ReportAll, [&] {
        QString parent = m_text1->text();
        // Only the root keeps its trailing separator.
        if (parent.endsWith(QLatin1Char('/')) && parent != QLatin1String("/"))
            parent.chop(1);
        // There is no current drive to change here; the folder is enough.
        platform.changeCurrentFolder(parent);
        try {
            platform.createFolder(name);
        } catch (const Failure& failure) {
            // The platform's "File already exists" names nothing: say what
            // is there already, and where.
            if (failure.number() != PlatformError::FileAlreadyExists)
                throw;
            const QFileInfo taken(QDir(parent), name);
            const QString what = taken.isDir() ? QStringLiteral("A folder") : QStringLiteral("A file");
            throw Failure(failure.number(),
                          QStringLiteral("%1 named \"%2\" already exists in %3.")
                              .arg(what, taken.fileName(), taken.absolutePath()));
        }
        if (parent.endsWith(QLatin1Char('/')))
            parent.chop(1);
        const QString created = parent + QLatin1Char('/') + name;
        platform.changeCurrentFolder(created);
        m_text1->setText(created);
        m_dir1->setPath(m_text1->text());
    });
    m_dir1->refresh();
}

void Form3::deleteEntry()
{
    Platform& platform = m_main.platform();
    ErrorReport::trap(platform, this, ErrorReport::CancelFilter::ReportAll, [&] {
        const QString fileSpec = m_text2->text();
        m_engine.setArchivePath(m_main.currentArchive());
        m_engine.setFileSpec(fileSpec);
        {
            const ShownProgress shown(platform, this, m_engine, QStringLiteral("Deleting"),
                                      QStringLiteral("Rewriting"));
            m_engine.DeleteFiles();
        }
        platform.messageBox(QStringLiteral("Deletion complete!  You may want to click the Refresh View button below."),
                            Attention, this);
        hide();
        m_main.showMainWindow();
        m_text1->setText(m_dir1->path());
    });
}

void Form3::returnToMain()
{
    m_main.showMainWindow();
    hide();
    m_main.platform().messageBox(QStringLiteral("If you need to refresh the view of the contents of the zip file, "
                                                "click the Refresh View button below."),
                                 QStringLiteral("Just an FYI...."), nullptr);
}

void Form3::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_layout.apply();
}

void Form3::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_dir1->refresh();
}
