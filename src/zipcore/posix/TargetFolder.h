#ifndef PLOVERN_ZIPCORE_TARGETFOLDER_H
#define PLOVERN_ZIPCORE_TARGETFOLDER_H

#include "ExtractionSequence.h"
#include "UniqueFd.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zipcore {

// `path` with every link resolved; when it does not exist, its longest
// existing ancestor resolved and the rest appended, "." and ".." worked out
// as text. Empty when even that fails.
std::string realPath(const std::string& path);

// The folder an extraction writes into, reached through descriptors only.
// The folder itself is opened once; everything below it is opened relative
// to it with openat2(RESOLVE_BENEATH), so that no lookup can leave it, not
// even when a folder is swapped for a link while the extraction runs. Where
// that refuses a path, because a link on it is absolute or climbs back in,
// or where the kernel lacks openat2, the path is walked one part at a time
// with O_NOFOLLOW and the links on it followed by hand, under the same rules
// as the safety check's: so a link that the check let through is followed,
// and no other. Files are written without a name or
// under a temporary one in their final folder, and get their name (linked
// where the name is free, else renamed over what stands there) only once
// complete; modes and times are set on the open descriptors. Modes lose
// what the umask takes away, as with bsdtar; files lose setuid, setgid and
// sticky, folders setuid and setgid (a sticky folder stays one).
//
// writeFile, makeLink and finishFolder may run on several threads at once;
// makeFolders may not.
class PosixTargetFolder : public TargetFolder
{
public:
    // Nothing is made or opened yet: checks come first.
    explicit PosixTargetFolder(std::string path);

    const std::string& path() const { return m_path; }
    // The folder's path with every link resolved (realPath above), taken
    // once, so that the safety rules and the writing read absolute links
    // against the same path.
    const std::string& realPath() const { return m_real; }

    void create() override;
    void makeFolders(const EntryPath& parts, std::size_t count) override;

    // The folder the last file went into, kept open for the next file in
    // the same folder, which then needs no lookup. The descriptor keeps
    // naming the folder that was opened beneath the target even when its
    // path is swapped for a link afterwards. One per thread.
    class FolderCache
    {
    private:
        friend class PosixTargetFolder;
        std::string m_folder; // its parts joined with "/"
        std::size_t m_depth = 0;
        UniqueFd m_fd;
    };

    void writeFile(const EntryPath& parts, unsigned mode, std::int64_t mtime, const Produce& produce) override;
    // The same, taking the file's folder from `cache` when it is the same
    // and leaving it there for the next file.
    void writeFile(const EntryPath& parts, unsigned mode, std::int64_t mtime, const Produce& produce,
                   FolderCache& cache) const;

    bool makesLinks() const override { return true; }
    void makeLink(const EntryPath& parts, const std::string& target, std::int64_t mtime) override;

    // A link standing at the folder's place is left alone.
    void finishFolder(const EntryPath& parts, unsigned mode, std::int64_t mtime) override;

    // Told the folder and name of each temporary file while it exists, and
    // (-1, nullptr) once it is gone, so that a signal handler can remove it.
    void setPendingHook(std::function<void(int folderFd, const char* name)> hook) { m_pendingHook = std::move(hook); }

    DiskEntry entryAt(const std::string& path) override;

    std::string fullPath(const EntryPath& parts, std::size_t count) const;

private:
    UniqueFd openFolder(const EntryPath& parts, std::size_t count, bool lastMayBeLink = false) const;
    const UniqueFd& fileFolder(const EntryPath& parts, FolderCache* cache, UniqueFd& opened) const;
    void writeFileIn(const UniqueFd& folder, const EntryPath& parts, unsigned mode, std::int64_t mtime,
                     const Produce& produce) const;
    void nameFile(const UniqueFd& folder, UniqueFd& file, bool nameless, const EntryPath& parts,
                  std::string& temporary) const;
    void pending(int folderFd, const char* name) const;

    std::string m_path;
    std::string m_real;
    mode_t m_umask;
    UniqueFd m_root;
    // The folders last made or found by makeFolders, from the top: the next
    // path shares its start with them, as archives keep a folder's entries
    // together, and only the rest is walked. One path, never every folder
    // made, so that deep names cost memory for one of them only.
    EntryPath m_made;
    std::size_t m_madeCount = 0; // how many of m_made's parts stand
    std::function<void(int, const char*)> m_pendingHook;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_TARGETFOLDER_H
