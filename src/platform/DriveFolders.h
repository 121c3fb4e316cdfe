#ifndef PLOVERN_DRIVEFOLDERS_H
#define PLOVERN_DRIVEFOLDERS_H

#include <QHash>
#include <QString>
#include <QStringList>

// Drives on Linux: the mounted volumes with a real file system, named by
// their root path, "/" first. Like the classic per-drive current folder, each
// drive remembers the last folder the program opened on it during this run
// (at first its root).
class DriveFolders
{
public:
    // The drives, "/" first, then the other mount points in name order.
    static QStringList drives();

    // The root of the drive that holds `path` (the longest drive root that is
    // a prefix of it); "/" when none is.
    static QString driveOf(const QString& path);
    // The same among `drives`, a list drives() gave: it saves reading the
    // mounted volumes again.
    static QString driveOf(const QString& path, const QStringList& drives);

    // Throws Failure 68 "Device unavailable" when `drive` cannot be read.
    static void checkReady(const QString& drive);

    // The last folder opened on `drive` during this run, or the drive's root
    // when none was or that folder has gone since.
    QString currentFolder(const QString& drive) const;

    // Records `folder` as the current folder of the drive that holds it.
    void remember(const QString& folder);

private:
    QHash<QString, QString> m_folders;
};

#endif // PLOVERN_DRIVEFOLDERS_H
