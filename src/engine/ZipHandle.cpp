#include "ZipHandle.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "PosixFile.h"
#include "ZipLayout.h"

namespace ZipHandle {

namespace {

[[noreturn]] void openFailed(const QString& path, zip_error_t* error)
{
    switch (zip_error_code_zip(error)) {
        case ZIP_ER_NOZIP: throw Failure(EngineError::NotAnArchive, QStringLiteral("Not a zip archive: %1").arg(path));
        case ZIP_ER_NOENT:
            throw Failure(EngineError::ArchiveNotFound, QStringLiteral("Archive not found: %1").arg(path));
        default:
            throw Failure(EngineError::ArchiveUnreadable,
                          QStringLiteral("Cannot read archive %1: %2").arg(path, errorText(error)));
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
        throw Failure(EngineError::ArchiveUnreadable, QStringLiteral("Cannot read archive %1: %2").arg(path, cause));
    }
    ZipPtr archive(zip_open_from_source(source.get(), ZIP_RDONLY, &error));
    if (!archive) {
        try {
            openFailed(path, &error);
        } catch (...) {
            zip_error_fini(&error);
            throw;
        }
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
        try {
            openFailed(path, &error);
        } catch (...) {
            zip_error_fini(&error);
            throw;
        }
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
