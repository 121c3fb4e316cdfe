#ifndef PLOVERN_PATHGUARD_H
#define PLOVERN_PATHGUARD_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

// Decides whether a path below the target folder stays inside it once every
// symbolic link on the way is followed: links already on disk and, where
// asked, the links the archive is about to create. Paths are resolved one
// part at a time as the kernel would, so a link that points to another link,
// or a ".." after a link, is judged by where it really leads, not by how its
// text looks.
class PathGuard
{
public:
    // `canonicalTarget`: the target folder with every link resolved (it need
    // not exist yet).
    explicit PathGuard(QString canonicalTarget);

    // A link entry at `parts` (relative to the target) pointing at `target`.
    void addArchiveLink(const QStringList& parts, const QString& target);

    // Whether the path `parts` (relative to the target) stays inside the
    // target. The last part is followed only when `followLast`; the
    // archive's own links are followed only when `withArchiveLinks`.
    bool staysInside(const QStringList& parts, bool followLast, bool withArchiveLinks) const;

    // Whether the link at `parts` pointing at `target` leads inside the
    // target, with every link on disk and in the archive followed.
    bool linkStaysInside(const QStringList& parts, const QString& target) const;

    // Whether an absolute, canonical path is the target or lies below it.
    bool containsCanonical(const QString& path) const;

    // The canonical form of `folder`, which need not exist: its longest
    // existing ancestor resolved, the rest appended.
    static QString canonicalFolder(const QString& folder);

private:
    bool resolve(QStringList pending, bool followLast, bool withArchiveLinks) const;
    std::optional<QString> linkAt(const QString& relative, bool withArchiveLinks) const;

    QString m_target;
    QHash<QString, QString> m_archiveLinks;
    mutable QHash<QString, std::optional<QString>> m_diskLinks;
};

#endif // PLOVERN_PATHGUARD_H
