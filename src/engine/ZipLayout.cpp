#include "ZipLayout.h"

#include "CoreFailure.h"
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

[[noreturn]] void damaged(const QString& path, const QString& cause)
{
    throw Failure(EngineError::ArchiveUnreadable, QStringLiteral("Cannot read archive %1: %2").arg(path, cause));
}

[[noreturn]] void readFailed(const QString& path)
{
    damaged(path, errno ? PosixFile::lastError() : QStringLiteral("unexpected end of file"));
}

class Writer
{
public:
    Writer(int fd, const QString& path, std::int32_t error)
        : m_fd(fd)
        , m_path(path)
        , m_error(error)
    {
        m_buffer.reserve(bufferSize);
    }

    void write(const void* data, std::size_t length)
    {
        if (m_buffer.size() + length > bufferSize)
            flush();
        if (length >= bufferSize) {
            if (!PosixFile::writeAll(m_fd, data, length))
                fail();
            return;
        }
        const auto* p = static_cast<const unsigned char*>(data);
        m_buffer.insert(m_buffer.end(), p, p + length);
    }

    void flush()
    {
        if (!m_buffer.empty() && !PosixFile::writeAll(m_fd, m_buffer.data(), m_buffer.size()))
            fail();
        m_buffer.clear();
    }

    [[noreturn]] void fail()
    {
        const QString cause = PosixFile::lastError();
        if (m_error == EngineError::CannotUpdateArchive)
            throw Failure(m_error, QStringLiteral("Cannot save the archive %1: %2").arg(m_path, cause));
        throw Failure(m_error, QStringLiteral("Cannot write %1: %2").arg(m_path, cause));
    }

private:
    int m_fd;
    const QString& m_path;
    std::int32_t m_error;
    std::vector<unsigned char> m_buffer;
};

} // namespace

zipcore::Directory ZipLayout::read(int fd, const QString& path)
{
    try {
        FileSource source(fd);
        if (source.lastError() != 0)
            throw ZipError(ZipErrc::ReadFailed, std::string(), std::strerror(source.lastError()), source.lastError());
        return readDirectory(source);
    } catch (const ZipError& error) {
        throwCoreFailure(error, path);
    }
}

void ZipLayout::copyZipPart(const zipcore::Layout& layout, int in, const QString& inPath, int out,
                            const QString& outPath, std::int64_t outStart, std::int32_t writeError)
{
    Writer writer(out, outPath, writeError);
    // A stored offset o names the byte at shift + o of the input, which lands
    // at outStart + (shift + o - zipStart) of the output.
    const std::uint64_t delta = static_cast<std::uint64_t>(outStart) - layout.zipStart + layout.shift;

    // Local headers and data hold no offsets: copied as they are.
    {
        const int result = PosixFile::copyRange(in, static_cast<std::int64_t>(layout.zipStart),
                                                static_cast<std::int64_t>(layout.cdStart - layout.zipStart), out);
        if (result == 1)
            readFailed(inPath);
        if (result == 2)
            writer.fail();
    }

    std::uint64_t newCdOffset = static_cast<std::uint64_t>(outStart) + (layout.cdStart - layout.zipStart);
    std::uint64_t newCdSize = 0;
    std::vector<unsigned char> entry;
    FileSource source(in);
    try {
        forEachCentralHeader(source, layout, [&](const RawCentralHeader& raw) {
            entry.assign(raw.bytes, raw.bytes + raw.length);
            const std::size_t nameLength = get16(entry.data() + 28);
            const std::size_t extraLength = get16(entry.data() + 30);
            unsigned char* h = entry.data();
            std::uint64_t offset = 0;
            storedLocalOffset(raw, &offset); // the walk checked it
            // Where the ZIP64 field's payload and the offset in it stand: after
            // the sizes, each there only when its 32-bit field is full.
            const unsigned char* payload = nullptr;
            std::size_t payloadLength = 0;
            const bool hasZip64Field =
                findExtra(h + CentralHeaderSize + nameLength, extraLength, Zip64ExtraId, &payload, &payloadLength);
            const std::size_t payloadAt = hasZip64Field ? static_cast<std::size_t>(payload - h) : 0;
            const std::size_t within = (get32(h + 24) == Full32 ? 8 : 0) + (get32(h + 20) == Full32 ? 8 : 0);
            const std::uint64_t moved = offset + delta;
            if (get32(h + 42) == Full32) {
                put64(h + payloadAt + within, moved);
            } else if (moved < Full32) {
                put32(h + 42, static_cast<std::uint32_t>(moved));
            } else {
                // The offset outgrew 32 bits: it moves into the ZIP64 field, which
                // is made when the entry had none.
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
                    throw Failure(writeError,
                                  QStringLiteral("Cannot write %1: an entry's extra data is too long to hold "
                                                 "a 64-bit offset")
                                      .arg(outPath));
                entry.insert(entry.begin() + static_cast<std::ptrdiff_t>(insertAt), grown.begin(), grown.end());
                h = entry.data();
                put16(h + 30, static_cast<std::uint16_t>(extraLength + grown.size()));
                put32(h + 42, Full32);
                if (get16(h + 6) < 45)
                    put16(h + 6, 45);
            }
            writer.write(entry.data(), entry.size());
            newCdSize += entry.size();
        });
    } catch (const ZipError& error) {
        throwCoreFailure(error, inPath);
    }
    // Whatever follows the last central header (a digital signature) is
    // part of the directory and carries no offsets.
    const std::uint64_t visited = newCdSize;
    if (visited < layout.cdSize) {
        const std::uint64_t length = layout.cdSize - visited;
        writer.flush();
        const int result = PosixFile::copyRange(in, static_cast<std::int64_t>(layout.cdStart + visited),
                                                static_cast<std::int64_t>(length), out);
        if (result == 1)
            readFailed(inPath);
        if (result == 2)
            writer.fail();
        newCdSize += length;
    }

    // An empty directory keeps offset 0, for the reason writeEmptyZip gives.
    if (newCdSize == 0 && !layout.hasZip64)
        newCdOffset = 0;
    const bool needZip64 = layout.hasZip64 || newCdOffset >= Full32 || newCdSize >= Full32;
    if (layout.hasZip64) {
        // The ZIP64 end record (with any extensible data) and the locator.
        const std::uint64_t length = layout.endPos - layout.zip64EndPos;
        if (length > (1 << 24))
            damaged(inPath, QStringLiteral("the ZIP64 end record is damaged"));
        std::vector<unsigned char> records(static_cast<std::size_t>(length));
        if (!PosixFile::readAt(in, records.data(), records.size(), static_cast<std::int64_t>(layout.zip64EndPos)))
            readFailed(inPath);
        put64(records.data() + 40, newCdSize);
        put64(records.data() + 48, newCdOffset);
        put64(records.data() + records.size() - Zip64LocatorSize + 8, newCdOffset + newCdSize);
        writer.write(records.data(), records.size());
    } else if (needZip64) {
        unsigned char records[Zip64EndSize + Zip64LocatorSize] = {};
        put32(records, Zip64EndSignature);
        put64(records + 4, Zip64EndSize - 12);
        put16(records + 12, 45);
        put16(records + 14, 45);
        put64(records + 24, layout.entryCount);
        put64(records + 32, layout.entryCount);
        put64(records + 40, newCdSize);
        put64(records + 48, newCdOffset);
        put32(records + Zip64EndSize, Zip64LocatorSignature);
        put64(records + Zip64EndSize + 8, newCdOffset + newCdSize);
        put32(records + Zip64EndSize + 16, 1);
        writer.write(records, sizeof records);
    }

    std::vector<unsigned char> end(static_cast<std::size_t>(EndSize + layout.commentLength));
    if (!PosixFile::readAt(in, end.data(), end.size(), static_cast<std::int64_t>(layout.endPos)))
        readFailed(inPath);
    const auto fit = [&](std::size_t at, std::uint64_t value) {
        if (value >= Full32 || (needZip64 && get32(end.data() + at) == Full32))
            put32(end.data() + at, Full32);
        else
            put32(end.data() + at, static_cast<std::uint32_t>(value));
    };
    fit(12, newCdSize);
    fit(16, newCdOffset);
    writer.write(end.data(), end.size());
    writer.flush();
}

void ZipLayout::writeEmptyZip(int out, const QString& outPath, std::int32_t writeError)
{
    // With no entries there is nothing for an offset to point at, and unzip
    // and 7-Zip reject an empty archive whose directory offset counts the
    // stub: they look for a central header there and find the end record.
    // Offset 0 (counting from the zip part) is what they accept.
    Writer writer(out, outPath, writeError);
    unsigned char end[EndSize] = {};
    put32(end, EndSignature);
    writer.write(end, sizeof end);
    writer.flush();
}
