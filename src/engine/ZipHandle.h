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

// Owned libzip handles. A zip_t is discarded (never written) when its owner
// goes away; writing happens only through an explicit, checked zip_close.
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

// Opens a plain archive (no stub) for changing; ZIP_CREATE when `create`.
ZipPtr openForWriting(const QString& path, bool create);

// Opens an archive for changing without letting libzip near the file
// system: libzip reads the archive's first `length` bytes from the open file
// `in` (an empty archive when `length` is 0) and, at zip_close, writes the
// changed archive into `out`, which it creates in `folder`. The caller puts
// `out` in place afterwards, once zip_close succeeded; when zip_close had
// nothing to write, `out` was never created. `in` and `out` must outlive the
// handle. Throws NotAnArchive or ArchiveUnreadable naming `path`.
ZipPtr openForRewriting(int in, std::int64_t length, const QString& folder, PosixFile::TempFile& out,
                        const QString& path);

// Text for libzip's last failure on `archive`, or for an error code.
QString errorText(zip_t* archive);
QString errorText(zip_error_t* error);
QString errorText(int zipError);

} // namespace ZipHandle

#endif // PLOVERN_ZIPHANDLE_H
