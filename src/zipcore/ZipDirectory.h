#ifndef PLOVERN_ZIPCORE_ZIPDIRECTORY_H
#define PLOVERN_ZIPCORE_ZIPDIRECTORY_H

#include "ByteSource.h"
#include "ZipRecords.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zipcore {

enum class EntryKind { File, Folder, Link };

// One entry of the central directory: the stored fields (ZIP64 values
// resolved) and what they mean.
struct Entry
{
    std::string rawName; // as stored
    std::string name;    // UTF-8 (CP437 names converted)
    std::string comment; // UTF-8, likewise
    std::string extra;   // the central header's extra fields
    std::uint16_t madeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t externalAttributes = 0;
    std::uint64_t localOffset = 0; // as stored, counted from Layout::shift
    // Where the entry's central header stands in the file, and its length,
    // so that a writer can take it without walking the directory again.
    std::uint64_t centralPosition = 0;
    std::size_t centralLength = 0;

    EntryKind kind = EntryKind::File;
    bool hasUnixMode = false; // the attributes carry a Unix mode (type and permissions)
    std::uint32_t unixMode = 0;
    bool hasExactTime = false; // mtime comes from an extended timestamp (0x5455)
    std::int64_t mtime = 0;    // seconds since the epoch, when hasExactTime

    bool encrypted() const;
    // The stored permission bits, setuid, setgid and sticky included (the
    // target folder decides which of them it restores), or 0755 for folders
    // and 0644 for the rest when none are stored.
    unsigned permissions() const;
};

// Where the zip data of a file lies. The end records are found from the
// back, the central directory right before them, and whatever stands in front
// of the first local header (or of the central directory) is a stub, such as
// a self-extractor's runtime. Works the same for offsets counted from the
// start of the file (as `zip -A` leaves them) and from the start of the zip
// data (a plain `cat stub archive.zip`).
struct Layout
{
    std::uint64_t fileSize = 0;
    std::uint64_t endPos = 0;        // end-of-central-directory record
    std::uint16_t commentLength = 0; // archive comment after it
    bool hasZip64 = false;
    std::uint64_t zip64EndPos = 0; // ZIP64 end record, when hasZip64
    std::uint64_t entryCount = 0;
    std::uint64_t cdSize = 0;
    std::uint64_t cdOffset = 0; // as stored
    std::uint64_t cdStart = 0;  // where the central directory really is
    std::uint64_t cdEnd = 0;    // where it ends (the ZIP64 end record or the end record)
    // Where the bytes that offsets count from begin: 0 for an archive without
    // a stub or with adjusted offsets, the stub's length after a plain `cat`.
    std::uint64_t shift = 0;
    // Where the zip data begins; everything before it is the stub.
    std::uint64_t zipStart = 0;
};

struct Directory
{
    Layout layout;
    std::vector<Entry> entries; // in central-directory order
};

// Reads the end records and the whole central directory. With
// `localTimes`, an entry without an extended timestamp in its central header
// takes the one of its local header when there is one (some zippers put it
// only there). Throws ZipError NotAnArchive when there is no end record,
// Damaged when the records contradict each other or the file, ReadFailed when
// reading fails.
Directory readDirectory(ByteSource& source, bool localTimes = true);

// Like readDirectory, but hands each entry to `visit` as soon as it is read,
// in central-directory order, and keeps none: only a bounded piece of the
// directory is in memory at a time, however many entries it holds. `visit`
// may move from the entry. The same checks hold, with the same errors; a
// failure may come after some entries were handed over. Returns the layout.
Layout walkDirectory(ByteSource& source, const std::function<void(Entry&)>& visit, bool localTimes = true);

// Like readDirectory, with the end record known to stand at `endPos` and
// its comment to reach the end of the file: nothing is searched for. Throws
// Damaged when it is not so.
Directory readDirectoryAt(ByteSource& source, std::uint64_t endPos, bool localTimes = true);

// Calls `visit` for every central header of an archive laid out as `layout`,
// in order, parsed, with its position and length in the file. Throws like
// readDirectory.
void forEachCentralHeader(ByteSource& source, const Layout& layout,
                          const std::function<void(const CentralHeader&)>& visit);

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_ZIPDIRECTORY_H
