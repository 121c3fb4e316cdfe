#include "FuzzArchive.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace FuzzArchive {

const QString& folder()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/plovern-fuzz-XXXXXX"));
    static const QString path = dir.path();
    return path;
}

QString write(const std::uint8_t* data, std::size_t size)
{
    const QString path = folder() + QStringLiteral("/input.zip");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    return path;
}

void empty(const QString& path)
{
    QDir dir(path);
    // Links are removed, never followed.
    for (const QFileInfo& info :
         dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (info.isDir() && !info.isSymLink())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }
}

} // namespace FuzzArchive
