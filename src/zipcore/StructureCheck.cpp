#include "StructureCheck.h"

#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace zipcore {

namespace {

// Read with the fixed part and the name, so that a local header with a few
// extra fields (a timestamp, Unix ids, ZIP64 sizes) takes one read.
constexpr std::size_t ExtraAllowance = 256;

[[noreturn]] void damaged(const Entry& entry, const std::string& cause)
{
    throw ZipError(ZipErrc::Damaged, entry.name, cause);
}

// Reads `length` bytes at `at` into `buffer`, or throws naming `entry`.
void readInto(ByteSource& source, std::uint64_t at, std::vector<unsigned char>& buffer, std::size_t length,
              const Entry& entry)
{
    buffer.resize(length);
    if (source.readAt(at, buffer.data(), length))
        return;
    const int error = source.lastError();
    if (error == 0)
        damaged(entry, "its local header is missing or damaged");
    throw ZipError(ZipErrc::ReadFailed, entry.name, std::strerror(error), error);
}

} // namespace

void checkStructure(ByteSource& source, const Directory& directory)
{
    const Layout& layout = directory.layout;
    // Local ranges end where the central directory begins; whatever lies
    // from there on (the directory, the ZIP64 end records, the end record
    // and comment) belongs to no entry.
    const std::uint64_t limit = layout.cdStart;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    ranges.reserve(directory.entries.size());
    std::vector<unsigned char> buffer;

    for (const Entry& entry : directory.entries) {
        const std::uint64_t start = layout.shift + entry.localOffset;
        if (start < layout.shift || !fits(start, LocalHeader::FixedSize, limit))
            damaged(entry, "its local header lies outside the zip data");
        const std::uint64_t wanted = LocalHeader::FixedSize + entry.rawName.size() + ExtraAllowance;
        readInto(source, start, buffer, static_cast<std::size_t>(std::min(wanted, limit - start)), entry);
        const Parsed<std::size_t> length = localHeaderLength(buffer.data(), buffer.size());
        if (!length.ok())
            damaged(entry, length.error);
        if (!fits(start, length.record, limit))
            damaged(entry, "its local header reaches into the central directory");
        if (length.record > buffer.size())
            readInto(source, start, buffer, length.record, entry);
        const Parsed<LocalHeader> parsed = parseLocalHeader(buffer.data(), length.record);
        if (!parsed.ok())
            damaged(entry, parsed.error);
        const LocalHeader& local = parsed.record;

        if (local.name != entry.rawName)
            damaged(entry, "its local header names another entry");
        if (local.method != entry.method)
            damaged(entry, "its local header gives another compression method");
        if (!(entry.flags & FlagDataDescriptor)
            && (local.compressedSize != entry.compressedSize || local.size != entry.size))
            damaged(entry, "its local header gives other sizes");

        const std::uint64_t headerEnd = start + length.record;
        if (!fits(headerEnd, entry.compressedSize, limit))
            damaged(entry, "its data reaches into the central directory");
        ranges.emplace_back(start, headerEnd + entry.compressedSize);
    }

    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first < ranges[i - 1].second) {
            // Found by position; the central directory is walked once more
            // only now, to name an entry of the pair.
            const std::uint64_t clash = ranges[i].first;
            for (const Entry& entry : directory.entries) {
                if (layout.shift + entry.localOffset == clash)
                    damaged(entry, "its data overlaps another entry's");
            }
        }
    }
}

} // namespace zipcore
