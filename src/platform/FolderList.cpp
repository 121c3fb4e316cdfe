#include "FolderList.h"

#include "DriveFolders.h"
#include "PlatformErrors.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>

namespace {
constexpr int PathRole = Qt::UserRole + 1;

QString normalized(const QString& folder)
{
    return QDir::cleanPath(QDir(folder).absolutePath());
}
} // namespace

FolderList::FolderList(DriveFolders& driveFolders, const QString& startFolder, QWidget* parent)
    : QListWidget(parent)
    , m_driveFolders(driveFolders)
    , m_path(normalized(startFolder))
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::itemActivated, this, &FolderList::openItem);
    connect(this, &QListWidget::itemClicked, this, &FolderList::openItem);
    fill();
}

QItemSelectionModel::SelectionFlags FolderList::selectionCommand(const QModelIndex&, const QEvent*) const
{
    // Only fill() moves the highlight, onto the open folder: a press, an arrow
    // key or typing moves the focus alone, and a click then opens the folder.
    return QItemSelectionModel::NoUpdate;
}

void FolderList::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The first click of a double click has opened the folder already; the
    // second must not open whatever line has since come under the pointer.
    event->accept();
}

void FolderList::refresh()
{
    QString folder = m_path;
    while (!QFileInfo(folder).isDir() && QFileInfo(folder).path() != folder)
        folder = QFileInfo(folder).path();
    if (folder != m_path) {
        setPath(folder);
        return;
    }
    const int top = verticalScrollBar()->value();
    fill();
    verticalScrollBar()->setValue(top);
}

void FolderList::setPath(const QString& folder)
{
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        throw PlatformError::failure(PlatformError::PathNotFound);
    const QString path = normalized(folder);
    m_driveFolders.remember(path);
    if (path == m_path)
        return;
    m_path = path;
    fill();
    emit pathChanged();
}

void FolderList::setDrive(const QString& drive)
{
    DriveFolders::checkReady(drive);
    setPath(m_driveFolders.currentFolder(drive));
}

void FolderList::openItem(QListWidgetItem* item)
{
    if (!item)
        return;
    try {
        setPath(item->data(PathRole).toString());
    } catch (const Failure&) {
        // The folder vanished since the list was filled: show what is there now.
        fill();
    }
}

void FolderList::fill()
{
    clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);

    // The chain of folders from the root down to the open one.
    QStringList chain;
    for (QString p = m_path;; p = QFileInfo(p).path()) {
        chain.prepend(p);
        if (p == QLatin1String("/") || QFileInfo(p).path() == p)
            break;
    }
    int depth = 0;
    for (const QString& p : chain) {
        const QString name = p == QLatin1String("/") ? p : QFileInfo(p).fileName();
        auto* item = new QListWidgetItem(openIcon, QString(depth * 3, QLatin1Char(' ')) + name, this);
        item->setData(PathRole, p);
        ++depth;
    }
    setCurrentRow(count() - 1);

    const QFileInfoList subfolders =
        QDir(m_path).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& info : subfolders) {
        auto* item = new QListWidgetItem(closedIcon, QString(depth * 3, QLatin1Char(' ')) + info.fileName(), this);
        item->setData(PathRole, info.absoluteFilePath());
    }
}
