#ifndef PLOVERN_ZIPLAYOUT_H
#define PLOVERN_ZIPLAYOUT_H

#include "EngineErrors.h"
#include "ZipDirectory.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// The engine's side of where the zip data of a file lies: reading it through
// the zip core, and writing a zip part at another place (after a stub, say)
// with its offsets moved.
namespace ZipLayout {

// Reads the end records and the central directory of an open file. Throws
// NotAnArchive when there is no end record and ArchiveUnreadable when the
// records contradict themselves or reading fails; `path` names the file.
// Without `localTimes`, entries take their times from the central directory
// alone (the local headers are not read).
zipcore::Directory read(int fd, const QString& path, bool localTimes = true);

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

} // namespace ZipLayout

#endif // PLOVERN_ZIPLAYOUT_H
