#ifndef PLOVERN_ZIPHANDLE_H
#define PLOVERN_ZIPHANDLE_H

#include "PosixFile.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <zip.h>

namespace zipcore {
struct Layout;
}

// Owned libzip handles, for reading entry data. A zip_t is discarded (never
// written) when its owner goes away: the engine writes archives itself.
struct ZipDiscard
{
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct ZipFileClose
{
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
struct ZipSourceFree
{
    void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDiscard>;
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileClose>;
using ZipSourcePtr = std::unique_ptr<zip_source_t, ZipSourceFree>;

namespace ZipHandle {

// Opens an archive read-only, the part that its offsets count from (so a
// stub in front is skipped whichever way the offsets were written).
ZipPtr openForReading(const QString& path, const zipcore::Layout& layout);

// Text for a libzip failure.
QString errorText(zip_error_t* error);

} // namespace ZipHandle

#endif // PLOVERN_ZIPHANDLE_H
