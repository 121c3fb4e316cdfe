#ifndef PLOVERN_ENGINEERRORS_H
#define PLOVERN_ENGINEERRORS_H

#include "Failure.h"

#include <QString>

#include <cstdint>

namespace zipcore {
class ZipError;
}

// The archive engine's failure numbers. Each Failure thrown by the engine
// carries one of these and a description that names the archive, entry or
// file concerned and the cause. The README's failure table mirrors this list;
// keep them in step. Each failure is made in one place, by the functions of
// EngineFailure below.
namespace EngineError {
enum : std::int32_t {
    NoArchivePath = 1001,         // "No archive is selected."
    ArchiveNotFound = 1002,       // "Archive not found: <path>"
    NotAnArchive = 1003,          // "Not a zip archive: <path>"
    ArchiveUnreadable = 1004,     // "Cannot read archive <path>: <cause>"
    EntryNotFound = 1005,         // "No entry named <name> in <path>"
    UnsafeEntryName = 1006,       // "Refused unsafe entry name: <name> (<cause>)"
    LinkOutsideTarget = 1007,     // "Refused link entry: <name> -> <target> (<cause>)"
    PathThroughLink = 1008,       // "Refused to write through a link: <path> (<cause>)"
    EncryptedEntry = 1009,        // "Encrypted entries are not supported: <name>"
    CorruptEntry = 1010,          // "Entry is damaged (<cause>): <name>"
    UnsupportedMethod = 1011,     // "Unsupported compression method in entry: <name> (<cause>)"
    CannotCreateFolder = 1012,    // "Cannot create folder <path>: <cause>"
    CannotWriteFile = 1013,       // "Cannot write <path>: <cause>"
    CannotUpdateArchive = 1014,   // "Cannot save the archive <path>: <cause>"
    SourceUnreadable = 1015,      // "Cannot read <path>: <cause>"
    ArchiveFolderMissing = 1016,  // "The folder for the archive does not exist: <folder>"
    SfxRuntimeMissing = 1017,     // "Self-extractor runtime not found: <path>"
    MessageFileUnreadable = 1018, // "Cannot read the message file <path>: <cause>"
    NoSfxOutputPath = 1019,       // "No output file was given for the self-extractor."
    SfxOutputIsArchive = 1020,    // "The self-extractor cannot replace its own archive: <path>"
    EmptySpec = 1021,             // "No entry was named."
    NoTargetFolder = 1022,        // "No folder to extract into was given."
    ArchiveChanged = 1023, // "The archive <path> was changed by another program while updating; nothing was changed."
    Stopped = 1024,        // "Stopped: <what was kept>"
    PasswordCancelled = 1025, // "Extraction cancelled: no password for <name>"
};
}

// The engine's failures, one function each: its number and its wording.
namespace EngineFailure {

Failure noArchivePath();
Failure archiveNotFound(const QString& path);
Failure notAnArchive(const QString& path);
Failure archiveUnreadable(const QString& path, const QString& cause);
Failure entryNotFound(const QString& name, const QString& archive);
Failure unsafeEntryName(const QString& name, const QString& cause);
// `cause` says why: outside, through too many links, ...
Failure linkOutsideTarget(const QString& linkAndTarget, const QString& cause);
// `cause` says which link: one on disk leading outside, or a link entry.
Failure pathThroughLink(const QString& path, const QString& cause);
Failure encryptedEntry(const QString& name);
// The password prompt for entry `name` was cancelled.
Failure passwordCancelled(const QString& name);
Failure corruptEntry(const QString& name, const QString& cause);
// `cause` names the method and who cannot decode it.
Failure unsupportedMethod(const QString& name, const QString& cause);
Failure cannotCreateFolder(const QString& path, const QString& cause);
Failure cannotWriteFile(const QString& path, const QString& cause);
Failure cannotUpdateArchive(const QString& archive, const QString& cause);
Failure sourceUnreadable(const QString& path, const QString& cause);
Failure archiveFolderMissing(const QString& folder);
Failure sfxRuntimeMissing(const QString& path);
Failure sfxRuntimeUnreadable(const QString& path, const QString& cause);
Failure messageFileUnreadable(const QString& path, const QString& cause);
Failure noSfxOutputPath();
Failure sfxOutputIsArchive(const QString& path);
Failure emptySpec();
Failure noTargetFolder();
Failure archiveChanged(const QString& archive);
// `kept` says what the stopped action left, e.g. "3 of 5 files were
// extracted into /home/ann/out".
Failure stopped(const QString& kept);

// A failure of the zip core as the engine's own; `archive` names the archive
// for failures of the archive as a whole.
Failure fromCore(const zipcore::ZipError& error, const QString& archive);

// Makes the failure of a write to `path`, for writers that serve several
// actions (a self-extractor's output, an archive being saved).
using WriteFailure = Failure (*)(const QString& path, const QString& cause);

} // namespace EngineFailure

#endif // PLOVERN_ENGINEERRORS_H
