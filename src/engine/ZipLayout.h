#ifndef PLOVERN_ZIPLAYOUT_H
#define PLOVERN_ZIPLAYOUT_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// One central-directory header as stored, with ZIP64 values resolved.
struct CentralEntry
{
    QByteArray name;    // raw bytes
    QByteArray extra;   // central extra fields
    QByteArray comment; // raw bytes
    std::uint16_t madeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t externalAttributes = 0;
    std::uint64_t localOffset = 0; // as stored, counted from shift()
};

// Where the zip data of a file lies, following the reader's rule of
// sfx-runtime/FORMAT.md: the end records are found from the back, the central
// directory right before them, and whatever stands in front of the first local
// header (or the central directory) is a stub, such as a self-extractor's
// runtime. Works the same for offsets counted from the start of the file (as
// `zip -A` leaves them) and from the start of the zip data (a plain `cat`).
class ZipLayout
{
public:
    // Reads the end records and the central directory of an open file. Throws
    // NotAnArchive when no end record is found and ArchiveUnreadable when the
    // records contradict themselves or reading fails; `path` names the file in
    // those descriptions.
    // The central headers are handed out in `entries` when it is given.
    static ZipLayout read(int fd, const QString& path, std::vector<CentralEntry>* entries = nullptr);

    // Copies the zip part of the file `in` (laid out as `layout`) to the
    // current position of `out`, which is `outStart` bytes from the start of
    // the output file, changing every offset (central headers, ZIP64 extra
    // fields, end record, ZIP64 end record and locator) so that it counts from
    // the start of the output file. A local-header offset that no longer fits
    // 32 bits moves into a ZIP64 extra field, and ZIP64 end records are added
    // when the central directory needs them. Streams through a fixed buffer.
    // Read failures throw ArchiveUnreadable naming `inPath`, write failures
    // throw `writeError` naming `outPath`.
    static void copyZipPart(const ZipLayout& layout, int in, const QString& inPath, int out, const QString& outPath,
                            std::int64_t outStart, std::int32_t writeError);

    // Writes the end record of an archive without entries, placed `outStart`
    // bytes from the start of the output (after a stub, say).
    static void writeEmptyZip(int out, const QString& outPath, std::int64_t outStart, std::int32_t writeError);

    std::int64_t fileSize() const { return m_fileSize; }
    // Where the bytes that offsets count from begin: 0 for an archive without
    // a stub or with adjusted offsets, the stub's length for a plain `cat`.
    std::int64_t shift() const { return m_shift; }
    // Where the zip data begins; everything before it is the stub.
    std::int64_t zipStart() const { return m_zipStart; }
    bool hasStub() const { return m_zipStart > 0; }
    std::uint64_t entryCount() const { return m_entries; }
    bool hasZip64() const { return m_zip64EndPos >= 0; }

private:
    std::int64_t m_fileSize = 0;
    std::int64_t m_endPos = 0;         // end-of-central-directory record
    std::uint16_t m_commentLength = 0; // archive comment after it
    std::int64_t m_zip64EndPos = -1;   // ZIP64 end record, -1 when none
    std::uint64_t m_entries = 0;
    std::uint64_t m_cdSize = 0;
    std::uint64_t m_cdOffset = 0; // as stored
    std::int64_t m_actualCd = 0;  // where the central directory really is
    std::int64_t m_shift = 0;
    std::int64_t m_zipStart = 0;
};

#endif // PLOVERN_ZIPLAYOUT_H
