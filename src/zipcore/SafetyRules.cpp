#include "SafetyRules.h"

#include "EntryNames.h"
#include "ZipError.h"

#include <unordered_set>

namespace zipcore {

namespace {

// The kernel gives up after 40 links in one lookup; so do we.
constexpr int MaxLinkHops = 40;

std::deque<std::string> splitSlashes(const std::string& path)
{
    std::deque<std::string> parts;
    std::string part;
    for (const char c : path) {
        if (c == '/') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

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
{}

std::string SafetyRules::fullPath(const std::vector<std::string>& parts) const
{
    return (m_root == "/" ? std::string() : m_root) + "/" + joinParts(parts, parts.size());
}

const std::string* SafetyRules::diskLink(const std::string& key)
{
    auto found = m_diskCache.find(key);
    if (found == m_diskCache.end())
        found = m_diskCache.emplace(key, m_disk.linkAt(key)).first;
    return found->second ? &*found->second : nullptr;
}

bool SafetyRules::belowRoot(std::string& path) const
{
    // An absolute link stays inside only when it names the root or a path
    // below it, written out: the text is compared before anything in it is
    // followed, which errs on the side of refusing.
    if (m_rootReal.empty())
        return false;
    if (m_rootReal == "/")
        path = path.substr(1);
    else if (path == m_rootReal)
        path.clear();
    else if (path.compare(0, m_rootReal.size() + 1, m_rootReal + "/") == 0)
        path = path.substr(m_rootReal.size() + 1);
    else
        return false;
    return true;
}

bool SafetyRules::resolve(Path& current, std::deque<std::string> pending, bool followLinkEntries)
{
    // The joined form of `current` is kept along, since it is the key of
    // every lookup and joining afresh each time would cost the square of the
    // depth.
    std::string key = joinParts(current, current.size());
    const auto drop = [&]() {
        key.resize(current.size() > 1 ? key.size() - current.back().size() - 1 : 0);
        current.pop_back();
    };
    int hops = 0;
    while (!pending.empty()) {
        const std::string part = pending.front();
        pending.pop_front();
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (current.empty())
                return false;
            drop();
            continue;
        }
        key += (current.empty() ? "" : "/") + part;
        current.push_back(part);

        // A link entry replaces whatever stands at its place on disk.
        const std::string* target = nullptr;
        if (followLinkEntries) {
            const auto entry = m_linkEntries.find(key);
            if (entry != m_linkEntries.end())
                target = &entry->second;
        }
        if (!target)
            target = diskLink(key);
        if (!target)
            continue;

        if (++hops > MaxLinkHops || target->empty())
            return false;
        drop();
        std::string rest = *target;
        if (rest[0] == '/') {
            if (!belowRoot(rest))
                return false;
            current.clear();
            key.clear();
        }
        const std::deque<std::string> more = splitSlashes(rest);
        pending.insert(pending.begin(), more.begin(), more.end());
    }
    return true;
}

void SafetyRules::check(const std::vector<PlannedEntry>& entries)
{
    // First: where each entry's folder really is, following the links
    // already on disk.
    std::vector<Path> resolved(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PlannedEntry& entry = entries[i];
        if (entry.parts.empty())
            continue; // "./": the target folder itself
        Path folder;
        const std::deque<std::string> parents(entry.parts.begin(), entry.parts.end() - 1);
        if (!resolve(folder, parents, false))
            throw ZipError(ZipErrc::PathThroughLink, fullPath(entry.parts),
                           "its path leads outside the target folder through a symbolic link already there");
        Path full = folder;
        full.push_back(entry.parts.back());
        // A folder entry is entered, not replaced: a link standing at its
        // place must lead inside too.
        if (entry.kind == EntryKind::Folder && !resolve(folder, {entry.parts.back()}, false))
            throw ZipError(ZipErrc::PathThroughLink, fullPath(entry.parts),
                           "it names a symbolic link already there that leads outside the target folder");
        resolved[i] = full;
    }

    std::unordered_set<std::string> linkPaths;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind == EntryKind::Link) {
            const std::string key = joinParts(resolved[i], resolved[i].size());
            linkPaths.insert(key);
            m_linkEntries[key] = entries[i].linkTarget;
        }
    }

    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PlannedEntry& entry = entries[i];
        if (entry.kind == EntryKind::Link) {
            const std::string& target = entry.linkTarget;
            Path from(resolved[i].begin(), resolved[i].end() - (resolved[i].empty() ? 0 : 1));
            std::string rest = target;
            bool inside = !target.empty() && !climbsWithBackslashes(target) && !resolved[i].empty();
            if (inside && target[0] == '/') {
                inside = belowRoot(rest);
                from.clear();
            }
            if (!inside || !resolve(from, splitSlashes(rest), true))
                throw ZipError(ZipErrc::LinkOutside, entry.name + " -> " + target,
                               "the link leads outside the target folder (or through too many links)");
        }
        std::string prefix;
        for (std::size_t length = 1; length < resolved[i].size(); ++length) {
            prefix += (length > 1 ? "/" : "") + resolved[i][length - 1];
            if (linkPaths.count(prefix))
                throw ZipError(ZipErrc::PathThroughLink, fullPath(entry.parts),
                               "its path goes through the link entry \"" + prefix + "\"");
        }
    }
}

} // namespace zipcore
