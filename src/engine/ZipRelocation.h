#ifndef PLOVERN_ZIPRELOCATION_H
#define PLOVERN_ZIPRELOCATION_H

#include "EngineErrors.h"
#include "ZipDirectory.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// Moving zip data to another place in a file (after a stub, say): every
// offset that counts from the start of the file changes with it.
namespace ZipRelocation {

// Copies the zip part of the file `in` (laid out as `layout`) to the current
// position of `out`, which is `outStart` bytes from the start of the output
// file, changing every offset (central headers, ZIP64 extra fields, end
// record, ZIP64 end record and locator) so that it counts from the start of
// the output file. A local-header offset that no longer fits 32 bits moves
// into a ZIP64 extra field, and ZIP64 end records are added when the central
// directory needs them. Streams through a fixed buffer. Read failures throw
// ArchiveUnreadable naming `inPath`, write failures what `writeFailure` makes
// of `outPath` and the cause. An archive without a comment gets
// `commentWhenNone` as its comment.
void copyZipPart(const zipcore::Layout& layout, int in, const QString& inPath, int out, const QString& outPath,
                 std::int64_t outStart, EngineFailure::WriteFailure writeFailure,
                 const QByteArray& commentWhenNone = QByteArray());

} // namespace ZipRelocation

#endif // PLOVERN_ZIPRELOCATION_H
