#ifndef PLOVERN_ENGINEERRORS_H
#define PLOVERN_ENGINEERRORS_H

#include <cstdint>

// The archive engine's failure numbers. Each Failure thrown by the engine
// carries one of these and a description that names the archive, entry or
// file concerned and the cause. The README's failure table mirrors this list;
// keep them in step.
namespace EngineError {
enum : std::int32_t {
    NoArchivePath = 1001,         // "No archive is selected."
    ArchiveNotFound = 1002,       // "Archive not found: <path>"
    NotAnArchive = 1003,          // "Not a zip archive: <path>"
    ArchiveUnreadable = 1004,     // "Cannot read archive <path>: <cause>"
    EntryNotFound = 1005,         // "No entry named <name> in <path>"
    UnsafeEntryName = 1006,       // "Refused unsafe entry name: <name>"
    LinkOutsideTarget = 1007,     // "Refused link entry pointing outside the target folder: <name> -> <target>"
    PathThroughLink = 1008,       // "Refused to write through a link that leads outside the target folder: <path>"
    EncryptedEntry = 1009,        // "Encrypted entries are not supported: <name>"
    CorruptEntry = 1010,          // "Entry is damaged (<cause>): <name>"
    UnsupportedMethod = 1011,     // "Unsupported compression method in entry: <name>"
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
};
}

#endif // PLOVERN_ENGINEERRORS_H
