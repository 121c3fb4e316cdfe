#include "PathGuard.h"

#include "PosixFile.h"

#include <QDir>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// More links than the kernel itself would follow mean a loop.
constexpr int maxLinkHops = 40;

} // namespace

PathGuard::PathGuard(QString canonicalTarget)
    : m_target(std::move(canonicalTarget))
{
    if (m_target.size() > 1 && m_target.endsWith(QLatin1Char('/')))
        m_target.chop(1);
}

void PathGuard::addArchiveLink(const QStringList& parts, const QString& target)
{
    m_archiveLinks.insert(parts.join(QLatin1Char('/')), target);
}

bool PathGuard::containsCanonical(const QString& path) const
{
    if (path == m_target)
        return true;
    const QString prefix = m_target == QLatin1String("/") ? m_target : m_target + QLatin1Char('/');
    return path.startsWith(prefix);
}

bool PathGuard::staysInside(const QStringList& parts, bool followLast, bool withArchiveLinks) const
{
    return resolve(parts, followLast, withArchiveLinks);
}

bool PathGuard::linkStaysInside(const QStringList& parts, const QString& target) const
{
    QStringList pending = parts.mid(0, parts.size() - 1);
    if (target.startsWith(QLatin1Char('/'))) {
        const QString clean = QDir::cleanPath(target);
        if (!containsCanonical(clean))
            return false;
        pending = clean.mid(m_target.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    } else {
        pending += target.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    }
    return resolve(pending, true, true);
}

std::optional<QString> PathGuard::linkAt(const QString& relative, bool withArchiveLinks) const
{
    if (withArchiveLinks) {
        const auto it = m_archiveLinks.constFind(relative);
        if (it != m_archiveLinks.constEnd())
            return *it;
    }
    const auto cached = m_diskLinks.constFind(relative);
    if (cached != m_diskLinks.constEnd())
        return *cached;

    std::optional<QString> result;
    const QByteArray path = PosixFile::encodeName(m_target + QLatin1Char('/') + relative);
    struct stat st;
    if (::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(path.constData(), buffer, sizeof buffer);
        // An unreadable link is treated as one leading nowhere safe.
        result = n > 0 ? PosixFile::decodeName(QByteArray(buffer, static_cast<int>(n))) : QStringLiteral("/");
    }
    m_diskLinks.insert(relative, result);
    return result;
}

bool PathGuard::resolve(QStringList pending, bool followLast, bool withArchiveLinks) const
{
    QStringList done; // resolved parts below the target, no links among them
    int hops = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (done.isEmpty())
                return false;
            done.removeLast();
            continue;
        }
        done.append(part);
        if (pending.isEmpty() && !followLast)
            break;
        const std::optional<QString> link = linkAt(done.join(QLatin1Char('/')), withArchiveLinks);
        if (!link)
            continue;
        if (++hops > maxLinkHops)
            return false;
        done.removeLast();
        if (link->startsWith(QLatin1Char('/'))) {
            // An absolute link counts only when it names a place inside the
            // target by its canonical path; anything else is outside.
            const QString clean = QDir::cleanPath(*link);
            if (!containsCanonical(clean))
                return false;
            done.clear();
            pending = clean.mid(m_target.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
        } else {
            pending = link->split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
        }
    }
    return true;
}

QString PathGuard::canonicalFolder(const QString& folder)
{
    QString absolute = QDir::cleanPath(QDir(folder).absolutePath());
    QStringList missing;
    while (true) {
        const QString canonical = PosixFile::canonicalPath(absolute);
        if (!canonical.isEmpty()) {
            QString result = canonical;
            for (const QString& part : missing)
                result += (result.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + part;
            return result;
        }
        const int slash = absolute.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            missing.prepend(absolute.mid(slash + 1));
            absolute = QStringLiteral("/");
        } else {
            missing.prepend(absolute.mid(slash + 1));
            absolute = absolute.left(slash);
        }
    }
}
