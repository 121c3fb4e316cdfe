#include "FileList.h"

#include <QDir>

FileList::FileList(const QString& startFolder, QWidget* parent)
    : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setFolder(startFolder);
}

void FileList::setFolder(const QString& folder)
{
    m_folder = folder;
    clear();
    const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Name | QDir::IgnoreCase);
    addItems(names);
}

QString FileList::itemText(int index) const
{
    const QListWidgetItem* it = item(index);
    return it ? it->text() : QString();
}

bool FileList::isSelected(int index) const
{
    const QListWidgetItem* it = item(index);
    return it && it->isSelected();
}
