#include "ZipRelocation.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "FileSource.h"
#include "PosixFile.h"
#include "ZipError.h"
#include "ZipFormat.h"

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

bool ZipRelocation::setLocalOffset(std::vector<unsigned char>& entry, std::uint64_t moved)
{
    unsigned char* h = entry.data();
    const std::size_t nameLength = get16(h + 28);
    const std::size_t extraLength = get16(h + 30);
    // Where the ZIP64 field's payload and the offset in it stand: after the
    // sizes, each there only when its 32-bit field is full.
    const unsigned char* payload = nullptr;
    std::size_t payloadLength = 0;
    const bool hasZip64Field =
        findExtra(h + CentralHeaderSize + nameLength, extraLength, Zip64ExtraId, &payload, &payloadLength);
    const std::size_t payloadAt = hasZip64Field ? static_cast<std::size_t>(payload - h) : 0;
    const std::size_t within = (get32(h + 24) == Full32 ? 8 : 0) + (get32(h + 20) == Full32 ? 8 : 0);
    if (get32(h + 42) == Full32 && hasZip64Field && within + 8 <= payloadLength) {
        put64(h + payloadAt + within, moved);
        return true;
    }
    if (get32(h + 42) != Full32 && moved < Full32) {
        put32(h + 42, static_cast<std::uint32_t>(moved));
        return true;
    }
    // The offset outgrew 32 bits: it moves into the ZIP64 field, which is
    // made when the entry had none.
    unsigned char value[8];
    put64(value, moved);
    std::vector<unsigned char> grown;
    std::size_t insertAt = CentralHeaderSize + nameLength + extraLength;
    if (hasZip64Field) {
        insertAt = payloadAt + std::min(within, payloadLength);
        put16(h + payloadAt - 2, static_cast<std::uint16_t>(payloadLength + 8));
        grown.assign(value, value + 8);
    } else {
        grown = {0x01, 0x00, 0x08, 0x00};
        grown.insert(grown.end(), value, value + 8);
    }
    if (extraLength + grown.size() > 0xffff)
        return false;
    entry.insert(entry.begin() + static_cast<std::ptrdiff_t>(insertAt), grown.begin(), grown.end());
    h = entry.data();
    put16(h + 30, static_cast<std::uint16_t>(extraLength + grown.size()));
    put32(h + 42, Full32);
    if (get16(h + 6) < 45)
        put16(h + 6, 45);
    return true;
}

namespace {

// Copies the central directory of `in` with every local-header offset moved
// by `delta`; returns its new size.
std::uint64_t copyCentralDirectory(const Layout& layout, int in, const QString& inPath, Writer& writer,
                                   std::uint64_t delta, const QString& outPath,
                                   EngineFailure::WriteFailure writeFailure)
{
    std::uint64_t size = 0;
    std::vector<unsigned char> entry;
    FileSource source(in);
    try {
        forEachCentralHeader(source, layout, [&](const RawCentralHeader& raw) {
            entry.assign(raw.bytes, raw.bytes + raw.length);
            std::uint64_t offset = 0;
            storedLocalOffset(raw, &offset); // the walk checked it
            if (!ZipRelocation::setLocalOffset(entry, offset + delta))
                throw writeFailure(outPath,
                                   QStringLiteral("an entry's extra data is too long to hold a 64-bit "
                                                  "offset"));
            writer.write(entry.data(), entry.size());
            size += entry.size();
        });
    } catch (const ZipError& error) {
        throw EngineFailure::fromCore(error, inPath);
    }
    // Whatever follows the last central header (a digital signature) is
    // part of the directory and carries no offsets.
    const std::uint64_t visited = size;
    if (visited < layout.cdSize) {
        const std::uint64_t length = layout.cdSize - visited;
        writer.copy(in, layout.cdStart + visited, length, inPath);
        size += length;
    }
    return size;
}

// Writes the ZIP64 end record and locator for the directory at `cdOffset`:
// the old ones, moved, when the input has them, else new ones.
void writeZip64Records(const Layout& layout, int in, const QString& inPath, Writer& writer, std::uint64_t cdOffset,
                       std::uint64_t cdSize)
{
    if (layout.hasZip64) {
        // The ZIP64 end record (with any extensible data) and the locator.
        const std::uint64_t length = layout.endPos - layout.zip64EndPos;
        if (length > (1 << 24))
            throw EngineFailure::archiveUnreadable(inPath, QStringLiteral("the ZIP64 end record is damaged"));
        std::vector<unsigned char> records(static_cast<std::size_t>(length));
        readRecords(in, records, layout.zip64EndPos, inPath);
        put64(records.data() + 40, cdSize);
        put64(records.data() + 48, cdOffset);
        put64(records.data() + records.size() - Zip64LocatorSize + 8, cdOffset + cdSize);
        writer.write(records.data(), records.size());
        return;
    }
    unsigned char records[Zip64EndSize + Zip64LocatorSize] = {};
    put32(records, Zip64EndSignature);
    put64(records + 4, Zip64EndSize - 12);
    put16(records + 12, 45);
    put16(records + 14, 45);
    put64(records + 24, layout.entryCount);
    put64(records + 32, layout.entryCount);
    put64(records + 40, cdSize);
    put64(records + 48, cdOffset);
    put32(records + Zip64EndSize, Zip64LocatorSignature);
    put64(records + Zip64EndSize + 8, cdOffset + cdSize);
    put32(records + Zip64EndSize + 16, 1);
    writer.write(records, sizeof records);
}

// Writes the input's end record (and comment) for the directory at
// `cdOffset`; a field the ZIP64 records hold stays full.
void writeEndRecord(const Layout& layout, int in, const QString& inPath, Writer& writer, std::uint64_t cdOffset,
                    std::uint64_t cdSize, bool zip64, const QByteArray& commentWhenNone)
{
    std::vector<unsigned char> end(static_cast<std::size_t>(EndSize + layout.commentLength));
    readRecords(in, end, layout.endPos, inPath);
    const auto fit = [&](std::size_t at, std::uint64_t value) {
        if (value >= Full32 || (zip64 && get32(end.data() + at) == Full32))
            put32(end.data() + at, Full32);
        else
            put32(end.data() + at, static_cast<std::uint32_t>(value));
    };
    fit(12, cdSize);
    fit(16, cdOffset);
    if (layout.commentLength == 0 && !commentWhenNone.isEmpty()) {
        const auto length = static_cast<std::uint16_t>(std::min<qsizetype>(commentWhenNone.size(), 0xffff));
        put16(end.data() + 20, length);
        end.insert(end.end(), commentWhenNone.constData(), commentWhenNone.constData() + length);
    }
    writer.write(end.data(), end.size());
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
    const bool zip64 = layout.hasZip64 || cdOffset >= Full32 || cdSize >= Full32;
    if (zip64)
        writeZip64Records(layout, in, inPath, writer, cdOffset, cdSize);
    writeEndRecord(layout, in, inPath, writer, cdOffset, cdSize, zip64, commentWhenNone);
    writer.flush();
}
