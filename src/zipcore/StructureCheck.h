#ifndef PLOVERN_ZIPCORE_STRUCTURECHECK_H
#define PLOVERN_ZIPCORE_STRUCTURECHECK_H

#include "ByteSource.h"
#include "ZipDirectory.h"

namespace zipcore {

// The checks every reader makes before it writes anything from an archive
// (extraction, testing, an update that keeps entries, a self-extractor
// build); listing does without them. Each entry's local range is its local
// header, name, extra fields and compressed data. Throws ZipError Damaged,
// naming the entry, when
// - a local header cannot be read, or disagrees with its central header in
//   the name bytes, the method, or (without a data descriptor, flag bit 3
//   clear) the sizes, ZIP64 local sizes counting where the 32-bit fields
//   hold all ones: readers that trust one or the other would write
//   different files;
// - two local ranges overlap, or one reaches into the central directory or
//   what follows it: many central entries sharing one body make a small
//   archive write any amount of data.
// Reads each local header with one read as a rule; memory grows by two
// numbers per entry.
void checkStructure(ByteSource& source, const Directory& directory);

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_STRUCTURECHECK_H
