#include "CoreFailure.h"

#include "EngineErrors.h"
#include "Failure.h"

void throwCoreFailure(const zipcore::ZipError& error, const QString& archive)
{
    using zipcore::ZipErrc;
    const QString subject = QString::fromUtf8(error.subject().c_str());
    const QString cause = QString::fromLocal8Bit(error.cause().c_str());
    switch (error.code()) {
        case ZipErrc::NotAnArchive:
            throw Failure(EngineError::NotAnArchive, QStringLiteral("Not a zip archive: %1").arg(archive));
        case ZipErrc::Damaged:
        case ZipErrc::ReadFailed:
            throw Failure(EngineError::ArchiveUnreadable,
                          QStringLiteral("Cannot read archive %1: %2").arg(archive, cause));
        case ZipErrc::UnsafeName:
            throw Failure(EngineError::UnsafeEntryName, QStringLiteral("Refused unsafe entry name: %1").arg(subject));
        case ZipErrc::LinkOutside:
            throw Failure(EngineError::LinkOutsideTarget,
                          QStringLiteral("Refused link entry pointing outside the target folder: %1").arg(subject));
        case ZipErrc::PathThroughLink:
            throw Failure(EngineError::PathThroughLink,
                          QStringLiteral("Refused to write through a link that leads outside the target folder: %1")
                              .arg(subject));
        case ZipErrc::Encrypted:
            throw Failure(EngineError::EncryptedEntry,
                          QStringLiteral("Encrypted entries are not supported: %1").arg(subject));
        case ZipErrc::UnsupportedMethod:
            throw Failure(EngineError::UnsupportedMethod,
                          QStringLiteral("Unsupported compression method in entry: %1").arg(subject));
        case ZipErrc::CorruptEntry:
            throw Failure(EngineError::CorruptEntry, QStringLiteral("Entry is damaged (%1): %2").arg(cause, subject));
        case ZipErrc::CannotCreateFolder:
            throw Failure(EngineError::CannotCreateFolder,
                          QStringLiteral("Cannot create folder %1: %2").arg(subject, cause));
        case ZipErrc::CannotWrite:
            throw Failure(EngineError::CannotWriteFile, QStringLiteral("Cannot write %1: %2").arg(subject, cause));
    }
    throw Failure(EngineError::ArchiveUnreadable, QStringLiteral("Cannot read archive %1: %2").arg(archive, cause));
}
