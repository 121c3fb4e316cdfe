#include "DriveFolders.h"

#include "PlatformErrors.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

#include <algorithm>

namespace {

// Kernel and memory file systems are not places where a user keeps files.
bool isPseudoFileSystem(const QByteArray& type)
{
    static const QSet<QByteArray> pseudo = {
        "proc",        "sysfs",      "devtmpfs",  "tmpfs",       "devpts",  "cgroup",   "cgroup2",
        "mqueue",      "securityfs", "pstore",    "debugfs",     "tracefs", "configfs", "fusectl",
        "binfmt_misc", "autofs",     "hugetlbfs", "bpf",         "nsfs",    "ramfs",    "efivarfs",
        "rpc_pipefs",  "nfsd",       "squashfs",  "fuse.portal",
    };
    return pseudo.contains(type);
}

bool isSystemPlace(const QString& root)
{
    for (const char* prefix : {"/proc", "/sys", "/dev", "/run", "/boot"}) {
        const QString p = QLatin1String(prefix);
        if (root == p || root.startsWith(p + QLatin1Char('/')))
            return true;
    }
    return false;
}

} // namespace

QStringList DriveFolders::drives()
{
    QStringList roots;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady() || volume.bytesTotal() <= 0)
            continue;
        const QString root = volume.rootPath();
        if (isPseudoFileSystem(volume.fileSystemType()) || isSystemPlace(root) || !QFileInfo(root).isDir())
            continue;
        if (!roots.contains(root))
            roots << root;
    }
    std::sort(roots.begin(), roots.end(), [](const QString& a, const QString& b) {
        if (a == QLatin1String("/") || b == QLatin1String("/"))
            return a == QLatin1String("/") && b != QLatin1String("/");
        return a < b;
    });
    if (!roots.contains(QStringLiteral("/")))
        roots.prepend(QStringLiteral("/"));
    return roots;
}

QString DriveFolders::driveOf(const QString& path)
{
    return driveOf(path, drives());
}

QString DriveFolders::driveOf(const QString& path, const QStringList& drives)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    QString best = QStringLiteral("/");
    for (const QString& root : drives) {
        if (root.size() > best.size() && (clean == root || clean.startsWith(root + QLatin1Char('/'))))
            best = root;
    }
    return best;
}

void DriveFolders::checkReady(const QString& drive)
{
    const QStorageInfo volume(drive);
    const QFileInfo info(drive);
    if (!volume.isValid() || !volume.isReady() || !info.isDir() || !info.isReadable())
        throw PlatformError::failure(PlatformError::DeviceUnavailable);
}

QString DriveFolders::currentFolder(const QString& drive) const
{
    const QString folder = m_folders.value(drive);
    if (!folder.isEmpty() && QFileInfo(folder).isDir())
        return folder;
    return drive;
}

void DriveFolders::remember(const QString& folder)
{
    m_folders.insert(driveOf(folder), folder);
}
