#ifndef PLOVERN_FOLDERLIST_H
#define PLOVERN_FOLDERLIST_H

#include <QListWidget>

class DriveFolders;

// A folder list in the classic style: the path from the root down to the open
// folder, one folder a line, then the open folder's subfolders. A single click
// (or Enter on the focused line) opens a folder, so the highlighted line is
// always the open folder: the arrow keys move only the focus. pathChanged()
// fires whenever the path changes, whether the user or the program changed
// it, and runs before setPath() returns. The list is filled synchronously.
class FolderList : public QListWidget
{
    Q_OBJECT
public:
    FolderList(DriveFolders& driveFolders, const QString& startFolder, QWidget* parent = nullptr);

    // The open folder: "/" for the root, otherwise without a trailing "/".
    QString path() const { return m_path; }

    // Opens `folder` (relative paths resolve against the current folder).
    // Throws Failure 76 "Path not found" when it is not a folder.
    void setPath(const QString& folder);

    // Opens `drive`'s current folder: the last folder opened on it during
    // this run, at first its root. Throws Failure 68 when it cannot be read.
    void setDrive(const QString& drive);

    // Reads the folders again. When the open folder has gone, its nearest
    // remaining parent opens instead (and pathChanged() fires).
    void refresh();

signals:
    void pathChanged();

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void fill();
    void openItem(QListWidgetItem* item);

    DriveFolders& m_driveFolders;
    QString m_path;
};

#endif // PLOVERN_FOLDERLIST_H
