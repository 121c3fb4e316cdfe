#include "ZipRelocation.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "FileSource.h"
#include "PosixFile.h"
#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

using namespace zipcore;

constexpr std::size_t bufferSize = 1 << 20;

using PosixFile::SysResult;

// Buffered writing to the output; a failure is made by the caller's
// WriteFailure, since the output is a self-extractor or an archive being
// saved.
class Writer
{
public:
    Writer(int fd, const QString& path, EngineFailure::WriteFailure failure)
        : m_fd(fd)
        , m_path(path)
        , m_failure(failure)
    {
        m_buffer.reserve(bufferSize);
    }

    void write(const void* data, std::size_t length)
    {
        if (m_buffer.size() + length > bufferSize)
            flush();
        if (length >= bufferSize) {
            check(PosixFile::writeAll(m_fd, data, length));
            return;
        }
        const auto* p = static_cast<const unsigned char*>(data);
        m_buffer.insert(m_buffer.end(), p, p + length);
    }

    void flush()
    {
        if (!m_buffer.empty())
            check(PosixFile::writeAll(m_fd, m_buffer.data(), m_buffer.size()));
        m_buffer.clear();
    }

    // Copies straight from `in` to the output, after what is buffered.
    void copy(int in, std::uint64_t offset, std::uint64_t length, const QString& inPath)
    {
        flush();
        const SysResult copied =
            PosixFile::copyRange(in, static_cast<std::int64_t>(offset), static_cast<std::int64_t>(length), m_fd);
        if (!copied && copied.failedReading())
            throw EngineFailure::archiveUnreadable(inPath, copied.cause());
        check(copied);
    }

    void check(const SysResult& result) const
    {
        if (!result)
            throw m_failure(m_path, result.cause());
    }

private:
    int m_fd;
    const QString& m_path;
    EngineFailure::WriteFailure m_failure;
    std::vector<unsigned char> m_buffer;
};

void readRecords(int in, std::vector<unsigned char>& records, std::uint64_t at, const QString& inPath)
{
    const SysResult read = PosixFile::readAt(in, records.data(), records.size(), static_cast<std::int64_t>(at));
    if (!read)
        throw EngineFailure::archiveUnreadable(inPath, read.cause());
}

} // namespace

namespace {

// Copies the central directory of `in` with every local-header offset moved
// by `delta`; returns its new size.
std::uint64_t copyCentralDirectory(const Layout& layout, int in, const QString& inPath, Writer& writer,
                                   std::uint64_t delta, const QString& outPath,
                                   EngineFailure::WriteFailure writeFailure)
{
    std::uint64_t size = 0;
    std::uint64_t visited = 0; // bytes of the old directory
    FileSource source(in);
    try {
        forEachCentralHeader(source, layout, [&](const CentralHeader& header) {
            CentralHeader moved = header;
            moved.localOffset += delta;
            const Bytes entry = encode(moved);
            if (entry.empty())
                throw writeFailure(outPath,
                                   QStringLiteral("an entry's extra data is too long to hold a 64-bit "
                                                  "offset"));
            writer.write(entry.data(), entry.size());
            size += entry.size();
            visited += header.rawLength;
        });
    } catch (const ZipError& error) {
        throw EngineFailure::fromCore(error, inPath);
    }
    // Whatever follows the last central header (a digital signature) is
    // part of the directory and carries no offsets.
    if (visited < layout.cdSize) {
        const std::uint64_t length = layout.cdSize - visited;
        writer.copy(in, layout.cdStart + visited, length, inPath);
        size += length;
    }
    return size;
}

// Writes the ZIP64 end record and locator for the directory at `cdOffset`:
// the old ones (with any extensible data), moved, when the input has them,
// else new ones.
void writeZip64Records(const Layout& layout, int in, const QString& inPath, Writer& writer, std::uint64_t cdOffset,
                       std::uint64_t cdSize)
{
    if (layout.hasZip64) {
        const std::uint64_t length = layout.endPos - layout.zip64EndPos;
        if (length > (1 << 24))
            throw EngineFailure::archiveUnreadable(inPath, QStringLiteral("the ZIP64 end record is damaged"));
        std::vector<unsigned char> records(static_cast<std::size_t>(length));
        readRecords(in, records, layout.zip64EndPos, inPath);
        Parsed<Zip64EndRecord> record = parseZip64EndRecord(records.data(), records.size() - Zip64Locator::FixedSize);
        Parsed<Zip64Locator> locator =
            parseZip64Locator(records.data() + records.size() - Zip64Locator::FixedSize, Zip64Locator::FixedSize);
        if (!record.ok() || !locator.ok())
            throw EngineFailure::archiveUnreadable(inPath, QStringLiteral("the ZIP64 end record is damaged"));
        record.record.directorySize = cdSize;
        record.record.directoryOffset = cdOffset;
        locator.record.zip64EndOffset = cdOffset + cdSize;
        const Bytes newRecord = encode(record.record);
        const Bytes newLocator = encode(locator.record);
        std::copy(newRecord.begin(), newRecord.end(), records.begin());
        std::copy(newLocator.begin(), newLocator.end(), records.end() - Zip64Locator::FixedSize);
        writer.write(records.data(), records.size());
        return;
    }
    Zip64EndRecord record;
    record.madeBy = 45;
    record.diskEntries = layout.entryCount;
    record.entries = layout.entryCount;
    record.directorySize = cdSize;
    record.directoryOffset = cdOffset;
    Zip64Locator locator;
    locator.zip64EndOffset = cdOffset + cdSize;
    const Bytes bytes = encode(record);
    writer.write(bytes.data(), bytes.size());
    const Bytes tail = encode(locator);
    writer.write(tail.data(), tail.size());
}

// Writes the input's end record (and comment) for the directory at
// `cdOffset`; a field the ZIP64 records hold stays all ones.
void writeEndRecord(const Layout& layout, int in, const QString& inPath, Writer& writer, std::uint64_t cdOffset,
                    std::uint64_t cdSize, bool zip64, const QByteArray& commentWhenNone)
{
    std::vector<unsigned char> old(static_cast<std::size_t>(EndRecord::FixedSize + layout.commentLength));
    readRecords(in, old, layout.endPos, inPath);
    Parsed<EndRecord> end = parseEndRecord(old.data(), old.size());
    if (!end.ok())
        throw EngineFailure::archiveUnreadable(inPath, QString::fromUtf8(end.error));
    const auto fit = [&](std::uint32_t stored, std::uint64_t value) {
        return value >= Full32 || (zip64 && stored == Full32) ? Full32 : static_cast<std::uint32_t>(value);
    };
    end.record.directorySize = fit(end.record.directorySize, cdSize);
    end.record.directoryOffset = fit(end.record.directoryOffset, cdOffset);
    if (end.record.comment.empty() && !commentWhenNone.isEmpty())
        end.record.comment.assign(commentWhenNone.constData(),
                                  static_cast<std::size_t>(std::min<qsizetype>(commentWhenNone.size(), 0xffff)));
    const Bytes bytes = encode(end.record);
    writer.write(bytes.data(), bytes.size());
}

} // namespace

void ZipRelocation::copyZipPart(const zipcore::Layout& layout, int in, const QString& inPath, int out,
                                const QString& outPath, std::int64_t outStart, EngineFailure::WriteFailure writeFailure,
                                const QByteArray& commentWhenNone)
{
    Writer writer(out, outPath, writeFailure);
    // A stored offset o names the byte at shift + o of the input, which lands
    // at outStart + (shift + o - zipStart) of the output.
    const std::uint64_t delta = static_cast<std::uint64_t>(outStart) - layout.zipStart + layout.shift;

    // Local headers and data hold no offsets: copied as they are.
    writer.copy(in, layout.zipStart, layout.cdStart - layout.zipStart, inPath);

    std::uint64_t cdOffset = static_cast<std::uint64_t>(outStart) + (layout.cdStart - layout.zipStart);
    const std::uint64_t cdSize = copyCentralDirectory(layout, in, inPath, writer, delta, outPath, writeFailure);

    // An empty directory keeps offset 0: with no entries there is nothing for
    // an offset to point at, and unzip and 7-Zip reject an empty archive whose
    // directory offset counts a stub.
    if (cdSize == 0 && !layout.hasZip64)
        cdOffset = 0;
    DirectoryEnd closing;
    closing.entries = layout.entryCount;
    closing.size = cdSize;
    closing.offset = cdOffset;
    const bool zip64 = layout.hasZip64 || closing.needsZip64();
    if (zip64)
        writeZip64Records(layout, in, inPath, writer, cdOffset, cdSize);
    writeEndRecord(layout, in, inPath, writer, cdOffset, cdSize, zip64, commentWhenNone);
    writer.flush();
}
