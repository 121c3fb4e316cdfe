#include "FileList.h"

#include <QDir>
#include <QScrollBar>

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

void FileList::refresh()
{
    QStringList selected;
    for (const QListWidgetItem* it : selectedItems())
        selected << it->text();
    const int top = verticalScrollBar()->value();
    setFolder(m_folder);
    for (int i = 0; i < count(); ++i)
        item(i)->setSelected(selected.contains(item(i)->text()));
    verticalScrollBar()->setValue(top);
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
