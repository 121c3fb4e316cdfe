#ifndef PLOVERN_FOLDERLIST_H
#define PLOVERN_FOLDERLIST_H

#include <QListWidget>

class DriveFolders;

// A folder list in the classic style: the path from the root down to the open
// folder, one folder a line, then the open folder's subfolders. A double click
// (or Enter) opens a folder. pathChanged() fires whenever the path changes,
// whether the user or the program changed it, and runs before setPath()
// returns. The list is filled synchronously.
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

signals:
    void pathChanged();

private:
    void fill();
    void openItem(QListWidgetItem* item);

    DriveFolders& m_driveFolders;
    QString m_path;
};

#endif // PLOVERN_FOLDERLIST_H
