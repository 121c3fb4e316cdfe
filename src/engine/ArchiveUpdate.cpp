#include "ArchiveUpdate.h"

#include "ArchiveReader.h"
#include "EngineErrors.h"
#include "Failure.h"
#include "ZipLayout.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr zip_uint16_t extendedTimestampId = 0x5455;

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

// Copies the zip part of `archive` into a new standalone file beside it, with
// offsets counted from that file's start, for libzip to change.
void makeStandalone(const QString& archive, const zipcore::Layout& layout, PosixFile::TempFile& standalone)
{
    check(standalone.create(PosixFile::folderOf(archive)), archive);
    PosixFile::Descriptor in = PosixFile::openForReading(archive);
    if (!in.isOpen())
        throw EngineFailure::archiveUnreadable(archive, in.openError().cause());
    ZipLayout::copyZipPart(layout, in.get(), archive, standalone.fd(), archive, 0, EngineFailure::cannotUpdateArchive);
    check(standalone.close(), archive);
}

// Replaces `archive` with its first `stubLength` bytes followed by the zip
// archive `zipPath` (an empty archive when `zipPath` is empty), its offsets
// counted from the start of the result, keeping the archive's permission
// bits (so a self-extractor stays runnable).
void replaceKeepingStub(const QString& archive, std::int64_t stubLength, const QString& zipPath, mode_t mode)
{
    PosixFile::TempFile out;
    check(out.create(PosixFile::folderOf(archive)), archive);
    {
        PosixFile::Descriptor original = PosixFile::openForReading(archive);
        check(original.openError(), archive);
        check(PosixFile::copyRange(original.get(), 0, stubLength, out.fd()), archive);
    }
    if (zipPath.isEmpty()) {
        ZipLayout::writeEmptyZip(out.fd(), archive, EngineFailure::cannotUpdateArchive);
    } else {
        PosixFile::Descriptor changed = PosixFile::openForReading(zipPath);
        check(changed.openError(), archive);
        const zipcore::Layout layout = ZipLayout::read(changed.get(), zipPath).layout;
        ZipLayout::copyZipPart(layout, changed.get(), zipPath, out.fd(), archive, stubLength,
                               EngineFailure::cannotUpdateArchive);
    }
    check(SysResult::of(::fchmod(out.fd(), mode & 07777)), archive);
    check(out.close(), archive);
    check(out.commit(archive), archive);
}

// libzip writes its result to a new file; the archive's permission bits are
// put back when that file did not take them over.
void restoreMode(const QString& archive, mode_t mode)
{
    struct stat st;
    const QByteArray name = PosixFile::encodeName(archive);
    if (::stat(name.constData(), &st) == 0 && (st.st_mode & 07777) != (mode & 07777))
        ::chmod(name.constData(), mode & 07777);
}

QString closeError(zip_t* za)
{
    return ZipHandle::errorText(za);
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

void deleteEntries(const QString& archivePath, const QString& fileSpec)
{
    ArchiveReader reader(archivePath);
    const std::vector<zip_uint64_t> chosen = reader.select(fileSpec);
    if (chosen.empty())
        return; // "*.*" on an empty archive
    checkWritable(archivePath);
    struct stat st;
    check(SysResult::of(::stat(PosixFile::encodeName(archivePath).constData(), &st)), archivePath);
    const auto stubLength = static_cast<std::int64_t>(reader.layout().zipStart);

    // libzip removes the file when an archive loses its last entry; an empty
    // archive is written here instead.
    if (chosen.size() == reader.entryCount()) {
        replaceKeepingStub(archivePath, stubLength, QString(), st.st_mode);
        return;
    }

    PosixFile::TempFile standalone;
    QString zipPath = archivePath;
    if (stubLength > 0) {
        makeStandalone(archivePath, reader.layout(), standalone);
        zipPath = standalone.path();
    }
    ZipPtr za = ZipHandle::openForWriting(zipPath, false);
    for (const zip_uint64_t index : chosen) {
        if (zip_delete(za.get(), index) != 0)
            cannotSave(archivePath, closeError(za.get()));
    }
    if (zip_close(za.get()) != 0)
        cannotSave(archivePath, closeError(za.get()));
    za.release(); // closed, and freed by zip_close

    if (stubLength > 0)
        replaceKeepingStub(archivePath, stubLength, zipPath, st.st_mode);
    else
        restoreMode(archivePath, st.st_mode);
}

} // namespace ArchiveUpdate

AddBatch::AddBatch(const QString& archivePath)
    : m_archive(archivePath)
{
    const QByteArray name = PosixFile::encodeName(archivePath);
    struct stat st;
    const SysResult found = SysResult::of(::stat(name.constData(), &st));
    if (found) {
        m_existed = true;
        m_mode = st.st_mode;
        if (!S_ISREG(st.st_mode))
            throw EngineFailure::notAnArchive(archivePath);
        checkWritable(archivePath);
        if (st.st_size == 0) {
            // An empty file (made by "touch", say) is taken for an empty
            // archive, as libzip does.
            m_zip = ZipHandle::openForWriting(archivePath, true);
        } else {
            const PosixFile::Descriptor fd = openArchive(archivePath);
            const zipcore::Layout layout = ZipLayout::read(fd.get(), archivePath).layout;
            if (layout.zipStart > 0) {
                m_stubLength = static_cast<std::int64_t>(layout.zipStart);
                makeStandalone(archivePath, layout, m_standalone);
                m_zip = ZipHandle::openForWriting(m_standalone.path(), false);
            } else {
                m_zip = ZipHandle::openForWriting(archivePath, false);
            }
        }
    } else {
        if (found.error() != ENOENT)
            throw EngineFailure::archiveUnreadable(archivePath, found.cause());
        const QString folder = PosixFile::folderOf(archivePath);
        struct stat folderInfo;
        if (::stat(PosixFile::encodeName(folder).constData(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode))
            throw EngineFailure::archiveFolderMissing(folder);
        m_mode = S_IFREG | ArchiveUpdate::defaultFileMode();
        m_zip = ZipHandle::openForWriting(archivePath, true);
    }
    m_originalCount = zip_get_num_entries(m_zip.get(), 0);
}

AddBatch::~AddBatch() = default;

void AddBatch::add(const QString& sourcePath, const QString& entryName, const struct stat& st)
{
    zip_t* za = m_zip.get();
    zip_error_t error;
    zip_error_init(&error);
    ZipSourcePtr source(zip_source_file_create(PosixFile::encodeName(sourcePath).constData(), 0, 0, &error));
    if (!source) {
        const QString cause = ZipHandle::errorText(&error);
        zip_error_fini(&error);
        throw EngineFailure::sourceUnreadable(sourcePath, cause);
    }
    zip_error_fini(&error);
    const QByteArray name = entryName.toUtf8();
    const zip_int64_t index = zip_file_add(za, name.constData(), source.get(), ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    if (index < 0)
        cannotSave(m_archive, ZipHandle::errorText(za));
    source.release(); // the archive owns it now
    const auto i = static_cast<zip_uint64_t>(index);

    // A replaced entry keeps its old extra fields in libzip; old timestamps
    // (ours or NTFS ones from 7-Zip) would contradict the new file.
    if (index < m_originalCount)
        zip_file_extra_field_delete(za, i, ZIP_EXTRA_FIELD_ALL, ZIP_FL_LOCAL | ZIP_FL_CENTRAL);

    // libzip deflates at level 9 unless told otherwise; level 6, Info-ZIP's
    // default, is several times faster for a percent or two of size.
    bool ok = zip_set_file_compression(za, i, ZIP_CM_DEFLATE, 6) == 0;
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

    for (Added& added : m_added) {
        if (added.index == i) {
            added.source = sourcePath;
            return;
        }
    }
    m_added.push_back({sourcePath, i});
}

void AddBatch::drop(std::size_t position)
{
    const zip_uint64_t index = m_added[position].index;
    if (static_cast<zip_int64_t>(index) < m_originalCount)
        zip_unchange(m_zip.get(), index);
    else
        zip_delete(m_zip.get(), index);
    m_added.erase(m_added.begin() + static_cast<std::ptrdiff_t>(position));
}

void AddBatch::commit()
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
            drop(i);
        }
    }

    if (!m_added.empty()) {
        zip_t* za = m_zip.get();
        if (zip_close(za) != 0)
            cannotSave(m_archive, closeError(za));
        m_zip.release(); // closed, and freed by zip_close

        if (m_stubLength > 0)
            replaceKeepingStub(m_archive, m_stubLength, m_standalone.path(), m_mode);
        else
            restoreMode(m_archive, m_mode);
    }
    m_zip.reset();
    m_standalone.discard();
    if (!lost.isEmpty())
        throw EngineFailure::sourceUnreadable(lost, lostCause);
}
