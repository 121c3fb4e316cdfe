#include "EngineErrors.h"

#include "EntryNames.h"
#include "ZipError.h"

namespace EngineFailure {

Failure noArchivePath()
{
    return Failure(EngineError::NoArchivePath, QStringLiteral("No archive is selected."));
}

Failure archiveNotFound(const QString& path)
{
    return Failure(EngineError::ArchiveNotFound, QStringLiteral("Archive not found: %1").arg(path));
}

Failure notAnArchive(const QString& path)
{
    return Failure(EngineError::NotAnArchive, QStringLiteral("Not a zip archive: %1").arg(path));
}

Failure archiveUnreadable(const QString& path, const QString& cause)
{
    return Failure(EngineError::ArchiveUnreadable, QStringLiteral("Cannot read archive %1: %2").arg(path, cause));
}

Failure entryNotFound(const QString& name, const QString& archive)
{
    return Failure(EngineError::EntryNotFound, QStringLiteral("No entry named %1 in %2").arg(name, archive));
}

Failure unsafeEntryName(const QString& name, const QString& cause)
{
    return Failure(EngineError::UnsafeEntryName, QStringLiteral("Refused unsafe entry name: %1 (%2)").arg(name, cause));
}

Failure linkOutsideTarget(const QString& linkAndTarget, const QString& cause)
{
    return Failure(EngineError::LinkOutsideTarget,
                   QStringLiteral("Refused link entry: %1 (%2)").arg(linkAndTarget, cause));
}

Failure pathThroughLink(const QString& path, const QString& cause)
{
    return Failure(EngineError::PathThroughLink,
                   QStringLiteral("Refused to write through a link: %1 (%2)").arg(path, cause));
}

Failure encryptedEntry(const QString& name)
{
    return Failure(EngineError::EncryptedEntry, QStringLiteral("Encrypted entries are not supported: %1").arg(name));
}

Failure passwordCancelled(const QString& name)
{
    return Failure(EngineError::PasswordCancelled,
                   QStringLiteral("Extraction cancelled: no password for %1").arg(name));
}

Failure corruptEntry(const QString& name, const QString& cause)
{
    return Failure(EngineError::CorruptEntry, QStringLiteral("Entry is damaged (%1): %2").arg(cause, name));
}

Failure unsupportedMethod(const QString& name, const QString& cause)
{
    return Failure(EngineError::UnsupportedMethod,
                   QStringLiteral("Unsupported compression method in entry: %1 (%2)").arg(name, cause));
}

Failure cannotCreateFolder(const QString& path, const QString& cause)
{
    return Failure(EngineError::CannotCreateFolder, QStringLiteral("Cannot create folder %1: %2").arg(path, cause));
}

Failure cannotWriteFile(const QString& path, const QString& cause)
{
    return Failure(EngineError::CannotWriteFile, QStringLiteral("Cannot write %1: %2").arg(path, cause));
}

Failure cannotUpdateArchive(const QString& archive, const QString& cause)
{
    return Failure(EngineError::CannotUpdateArchive,
                   QStringLiteral("Cannot save the archive %1: %2").arg(archive, cause));
}

Failure sourceUnreadable(const QString& path, const QString& cause)
{
    return Failure(EngineError::SourceUnreadable, QStringLiteral("Cannot read %1: %2").arg(path, cause));
}

Failure archiveFolderMissing(const QString& folder)
{
    return Failure(EngineError::ArchiveFolderMissing,
                   QStringLiteral("The folder for the archive does not exist: %1").arg(folder));
}

Failure sfxRuntimeMissing(const QString& path)
{
    return Failure(EngineError::SfxRuntimeMissing, QStringLiteral("Self-extractor runtime not found: %1").arg(path));
}

Failure sfxRuntimeUnreadable(const QString& path, const QString& cause)
{
    return Failure(EngineError::SfxRuntimeMissing,
                   QStringLiteral("Self-extractor runtime not found: %1 (%2)").arg(path, cause));
}

Failure messageFileUnreadable(const QString& path, const QString& cause)
{
    return Failure(EngineError::MessageFileUnreadable,
                   QStringLiteral("Cannot read the message file %1: %2").arg(path, cause));
}

Failure noSfxOutputPath()
{
    return Failure(EngineError::NoSfxOutputPath, QStringLiteral("No output file was given for the self-extractor."));
}

Failure sfxOutputIsArchive(const QString& path)
{
    return Failure(EngineError::SfxOutputIsArchive,
                   QStringLiteral("The self-extractor cannot replace its own archive: %1").arg(path));
}

Failure emptySpec()
{
    return Failure(EngineError::EmptySpec, QStringLiteral("No entry was named."));
}

Failure noTargetFolder()
{
    return Failure(EngineError::NoTargetFolder, QStringLiteral("No folder to extract into was given."));
}

Failure archiveChanged(const QString& archive)
{
    return Failure(EngineError::ArchiveChanged,
                   QStringLiteral("The archive %1 was changed by another program while updating; nothing was changed.")
                       .arg(archive));
}

Failure stopped(const QString& kept)
{
    return Failure(EngineError::Stopped, QStringLiteral("Stopped: %1").arg(kept));
}

Failure fromCore(const zipcore::ZipError& error, const QString& archive)
{
    using zipcore::ZipErrc;
    // Whole names, NUL and control characters escaped: a name is shown as
    // far as it goes, and cannot drive a terminal the message reaches.
    const std::string& rawSubject = error.subject();
    const QString subject = QString::fromStdString(zipcore::printableName(rawSubject));
    const QString cause = QString::fromLocal8Bit(error.cause().c_str());
    switch (error.code()) {
        case ZipErrc::NotAnArchive: return notAnArchive(archive);
        case ZipErrc::Damaged:
        case ZipErrc::ReadFailed:
            if (rawSubject.empty())
                return archiveUnreadable(archive, cause);
            return archiveUnreadable(archive, QStringLiteral("entry %1: %2").arg(subject, cause));
        case ZipErrc::UnsafeName: return unsafeEntryName(subject, cause);
        case ZipErrc::LinkOutside: return linkOutsideTarget(subject, cause);
        case ZipErrc::PathThroughLink: return pathThroughLink(subject, cause);
        case ZipErrc::Encrypted:
            // Strong encryption says so; a plain encrypted entry needs no cause.
            if (error.cause() == zipcore::EncryptedCause)
                return encryptedEntry(subject);
            return encryptedEntry(QStringLiteral("%1 (%2)").arg(subject, cause));
        case ZipErrc::WrongPassword:
        case ZipErrc::PasswordDataMismatch: return corruptEntry(subject, cause);
        case ZipErrc::NoPassword: return passwordCancelled(subject);
        case ZipErrc::UnsupportedMethod: return unsupportedMethod(subject, cause);
        case ZipErrc::CorruptEntry: return corruptEntry(subject, cause);
        case ZipErrc::CannotCreateFolder: return cannotCreateFolder(subject, cause);
        case ZipErrc::CannotWrite: return cannotWriteFile(subject, cause);
    }
    return archiveUnreadable(archive, cause);
}

} // namespace EngineFailure
