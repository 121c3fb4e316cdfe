#include "EntryListing.h"

#include "EntryTimes.h"
#include "ZipDirectory.h"
#include "ZipFormat.h"

#include <algorithm>
#include <limits>

namespace {

QString methodName(std::uint16_t method)
{
    switch (method) {
        case 0: return QStringLiteral("Stored");
        case 1: return QStringLiteral("Shrunk");
        case 2:
        case 3:
        case 4:
        case 5: return QStringLiteral("Reduced");
        case 6: return QStringLiteral("Imploded");
        case 8: return QStringLiteral("Deflated");
        case 9: return QStringLiteral("Deflate64");
        case 12: return QStringLiteral("BZip2");
        case 14: return QStringLiteral("LZMA");
        case 93: return QStringLiteral("Zstandard");
        case 95: return QStringLiteral("XZ");
        case 98: return QStringLiteral("PPMd");
        case zipcore::MethodAes: return QStringLiteral("AES");
        default: return QStringLiteral("Method %1").arg(method);
    }
}

// Sizes are listed as signed 64-bit numbers; a stated size of 2^63 or more
// (no real entry, but a header may say so) shows as the largest one instead
// of a negative one.
std::int64_t listedSize(std::uint64_t size)
{
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(std::min(size, largest));
}

} // namespace

EntryInfo listedEntry(const zipcore::Entry& entry, const EntryTimes& times)
{
    EntryInfo info;
    info.name = QString::fromUtf8(entry.name.c_str());
    if (!entry.comment.empty())
        info.comment = QString::fromUtf8(entry.comment.c_str());
    info.normalSize = listedSize(entry.size);
    info.compressedSize = listedSize(entry.compressedSize);
    info.method = methodName(entry.method);
    info.modified = times.modified(entry);
    info.crc = entry.crc;
    info.encrypted = entry.encrypted();
    info.isFolder = entry.kind == zipcore::EntryKind::Folder;
    info.isLink = entry.kind == zipcore::EntryKind::Link;
    return info;
}
