#include "PlatformErrors.h"

#include <cerrno>

namespace PlatformError {

QString description(std::int32_t number)
{
    switch (number) {
        case Cancelled: return QStringLiteral("Cancel was selected.");
        case OutOfMemory: return QStringLiteral("Out of memory");
        case InternalError: return QStringLiteral("Internal error");
        case FileNotFound: return QStringLiteral("File not found");
        case FileAlreadyExists: return QStringLiteral("File already exists");
        case DiskFull: return QStringLiteral("Disk full");
        case DeviceUnavailable: return QStringLiteral("Device unavailable");
        case PermissionDenied: return QStringLiteral("Permission denied");
        case PathFileAccessError: return QStringLiteral("Path/File access error");
        case PathNotFound: return QStringLiteral("Path not found");
    }
    return QString();
}

Failure failure(std::int32_t number)
{
    return Failure(number, description(number));
}

Failure fromErrno(int errnoValue)
{
    switch (errnoValue) {
        case ENOENT: return failure(PathNotFound);
        case ENOTDIR: return failure(PathNotFound);
        case EEXIST: return failure(FileAlreadyExists);
        case ENOSPC:
        case EDQUOT: return failure(DiskFull);
        case EACCES:
        case EPERM:
        case EROFS: return failure(PermissionDenied);
        case ENODEV:
        case ENXIO:
        case EIO: return failure(DeviceUnavailable);
        default: return failure(PathFileAccessError);
    }
}

} // namespace PlatformError
