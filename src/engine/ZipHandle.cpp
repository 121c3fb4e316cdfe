#include "ZipHandle.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "PosixFile.h"
#include "ZipDirectory.h"

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

} // namespace

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

QString errorText(zip_error_t* error)
{
    return QString::fromLocal8Bit(zip_error_strerror(error));
}

} // namespace ZipHandle
