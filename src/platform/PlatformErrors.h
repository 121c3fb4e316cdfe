#ifndef PLOVERN_PLATFORMERRORS_H
#define PLOVERN_PLATFORMERRORS_H

#include "Failure.h"

#include <cstdint>

// Failure numbers of the platform layer, and those the error report gives to
// exceptions that are not Failures: the classic runtime numbers, so that a
// user who knows them recognises them.
namespace PlatformError {
enum : std::int32_t {
    Cancelled = 32755,        // "Cancel was selected."
    OutOfMemory = 7,          // "Out of memory"
    InternalError = 51,       // "Internal error", then ": " and what went wrong
    FileNotFound = 53,        // "File not found"
    FileAlreadyExists = 58,   // "File already exists"
    DiskFull = 61,            // "Disk full"
    DeviceUnavailable = 68,   // "Device unavailable"
    PermissionDenied = 70,    // "Permission denied"
    PathFileAccessError = 75, // "Path/File access error"
    PathNotFound = 76,        // "Path not found"
};

// The standard description of one of the numbers above.
QString description(std::int32_t number);

// A Failure with `number` and its standard description.
Failure failure(std::int32_t number);

// The Failure that best describes the C library error `errnoValue`.
Failure fromErrno(int errnoValue);
} // namespace PlatformError

#endif // PLOVERN_PLATFORMERRORS_H
