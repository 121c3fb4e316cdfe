#ifndef PLOVERN_ZIPCORE_SAFETYRULES_H
#define PLOVERN_ZIPCORE_SAFETYRULES_H

#include "EntryNames.h"
#include "ZipDirectory.h"

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zipcore {

// What stands at a path below the target folder.
struct DiskEntry
{
    enum class Kind {
        Nothing, // nothing stands there, so nothing below it either
        Link,    // a symbolic link
        Other,   // anything else, or what cannot be examined
    };
    Kind kind = Kind::Nothing;
    std::string linkTarget; // for a link; empty when it cannot be read
};

// What stands on disk below the target folder, as the rules need to know it.
class DiskLinks
{
public:
    virtual ~DiskLinks() = default;
    // What stands at `path` ("/"-joined parts below the target folder, each
    // part before the last a real folder).
    virtual DiskEntry entryAt(const std::string& path) = 0;
};

// One entry about to be extracted: its path below the target (entryParts),
// its kind, and for links the target stored as its data.
struct PlannedEntry
{
    std::string name; // as listed, for messages
    EntryPath parts;
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
//   "\" part that is absolute or climbs is refused like such a name; so is
//   a link that goes through more than 40 links, or through one whose
//   target cannot be read;
// - CorruptEntry: a link target longer than the 4,095 bytes a link holds.
// Each cause in the error says which of these it is.
class SafetyRules
{
public:
    // `root`: the target folder as the user named it, for messages;
    // `rootReal`: the same with every link resolved (it need not exist yet);
    // `disk` answers for what stands below it.
    SafetyRules(std::string root, std::string rootReal, DiskLinks& disk);

    void check(const std::vector<PlannedEntry>& entries);

private:
    static constexpr std::uint32_t NoNode = 0xffffffffu;

    // One place below the target folder that an entry, a link or the disk
    // has shown to matter: a tree of path parts, each node knowing its
    // parent, so that a name of any depth is walked once, part by part,
    // and nothing keeps a whole path per level.
    struct Node
    {
        std::uint32_t parent = NoNode;
        std::string_view name;
        std::int32_t linkEntry = -1; // the link entry made here
        std::int32_t diskLink = -1;  // index in m_diskTargets of the link on disk here
        bool diskBelow = false;      // something other than a link stands here, so more may stand below
    };
    struct ChildKey
    {
        std::uint32_t parent;
        std::string_view name;
        bool operator==(const ChildKey& other) const { return parent == other.parent && name == other.name; }
    };
    struct ChildHash
    {
        std::size_t operator()(const ChildKey& key) const
        {
            return std::hash<std::string_view>()(key.name) ^ (key.parent * 0x9e3779b97f4a7c15ull);
        }
    };
    // Where a walk stands: a node, then parts below it that neither the
    // archive's links nor the disk hold (so nothing there is a link).
    struct Position
    {
        std::uint32_t node = 0;
        std::vector<std::string_view> absent;
    };
    enum class Walk {
        Inside,
        Climbs,          // ".." above the target folder
        AbsoluteOutside, // an absolute target not below the target folder
        TooManyLinks,
        UnreadableLink, // a link whose target is empty or cannot be read
    };

    // Makes an absolute path relative to the root; false when it does not
    // lie below it.
    bool belowRoot(std::string_view& path) const;
    Walk walk(Position& at, std::deque<std::string_view> pending, bool followLinkEntries);
    std::uint32_t child(std::uint32_t node, std::string_view name, bool create);
    std::uint32_t place(const Position& folder, std::string_view name);
    std::string pathOf(std::uint32_t node, std::string_view name = {}) const;
    std::string diskCause(Walk walk) const;
    std::string linkCause(Walk walk, const std::string& target) const;

    std::string fullPath(const EntryPath& parts) const;

    std::string m_root;
    std::string m_rootReal;
    DiskLinks& m_disk;
    const std::vector<PlannedEntry>* m_entries = nullptr;
    std::vector<Node> m_nodes;
    std::unordered_map<ChildKey, std::uint32_t, ChildHash> m_children;
    std::deque<std::string> m_diskTargets; // a deque, so that views of them stay valid
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_SAFETYRULES_H
