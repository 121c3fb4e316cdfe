#include "ZipDirectory.h"

#include "EntryNames.h"
#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

namespace zipcore {

namespace {

constexpr std::size_t BufferSize = 1 << 20;
constexpr std::size_t LocalWindowSize = 64 * 1024;
// The end record, plus an archive comment of at most 65,535 bytes after it.
constexpr std::size_t MaxEndSearch = EndRecord::FixedSize + 0xffff;
// How much of the file's end is read to find the end record: the record
// with the longest comment, behind bytes appended after the archive (a
// signature, padding from a download), as unzip and 7-Zip allow too. With
// such bytes no candidate ends the file, and the one nearest the end counts.
constexpr std::size_t EndWindow = MaxEndSearch + (1 << 20);
// A ZIP64 end record's extensible data is not used; one claiming more than
// this is taken as damaged rather than read.
constexpr std::uint64_t MaxZip64EndRecord = 1 << 24;

[[noreturn]] void damaged(const std::string& cause)
{
    throw ZipError(ZipErrc::Damaged, std::string(), cause);
}

[[noreturn]] void readFailed(const ByteSource& source)
{
    const int error = source.lastError();
    if (error == 0)
        throw ZipError(ZipErrc::Damaged, std::string(), "unexpected end of file");
    throw ZipError(ZipErrc::ReadFailed, std::string(), std::strerror(error), error);
}

// Sequential reading of [pos, end) through one buffer, for walking the
// central directory without holding all of it in memory.
class SequentialReader
{
public:
    SequentialReader(ByteSource& source, std::uint64_t pos, std::uint64_t end)
        : m_source(source)
        , m_pos(pos)
        , m_end(end)
    {
        m_buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(end - pos, BufferSize)));
    }

    bool atEnd() const { return m_pos >= m_end; }
    std::uint64_t remaining() const { return m_end - m_pos; }

    // `length` bytes from the current position, valid until the next call.
    const unsigned char* take(std::size_t length)
    {
        if (length > remaining())
            damaged("the central directory is damaged");
        if (m_pos < m_bufferPos || m_pos - m_bufferPos > m_bufferFill
            || length > m_bufferFill - (m_pos - m_bufferPos)) {
            const std::size_t fill = static_cast<std::size_t>(
                std::max<std::uint64_t>(std::min<std::uint64_t>(remaining(), BufferSize), length));
            if (m_buffer.size() < fill)
                m_buffer.resize(fill);
            if (!m_source.readAt(m_pos, m_buffer.data(), fill))
                readFailed(m_source);
            m_bufferPos = m_pos;
            m_bufferFill = fill;
        }
        const unsigned char* p = m_buffer.data() + (m_pos - m_bufferPos);
        m_pos += length;
        return p;
    }

private:
    ByteSource& m_source;
    std::uint64_t m_pos;
    std::uint64_t m_end;
    std::vector<unsigned char> m_buffer;
    std::uint64_t m_bufferPos = 0;
    std::uint64_t m_bufferFill = 0;
};

// Fills in what the stored fields mean: name, kind, mode and time.
void interpret(Entry& entry)
{
    entry.name = decodeName(entry.rawName, entry.flags);
    if (!entry.comment.empty())
        entry.comment = decodeName(entry.comment, entry.flags);
    const unsigned host = entry.madeBy >> 8;
    const std::uint32_t high = entry.externalAttributes >> 16;
    entry.hasUnixMode =
        high != 0 && (host == HostUnix || host == HostDarwin || (entry.externalAttributes & UnixExtensionBit));
    entry.unixMode = entry.hasUnixMode ? high : 0;
    const std::uint32_t type = entry.unixMode & ModeTypeMask;
    const bool slash = !entry.name.empty() && (entry.name.back() == '/' || entry.name.back() == '\\');
    if (entry.hasUnixMode && type == ModeLink)
        entry.kind = EntryKind::Link;
    else if (slash || (entry.hasUnixMode && type == ModeFolder))
        entry.kind = EntryKind::Folder;
    else
        entry.kind = EntryKind::File;
    entry.hasExactTime =
        readExtendedMtime(reinterpret_cast<const unsigned char*>(entry.extra.data()), entry.extra.size(), &entry.mtime);
}

Entry decodeCentral(const CentralHeader& header)
{
    // Everything that shows or compares names as C strings would take
    // "a.txt\0hidden" for "a.txt".
    if (header.name.find('\0') != std::string::npos)
        throw ZipError(ZipErrc::Damaged, decodeName(header.name, header.flags), "the entry name holds a NUL byte");
    Entry entry;
    entry.rawName = header.name;
    entry.extra = header.extra;
    entry.comment = header.comment;
    entry.madeBy = header.madeBy;
    entry.flags = header.flags;
    entry.method = header.method;
    entry.dosTime = header.dosTime;
    entry.dosDate = header.dosDate;
    entry.crc = header.crc;
    entry.compressedSize = header.compressedSize;
    entry.size = header.size;
    entry.externalAttributes = header.externalAttributes;
    entry.localOffset = header.localOffset;
    entry.centralPosition = header.position;
    entry.centralLength = header.rawLength;
    interpret(entry);
    return entry;
}

// Walks the central directory of `layout`; `visit` gets each header,
// parsed. Returns the smallest local-header offset met (or
// the directory's own offset when smaller).
std::uint64_t walk(ByteSource& source, const Layout& layout, const std::function<void(const CentralHeader&)>& visit)
{
    std::uint64_t smallest = layout.cdOffset;
    if (layout.cdStart >= layout.cdEnd)
        return smallest;
    SequentialReader reader(source, layout.cdStart, layout.cdEnd);
    std::uint64_t count = 0;
    std::vector<unsigned char> header;
    while (!reader.atEnd()) {
        const std::uint64_t position = layout.cdEnd - reader.remaining();
        header.resize(CentralHeader::FixedSize);
        const std::size_t fixed = std::min<std::uint64_t>(reader.remaining(), CentralHeader::FixedSize);
        std::memcpy(header.data(), reader.take(fixed), fixed);
        const Parsed<std::size_t> length = centralHeaderLength(header.data(), fixed);
        if (!length.ok()) {
            if ((count == 0 && layout.entryCount > 0)
                || (fixed >= 4 && get32(header.data()) == CentralHeader::Signature))
                damaged("the central directory is damaged");
            break; // a digital signature or similar record ends the directory
        }
        const unsigned char* rest = reader.take(length.record - fixed);
        header.insert(header.end(), rest, rest + (length.record - fixed));
        Parsed<CentralHeader> parsed = parseCentralHeader(header.data(), header.size());
        if (!parsed.ok())
            damaged(parsed.error);
        parsed.record.position = position;
        smallest = std::min(smallest, parsed.record.localOffset);
        visit(parsed.record);
        ++count;
    }
    return smallest;
}

// Tries the end record at `endPos`; throws ZipError when the records it
// leads to do not hold together.
Layout layoutAt(ByteSource& source, const EndRecord& end, std::uint64_t endPos, std::uint64_t fileSize)
{
    Layout layout;
    layout.fileSize = fileSize;
    layout.endPos = endPos;
    layout.commentLength = static_cast<std::uint16_t>(end.comment.size());
    layout.entryCount = end.entries;
    layout.cdSize = end.directorySize;
    layout.cdOffset = end.directoryOffset;
    layout.cdEnd = endPos;

    unsigned char bytes[Zip64Locator::FixedSize];
    const bool hasLocator = endPos >= Zip64Locator::FixedSize
        && source.readAt(endPos - Zip64Locator::FixedSize, bytes, sizeof bytes)
        && parseZip64Locator(bytes, sizeof bytes).ok();
    if (hasLocator) {
        // The locator's pointer counts from wherever the writer counted; with
        // a stub that was not accounted for it is off, so the record right
        // before the locator is tried as well.
        const std::uint64_t locatorPos = endPos - Zip64Locator::FixedSize;
        const std::uint64_t pointed = parseZip64Locator(bytes, sizeof bytes).record.zip64EndOffset;
        unsigned char fixed[Zip64EndRecord::FixedSize];
        std::vector<unsigned char> whole;
        Zip64EndRecord record;
        bool found = false;
        for (const std::uint64_t at :
             {pointed, locatorPos - std::min<std::uint64_t>(locatorPos, Zip64EndRecord::FixedSize)}) {
            if (!fits(at, Zip64EndRecord::FixedSize, locatorPos) || !source.readAt(at, fixed, sizeof fixed))
                continue;
            const Parsed<std::uint64_t> length = zip64EndRecordLength(fixed, sizeof fixed);
            if (!length.ok() || length.record > locatorPos - at || length.record > MaxZip64EndRecord)
                continue;
            whole.resize(static_cast<std::size_t>(length.record));
            if (!source.readAt(at, whole.data(), whole.size()))
                continue;
            const Parsed<Zip64EndRecord> parsed = parseZip64EndRecord(whole.data(), whole.size());
            if (!parsed.ok())
                continue;
            record = parsed.record;
            layout.hasZip64 = true;
            layout.zip64EndPos = at;
            found = true;
            break;
        }
        if (!found)
            damaged("the ZIP64 end record is missing");
        if (record.disk != 0 || record.directoryDisk != 0)
            damaged("archives split over several files are not supported");
        layout.entryCount = record.entries;
        layout.cdSize = record.directorySize;
        layout.cdOffset = record.directoryOffset;
        layout.cdEnd = layout.zip64EndPos;
    } else if (end.disk != 0 || end.directoryDisk != 0) {
        damaged("archives split over several files are not supported");
    }

    if (layout.cdSize > layout.cdEnd)
        damaged("the central directory lies outside the file");
    layout.cdStart = layout.cdEnd - layout.cdSize;
    if (layout.cdOffset > layout.cdStart)
        damaged("the central directory lies outside the file");
    layout.shift = layout.cdStart - layout.cdOffset;
    return layout;
}

// Reads the extended timestamp of an entry's local header, through a window
// that serves the next headers too (most archives keep them in order).
class LocalTimes
{
public:
    LocalTimes(ByteSource& source, const Layout& layout)
        : m_source(source)
        , m_layout(layout)
    {}

    bool find(const Entry& entry, std::int64_t* mtime)
    {
        const std::uint64_t limit = m_layout.fileSize - m_layout.shift;
        if (!fits(entry.localOffset, LocalHeader::FixedSize, limit))
            return false;
        const std::uint64_t at = m_layout.shift + entry.localOffset;
        const unsigned char* fixed = fetch(at, LocalHeader::FixedSize);
        if (!fixed)
            return false;
        const Parsed<std::size_t> length = localHeaderLength(fixed, LocalHeader::FixedSize);
        if (!length.ok())
            return false;
        const unsigned char* header = fetch(at, length.record);
        if (!header)
            return false;
        const Parsed<LocalHeader> local = parseLocalHeader(header, length.record);
        return local.ok() && !local.record.extra.empty()
            && readExtendedMtime(reinterpret_cast<const unsigned char*>(local.record.extra.data()),
                                 local.record.extra.size(), mtime);
    }

private:
    const unsigned char* fetch(std::uint64_t pos, std::size_t length)
    {
        if (!fits(pos, length, m_layout.fileSize))
            return nullptr;
        if (!m_valid || pos < m_windowStart || pos - m_windowStart > m_window.size()
            || length > m_window.size() - (pos - m_windowStart)) {
            const std::size_t size = static_cast<std::size_t>(
                std::min<std::uint64_t>(std::max(LocalWindowSize, length), m_layout.fileSize - pos));
            m_window.resize(size);
            m_valid = m_source.readAt(pos, m_window.data(), size);
            m_windowStart = pos;
            if (!m_valid)
                return nullptr;
        }
        return m_window.data() + (pos - m_windowStart);
    }

    ByteSource& m_source;
    const Layout& m_layout;
    std::vector<unsigned char> m_window;
    std::uint64_t m_windowStart = 0;
    bool m_valid = false;
};

// The end record among the last bytes of a file (`tail`, which ends the
// file): its index, or tail.size() when there is none.
std::size_t chooseEndRecord(const std::vector<unsigned char>& tail)
{
    // Which end record counts is decided from the end of the file alone, so
    // that a stub put in front (a self-extractor's runtime) cannot make
    // another one hold. A candidate is plausible when its comment ends the
    // file. With one plausible candidate that one counts; a second plausible
    // one after it stands inside its comment (or record), where only a
    // forgery puts one, and the archive is damaged. Without any (bytes
    // appended after the archive), the candidate nearest the end counts.
    // "PK\5\6" bytes in a comment that do not end the file are comment.
    std::size_t chosen = tail.size();
    std::size_t last = tail.size();
    // Only the signature and the comment length are looked at while
    // scanning (a tail full of signatures would otherwise copy comments for
    // every one); the chosen record is parsed whole below.
    for (std::size_t i = tail.size() < EndRecord::FixedSize ? 0 : tail.size() - EndRecord::FixedSize + 1; i-- > 0;) {
        std::size_t commentLength = 0;
        if (!endRecordCandidate(tail.data() + i, tail.size() - i, &commentLength))
            continue;
        const std::size_t room = tail.size() - i - EndRecord::FixedSize;
        if (commentLength > room)
            continue; // its comment would run past the end of the file: no record
        if (last == tail.size())
            last = i;
        if (commentLength != room)
            continue;
        if (chosen != tail.size())
            damaged("a second end-of-central-directory record stands in the archive comment");
        chosen = i;
    }
    if (chosen == tail.size())
        chosen = last;
    return chosen;
}

// Walks the directory that the end record `end` at `endPos` leads to and
// hands each entry, decoded (with the time of its local header when
// `localTimes` and the central one has none), to `visit`. Returns the layout,
// zipStart included.
Layout walkFrom(ByteSource& source, const EndRecord& end, std::uint64_t endPos, std::uint64_t size, bool localTimes,
                const std::function<void(Entry&)>& visit)
{
    Layout layout = layoutAt(source, end, endPos, size);
    std::optional<LocalTimes> local;
    if (localTimes)
        local.emplace(source, layout);
    const std::uint64_t smallest = walk(source, layout, [&](const CentralHeader& header) {
        Entry entry = decodeCentral(header);
        if (local && !entry.hasExactTime)
            entry.hasExactTime = local->find(entry, &entry.mtime);
        visit(entry);
    });
    layout.zipStart = layout.shift + smallest;
    return layout;
}

// The directory that the end record `end` at `endPos` leads to.
Directory directoryAt(ByteSource& source, const EndRecord& end, std::uint64_t endPos, std::uint64_t size,
                      bool localTimes)
{
    Directory directory;
    std::vector<Entry>& entries = directory.entries;
    directory.layout =
        walkFrom(source, end, endPos, size, localTimes, [&](Entry& entry) { entries.push_back(std::move(entry)); });
    return directory;
}

// The end record that counts, found from the back of a file of `size`
// bytes, and where it stands. Throws NotAnArchive when there is none.
std::pair<EndRecord, std::uint64_t> findEndRecord(ByteSource& source, std::uint64_t size)
{
    const std::uint64_t tailStart = size - std::min<std::uint64_t>(size, EndWindow);
    std::vector<unsigned char> tail(static_cast<std::size_t>(size - tailStart));
    if (!tail.empty() && !source.readAt(tailStart, tail.data(), tail.size()))
        readFailed(source);

    const std::size_t chosen = chooseEndRecord(tail);
    if (chosen != tail.size()) {
        Parsed<EndRecord> end = parseEndRecord(tail.data() + chosen, tail.size() - chosen);
        if (!end.ok())
            damaged(end.error);
        return {std::move(end.record), tailStart + chosen};
    }
    // No end record at all. A file that starts like a zip archive lost its
    // end (an interrupted download or copy); anything else is no archive.
    unsigned char head[4];
    if (size >= 4 && source.readAt(0, head, sizeof head) && get32(head) == LocalHeader::Signature)
        damaged("the end of the archive is missing (the file may be truncated)");
    throw ZipError(ZipErrc::NotAnArchive, std::string(), "no end-of-central-directory record");
}

} // namespace

bool Entry::encrypted() const
{
    return (flags & FlagEncrypted) || method == MethodAes;
}

unsigned Entry::permissions() const
{
    if (hasUnixMode && (unixMode & 0777) != 0)
        return unixMode & 07777;
    return kind == EntryKind::Folder ? 0755 : 0644;
}

void forEachCentralHeader(ByteSource& source, const Layout& layout,
                          const std::function<void(const CentralHeader&)>& visit)
{
    walk(source, layout, visit);
}

Directory readDirectory(ByteSource& source, bool localTimes)
{
    const std::uint64_t size = source.size();
    const auto [end, endPos] = findEndRecord(source, size);
    return directoryAt(source, end, endPos, size, localTimes);
}

Layout walkDirectory(ByteSource& source, const std::function<void(Entry&)>& visit, bool localTimes)
{
    const std::uint64_t size = source.size();
    const auto [end, endPos] = findEndRecord(source, size);
    return walkFrom(source, end, endPos, size, localTimes, visit);
}

Directory readDirectoryAt(ByteSource& source, std::uint64_t endPos, bool localTimes)
{
    const std::uint64_t size = source.size();
    if (!fits(endPos, EndRecord::FixedSize, size) || size - endPos > MaxEndSearch)
        damaged("the end record is not where it should be");
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size - endPos));
    if (!source.readAt(endPos, bytes.data(), bytes.size()))
        readFailed(source);
    const Parsed<EndRecord> end = parseEndRecord(bytes.data(), bytes.size());
    if (!end.ok())
        damaged("the end record is not where it should be");
    if (EndRecord::FixedSize + end.record.comment.size() != bytes.size())
        damaged("the archive comment does not reach the end of the file");
    // The one end record the engine would take, so that both read the same.
    const std::uint64_t tailStart = size - std::min<std::uint64_t>(size, EndWindow);
    std::vector<unsigned char> tail(static_cast<std::size_t>(size - tailStart));
    if (!source.readAt(tailStart, tail.data(), tail.size()))
        readFailed(source);
    if (tailStart + chooseEndRecord(tail) != endPos)
        damaged("the end record is not where it should be");
    return directoryAt(source, end.record, endPos, size, localTimes);
}

} // namespace zipcore
