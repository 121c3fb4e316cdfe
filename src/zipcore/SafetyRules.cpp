#include "SafetyRules.h"

#include "EntryNames.h"
#include "ZipError.h"

#include <algorithm>

namespace zipcore {

namespace {

// The kernel gives up after 40 links in one lookup; so do we.
constexpr int MaxLinkHops = 40;

// The longest target a symbolic link holds on Linux (PATH_MAX less the NUL).
constexpr std::size_t MaxLinkTarget = 4095;

// A target read with "\" as separator must not be absolute or climb either,
// the same rule as for entry names; it is followed below with "/" only, which
// is what the kernel will do with it.
bool climbsWithBackslashes(const std::string& target)
{
    if (target.find('\\') == std::string::npos)
        return false;
    if (target[0] == '\\')
        return true;
    std::string part;
    for (std::size_t i = 0; i <= target.size(); ++i) {
        if (i < target.size() && target[i] != '/' && target[i] != '\\') {
            part += target[i];
            continue;
        }
        if (part == "..")
            return true;
        part.clear();
    }
    return false;
}

} // namespace

SafetyRules::SafetyRules(std::string root, std::string rootReal, DiskLinks& disk)
    : m_root(std::move(root))
    , m_rootReal(std::move(rootReal))
    , m_disk(disk)
{
    Node top;
    top.diskBelow = true;
    m_nodes.push_back(top);
}

std::string SafetyRules::fullPath(const EntryPath& parts) const
{
    return (m_root == "/" ? std::string() : m_root) + "/" + parts.text();
}

std::string SafetyRules::pathOf(std::uint32_t node, std::string_view name) const
{
    std::vector<std::string_view> names;
    if (!name.empty())
        names.push_back(name);
    for (; node != 0; node = m_nodes[node].parent)
        names.push_back(m_nodes[node].name);
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty())
            path += '/';
        path += *it;
    }
    return path;
}

std::uint32_t SafetyRules::child(std::uint32_t node, std::string_view name, bool create)
{
    const auto found = m_children.find(ChildKey{node, name});
    if (found != m_children.end())
        return found->second;
    // Below a place where nothing stands on disk nothing stands either: no
    // node is needed there, and no question to the disk.
    const bool onDisk = m_nodes[node].diskBelow;
    if (!create && !onDisk)
        return NoNode;
    Node made;
    made.parent = node;
    made.name = name;
    if (onDisk) {
        DiskEntry entry = m_disk.entryAt(pathOf(node, name));
        if (entry.kind == DiskEntry::Kind::Link) {
            made.diskLink = static_cast<std::int32_t>(m_diskTargets.size());
            m_diskTargets.push_back(std::move(entry.linkTarget));
        }
        made.diskBelow = entry.kind == DiskEntry::Kind::Other;
    }
    const auto id = static_cast<std::uint32_t>(m_nodes.size());
    m_nodes.push_back(made);
    m_children.emplace(ChildKey{node, name}, id);
    return id;
}

std::uint32_t SafetyRules::place(const Position& folder, std::string_view name)
{
    std::uint32_t node = folder.node;
    for (const std::string_view part : folder.absent)
        node = child(node, part, true);
    return child(node, name, true);
}

bool SafetyRules::belowRoot(std::string_view& path) const
{
    // An absolute link stays inside only when it names the root or a path
    // below it, written out: the text is compared before anything in it is
    // followed, which errs on the side of refusing.
    if (m_rootReal.empty())
        return false;
    if (m_rootReal == "/")
        path.remove_prefix(1);
    else if (path == m_rootReal)
        path = std::string_view();
    else if (path.size() > m_rootReal.size() && path.compare(0, m_rootReal.size(), m_rootReal) == 0
             && path[m_rootReal.size()] == '/')
        path.remove_prefix(m_rootReal.size() + 1);
    else
        return false;
    return true;
}

SafetyRules::Walk SafetyRules::walk(Position& at, std::deque<std::string_view> pending, bool followLinkEntries)
{
    int hops = 0;
    while (!pending.empty()) {
        const std::string_view part = pending.front();
        pending.pop_front();
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!at.absent.empty())
                at.absent.pop_back();
            else if (at.node == 0)
                return Walk::Climbs;
            else
                at.node = m_nodes[at.node].parent;
            continue;
        }
        const std::uint32_t next = at.absent.empty() ? child(at.node, part, false) : NoNode;
        if (next == NoNode) {
            at.absent.push_back(part);
            continue;
        }

        // A link entry replaces whatever stands at its place on disk.
        const Node& node = m_nodes[next];
        const std::string* target = nullptr;
        if (followLinkEntries && node.linkEntry >= 0)
            target = &(*m_entries)[static_cast<std::size_t>(node.linkEntry)].linkTarget;
        else if (node.diskLink >= 0)
            target = &m_diskTargets[static_cast<std::size_t>(node.diskLink)];
        if (!target) {
            at.node = next;
            continue;
        }

        if (++hops > MaxLinkHops)
            return Walk::TooManyLinks;
        if (target->empty())
            return Walk::UnreadableLink;
        std::string_view rest = *target;
        if (rest[0] == '/') {
            if (!belowRoot(rest))
                return Walk::AbsoluteOutside;
            at.node = 0;
        }
        // Its parts go first, in their order.
        std::size_t end = rest.size();
        for (;;) {
            const std::size_t slash = end == 0 ? std::string_view::npos : rest.rfind('/', end - 1);
            const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
            pending.push_front(rest.substr(begin, end - begin));
            if (slash == std::string_view::npos)
                break;
            end = slash;
        }
    }
    return Walk::Inside;
}

std::string SafetyRules::diskCause(Walk walk) const
{
    switch (walk) {
        case Walk::TooManyLinks: return "its path goes through more than 40 symbolic links already there";
        case Walk::UnreadableLink: return "its path goes through a symbolic link already there that cannot be followed";
        default: return "its path leads outside the target folder through a symbolic link already there";
    }
}

std::string SafetyRules::linkCause(Walk walk, const std::string& target) const
{
    switch (walk) {
        case Walk::Climbs: return "the link leads outside the target folder";
        case Walk::AbsoluteOutside:
            if (m_rootReal.empty())
                return "the link leads outside the target folder (absolute targets are not followed here)";
            return "the link leads outside the target folder: an absolute target counts as inside only when it "
                   "starts with the target folder's real path, "
                + m_rootReal + "/, as written"
                + (target[0] == '/' ? "" : " (here the target of a link it goes through)");
        case Walk::TooManyLinks: return "the link goes through more than 40 links";
        case Walk::UnreadableLink: return "the link goes through a symbolic link that cannot be followed";
        case Walk::Inside: break;
    }
    return std::string();
}

void SafetyRules::check(const std::vector<PlannedEntry>& entries)
{
    m_entries = &entries;
    const auto folderOf = [](const PlannedEntry& entry) {
        std::deque<std::string_view> parts;
        for (std::size_t i = 0; i + 1 < entry.parts.size(); ++i)
            parts.push_back(entry.parts[i]);
        return parts;
    };

    // First: where each entry's folder really is, following the links
    // already on disk; each link entry takes its place there.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PlannedEntry& entry = entries[i];
        if (entry.parts.empty())
            continue; // "./": the target folder itself
        Position folder;
        const Walk found = walk(folder, folderOf(entry), false);
        if (found != Walk::Inside)
            throw ZipError(ZipErrc::PathThroughLink, fullPath(entry.parts), diskCause(found));
        // A folder entry is entered, not replaced: a link standing at its
        // place must lead inside too.
        Position inside = folder;
        if (entry.kind == EntryKind::Folder && walk(inside, {entry.parts.back()}, false) != Walk::Inside)
            throw ZipError(ZipErrc::PathThroughLink, fullPath(entry.parts),
                           "it names a symbolic link already there that leads outside the target folder");
        if (entry.kind == EntryKind::Link)
            m_nodes[place(folder, entry.parts.back())].linkEntry = static_cast<std::int32_t>(i);
    }

    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PlannedEntry& entry = entries[i];
        if (entry.parts.empty())
            continue;
        Position folder;
        walk(folder, folderOf(entry), false);
        if (entry.kind == EntryKind::Link) {
            const std::string& target = entry.linkTarget;
            const std::string shown = entry.name + " -> " + target;
            if (target.size() > MaxLinkTarget)
                throw ZipError(ZipErrc::CorruptEntry, entry.name,
                               "its link target is " + std::to_string(target.size())
                                   + " bytes long; a symbolic link holds at most " + std::to_string(MaxLinkTarget));
            if (target.empty())
                throw ZipError(ZipErrc::LinkOutside, shown, "the link's target is empty");
            if (climbsWithBackslashes(target))
                throw ZipError(ZipErrc::LinkOutside, shown,
                               "the link's target, read with \"\\\" as separator, is absolute or climbs");
            Position from = folder;
            std::string_view rest = target;
            Walk found = Walk::Inside;
            if (target[0] == '/') {
                from = Position();
                if (!belowRoot(rest))
                    found = Walk::AbsoluteOutside;
            }
            std::deque<std::string_view> parts;
            for (std::size_t begin = 0; found == Walk::Inside && begin <= rest.size();) {
                const std::size_t slash = std::min(rest.find('/', begin), rest.size());
                parts.push_back(rest.substr(begin, slash - begin));
                begin = slash + 1;
            }
            if (found == Walk::Inside)
                found = walk(from, std::move(parts), true);
            if (found != Walk::Inside)
                throw ZipError(ZipErrc::LinkOutside, shown, linkCause(found, target));
        }
        // The outermost link entry on the way, as the files are written
        // before any link is made.
        std::uint32_t through = NoNode;
        for (std::uint32_t node = folder.node; node != 0; node = m_nodes[node].parent) {
            if (m_nodes[node].linkEntry >= 0)
                through = node;
        }
        if (through != NoNode)
            throw ZipError(ZipErrc::PathThroughLink, fullPath(entry.parts),
                           "its path goes through \"" + pathOf(through)
                               + "\", a link entry of this archive: files are never written through the archive's "
                                 "own links");
    }
}

} // namespace zipcore
