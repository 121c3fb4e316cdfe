#include "ArchiveUpdate.h"

#include "ArchiveReader.h"
#include "EngineErrors.h"
#include "Failure.h"
#include "ProgressChannel.h"
#include "ZipLayout.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

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

namespace {

constexpr zip_uint16_t extendedTimestampId = 0x5455;
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

// Copies the zip part of the archive into a new standalone file, with
// offsets counted from that file's start, for libzip to change.
void makeStandalone(const UpdateTarget& target, const QString& archive, const zipcore::Layout& layout,
                    PosixFile::TempFile& standalone)
{
    check(standalone.create(target.folder()), archive);
    ZipLayout::copyZipPart(layout, target.fd(), archive, standalone.fd(), archive, 0,
                           EngineFailure::cannotUpdateArchive);
}

// Writes into `out` the archive's first `stubLength` bytes followed by the
// zip archive in `zipFd` (an empty archive when `zipFd` is -1), its offsets
// counted from the start of the result.
void writeWithStub(const UpdateTarget& target, const QString& archive, std::int64_t stubLength, int zipFd,
                   PosixFile::TempFile& out)
{
    check(out.create(target.folder()), archive);
    check(PosixFile::copyRange(target.fd(), 0, stubLength, out.fd()), archive);
    if (zipFd < 0) {
        ZipLayout::writeEmptyZip(out.fd(), archive, EngineFailure::cannotUpdateArchive);
    } else {
        const zipcore::Layout layout = ZipLayout::read(zipFd, archive).layout;
        ZipLayout::copyZipPart(layout, zipFd, archive, out.fd(), archive, stubLength,
                               EngineFailure::cannotUpdateArchive);
    }
}

QString closeError(zip_t* za)
{
    return ZipHandle::errorText(za);
}

// What libzip's callbacks need during zip_close. The first call of the
// cancel callback waits for the progress handler's answer, so that a stop
// asked at once is always seen; later calls only look.
struct CloseProgress
{
    ProgressChannel& channel;
    bool answered = false;
};

void closeProgressed(zip_t*, double done, void* state)
{
    static_cast<CloseProgress*>(state)->channel.setFraction(done);
}

int closeCancelled(zip_t*, void* state)
{
    auto* progress = static_cast<CloseProgress*>(state);
    if (!progress->answered) {
        progress->answered = true;
        return progress->channel.checkpoint() ? 0 : 1;
    }
    return progress->channel.stopRequested() ? 1 : 0;
}

// Whether deflating the file is likely to make it smaller: its first 64 KiB
// (all of a small file) are deflated as zip_close would. Random, already
// compressed and tiny files are stored instead, as Info-ZIP's zip does.
bool worthDeflating(const QString& path)
{
    constexpr std::size_t sampleSize = 64 * 1024;
    PosixFile::Descriptor fd = PosixFile::openForReading(path);
    if (!fd.isOpen())
        return true; // zip_close reports the failure
    std::vector<unsigned char> sample(sampleSize);
    std::size_t got = 0;
    while (got < sampleSize) {
        const ssize_t n = ::read(fd.get(), sample.data() + got, sampleSize - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got == 0)
        return false;
    z_stream stream = {};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return true;
    std::vector<unsigned char> out(deflateBound(&stream, static_cast<uLong>(got)));
    stream.next_in = sample.data();
    stream.avail_in = static_cast<uInt>(got);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const std::size_t packed = stream.total_out;
    deflateEnd(&stream);
    // A gain under 1% of the sample is not worth the reader's time.
    return result == Z_STREAM_END && packed + got / 100 < got;
}

// Changes the locked archive with libzip (`edit` makes the changes) and puts
// the result in its place, keeping a stub in front. False as for install().
bool rewrite(const UpdateTarget& target, const QString& archive, mode_t newMode, ProgressChannel& progress,
             std::int64_t addedBytes, const std::function<void(zip_t*)>& edit)
{
    int in = target.fd();
    std::int64_t length = target.exists() ? static_cast<std::int64_t>(target.info().st_size) : 0;
    std::int64_t stubLength = 0;
    PosixFile::TempFile standalone;
    if (length > 0) {
        const zipcore::Layout layout = ZipLayout::read(in, archive).layout;
        if (layout.zipStart > 0) {
            // libzip cannot write a stub: it changes a standalone copy.
            stubLength = static_cast<std::int64_t>(layout.zipStart);
            makeStandalone(target, archive, layout, standalone);
            in = standalone.fd();
            length = ::lseek(in, 0, SEEK_CUR);
        }
    }

    PosixFile::TempFile written;
    {
        ZipPtr za = ZipHandle::openForRewriting(in, length, target.folder(), written, archive);
        edit(za.get());
        const zip_int64_t entries = zip_get_num_entries(za.get(), 0);
        progress.setTotals(entries > 0 ? entries : 0, length + addedBytes);
        CloseProgress state{progress};
        zip_register_progress_callback_with_state(za.get(), 0.001, closeProgressed, nullptr, &state);
        zip_register_cancel_callback_with_state(za.get(), closeCancelled, nullptr, &state);
        if (zip_close(za.get()) != 0) {
            if (zip_error_code_zip(zip_get_error(za.get())) == ZIP_ER_CANCELLED)
                throw StopRequested();
            cannotSave(archive, closeError(za.get()));
        }
        za.release(); // closed, and freed by zip_close
    }
    if (!written.isCreated())
        return true; // libzip found nothing changed
    if (stubLength == 0)
        return target.install(written, newMode);
    PosixFile::TempFile out;
    writeWithStub(target, archive, stubLength, written.fd(), out);
    return target.install(out, newMode);
}

} // namespace

namespace ArchiveUpdate {

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
        const ArchiveReader reader(archivePath);
        if (reader.select(fileSpec).empty())
            return; // "*.*" on an empty archive
    }
    checkWritable(archivePath);

    const UpdateTarget target(archivePath);
    if (!target.exists())
        throw EngineFailure::archiveNotFound(archivePath);
    // Read again under the lock: an update may have finished meanwhile.
    const ArchiveReader reader(archivePath, target.fd());
    const std::vector<zip_uint64_t> chosen = reader.select(fileSpec);
    if (chosen.empty())
        return;

    // libzip removes the file when an archive loses its last entry; an empty
    // archive is written here instead.
    if (chosen.size() == reader.entryCount()) {
        PosixFile::TempFile out;
        writeWithStub(target, archivePath, static_cast<std::int64_t>(reader.layout().zipStart), -1, out);
        if (!progress.checkpoint())
            throw StopRequested();
        target.install(out, 0);
        return;
    }
    rewrite(target, archivePath, 0, progress, 0, [&](zip_t* za) {
        for (const zip_uint64_t index : chosen) {
            if (zip_delete(za, index) != 0)
                cannotSave(archivePath, closeError(za));
        }
    });
}

} // namespace ArchiveUpdate

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
            const PosixFile::Descriptor fd = openArchive(archivePath);
            ZipLayout::read(fd.get(), archivePath);
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

void AddBatch::add(const QString& sourcePath, const QString& entryName, const struct stat& st)
{
    // A second file for the same entry replaces the first in its place.
    for (Added& added : m_added) {
        if (added.entryName == entryName) {
            added.source = sourcePath;
            added.st = st;
            return;
        }
    }
    m_added.push_back({sourcePath, entryName, st});
}

void AddBatch::addTo(zip_t* za, const Added& file, zip_int64_t originalCount) const
{
    const QString& sourcePath = file.source;
    const struct stat& st = file.st;
    zip_error_t error;
    zip_error_init(&error);
    ZipSourcePtr source(zip_source_file_create(PosixFile::encodeName(sourcePath).constData(), 0, 0, &error));
    if (!source) {
        const QString cause = ZipHandle::errorText(&error);
        zip_error_fini(&error);
        throw EngineFailure::sourceUnreadable(sourcePath, cause);
    }
    zip_error_fini(&error);
    const QByteArray name = file.entryName.toUtf8();
    const zip_int64_t index = zip_file_add(za, name.constData(), source.get(), ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    if (index < 0)
        cannotSave(m_archive, ZipHandle::errorText(za));
    source.release(); // the archive owns it now
    const auto i = static_cast<zip_uint64_t>(index);

    // A replaced entry keeps its old extra fields in libzip; old timestamps
    // (ours or NTFS ones from 7-Zip) would contradict the new file.
    if (index < originalCount)
        zip_file_extra_field_delete(za, i, ZIP_EXTRA_FIELD_ALL, ZIP_FL_LOCAL | ZIP_FL_CENTRAL);

    // libzip deflates at level 9 unless told otherwise; level 6, Info-ZIP's
    // default, is several times faster for a percent or two of size.
    bool ok = worthDeflating(sourcePath) ? zip_set_file_compression(za, i, ZIP_CM_DEFLATE, 6) == 0
                                         : zip_set_file_compression(za, i, ZIP_CM_STORE, 0) == 0;
    ok = ok && zip_file_set_mtime(za, i, st.st_mtime, 0) == 0;
    if (st.st_mtime >= 0 && st.st_mtime <= 0xffffffffLL) {
        // Extended timestamp: flags (modification time present), then the
        // time in seconds since the epoch, in both headers.
        const auto t = static_cast<std::uint32_t>(st.st_mtime);
        const zip_uint8_t field[5] = {1, static_cast<zip_uint8_t>(t), static_cast<zip_uint8_t>(t >> 8),
                                      static_cast<zip_uint8_t>(t >> 16), static_cast<zip_uint8_t>(t >> 24)};
        ok = ok
            && zip_file_extra_field_set(za, i, extendedTimestampId, ZIP_EXTRA_FIELD_NEW, field, sizeof field,
                                        ZIP_FL_LOCAL | ZIP_FL_CENTRAL)
                == 0;
    }
    // Unix mode in the high half; the DOS read-only bit in the low byte for
    // readers on Windows.
    const zip_uint32_t attributes =
        (static_cast<zip_uint32_t>(S_IFREG | (st.st_mode & 07777)) << 16) | ((st.st_mode & S_IWUSR) ? 0u : 1u);
    ok = ok && zip_file_set_external_attributes(za, i, 0, ZIP_OPSYS_UNIX, attributes) == 0;
    if (!ok)
        cannotSave(m_archive, ZipHandle::errorText(za));
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

    if (!m_added.empty()) {
        const mode_t newMode = ArchiveUpdate::defaultFileMode();
        std::int64_t addedBytes = 0;
        for (const Added& file : m_added)
            addedBytes += static_cast<std::int64_t>(file.st.st_size);
        bool placed = false;
        for (int attempt = 0; attempt < Attempts && !placed; ++attempt) {
            const UpdateTarget target(m_archive);
            placed = rewrite(target, m_archive, newMode, progress, addedBytes, [&](zip_t* za) {
                const zip_int64_t originalCount = zip_get_num_entries(za, 0);
                for (const Added& file : m_added)
                    addTo(za, file, originalCount);
            });
        }
        if (!placed)
            throw EngineFailure::archiveChanged(m_archive);
    }
    m_added.clear();
    if (!lost.isEmpty())
        throw EngineFailure::sourceUnreadable(lost, lostCause);
}
