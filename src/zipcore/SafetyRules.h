#ifndef PLOVERN_ZIPCORE_SAFETYRULES_H
#define PLOVERN_ZIPCORE_SAFETYRULES_H

#include "ZipDirectory.h"

#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace zipcore {

// What stands on disk below the target folder, as the rules need to know it.
class DiskLinks
{
public:
    virtual ~DiskLinks() = default;
    // The target of the link at `path` ("/"-joined parts below the target
    // folder, each part before the last a real folder), an empty text for a
    // link whose target cannot be read, nothing when no link stands there.
    virtual std::optional<std::string> linkAt(const std::string& path) = 0;
};

// One entry about to be extracted: its path below the target (entryParts),
// its kind, and for links the target stored as its data.
struct PlannedEntry
{
    std::string name; // as listed, for messages
    std::vector<std::string> parts;
    EntryKind kind = EntryKind::File;
    std::string linkTarget;
};

// Decides, before anything is written, whether every entry stays inside the
// target folder, resolving paths one part at a time as the kernel does:
// links first, then "..". Refused (ZipError, naming the entry):
// - PathThroughLink: a path that passes through a link already on disk
//   leading outside, or through a link entry of the same archive (links are
//   made last, so writing through one is never meant);
// - LinkOutside: a link entry whose target leads outside, following the
//   other link entries and the links on disk; an absolute target counts only
//   when it names the target folder or a path below it, and a target with a
//   "\" part that is absolute or climbs is refused like such a name.
class SafetyRules
{
public:
    // `root`: the target folder as the user named it, for messages;
    // `rootReal`: the same with every link resolved (it need not exist yet);
    // `disk` answers for what stands below it.
    SafetyRules(std::string root, std::string rootReal, DiskLinks& disk);

    void check(const std::vector<PlannedEntry>& entries);

private:
    using Path = std::vector<std::string>;

    // Makes an absolute path relative to the root; false when it does not
    // lie below it.
    bool belowRoot(std::string& path) const;
    bool resolve(Path& current, std::deque<std::string> pending, bool followLinkEntries);
    const std::string* diskLink(const std::string& key);

    std::string fullPath(const std::vector<std::string>& parts) const;

    std::string m_root;
    std::string m_rootReal;
    DiskLinks& m_disk;
    std::unordered_map<std::string, std::string> m_linkEntries; // resolved path of each link entry -> its target
    std::unordered_map<std::string, std::optional<std::string>> m_diskCache;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_SAFETYRULES_H
