#ifndef PLOVERN_ZIPCORE_WIN_TARGETFOLDER_H
#define PLOVERN_ZIPCORE_WIN_TARGETFOLDER_H

#include "ExtractionSequence.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zipcore {

// Throws ZipError UnsafeName, naming `entryName`, when one of its parts
// cannot be a file name on Windows: a character Windows forbids (control
// characters, < > : " | ? *; a ":" would also write into a hidden stream of
// another file), a trailing dot or space (which Windows drops, so two names
// would meet), or a device name such as CON, NUL, COM1 or LPT1.
void checkWindowsName(const std::string& entryName, const EntryPath& parts);

// The folder an extraction writes into, on Windows. Windows has no lookup
// relative to an open folder in its documented interface, so every folder
// below the target is opened by path one level at a time, without following
// reparse points (FILE_FLAG_OPEN_REPARSE_POINT): a symbolic link, junction or
// mount point on the way is refused, and so is any folder whose final path
// (GetFinalPathNameByHandleW) does not lie below the target's. The folders
// on the path in use stay open, without FILE_SHARE_DELETE, so that none of
// them can be renamed or swapped for a link meanwhile; the paths built
// through them reach the same folders. Moving on to another path closes the
// folders the two do not share and opens (and checks) the new ones, so that
// the handles held never exceed the depth of one path, however many folders
// the archive has.
//
// Files are written under a temporary name in their final folder, marked to
// be deleted on close until they are complete (so that a failure, a kill or
// a crash leaves nothing half-written), then moved over whatever stands at
// their place (MoveFileExW with MOVEFILE_REPLACE_EXISTING). Times are set
// with SetFileTime.
//
// Link entries are not made here (makesLinks): creating symbolic links on
// Windows needs a privilege most users lack. Windows keeps no Unix modes, so
// the modes given are not used.
class WindowsTargetFolder : public TargetFolder
{
public:
    // `path`: UTF-8, absolute or relative to the current folder. Nothing is
    // made or opened yet: checks come first.
    explicit WindowsTargetFolder(const std::string& path);
    ~WindowsTargetFolder() override;
    WindowsTargetFolder(const WindowsTargetFolder&) = delete;
    WindowsTargetFolder& operator=(const WindowsTargetFolder&) = delete;

    // The absolute path, UTF-8, as shown to the user.
    const std::string& path() const { return m_path; }

    // Following reparse points on the way to the folder itself: the user
    // chose this path.
    void create() override;
    void makeFolders(const EntryPath& parts, std::size_t count) override;
    void writeFile(const EntryPath& parts, unsigned mode, std::int64_t mtime, const Produce& produce) override;

    bool makesLinks() const override { return false; }
    // Refused with CannotWrite: see makesLinks.
    void makeLink(const EntryPath& parts, const std::string& target, std::int64_t mtime) override;

    void finishFolder(const EntryPath& parts, unsigned mode, std::int64_t mtime) override;

    // A symbolic link, junction or mount point at `path` ("/"-joined parts):
    // its target is not read, so it counts as leading outside (an empty text).
    DiskEntry entryAt(const std::string& path) override;

    std::string fullPath(const EntryPath& parts, std::size_t count) const;

private:
    std::wstring longPath(const EntryPath& parts, std::size_t count) const;
    // Opens the folders parts[0, count) that are not open yet, closing first
    // those of the path in use beyond what the two share; returns the last
    // one's handle. With `make`, missing folders are made on the way.
    void* folder(const EntryPath& parts, std::size_t count, bool make = false);
    // Opens parts[0, index] whose parent, `id`, is the last folder held
    // open; `id` becomes its.
    void* openChild(std::size_t& id, const EntryPath& parts, std::size_t index);
    void closeFrom(std::size_t depth);
    bool inside(void* handle) const;
    void fillFile(void* file, const std::string& shown, std::int64_t mtime, const Produce& produce) const;

    std::string m_path;
    std::wstring m_long;  // \\?\ form of the absolute path
    std::wstring m_final; // the opened folder's final path, "\\?\"-prefixed
    void* m_root = nullptr;
    // Every folder below it met so far, by its parent's id (0 for the
    // target) and name: its own id.
    std::map<std::pair<std::size_t, std::string>, std::size_t> m_known;
    // The folders of the path in use, from the top, each with its id.
    std::vector<std::pair<std::size_t, void*>> m_held;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_WIN_TARGETFOLDER_H
