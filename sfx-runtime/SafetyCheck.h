#ifndef PLOVERN_SFX_SAFETYCHECK_H
#define PLOVERN_SFX_SAFETYCHECK_H

#include "ZipEntry.h"

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

// Decides, before anything is written, whether every entry stays inside the
// target folder. Refused: names that are absolute or climb with ".." (with
// "\" counted as a separator too), entries that cannot be read (encrypted,
// unknown method), paths that would pass through a symbolic link already on
// disk leading outside, entries stored below a link entry of the same archive
// (links are created last, so writing through one is never meant), and link
// entries whose target leads outside, following the other link entries and
// the links on disk the way the kernel would.
class SafetyCheck
{
public:
    explicit SafetyCheck(const std::string& root);

    // Throws SfxError naming the first refused entry and why.
    void check(const std::vector<ZipEntry>& entries);

private:
    using Path = std::vector<std::string>;

    struct DiskLink
    {
        bool isLink = false;
        std::string target; // empty when it could not be read
    };

    // Walks `pending` from `current` like path resolution does, replacing
    // each link met by its target. False when the walk leaves the root or
    // meets too many links; `current` then holds where it stopped.
    bool resolve(Path& current, std::deque<std::string> pending, bool followLinkEntries);
    const std::string* diskLink(const std::string& key);

    std::string m_root;
    std::string m_rootReal; // the root with links resolved; empty while it does not exist
    std::unordered_map<std::string, std::string> m_linkEntries; // resolved path of each link entry -> its target
    std::unordered_map<std::string, DiskLink> m_disk;           // what stands on disk at each resolved path looked at
};

#endif // PLOVERN_SFX_SAFETYCHECK_H
