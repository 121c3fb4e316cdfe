#include "ArchiveWriter.h"

#include "EngineErrors.h"
#include "EntryCompressor.h"
#include "Failure.h"
#include "FileSource.h"
#include "PosixFile.h"
#include "ProgressChannel.h"
#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <ctime>
#include <unistd.h>
#include <unordered_map>
#include <zlib.h>

namespace {

using namespace zipcore;
using PosixFile::SysResult;

constexpr std::size_t bufferSize = 1 << 20;
// A local header is read with this much after it, which holds the name and
// extra field of almost every entry.
constexpr std::size_t headerRead = 512;
// Kept bytes are copied in steps of this size, so that progress moves and a
// stop is seen.
constexpr std::uint64_t copyStep = 64 << 20;
constexpr std::uint16_t FlagDescriptor = 0x0008;
// Written by: Unix, version 6.3 of the format.
constexpr std::uint16_t MadeBy = (HostUnix << 8) | 63;
// A file this close to 4 GiB may deflate to more than 32 bits can hold.
constexpr std::uint64_t zip64Margin = 0xffff0000u;

// The DOS date and time fields for `mtime`, in local time as the format has
// it; times before 1980 become its first day.
void dosFields(std::int64_t mtime, std::uint16_t* date, std::uint16_t* time)
{
    const auto seconds = static_cast<std::time_t>(mtime);
    struct tm t = {};
    if (!::localtime_r(&seconds, &t) || t.tm_year < 80) {
        *date = (1 << 5) | 1;
        *time = 0;
        return;
    }
    const int year = std::min(t.tm_year - 80, 127);
    *date = static_cast<std::uint16_t>((year << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    *time = static_cast<std::uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
}

bool isAscii(const std::string& name)
{
    return std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The headers of one new entry, filled in as its data becomes known.
struct NewHeaders
{
    const ArchiveWriter::NewEntry& entry;
    std::uint16_t method = 0;
    std::uint16_t date = 0;
    std::uint16_t time = 0;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    bool zip64 = false; // sizes in a ZIP64 field of the local header

    std::uint16_t flags() const { return isAscii(entry.name) ? 0 : FlagUtf8; }
    std::uint16_t needed() const { return zip64 ? 45 : method == MethodDeflated ? 20 : 10; }

    // The extended timestamp (modification time), for both headers.
    std::string timestamp() const { return encodeExtendedTimestamp(entry.mtime); }

    std::vector<unsigned char> local() const
    {
        LocalHeader h;
        h.versionNeeded = needed();
        h.flags = flags();
        h.method = method;
        h.dosTime = time;
        h.dosDate = date;
        h.crc = crc;
        h.compressedSize = compressedSize;
        h.size = size;
        h.zip64 = zip64;
        h.name = entry.name;
        h.extra = timestamp();
        return encode(h);
    }

    std::vector<unsigned char> central(std::uint64_t offset) const
    {
        CentralHeader h;
        h.madeBy = MadeBy;
        h.versionNeeded = needed();
        h.flags = flags();
        h.method = method;
        h.dosTime = time;
        h.dosDate = date;
        h.crc = crc;
        h.compressedSize = compressedSize;
        h.size = size;
        h.externalAttributes = unixExternalAttributes(0100000 | (entry.mode & 07777));
        h.localOffset = offset;
        h.name = entry.name;
        h.extra = timestamp();
        return encode(h);
    }
};

} // namespace

ArchiveWriter::ArchiveWriter(int in, const zipcore::Directory* old, int out, const QString& archivePath,
                             ProgressChannel& progress)
    : m_in(in)
    , m_old(old)
    , m_out(out)
    , m_archive(archivePath)
    , m_progress(progress)
    , m_output(archivePath)
{
    m_buffer.reserve(bufferSize);
}

void ArchiveWriter::setSelfExtractorFront(const SelfExtractorFront& front, const QString& outputPath,
                                          EngineFailure::WriteFailure writeFailure)
{
    m_front = &front;
    m_output = outputPath;
    m_writeFailure = writeFailure;
}

void ArchiveWriter::writeFront()
{
    const SysResult copied = PosixFile::copyRange(m_front->runtime, 0, m_front->runtimeLength, m_out);
    if (!copied && copied.failedReading())
        throw EngineFailure::sfxRuntimeUnreadable(m_front->runtimePath, copied.cause());
    check(copied);
    m_position = static_cast<std::uint64_t>(m_front->runtimeLength);
    // The block's length does not depend on its placement: it is written now
    // with the placement unknown and again, in the same bytes, at the end.
    m_hasBlock = true;
    m_blockStart = m_position;
    m_block.settings = m_front->settings;
    const Bytes block = encodeSfxBlock(m_block);
    put(block.data(), block.size());
    m_block.placement.zipStart = m_position;
}

void ArchiveWriter::findOldBlock()
{
    // A settings block ends right where the zip part starts; it is kept up to
    // date only when it agrees with the archive as read, else the stub stays
    // as it was (a self-extractor that did not run does not start to).
    const Layout& layout = m_old->layout;
    unsigned char trailer[SfxTrailerSize];
    if (layout.zipStart < SfxTrailerSize
        || !PosixFile::readAt(m_in, trailer, sizeof trailer,
                              static_cast<std::int64_t>(layout.zipStart - SfxTrailerSize)))
        return;
    const Parsed<std::uint64_t> length = sfxBlockLengthFromTrailer(trailer, sizeof trailer);
    if (!length.ok() || length.record > layout.zipStart)
        return;
    Bytes bytes(static_cast<std::size_t>(length.record));
    if (!PosixFile::readAt(m_in, bytes.data(), bytes.size(),
                           static_cast<std::int64_t>(layout.zipStart - length.record)))
        return;
    const Parsed<SfxBlock> block = parseSfxBlock(bytes.data(), bytes.size());
    if (!block.ok() || block.record.placement.zipStart != layout.zipStart
        || block.record.placement.endRecord != layout.endPos || block.record.placement.fileSize != layout.fileSize)
        return;
    m_hasBlock = true;
    m_blockStart = layout.zipStart - length.record;
    m_block = block.record;
}

void ArchiveWriter::writeBlock()
{
    m_block.placement.fileSize = m_position;
    const Bytes block = encodeSfxBlock(m_block);
    check(PosixFile::writeAt(m_out, block.data(), block.size(), static_cast<std::int64_t>(m_blockStart)));
}

ArchiveWriter::Written ArchiveWriter::write(const std::vector<Fate>& fates, const std::vector<NewEntry>& added,
                                            EntryCompressor& data)
{
    const std::size_t oldCount = m_old ? m_old->entries.size() : 0;
    std::int64_t files = 0;
    std::int64_t bytes = 0;
    for (std::size_t i = 0; i < oldCount; ++i) {
        if (fates[i] == Fate::Keep) {
            ++files;
            bytes += static_cast<std::int64_t>(m_old->entries[i].compressedSize);
        }
    }
    for (const NewEntry& entry : added) {
        ++files;
        bytes += entry.expectedSize;
    }
    m_progress.setTotals(files, bytes);
    m_total = std::max<std::int64_t>(bytes, 1);
    // A stop asked at once is always seen.
    if (!m_progress.checkpoint())
        throw StopRequested();

    if (m_front) {
        writeFront();
    } else if (m_old && m_old->layout.zipStart > 0) {
        // The stub (a self-extractor's program) is copied as it is.
        const SysResult copied =
            PosixFile::copyRange(m_in, 0, static_cast<std::int64_t>(m_old->layout.zipStart), m_out);
        if (!copied && copied.failedReading())
            unreadable(copied.cause());
        check(copied);
        m_position = m_old->layout.zipStart;
        findOldBlock();
    }
    std::vector<Placed> kept(oldCount);
    for (std::size_t i = 0; i < oldCount; ++i) {
        if (fates[i] == Fate::Keep)
            copyKept(i, kept[i]);
    }
    // Everything kept is on the disk before the first new entry, so that a
    // failure from here on is one of the new entries.
    flushCopy();
    flush();

    // The new entries come after all kept ones, in the order given, so that
    // those before a failing one can stay: their replaced places in the
    // directory are only a matter of where their central headers go.
    Written written;
    written.fates = fates;
    std::vector<Placed> placedNew(added.size());
    std::vector<std::uint64_t> starts(added.size() + 1, 0);
    std::size_t next = 0;
    m_writeCause.clear();
    try {
        for (; next < added.size(); ++next) {
            starts[next] = m_position;
            writeNew(added[next], data, placedNew[next]);
        }
        starts[next] = m_position;
        flush();
        written.added = added.size();
    } catch (const Failure& failure) {
        // A failure to write names the file that did not fit; any other
        // (the file could not be read) names it already.
        const QString writeCause = m_writeCause;
        written.added = cutBack(next, starts);
        if (written.added == 0)
            throw;
        if (written.added < added.size()) {
            if (writeCause.isEmpty())
                written.failure = failure;
            else
                written.failure = m_writeFailure(m_output,
                                                 QStringLiteral("%1; %2 and the files selected after it were not added")
                                                     .arg(writeCause, added[written.added].source));
        }
    }

    // An old entry gives way only to a new entry of its name that went in;
    // otherwise it stays, copied after the new entries.
    if (written.added < added.size()) {
        std::unordered_map<std::string, std::size_t> newByName;
        for (std::size_t j = 0; j < added.size(); ++j)
            newByName.emplace(added[j].name, j);
        for (std::size_t i = 0; i < oldCount; ++i) {
            if (written.fates[i] == Fate::Keep)
                continue;
            const auto found = newByName.find(m_old->entries[i].name);
            if (found != newByName.end() && found->second >= written.added) {
                written.fates[i] = Fate::Keep;
                copyKept(i, kept[i]);
            }
        }
        flushCopy();
    }
    writeDirectory(written.fates, kept, added, placedNew, written.added);
    flush();
    if (m_hasBlock)
        writeBlock();
    return written;
}

std::size_t ArchiveWriter::cutBack(std::size_t failed, const std::vector<std::uint64_t>& starts)
{
    // What is on the disk ends at the file position (every write but the
    // headers' goes there); the buffer holds what came after its start.
    const off_t position = ::lseek(m_out, 0, SEEK_CUR);
    if (position < 0)
        return 0;
    auto onDisk = static_cast<std::uint64_t>(position);
    const std::uint64_t buffered = m_position - m_buffer.size();
    for (std::size_t k = failed + 1; k-- > 1;) {
        const std::uint64_t end = starts[k];
        if (onDisk < end) {
            if (onDisk < buffered || end > m_position)
                continue;
            if (!PosixFile::writeAll(m_out, m_buffer.data() + (onDisk - buffered),
                                     static_cast<std::size_t>(end - onDisk))) {
                const off_t now = ::lseek(m_out, 0, SEEK_CUR);
                if (now < 0)
                    return 0;
                onDisk = static_cast<std::uint64_t>(now);
                continue;
            }
            onDisk = end;
        }
        if (::ftruncate(m_out, static_cast<off_t>(end)) != 0 || ::lseek(m_out, static_cast<off_t>(end), SEEK_SET) < 0)
            return 0;
        m_buffer.clear();
        m_position = end;
        return k;
    }
    return 0;
}

void ArchiveWriter::copyKept(std::size_t index, Placed& placed)
{
    const Entry& entry = m_old->entries[index];
    const Layout& layout = m_old->layout;
    const std::uint64_t start = layout.shift + entry.localOffset;
    if (start < layout.shift || start > layout.fileSize || layout.fileSize - start < LocalHeader::FixedSize)
        damaged("a local header lies outside the file");
    const Parsed<std::size_t> headerLength =
        localHeaderLength(readOld(start, LocalHeader::FixedSize), LocalHeader::FixedSize);
    if (!headerLength.ok())
        damaged("a local header is missing");
    std::uint64_t length = headerLength.record + entry.compressedSize;
    if (length < headerLength.record || layout.fileSize - start < length)
        damaged("an entry's data runs past the end of the file");
    if (entry.flags & FlagDescriptor) {
        // A data descriptor follows the data: CRC and sizes, 8 bytes each
        // after a ZIP64 local header, with or without a signature first.
        const Parsed<LocalHeader> local = parseLocalHeader(readOld(start, headerLength.record), headerLength.record);
        const std::uint64_t left = layout.fileSize - start - length;
        const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(left, 24));
        const Parsed<DataDescriptor> descriptor =
            parseDataDescriptor(room ? readOld(start + length, room) : nullptr, room, local.ok() && local.record.zip64);
        if (!descriptor.ok())
            damaged(descriptor.error);
        length += descriptor.record.length();
    }

    placed.offset = m_position;
    if (m_copyLength > 0 && m_copyFrom + m_copyLength == start) {
        m_copyLength += length;
    } else {
        flushCopy();
        m_copyFrom = start;
        m_copyLength = length;
    }
    m_position += length;
}

const unsigned char* ArchiveWriter::readOld(std::uint64_t offset, std::size_t length)
{
    if (offset >= m_windowStart && offset - m_windowStart + length <= m_windowLength)
        return m_window.data() + (offset - m_windowStart);
    const std::uint64_t left = m_old->layout.fileSize - offset;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(headerRead, length), left));
    if (want < length)
        damaged("an entry's headers run past the end of the file");
    m_window.resize(std::max(m_window.size(), want));
    const SysResult read = PosixFile::readAt(m_in, m_window.data(), want, static_cast<std::int64_t>(offset));
    if (!read)
        unreadable(read.cause());
    m_windowStart = offset;
    m_windowLength = want;
    return m_window.data();
}

void ArchiveWriter::flushCopy()
{
    if (m_copyLength == 0)
        return;
    flush();
    while (m_copyLength > 0) {
        checkStop();
        const std::uint64_t step = std::min(m_copyLength, copyStep);
        const SysResult copied =
            PosixFile::copyRange(m_in, static_cast<std::int64_t>(m_copyFrom), static_cast<std::int64_t>(step), m_out);
        if (!copied && copied.failedReading())
            unreadable(copied.cause());
        check(copied);
        m_copyFrom += step;
        m_copyLength -= step;
        advance(static_cast<std::int64_t>(step));
    }
}

void ArchiveWriter::writeNew(const NewEntry& entry, EntryCompressor& data, Placed& placed)
{
    if (entry.name.size() > 0xffff)
        throw EngineFailure::cannotUpdateArchive(m_archive, QStringLiteral("an entry name is too long"));
    m_progress.setEntry(QString::fromStdString(entry.name));
    EntryCompressor::Piece piece = data.next();
    NewHeaders headers{entry};
    dosFields(entry.mtime, &headers.date, &headers.time);
    headers.method = piece.method;
    placed.offset = m_position;

    if (piece.last) {
        // Read whole: everything is known before the header is written.
        headers.crc = piece.crc;
        headers.size = piece.rawLength;
        headers.compressedSize = piece.length;
        headers.zip64 = headers.size >= Full32 || headers.compressedSize >= Full32;
        const std::vector<unsigned char> local = headers.local();
        put(local.data(), local.size());
        put(piece.bytes.get(), piece.length);
        advance(static_cast<std::int64_t>(piece.rawLength));
    } else {
        // In pieces: the header gets its CRC and sizes once all are written.
        headers.zip64 = piece.fileSize >= zip64Margin;
        const std::uint64_t headerAt = m_position;
        const std::vector<unsigned char> placeholder = headers.local();
        put(placeholder.data(), placeholder.size());
        while (true) {
            headers.crc = static_cast<std::uint32_t>(
                crc32_combine(headers.crc, piece.crc, static_cast<z_off_t>(piece.rawLength)));
            headers.size += piece.rawLength;
            headers.compressedSize += piece.length;
            put(piece.bytes.get(), piece.length);
            advance(static_cast<std::int64_t>(piece.rawLength));
            checkStop();
            if (piece.last)
                break;
            piece = data.next();
        }
        if (!headers.zip64 && headers.compressedSize >= Full32)
            throw EngineFailure::cannotUpdateArchive(m_archive,
                                                     QStringLiteral("a file grew past 4 GiB when compressed"));
        flush();
        const std::vector<unsigned char> local = headers.local();
        check(PosixFile::writeAt(m_out, local.data(), local.size(), static_cast<std::int64_t>(headerAt)));
    }
    placed.centralHeader = headers.central(placed.offset);
    checkStop();
}

void ArchiveWriter::writeDirectory(const std::vector<Fate>& fates, const std::vector<Placed>& kept,
                                   const std::vector<NewEntry>& added, const std::vector<Placed>& placedNew,
                                   std::size_t written)
{
    const std::uint64_t cdStart = m_position;
    const std::uint64_t count = writeCentralHeaders(fates, kept, added, placedNew, written);
    writeEndRecords(cdStart, count, oldComment());
}

std::uint64_t ArchiveWriter::writeCentralHeaders(const std::vector<Fate>& fates, const std::vector<Placed>& kept,
                                                 const std::vector<NewEntry>& added,
                                                 const std::vector<Placed>& placedNew, std::size_t written)
{
    std::uint64_t count = 0;
    if (m_old) {
        std::vector<std::size_t> replacement(m_old->entries.size(), NoEntry);
        for (std::size_t j = 0; j < written; ++j) {
            if (added[j].replaces != NoEntry)
                replacement.at(added[j].replaces) = j;
        }
        std::size_t index = 0;
        FileSource source(m_in);
        try {
            forEachCentralHeader(source, m_old->layout, [&](const CentralHeader& old) {
                const std::size_t i = index++;
                if (fates[i] == Fate::Replace) {
                    const std::vector<unsigned char>& h = placedNew.at(replacement.at(i)).centralHeader;
                    put(h.data(), h.size());
                    ++count;
                } else if (fates[i] == Fate::Keep) {
                    CentralHeader header = old;
                    header.localOffset = kept[i].offset;
                    const Bytes bytes = encode(header);
                    if (bytes.empty())
                        throw m_writeFailure(
                            m_output, QStringLiteral("an entry's extra data is too long to hold a 64-bit offset"));
                    put(bytes.data(), bytes.size());
                    ++count;
                }
            });
        } catch (const ZipError& error) {
            throw EngineFailure::fromCore(error, m_archive);
        }
    }
    for (std::size_t j = 0; j < written; ++j) {
        if (added[j].replaces == NoEntry) {
            put(placedNew[j].centralHeader.data(), placedNew[j].centralHeader.size());
            ++count;
        }
    }
    return count;
}

std::vector<unsigned char> ArchiveWriter::oldComment()
{
    std::vector<unsigned char> comment;
    if (!m_old || (m_front && m_old->layout.commentLength == 0)) {
        if (m_front)
            comment.assign(m_front->commentWhenNone.begin(),
                           m_front->commentWhenNone.begin()
                               + std::min<qsizetype>(m_front->commentWhenNone.size(), 0xffff));
        return comment;
    }
    const Layout& layout = m_old->layout;
    comment.resize(layout.commentLength);
    const SysResult read = PosixFile::readAt(m_in, comment.data(), comment.size(),
                                             static_cast<std::int64_t>(layout.endPos + EndRecord::FixedSize));
    if (!read)
        unreadable(read.cause());
    return comment;
}

void ArchiveWriter::writeEndRecords(std::uint64_t cdStart, std::uint64_t count,
                                    const std::vector<unsigned char>& comment)
{
    const std::uint64_t cdSize = m_position - cdStart;
    // With no entries there is nothing for an offset to point at, and unzip
    // and 7-Zip reject an empty archive whose directory offset counts a
    // stub; offset 0 is what they accept.
    const std::uint64_t cdOffset = count == 0 ? 0 : cdStart;
    DirectoryEnd end;
    end.entries = count;
    end.size = cdSize;
    end.offset = cdOffset;
    end.position = m_position;
    end.madeBy = MadeBy;
    end.comment.assign(comment.begin(), comment.end());
    end.forceZip64 = !end.needsZip64() && locatorLookalike();
    const Bytes records = encode(end);
    put(records.data(), records.size());
    m_block.placement.endRecord = m_position - EndRecord::FixedSize - comment.size();
}

bool ArchiveWriter::locatorLookalike()
{
    // A reader takes the 20 bytes before the end record for a ZIP64 locator
    // when they start with its signature, and then reads the directory that
    // locator leads to. Without ZIP64 records of our own those bytes are
    // copied ones: the end of a kept entry's comment, or, with no entries
    // left, the end of a stub that may hold an old directory. Our own
    // records then stand in between.
    if (m_position < Zip64Locator::FixedSize)
        return false;
    flush();
    unsigned char signature[4];
    if (!PosixFile::readAt(m_out, signature, sizeof signature,
                           static_cast<std::int64_t>(m_position - Zip64Locator::FixedSize)))
        return true; // unknown, so taken as one
    return get32(signature) == Zip64Locator::Signature;
}

void ArchiveWriter::put(const void* bytes, std::size_t length)
{
    flushCopy();
    if (m_buffer.size() + length > bufferSize)
        flush();
    if (length >= bufferSize)
        check(PosixFile::writeAll(m_out, bytes, length));
    else
        m_buffer.insert(m_buffer.end(), static_cast<const unsigned char*>(bytes),
                        static_cast<const unsigned char*>(bytes) + length);
    m_position += length;
}

void ArchiveWriter::flush()
{
    if (!m_buffer.empty())
        check(PosixFile::writeAll(m_out, m_buffer.data(), m_buffer.size()));
    m_buffer.clear();
}

void ArchiveWriter::advance(std::int64_t bytes)
{
    m_done += bytes;
    m_progress.setFraction(static_cast<double>(m_done) / static_cast<double>(m_total));
}

void ArchiveWriter::checkStop() const
{
    if (m_progress.stopRequested())
        throw StopRequested();
}

void ArchiveWriter::check(const PosixFile::SysResult& result)
{
    if (!result) {
        m_writeCause = result.cause();
        throw m_writeFailure(m_output, m_writeCause);
    }
}

void ArchiveWriter::unreadable(const QString& cause) const
{
    throw EngineFailure::archiveUnreadable(m_archive, cause);
}

void ArchiveWriter::damaged(const char* cause) const
{
    throw EngineFailure::fromCore(ZipError(ZipErrc::Damaged, std::string(), cause), m_archive);
}
