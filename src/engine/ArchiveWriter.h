#ifndef PLOVERN_ARCHIVEWRITER_H
#define PLOVERN_ARCHIVEWRITER_H

#include "EngineErrors.h"
#include "PosixFile.h"
#include "SfxFormat.h"
#include "ZipDirectory.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class EntryCompressor;
class ProgressChannel;

// Writes a changed copy of an archive into a new file: the old archive's stub,
// the entries it keeps, copied byte for byte (local header, data and data
// descriptor, adjacent entries in one kernel copy), new entries from an
// EntryCompressor, and a new central directory in which the kept entries'
// central headers are the old ones with their offsets moved. The archive
// comment is kept. libzip would read and write every kept byte through its
// own buffers; this leaves them to the kernel.
//
// Every offset in the result counts from the start of the file, the stub
// included, as `zip -A` leaves a self-extractor.
//
// A self-extractor is written here too: a runtime and a settings block in
// front instead of the old stub (see setSelfExtractorFront). When the old
// stub ends in a settings block that agrees with the old archive (one of our
// self-extractors), the block is written again with the new positions of the
// zip part, so that the self-extractor still runs after an add or a delete.
class ArchiveWriter
{
public:
    // What becomes of each entry of the old archive.
    enum class Fate { Keep, Drop, Replace };

    static constexpr std::size_t NoEntry = static_cast<std::size_t>(-1);

    // One added file, written as a new entry.
    struct NewEntry
    {
        std::string name; // UTF-8
        std::uint32_t mode = 0644;
        std::int64_t mtime = 0;
        std::int64_t expectedSize = 0; // for progress
        // The old entry (fate Replace) whose place in the directory this one
        // takes; NoEntry puts it after the old entries.
        std::size_t replaces = NoEntry;
        QString source; // the file it is read from, named when it fails
    };

    // What write() put into the new archive.
    struct Written
    {
        // How many of the new entries, from the first, went in.
        std::size_t added = 0;
        // The old entries' fates as written: a replaced or dropped entry is
        // kept after all when the new entry of its name did not go in.
        std::vector<Fate> fates;
        // Why the rest of the new entries did not go in.
        std::optional<Failure> failure;
    };

    // `in` is the old archive (-1 for none) read as `old`; the result goes to
    // `out`, at its start. Failures to read `in` name `archivePath` as
    // unreadable; failures to write name it as not saved.
    ArchiveWriter(int in, const zipcore::Directory* old, int out, const QString& archivePath,
                  ProgressChannel& progress);

    // What a self-extractor has in front of its zip part: the first
    // `runtimeLength` bytes of `runtime` (a descriptor), then a settings block
    // holding `settings` and the positions this writer gives the zip part.
    struct SelfExtractorFront
    {
        int runtime = -1;
        std::int64_t runtimeLength = 0;
        QString runtimePath;
        zipcore::SfxSettings settings;
        // The archive comment when the old archive has none.
        QByteArray commentWhenNone;
    };
    // Writes `front` in place of the old archive's stub. Failures to write
    // are then what `writeFailure` makes of `outputPath`; a runtime that
    // cannot be read fails as SfxRuntimeMissing.
    void setSelfExtractorFront(const SelfExtractorFront& front, const QString& outputPath,
                               EngineFailure::WriteFailure writeFailure);

    // Writes the new archive: the data of the old entries kept, then of
    // `added` in order (`data` yields it, in the same order). In the
    // directory old entry i is kept, dropped, or replaced in its place by the
    // new entry that names it; the other new entries follow the old ones.
    //
    // When a new entry fails (its file cannot be read, the disk is full),
    // the entries before it are kept: the file is cut back to where the
    // entry started and the directory is written for what went in; the
    // result tells how far it got and why. Throws a Failure when not even
    // the first new entry (or the directory after a failure) could be
    // written, or StopRequested when the progress handler asked to stop;
    // `out` then holds a partial file that must be thrown away.
    Written write(const std::vector<Fate>& fates, const std::vector<NewEntry>& added, EntryCompressor& data);

private:
    void writeFront();
    void findOldBlock();
    void writeBlock();

    struct Placed
    {
        std::uint64_t offset = 0; // of the local header in the new file
        // For a new entry, its central header, made when its data is known.
        std::vector<unsigned char> centralHeader;
    };

    void copyKept(std::size_t index, Placed& placed);
    void flushCopy();
    void writeNew(const NewEntry& entry, EntryCompressor& data, Placed& placed);
    // Cuts the new file back to the start of the last new entry before
    // `failed` whose bytes can all be on the disk; `starts` holds where each
    // new entry started (and, past `failed`, where the last one ended).
    // Returns how many new entries stay.
    std::size_t cutBack(std::size_t failed, const std::vector<std::uint64_t>& starts);
    // `written` is how many of `placedNew` (in order) were written.
    void writeDirectory(const std::vector<Fate>& fates, const std::vector<Placed>& kept,
                        const std::vector<NewEntry>& added, const std::vector<Placed>& placedNew, std::size_t written);
    // The central headers: the kept ones with their offsets moved, the new
    // ones in their places. Returns how many were written.
    std::uint64_t writeCentralHeaders(const std::vector<Fate>& fates, const std::vector<Placed>& kept,
                                      const std::vector<NewEntry>& added, const std::vector<Placed>& placedNew,
                                      std::size_t written);
    std::vector<unsigned char> oldComment();
    // The ZIP64 end record and locator when needed, then the end record.
    void writeEndRecords(std::uint64_t cdStart, std::uint64_t count, const std::vector<unsigned char>& comment);
    // Whether the bytes before the end record would read as a ZIP64 locator.
    bool locatorLookalike();
    const unsigned char* readOld(std::uint64_t offset, std::size_t length);
    void put(const void* bytes, std::size_t length);
    void flush();
    void advance(std::int64_t bytes);
    void checkStop() const;
    void check(const PosixFile::SysResult& result);
    [[noreturn]] void unreadable(const QString& cause) const;
    [[noreturn]] void damaged(const char* cause) const;

    int m_in;
    const zipcore::Directory* m_old;
    int m_out;
    const QString& m_archive;
    ProgressChannel& m_progress;
    std::uint64_t m_position = 0; // bytes written to `out` so far, buffer and pending copy included
    std::int64_t m_total = 1;     // bytes to copy and add, for progress
    std::int64_t m_done = 0;
    std::vector<unsigned char> m_buffer;
    // A run of kept bytes not copied yet, so that adjacent entries go in one
    // copy.
    std::uint64_t m_copyFrom = 0;
    std::uint64_t m_copyLength = 0;
    // The last bytes read from the old archive: local headers are read with
    // a little more, which usually holds what comes next.
    std::vector<unsigned char> m_window;
    std::uint64_t m_windowStart = 0;
    std::size_t m_windowLength = 0;
    // Where the output goes, and what a failure to write it is.
    QString m_output;
    EngineFailure::WriteFailure m_writeFailure = EngineFailure::cannotUpdateArchive;
    // Why the last write to the output failed, empty before any did.
    QString m_writeCause;
    const SelfExtractorFront* m_front = nullptr;
    // The self-extractor's settings block, when the result has one: where it
    // starts and what it holds; its placement is filled in as it becomes known.
    bool m_hasBlock = false;
    std::uint64_t m_blockStart = 0;
    zipcore::SfxBlock m_block;
};

#endif // PLOVERN_ARCHIVEWRITER_H
