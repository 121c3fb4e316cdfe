#include "ArchiveUpdate.h"

#include "ArchiveWriter.h"
#include "EngineErrors.h"
#include "EntryCompressor.h"
#include "Failure.h"
#include "OpenArchive.h"
#include "ProgressChannel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

// How an archive is changed without ever losing data:
//
// - The archive path is resolved to the real file first (a link to an
//   archive stays a link: the file it points at is changed).
// - The real file is opened and locked with an exclusive open-file-description
//   lock (F_OFD_SETLKW), so that two updates, from two programs or from two
//   engines of one program, run one after the other; each reads the archive
//   only once it holds the lock, and so builds on what the one before wrote.
//   Readers take no lock and are never held up. Once locked, the path must
//   still name the locked file: an update that finished meanwhile replaced
//   it, and then the new one is opened and locked instead.
// - The new archive is written to a file without a name in the same folder
//   (O_TMPFILE; see PosixFile::TempFile), flushed, and only then given a
//   name and renamed over the archive; the folder is flushed after. A crash
//   leaves the old archive and nothing else; a power cut leaves the old
//   archive or the new one, whole.
// - Where the file system has no locks, right before the rename the path
//   must still name the very file that was read, unchanged; otherwise the
//   update fails with ArchiveChanged rather than overwrite another's work.
//   Where the file system can swap two names (RENAME_EXCHANGE) the new
//   archive is swapped in and the file it displaced is checked, which
//   leaves no moment between check and rename; elsewhere a replacement in
//   that moment goes unseen.
//   A new archive is linked into place only if no file has appeared there
//   meanwhile; if one has, the update starts over on top of it.
// - A kill between naming the new archive and the rename leaves it under
//   its temporary name, which names the archive it was meant to become; the
//   next update of that archive removes it, under the lock.

// What an update makes of the archive: the fate of each of its entries and
// the files added.
struct UpdatePlan
{
    std::vector<ArchiveWriter::Fate> fates;
    std::vector<ArchiveWriter::NewEntry> added;
    std::vector<EntryCompressor::Source> sources;
    bool unchanged = false; // nothing to write
};

namespace {

// Tries at finding the archive in place (each failed try means another
// update finished in between).
constexpr int Attempts = 100;

using PosixFile::SysResult;

[[noreturn]] void cannotSave(const QString& archive, const QString& cause)
{
    throw EngineFailure::cannotUpdateArchive(archive, cause);
}

// Saving the archive failed at a system call.
void check(const SysResult& result, const QString& archive)
{
    if (!result)
        cannotSave(archive, result.cause());
}

void checkWritable(const QString& archive)
{
    // rename() would replace a read-only archive as readily as any other;
    // the read-only mark is the user's wish to keep it as it is.
    check(SysResult::of(::access(PosixFile::encodeName(archive).constData(), W_OK)), archive);
}

// `path` with the links at its end followed, also to a file that does not
// exist yet: the name that the new archive is renamed to.
QByteArray followLinks(const QString& path)
{
    QByteArray current = PosixFile::encodeName(path);
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (::lstat(current.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(current.constData(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target)
            break;
        QByteArray next(target, static_cast<int>(length));
        if (!next.startsWith('/'))
            next = PosixFile::encodeName(PosixFile::folderOf(PosixFile::decodeName(current))) + '/' + next;
        current = next;
    }
    return current;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The real file behind an archive path, locked against other updates for as
// long as this object lives (see above).
class UpdateTarget
{
public:
    // Throws CannotUpdateArchive, NotAnArchive or ArchiveChanged.
    explicit UpdateTarget(const QString& archive)
        : m_archive(archive)
    {
        for (int attempt = 0; attempt < Attempts; ++attempt) {
            m_real = followLinks(archive);
            if (openAndLock())
                return;
        }
        throw EngineFailure::archiveChanged(archive);
    }

    bool exists() const { return m_fd.isOpen(); }
    int fd() const { return m_fd.get(); }
    // The archive as it was when it was locked.
    const struct stat& info() const { return m_info; }
    QString folder() const { return PosixFile::folderOf(PosixFile::decodeName(m_real)); }
    QString fileName() const { return QFileInfo(PosixFile::decodeName(m_real)).fileName(); }
    // Whether this holds the update lock, so that no other update of this
    // archive is writing meanwhile.
    bool locked() const { return exists() && m_locked; }

    // Puts the complete file `out` in the archive's place: with the old
    // archive's owner, group and permission bits, or `newMode` for a new
    // archive. False when there was no archive and another program created
    // one meanwhile (nothing was changed: the caller starts over).
    bool install(PosixFile::TempFile& out, mode_t newMode) const
    {
        using Place = PosixFile::TempFile::Place;
        if (!exists()) {
            check(SysResult::of(::fchmod(out.fd(), newMode & 07777)), m_archive);
            const SysResult placed = out.commit(PosixFile::decodeName(m_real), Place::OnlyIfAbsent);
            if (!placed && placed.error() == EEXIST)
                return false;
            check(placed, m_archive);
            return true;
        }
        // Only root may give a file away; for others the owner stays theirs.
        // The mode comes after, as a change of owner clears setuid bits.
        struct stat written;
        if (::fstat(out.fd(), &written) == 0 && (written.st_uid != m_info.st_uid || written.st_gid != m_info.st_gid)
            && ::fchown(out.fd(), m_info.st_uid, m_info.st_gid) != 0) {
            // Keeping the user's own ownership is all that can be done.
        }
        check(SysResult::of(::fchmod(out.fd(), m_info.st_mode & 07777)), m_archive);
        const QString real = PosixFile::decodeName(m_real);
        if (!m_locked) {
            // Unlocked, another update may replace the archive between any
            // check and the rename: the new archive is swapped in and what
            // it displaced must be the archive that was read, else the swap
            // is undone.
            const SysResult swapped = out.exchange(real, [this](const struct stat& displaced) {
                return sameFile(displaced, m_info) && unchanged(displaced);
            });
            if (swapped)
                return true;
            if (swapped.error() == ESTALE)
                throw EngineFailure::archiveChanged(m_archive);
            if (swapped.error() != EINVAL && swapped.error() != ENOSYS)
                cannotSave(m_archive, swapped.cause());
        }
        check(out.commit(real, Place::Replace, [this] { checkUnchanged(); }), m_archive);
        return true;
    }

private:
    // Opens and locks the real file. False when it was replaced while this
    // waited for the lock.
    bool openAndLock()
    {
        m_fd = PosixFile::Descriptor(::open(m_real.constData(), O_RDWR | O_CLOEXEC));
        if (!m_fd.isOpen()) {
            const SysResult failed = m_fd.openError();
            if (failed.error() == ENOENT)
                return true; // a new archive
            if (failed.error() != ETXTBSY)
                cannotSave(m_archive, failed.cause());
            // A self-extractor that is running cannot be opened for writing,
            // nor then locked; the check before the rename still holds.
            m_fd = PosixFile::Descriptor(::open(m_real.constData(), O_RDONLY | O_CLOEXEC));
            check(m_fd.openError(), m_archive);
        }
        m_locked = true;
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        while (::fcntl(m_fd.get(), F_OFD_SETLKW, &lock) != 0) {
            if (errno == EINTR)
                continue;
            // File systems without locks (and a descriptor open for reading
            // only) are left to the check before the rename.
            if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS || errno == EBADF) {
                m_locked = false;
                break;
            }
            cannotSave(m_archive, SysResult::fromErrno().cause());
        }
        check(SysResult::of(::fstat(m_fd.get(), &m_info)), m_archive);
        if (!S_ISREG(m_info.st_mode))
            throw EngineFailure::notAnArchive(m_archive);
        struct stat now;
        if (::lstat(m_real.constData(), &now) == 0 && sameFile(now, m_info))
            return true;
        m_fd.reset();
        return false;
    }

    bool unchanged(const struct stat& now) const
    {
        return now.st_size == m_info.st_size && now.st_mtim.tv_sec == m_info.st_mtim.tv_sec
            && now.st_mtim.tv_nsec == m_info.st_mtim.tv_nsec;
    }

    // Whether the archive is still the file that was read, as it was read.
    void checkUnchanged() const
    {
        struct stat now;
        if (::lstat(m_real.constData(), &now) != 0 || !sameFile(now, m_info) || !unchanged(now))
            throw EngineFailure::archiveChanged(m_archive);
    }

    QString m_archive;
    QByteArray m_real;
    PosixFile::Descriptor m_fd;
    bool m_locked = false;
    struct stat m_info = {};
};

// Reads the central directory of the new archive `fd` back, as listing
// would, and fails unless it names exactly the entries the writer says it
// left, in order. The old archive is then left as it is: a writer that
// misread a damaged archive must not report a change it did not make.
void checkWritten(int fd, const QString& archive, const zipcore::Directory* old, const UpdatePlan& changes,
                  const ArchiveWriter::Written& written)
{
    std::vector<std::string> intended;
    std::vector<const std::string*> replacement(written.fates.size(), nullptr);
    for (std::size_t j = 0; j < written.added; ++j) {
        if (changes.added[j].replaces != ArchiveWriter::NoEntry)
            replacement.at(changes.added[j].replaces) = &changes.added[j].name;
    }
    for (std::size_t i = 0; i < written.fates.size(); ++i) {
        if (written.fates[i] == ArchiveWriter::Fate::Keep)
            intended.push_back(old->entries[i].rawName);
        else if (written.fates[i] == ArchiveWriter::Fate::Replace && replacement[i])
            intended.push_back(*replacement[i]);
    }
    for (std::size_t j = 0; j < written.added; ++j) {
        if (changes.added[j].replaces == ArchiveWriter::NoEntry)
            intended.push_back(changes.added[j].name);
    }

    ArchiveUpdate::checkReadsBack(fd, archive, intended, EngineFailure::cannotUpdateArchive);
}

// Writes the changed archive beside the locked one and puts it in its place.
// `plan` decides, from the archive as read under the lock (none for a new
// one), what changes. False as for install(). When only the first of the new
// entries could be written, the archive holds those and `partial` why the
// others are not in it.
bool rewrite(const UpdateTarget& target, const QString& archive, mode_t newMode, ProgressChannel& progress,
             const std::function<UpdatePlan(const zipcore::Directory*)>& plan,
             std::optional<Failure>* partial = nullptr)
{
    // A new archive left under its temporary name by an update killed just
    // before the rename is of no use to anyone, and nothing else would ever
    // remove it. Only under the lock: without it, that file may be another
    // update's, about to be renamed.
    if (target.locked())
        PosixFile::removeLeftovers(target.folder(), target.fileName());

    // An empty file (made by "touch", say) is taken for an empty archive.
    const bool hasOld = target.exists() && target.info().st_size > 0;
    zipcore::Directory old;
    if (hasOld)
        old = readCheckedDirectory(target.fd(), archive);
    const UpdatePlan changes = plan(hasOld ? &old : nullptr);
    if (changes.unchanged)
        return true;

    PosixFile::TempFile out;
    check(out.create(target.folder(), target.fileName()), archive);
    EntryCompressor compressor(changes.sources);
    ArchiveWriter writer(hasOld ? target.fd() : -1, hasOld ? &old : nullptr, out.fd(), archive, progress);
    ArchiveWriter::Written written = writer.write(changes.fates, changes.added, compressor);
    checkWritten(out.fd(), archive, hasOld ? &old : nullptr, changes, written);
    if (!target.install(out, newMode))
        return false;
    if (partial)
        *partial = std::move(written.failure);
    return true;
}

} // namespace

namespace ArchiveUpdate {

void checkReadsBack(int fd, const QString& path, const std::vector<std::string>& intended,
                    EngineFailure::WriteFailure failure)
{
    std::vector<std::string> written;
    try {
        for (const zipcore::Entry& entry : readArchiveDirectory(fd, path, false).entries)
            written.push_back(entry.rawName);
    } catch (const Failure& problem) {
        throw failure(path, QStringLiteral("the new archive does not read back (%1)").arg(problem.description()));
    }
    if (written != intended)
        throw failure(path, QStringLiteral("the new archive does not read back with the intended entries"));
}

mode_t defaultFileMode()
{
    // umask() can only be read by setting it, which races with other threads;
    // Linux shows it in /proc.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        while (!status.atEnd()) {
            const QByteArray line = status.readLine();
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return 0666 & ~static_cast<mode_t>(mask);
            }
        }
    }
    return 0644;
}

void deleteEntries(const QString& archivePath, const QString& fileSpec, ProgressChannel& progress)
{
    {
        // What is wrong with the archive or the name is told before what is
        // wrong with saving.
        const PosixFile::Descriptor fd = openArchiveFile(archivePath);
        if (selectEntries(readArchiveDirectory(fd.get(), archivePath, false), fileSpec, archivePath).empty())
            return; // "*.*" on an empty archive
    }
    checkWritable(archivePath);

    const UpdateTarget target(archivePath);
    if (!target.exists())
        throw EngineFailure::archiveNotFound(archivePath);
    // Chosen again under the lock: an update may have finished meanwhile.
    rewrite(target, archivePath, 0, progress, [&](const zipcore::Directory* old) {
        UpdatePlan plan;
        const std::vector<std::uint64_t> chosen =
            old ? selectEntries(*old, fileSpec, archivePath) : std::vector<std::uint64_t>();
        if (chosen.empty()) {
            plan.unchanged = true;
            return plan;
        }
        plan.fates.assign(old->entries.size(), ArchiveWriter::Fate::Keep);
        for (const std::uint64_t index : chosen)
            plan.fates[index] = ArchiveWriter::Fate::Drop;
        return plan;
    });
}

} // namespace ArchiveUpdate

AddedFile AddedFile::find(const QString& fileSpec, bool withPath)
{
    AddedFile file;
    file.source = QDir::cleanPath(QFileInfo(fileSpec).absoluteFilePath());
    {
        PosixFile::Descriptor fd = PosixFile::openForReading(file.source);
        QString cause;
        if (!fd.isOpen())
            cause = fd.openError().cause();
        else if (::fstat(fd.get(), &file.st) != 0)
            cause = SysResult::fromErrno().cause();
        else if (S_ISDIR(file.st.st_mode))
            cause = QStringLiteral("it is a folder");
        else if (!S_ISREG(file.st.st_mode))
            cause = QStringLiteral("it is not a regular file");
        if (!cause.isEmpty())
            throw EngineFailure::sourceUnreadable(file.source, cause);
    }
    if (withPath) {
        file.entryName = file.source;
        while (file.entryName.startsWith(QLatin1Char('/')))
            file.entryName.remove(0, 1);
    } else {
        file.entryName = QFileInfo(file.source).fileName();
    }
    return file;
}

AddBatch::AddBatch(const QString& archivePath)
    : m_archive(archivePath)
{
    // The archive is only checked here; it is read at commit.
    const QByteArray name = PosixFile::encodeName(archivePath);
    struct stat st;
    const SysResult found = SysResult::of(::stat(name.constData(), &st));
    if (found) {
        if (!S_ISREG(st.st_mode))
            throw EngineFailure::notAnArchive(archivePath);
        checkWritable(archivePath);
        // An empty file (made by "touch", say) is taken for an empty
        // archive, as libzip does.
        if (st.st_size > 0) {
            const PosixFile::Descriptor fd = openArchiveFile(archivePath);
            readArchiveDirectory(fd.get(), archivePath, false);
        }
    } else {
        if (found.error() != ENOENT)
            throw EngineFailure::archiveUnreadable(archivePath, found.cause());
        const QString folder = PosixFile::folderOf(archivePath);
        struct stat folderInfo;
        if (::stat(PosixFile::encodeName(folder).constData(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode))
            throw EngineFailure::archiveFolderMissing(folder);
    }
}

AddBatch::~AddBatch() = default;

UpdatePlan AddBatch::plan(const zipcore::Directory* old) const
{
    // An added file replaces the first old entry of its name, in its place
    // in the directory (as libzip and zip do); the others come after the old
    // entries. Later old entries of the same name go: extraction lets the
    // last of a name win, so a copy left behind would shadow the new file.
    // The files stay in the order they were added: when one fails, those
    // before it still go in (see ArchiveWriter::write).
    UpdatePlan plan;
    std::unordered_map<std::string, std::size_t> byName;
    if (old) {
        plan.fates.assign(old->entries.size(), ArchiveWriter::Fate::Keep);
        for (std::size_t i = old->entries.size(); i-- > 0;)
            byName[old->entries[i].name] = i;
    }
    for (const AddedFile& file : m_added) {
        ArchiveWriter::NewEntry entry;
        entry.name = file.entryName.toStdString();
        entry.mode = file.st.st_mode & 07777;
        entry.mtime = file.st.st_mtime;
        entry.expectedSize = file.st.st_size;
        entry.source = file.source;
        const auto found = byName.find(entry.name);
        if (found != byName.end()) {
            plan.fates[found->second] = ArchiveWriter::Fate::Replace;
            entry.replaces = found->second;
        }
        plan.added.push_back(std::move(entry));
        plan.sources.push_back({file.source, static_cast<std::int64_t>(file.st.st_size)});
    }
    if (old) {
        for (std::size_t i = 0; i < old->entries.size(); ++i) {
            const auto first = byName.find(old->entries[i].name);
            if (first->second != i && plan.fates[first->second] == ArchiveWriter::Fate::Replace)
                plan.fates[i] = ArchiveWriter::Fate::Drop;
        }
    }
    return plan;
}

void AddBatch::add(const AddedFile& file)
{
    // A second file for the same entry replaces the first in its place.
    for (AddedFile& added : m_added) {
        if (added.entryName == file.entryName) {
            added = file;
            return;
        }
    }
    m_added.push_back(file);
}

void AddBatch::commit(ProgressChannel& progress)
{
    // A file found readable by AddFiles may have gone since; it is left out
    // rather than failing the whole batch.
    QString lost;
    QString lostCause;
    for (std::size_t i = m_added.size(); i-- > 0;) {
        PosixFile::Descriptor probe = PosixFile::openForReading(m_added[i].source);
        if (!probe.isOpen()) {
            lost = m_added[i].source;
            lostCause = probe.openError().cause();
            m_added.erase(m_added.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }

    std::optional<Failure> partial;
    if (!m_added.empty()) {
        const mode_t newMode = ArchiveUpdate::defaultFileMode();
        bool placed = false;
        for (int attempt = 0; attempt < Attempts && !placed; ++attempt) {
            const UpdateTarget target(m_archive);
            placed = rewrite(
                target, m_archive, newMode, progress, [&](const zipcore::Directory* old) { return plan(old); },
                &partial);
        }
        if (!placed)
            throw EngineFailure::archiveChanged(m_archive);
    }
    m_added.clear();
    // A file that failed while being written cost the ones after it too,
    // which makes it the failure to tell.
    if (partial)
        throw *partial;
    if (!lost.isEmpty())
        throw EngineFailure::sourceUnreadable(lost, lostCause);
}
