#include "ZipHandle.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "PosixFile.h"
#include "ZipDirectory.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <vector>

namespace ZipHandle {

namespace {

Failure openFailure(const QString& path, zip_error_t* error)
{
    switch (zip_error_code_zip(error)) {
        case ZIP_ER_NOZIP: return EngineFailure::notAnArchive(path);
        case ZIP_ER_NOENT: return EngineFailure::archiveNotFound(path);
        default: return EngineFailure::archiveUnreadable(path, errorText(error));
    }
}

// The state behind a source made by openForRewriting. libzip writes in small
// pieces (headers, then compressed data a few kilobytes at a time); they are
// gathered here into large writes.
class Rewrite
{
public:
    Rewrite(int in, std::int64_t length, QString folder, PosixFile::TempFile& out)
        : m_in(in)
        , m_length(static_cast<zip_uint64_t>(length))
        , m_folder(std::move(folder))
        , m_out(out)
    {
        zip_error_init(&m_error);
    }
    ~Rewrite() { zip_error_fini(&m_error); }

    static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
    {
        return static_cast<Rewrite*>(state)->run(data, length, command);
    }

private:
    static constexpr std::size_t gathered = 1 << 20;

    zip_int64_t fail(int zipError, int systemError)
    {
        zip_error_set(&m_error, zipError, systemError);
        return -1;
    }

    bool flush()
    {
        const PosixFile::SysResult written = PosixFile::writeAll(m_out.fd(), m_pending.data(), m_pending.size());
        m_pending.clear();
        if (!written)
            zip_error_set(&m_error, ZIP_ER_WRITE, written.error());
        return static_cast<bool>(written);
    }

    zip_int64_t run(void* data, zip_uint64_t length, zip_source_cmd_t command)
    {
        switch (command) {
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(
                    ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
                    ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_BEGIN_WRITE,
                    ZIP_SOURCE_WRITE, ZIP_SOURCE_COMMIT_WRITE, ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_SEEK_WRITE,
                    ZIP_SOURCE_TELL_WRITE, ZIP_SOURCE_REMOVE, -1);
            case ZIP_SOURCE_STAT: {
                auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &m_error);
                if (!st)
                    return -1;
                zip_stat_init(st);
                st->size = m_length;
                st->valid |= ZIP_STAT_SIZE;
                return sizeof(zip_stat_t);
            }
            case ZIP_SOURCE_OPEN: m_position = 0; return 0;
            case ZIP_SOURCE_READ: {
                const zip_uint64_t n = std::min(length, m_length - std::min(m_position, m_length));
                const PosixFile::SysResult read =
                    PosixFile::readAt(m_in, data, static_cast<std::size_t>(n), static_cast<std::int64_t>(m_position));
                if (!read)
                    return fail(ZIP_ER_READ, read.error() < 0 ? EIO : read.error());
                m_position += n;
                return static_cast<zip_int64_t>(n);
            }
            case ZIP_SOURCE_CLOSE: return 0;
            case ZIP_SOURCE_SEEK: {
                const zip_int64_t position =
                    zip_source_seek_compute_offset(m_position, m_length, data, length, &m_error);
                if (position < 0)
                    return -1;
                m_position = static_cast<zip_uint64_t>(position);
                return 0;
            }
            case ZIP_SOURCE_TELL: return static_cast<zip_int64_t>(m_position);
            case ZIP_SOURCE_BEGIN_WRITE: {
                m_pending.clear();
                const PosixFile::SysResult created = m_out.create(m_folder);
                return created ? 0 : fail(ZIP_ER_TMPOPEN, created.error());
            }
            case ZIP_SOURCE_WRITE: {
                const auto* bytes = static_cast<const char*>(data);
                m_pending.insert(m_pending.end(), bytes, bytes + length);
                if (m_pending.size() >= gathered && !flush())
                    return -1;
                return static_cast<zip_int64_t>(length);
            }
            case ZIP_SOURCE_SEEK_WRITE: {
                auto* seek = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &m_error);
                if (!seek || !flush())
                    return -1;
                if (::lseek(m_out.fd(), static_cast<off_t>(seek->offset), seek->whence) < 0)
                    return fail(ZIP_ER_SEEK, errno);
                return 0;
            }
            case ZIP_SOURCE_TELL_WRITE: {
                const off_t position = ::lseek(m_out.fd(), 0, SEEK_CUR);
                if (position < 0)
                    return fail(ZIP_ER_TELL, errno);
                return static_cast<zip_int64_t>(position) + static_cast<zip_int64_t>(m_pending.size());
            }
            // The written file stays open for the engine to put in place.
            case ZIP_SOURCE_COMMIT_WRITE: return flush() ? 0 : -1;
            case ZIP_SOURCE_ROLLBACK_WRITE:
                m_pending.clear();
                m_out.discard();
                return 0;
            // libzip removes an archive that lost its last entry; the engine
            // writes an empty archive itself instead and never gets here.
            case ZIP_SOURCE_REMOVE: return fail(ZIP_ER_OPNOTSUPP, 0);
            case ZIP_SOURCE_ERROR: return zip_error_to_data(&m_error, data, length);
            case ZIP_SOURCE_FREE: delete this; return 0;
            default: return fail(ZIP_ER_OPNOTSUPP, 0);
        }
    }

    int m_in;
    zip_uint64_t m_length;
    zip_uint64_t m_position = 0;
    QString m_folder;
    PosixFile::TempFile& m_out;
    std::vector<char> m_pending;
    zip_error_t m_error;
};

} // namespace

ZipPtr openForRewriting(int in, std::int64_t length, const QString& folder, PosixFile::TempFile& out,
                        const QString& path)
{
    zip_error_t error;
    zip_error_init(&error);
    auto* state = new Rewrite(in, length, folder, out);
    ZipSourcePtr source(zip_source_function_create(&Rewrite::callback, state, &error));
    if (!source) {
        delete state;
        const QString cause = errorText(&error);
        zip_error_fini(&error);
        throw EngineFailure::archiveUnreadable(path, cause);
    }
    ZipPtr archive(zip_open_from_source(source.get(), ZIP_CREATE, &error));
    if (!archive) {
        const Failure failure = openFailure(path, &error);
        zip_error_fini(&error);
        throw failure; // the source, and with it the state, goes with `source`
    }
    source.release(); // the archive owns it now
    zip_error_fini(&error);
    return archive;
}

ZipPtr openForReading(const QString& path, const zipcore::Layout& layout)
{
    zip_error_t error;
    zip_error_init(&error);
    const QByteArray name = PosixFile::encodeName(path);
    ZipSourcePtr source(zip_source_file_create(name.constData(), static_cast<zip_uint64_t>(layout.shift),
                                               static_cast<zip_int64_t>(layout.fileSize - layout.shift), &error));
    if (!source) {
        const QString cause = errorText(&error);
        zip_error_fini(&error);
        throw EngineFailure::archiveUnreadable(path, cause);
    }
    ZipPtr archive(zip_open_from_source(source.get(), ZIP_RDONLY, &error));
    if (!archive) {
        const Failure failure = openFailure(path, &error);
        zip_error_fini(&error);
        throw failure;
    }
    source.release(); // the archive owns it now
    zip_error_fini(&error);
    return archive;
}

ZipPtr openForWriting(const QString& path, bool create)
{
    int code = 0;
    ZipPtr archive(zip_open(PosixFile::encodeName(path).constData(), create ? ZIP_CREATE : 0, &code));
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        const Failure failure = openFailure(path, &error);
        zip_error_fini(&error);
        throw failure;
    }
    return archive;
}

QString errorText(zip_t* archive)
{
    return errorText(zip_get_error(archive));
}

QString errorText(zip_error_t* error)
{
    return QString::fromLocal8Bit(zip_error_strerror(error));
}

QString errorText(int zipError)
{
    zip_error_t error;
    zip_error_init_with_code(&error, zipError);
    const QString text = errorText(&error);
    zip_error_fini(&error);
    return text;
}

} // namespace ZipHandle
