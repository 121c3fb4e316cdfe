#include "Form1.h"

#include "ErrorReport.h"
#include "Platform.h"
#include "SecondaryWindow.h"
#include "Skin.h"
#include "addfiles/CreateAddStart.h"
#include "addfiles/Form2.h"
#include "extract/Form3.h"
#include "help/Form4.h"
#include "sfx/SelfExtractorBuilder.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>

#include <array>
#include <cmath>

namespace {
const QString WindowTitle = QStringLiteral("Marrowfen Plovern 3.4");
const QString HintTitle = QStringLiteral("What we're about to do....");

// A row of ListView1, read-only. It answers its four texts itself, sharing
// them with the listing table, instead of holding them as item data: filling
// and emptying the list then costs one item per row, not a list of variants
// grown cell by cell.
class ListedRow : public QTreeWidgetItem
{
public:
    explicit ListedRow(const std::array<QString, 4>& texts)
        : m_texts(texts)
    {}

    QVariant data(int column, int role) const override
    {
        if ((role == Qt::DisplayRole || role == Qt::EditRole) && column >= 0 && column < int(m_texts.size()))
            return m_texts[size_t(column)];
        return QTreeWidgetItem::data(column, role);
    }

private:
    std::array<QString, 4> m_texts;
};
} // namespace

Form1::Form1(Platform& platform, QWidget* parent)
    : QWidget(parent)
    , m_platform(platform)
    , m_layout(this, 10770, 8190)
{
    setObjectName(QStringLiteral("Form1"));
    createControls();

    // A missing or broken skin picture leaves the window plain.
    Skin::apply(this);
    setWindowTitle(WindowTitle);
    setUpColumns();
    setAcceptDrops(true);
    // Where the screen allows, the extract window (shown after every open)
    // fits beside this one.
    SecondaryWindow::placeMainWindow(this, Form3::designSize());
    m_engine.setEntryListedHandler([this](const EntryInfo& entry) { m_entryTable.add(entry); });
}

Form1::~Form1() = default;

struct Form1::Buttons
{
    QPushButton* open;
    QPushButton* createAdd;
    QPushButton* sfx;
    QPushButton* clear;
    QPushButton* instructions;
    QPushButton* exit;
    QPushButton* refresh;
};

void Form1::createControls()
{
    m_title = new QLabel(WindowTitle, this);
    m_title->setObjectName(QStringLiteral("BCHCLabel1"));
    m_title->setAlignment(Qt::AlignCenter);
    m_title->setWordWrap(true);
    Skin::useProgramFont(m_title, 26, true);

    const Buttons buttons = createButtons();

    m_check1 = new QCheckBox(QStringLiteral("Display helpful hints as you use the program."), this);
    m_check1->setObjectName(QStringLiteral("Check1"));
    m_check1->setToolTip(
        QStringLiteral("Place a check here to display helpful messages at various points of the program."));
    Skin::useProgramFont(m_check1, 9);

    m_listView1 = new QTreeWidget(this);
    m_listView1->setObjectName(QStringLiteral("ListView1"));
    m_listView1->setToolTip(QStringLiteral("Lists the contents of a Zip file."));
    m_listView1->setRootIsDecorated(false);
    m_listView1->setUniformRowHeights(true);
    m_listView1->setSelectionMode(QAbstractItemView::SingleSelection);
    m_listView1->setAllColumnsShowFocus(true);
    m_listView1->viewport()->installEventFilter(this);
    m_listView1->installEventFilter(this);

    auto* label2 = new QLabel(QStringLiteral("File open :"), this);
    label2->setObjectName(QStringLiteral("Label2"));
    Skin::useProgramFont(label2, 9, true);

    m_text1 = new QLineEdit(this);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_text1->setReadOnly(true);
    m_text1->setToolTip(QStringLiteral("Indicates the file currently being worked with."));

    m_layout.place({
        {m_title, 4080, 0, 6615, 2415},
        {buttons.open, 120, 120, 3855, 615},
        {buttons.createAdd, 120, 840, 3855, 615},
        {buttons.sfx, 120, 1560, 3855, 615},
        {buttons.clear, 120, 2280, 975, 495},
        {buttons.instructions, 1200, 2280, 1815, 495},
        {buttons.exit, 3120, 2280, 855, 495},
        {m_check1, 4080, 2520, 6255, 255},
        {m_listView1, 120, 2880, 10575, 4695},
        {m_text1, 1320, 7680, 4215, 375},
        {label2, 120, 7800, 1455, 255},
        {buttons.refresh, 5640, 7680, 3615, 495},
    });
}

Form1::Buttons Form1::createButtons()
{
    Buttons buttons{};
    buttons.open =
        Skin::makeButton(this, QStringLiteral("BCHCButton1"), QStringLiteral("Open/View/Extract a Zip file"),
                         QStringLiteral("Click here to open a .zip file to extract its files, view a .zip file's "
                                        "contents, or to open a .zip file to work with in general."));
    buttons.createAdd =
        Skin::makeButton(this, QStringLiteral("BCHCButton2"), QStringLiteral("Create/Add to a Zip file"),
                         QStringLiteral("Click here to create a new .zip file or to add files to an "
                                        "already-existing file."));
    buttons.sfx =
        Skin::makeButton(this, QStringLiteral("BCHCButton3"), QStringLiteral("Make current file self-extracting"),
                         QStringLiteral("After opening a .zip file to work with, use this feature to make the file "
                                        "self-extracting."));
    buttons.clear = Skin::makeButton(this, QStringLiteral("BCHCButton4"), QStringLiteral("Clear"),
                                     QStringLiteral("Clear the listview box and text box below."));
    buttons.instructions = Skin::makeButton(this, QStringLiteral("BCHCButton5"), QStringLiteral("Instructions"),
                                            QStringLiteral("View the instructions, help information, and other useful "
                                                           "information."));
    buttons.exit = Skin::makeButton(this, QStringLiteral("BCHCButton6"), QStringLiteral("Exit"),
                                    QStringLiteral("Exit the program."));
    buttons.refresh =
        Skin::makeButton(this, QStringLiteral("BCHCButton7"), QStringLiteral("Refresh View Above"),
                         QStringLiteral("After adding or deleting file(s) from a .zip file, click this button "
                                        "to refresh the list above that shows the new contents of your .zip "
                                        "file."));
    // The row of small buttons and the refresh button use a smaller font.
    for (QPushButton* small : {buttons.clear, buttons.instructions, buttons.exit, buttons.refresh})
        Skin::useProgramFont(small, 9.75, true);

    connect(buttons.open, &QPushButton::clicked, this, &Form1::openArchive);
    connect(buttons.createAdd, &QPushButton::clicked, this, &Form1::createOrAdd);
    connect(buttons.sfx, &QPushButton::clicked, this, &Form1::makeSelfExtracting);
    connect(buttons.clear, &QPushButton::clicked, this, &Form1::clearAll);
    connect(buttons.instructions, &QPushButton::clicked, this, &Form1::showInstructions);
    connect(buttons.exit, &QPushButton::clicked, this, &Form1::exitProgram);
    connect(buttons.refresh, &QPushButton::clicked, this, &Form1::refreshView);
    return buttons;
}

void Form1::setUpColumns()
{
    // The widths at the designed size, from the list's width then; they grow
    // and shrink with the fonts.
    const double width = m_listView1->width();
    m_listView1->setColumnCount(4);
    m_listView1->setHeaderLabels({QStringLiteral("Filename/Path"), QStringLiteral("Size (Compressed)"),
                                  QStringLiteral("Date"), QStringLiteral("Size (Normal)")});
    m_designColumnWidths[0] = int(width * (2.0 / 5.0));
    for (size_t column = 1; column < m_designColumnWidths.size(); ++column)
        m_designColumnWidths[column] = int(width / 5.0);
    QHeaderView* header = m_listView1->header();
    // The last column takes whatever room is left, so that the header strip
    // never ends in a bare piece of the window's skin; and the header paints
    // its own background, not the skin it would inherit.
    header->setStretchLastSection(true);
    QPalette plain = header->palette();
    plain.setBrush(QPalette::Window, QApplication::palette(header).button());
    header->setPalette(plain);
    sizeColumns();
}

void Form1::sizeColumns()
{
    const double scale = m_layout.scale();
    const size_t last = m_designColumnWidths.size() - 1;
    for (size_t column = 0; column < last; ++column)
        m_listView1->setColumnWidth(int(column), int(std::lround(m_designColumnWidths[column] * scale)));
    // The last column stretches over the rest; asked for no more than its
    // caption needs, it never pushes the list into scrolling sideways.
    m_listView1->setColumnWidth(int(last), m_listView1->header()->sectionSizeHint(int(last)));
}

Form2& Form1::form2()
{
    if (!m_form2)
        m_form2 = std::make_unique<Form2>(*this);
    return *m_form2;
}

Form3& Form1::form3()
{
    if (!m_form3)
        m_form3 = std::make_unique<Form3>(*this);
    return *m_form3;
}

Form4& Form1::form4()
{
    if (!m_form4)
        m_form4 = std::make_unique<Form4>();
    return *m_form4;
}

QString Form1::currentArchive() const
{
    return m_text1->text();
}

void Form1::setCurrentArchive(const QString& path)
{
    m_text1->setText(path);
}

bool Form1::hintsOn() const
{
    return m_check1->isChecked();
}

void Form1::clearList()
{
    m_listView1->clear();
}

void Form1::hideSecondaryWindows()
{
    form2().hide();
    form3().hide();
    form4().hide();
}

void Form1::showAddFilesWindow()
{
    showSecondary(&form2());
}

void Form1::showMainWindow()
{
    showModeless(this);
}

void Form1::setMainWindowBusy(bool busy)
{
    m_platform.setBusyPointer(this, busy);
}

void Form1::showModeless(QWidget* window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

void Form1::showSecondary(QWidget* window)
{
    if (!window->isVisible()
        && (!window->testAttribute(Qt::WA_Moved) || window->frameGeometry().intersects(frameGeometry())))
        SecondaryWindow::placeBeside(window, this);
    showModeless(window);
}

void Form1::openArchive()
{
    if (hintsOn())
        m_platform.messageBox(
            QStringLiteral("On the next screen, choose the existing zip file you want to open or work with...."),
            HintTitle, this);
    prepareToOpen();

    FileDialogRequest request;
    request.cancelError = true;
    request.title = QStringLiteral("Please choose a .ZIP file to open:");
    ErrorReport::trap(m_platform, this, ErrorReport::CancelFilter::SilentOnCancel, [&] {
        request.fileName = QString();
        request.filter = QStringLiteral("Self-Extracting Files (*.exe)|*.exe|Zip Files (*.zip)|*.zip");
        request.filterIndex = 2;
        openChosen(m_platform.openFileDialog(request));
    });
}

void Form1::openArchiveAt(const QString& path)
{
    prepareToOpen();
    ErrorReport::trap(m_platform, this, ErrorReport::CancelFilter::SilentOnCancel,
                      [&] { openChosen(QFileInfo(path).absoluteFilePath()); });
}

void Form1::prepareToOpen()
{
    m_listView1->clear();
    hideSecondaryWindows();
    form3().setFileSpecText(QStringLiteral("*.*"));
}

void Form1::openChosen(const QString& path)
{
    setCurrentArchive(path);
    listArchive(path);
    fillList();
    if (hintsOn())
        m_platform.messageBox(
            QStringLiteral("On the next screen, choose the location you want to unzip the chosen file to....  "
                           "The extracted files will be copied to that directory.  You can also click Cancel "
                           "and then click the 'Make Current File Self-Extracting' button to make the zip file "
                           "self-extracting!"),
            HintTitle, this);
    showSecondary(&form3());
}

void Form1::refreshView()
{
    ErrorReport::trap(m_platform, this, ErrorReport::CancelFilter::SilentOnCancel, [&] {
        if (currentArchive().isEmpty())
            return;
        m_listView1->clear();
        form3().setFileSpecText(QStringLiteral("*.*"));
        const QString path = currentArchive();
        listArchive(path);
        fillList();
    });
}

void Form1::listArchive(const QString& path)
{
    m_entryTable.reset();
    m_engine.setArchivePath(path);
    m_engine.setFileSpec(QStringLiteral("*.*"));
    m_engine.setTargetFolder(QStringLiteral("/"));
    m_engine.ListContents();
}

void Form1::fillList()
{
    const int rows = m_entryTable.storedRows();
    QList<QTreeWidgetItem*> items;
    items.reserve(rows);
    for (int r = 1; r <= rows; ++r)
        items.append(
            new ListedRow({m_entryTable.cell(r, EntryTable::Name), m_entryTable.cell(r, EntryTable::CompressedSize),
                           m_entryTable.cell(r, EntryTable::Date), m_entryTable.cell(r, EntryTable::NormalSize)}));
    m_listView1->addTopLevelItems(items);

    // A partial list must never pass for the whole archive.
    if (m_entryTable.count() > EntryTable::Capacity)
        m_platform.messageBox(QStringLiteral("This zip file holds %1 entries, but only the first %2 are listed.")
                                  .arg(m_entryTable.count())
                                  .arg(EntryTable::Capacity),
                              QStringLiteral("Attention"), this);
}

void Form1::entryClicked()
{
    // Any failure here ends the click silently.
    try {
        const QList<QTreeWidgetItem*> selected = m_listView1->selectedItems();
        if (selected.isEmpty())
            return;
        const QString name = selected.constFirst()->text(0);
        if (name.isEmpty())
            return;
        form3().setFileSpecText(name);
        showSecondary(&form3());
    } catch (...) {}
}

void Form1::clearAll()
{
    hideSecondaryWindows();
    m_listView1->clear();
    setCurrentArchive(QString());
}

void Form1::showInstructions()
{
    showSecondary(&form4());
}

void Form1::exitProgram()
{
    hideSecondaryWindows();
    m_platform.endProgram();
}

void Form1::createOrAdd()
{
    CreateAddStart(*this).run();
}

void Form1::makeSelfExtracting()
{
    SelfExtractorBuilder(*this).run();
}

// One local file dropped on the window opens it, as the file manager's
// "Open with" does; anything else is not taken.
static QString droppedFile(const QMimeData* data)
{
    if (!data || !data->hasUrls() || data->urls().size() != 1 || !data->urls().first().isLocalFile())
        return QString();
    return data->urls().first().toLocalFile();
}

void Form1::dragEnterEvent(QDragEnterEvent* event)
{
    if (!droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent* event)
{
    const QString path = droppedFile(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    openArchiveAt(path);
}

void Form1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_layout.apply();
    sizeColumns();
}

void Form1::closeEvent(QCloseEvent* event)
{
    // The end of the main window ends the program, whatever else is open.
    event->accept();
    m_platform.endProgram();
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_listView1->viewport() && event->type() == QEvent::MouseButtonRelease) {
        // The press has already selected the row under the pointer.
        entryClicked();
        return false;
    }
    if (watched == m_listView1 && event->type() == QEvent::KeyPress) {
        // Enter on a row does what a click on it does.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            entryClicked();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
