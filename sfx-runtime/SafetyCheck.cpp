#include "SafetyCheck.h"

#include "SfxError.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

// The kernel gives up after 40 links in one lookup; so do we.
const int kMaxLinkHops = 40;

std::string join(const std::vector<std::string>& parts, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i)
            out += '/';
        out += parts[i];
    }
    return out;
}

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

// A link target read with "\" as separator must not be absolute or climb
// either, the same rule as for entry names; it is followed below with "/"
// only, which is what the kernel will do with it.
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

SfxError refused(const ZipEntry& entry, const std::string& reason)
{
    return SfxError("refusing entry \"" + entry.name + "\": " + reason + "; nothing was extracted");
}

} // namespace

SafetyCheck::SafetyCheck(const std::string& root)
    : m_root(root)
{
    char real[PATH_MAX];
    if (::realpath(root.c_str(), real))
        m_rootReal = real;
}

const std::string* SafetyCheck::diskLink(const std::string& key)
{
    auto found = m_disk.find(key);
    if (found == m_disk.end()) {
        DiskLink link;
        struct stat info;
        const std::string path = m_root + "/" + key;
        if (!m_rootReal.empty() && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            link.isLink = true;
            char target[PATH_MAX];
            const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
            // An unreadable link is kept with an empty target, which the walk
            // takes as leading outside: it cannot be shown to stay inside.
            if (length > 0 && static_cast<std::size_t>(length) < sizeof target)
                link.target.assign(target, static_cast<std::size_t>(length));
        }
        found = m_disk.emplace(key, link).first;
    }
    return found->second.isLink ? &found->second.target : nullptr;
}

bool SafetyCheck::resolve(Path& current, std::deque<std::string> pending, bool followLinkEntries)
{
    // The joined form of `current` is kept along, since it is the key of
    // every lookup and joining afresh each time would cost the square of the
    // depth.
    std::string key = join(current, current.size());
    auto drop = [&]() {
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

        if (++hops > kMaxLinkHops || target->empty())
            return false;
        drop();
        std::string rest = *target;
        if (!rest.empty() && rest[0] == '/') {
            // An absolute link stays inside only when it names the root or a
            // path below it.
            if (m_rootReal == "/") {
                rest = rest.substr(1);
            } else if (rest == m_rootReal) {
                rest.clear();
            } else if (rest.compare(0, m_rootReal.size() + 1, m_rootReal + "/") == 0) {
                rest = rest.substr(m_rootReal.size() + 1);
            } else {
                return false;
            }
            current.clear();
            key.clear();
        }
        std::deque<std::string> more = splitSlashes(rest);
        pending.insert(pending.begin(), more.begin(), more.end());
    }
    return true;
}

void SafetyCheck::check(const std::vector<ZipEntry>& entries)
{
    // First: each name on its own, and where its folder really is, following
    // the links already on disk.
    std::vector<Path> resolved(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ZipEntry& entry = entries[i];
        if (!entry.unsafeReason.empty())
            throw refused(entry, entry.unsafeReason);
        const std::string unreadable = EntryReader::unreadableReason(entry);
        if (!unreadable.empty())
            throw refused(entry, unreadable);
        if (entry.parts.empty())
            continue; // "./": the target folder itself

        Path folder;
        const std::deque<std::string> parents(entry.parts.begin(), entry.parts.end() - 1);
        if (!resolve(folder, parents, false))
            throw refused(entry, "its path leads outside the target folder through a symbolic link already there");
        Path full = folder;
        full.push_back(entry.parts.back());
        // A folder entry is entered, not replaced: a link standing at its
        // place must lead inside too.
        if (entry.kind == ZipEntry::Kind::Folder && !resolve(folder, {entry.parts.back()}, false))
            throw refused(entry, "it names a symbolic link already there that leads outside the target folder");
        resolved[i] = full;
    }

    std::unordered_set<std::string> linkPaths;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind == ZipEntry::Kind::Link) {
            const std::string key = join(resolved[i], resolved[i].size());
            linkPaths.insert(key);
            m_linkEntries[key] = entries[i].linkTarget;
        }
    }

    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ZipEntry& entry = entries[i];
        std::string prefix;
        for (std::size_t length = 1; length < resolved[i].size(); ++length) {
            prefix += (length > 1 ? "/" : "") + resolved[i][length - 1];
            if (linkPaths.count(prefix))
                throw refused(entry, "its path goes through the link entry \"" + prefix + "\"");
        }
        if (entry.kind != ZipEntry::Kind::Link)
            continue;

        const std::string& target = entry.linkTarget;
        if (target.empty() || target[0] == '/' || climbsWithBackslashes(target))
            throw refused(entry, "it is a link to \"" + target + "\", outside the target folder");
        Path from(resolved[i].begin(), resolved[i].end() - 1);
        if (!resolve(from, splitSlashes(target), true))
            throw refused(entry,
                          "it is a link to \"" + target
                              + "\", which leads outside the target folder (or through too many links)");
    }
}
