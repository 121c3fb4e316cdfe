#ifndef PLOVERN_SFX_EXTRACTOR_H
#define PLOVERN_SFX_EXTRACTOR_H

#include "ZipEntry.h"

#include <ctime>
#include <set>
#include <string>
#include <vector>

// Writes checked entries into an existing target folder. Each file goes to a
// temporary name in its folder and is renamed into place only once complete
// with its size and CRC checked, so an interruption (failure or signal) leaves
// the files completed before it and nothing half-written. Links are created
// after all files, and folder times and permissions set last, deepest first,
// since writing into a folder changes its time and a read-only folder would
// refuse the files meant for it.
class Extractor
{
public:
    Extractor(EntryReader& reader, const std::string& root);

    // Throws SfxError naming the entry or file and the cause.
    void extract(const std::vector<ZipEntry>& entries);

    // Paths (relative to the root) of the files and links written so far.
    const std::vector<std::string>& written() const { return m_written; }

private:
    struct Folder
    {
        std::string path;
        unsigned mode;
        std::time_t modified;
        std::size_t depth;
    };

    std::string pathOf(const std::vector<std::string>& parts, std::size_t count) const;
    void makeFolders(const std::vector<std::string>& parts, std::size_t count);
    void writeFile(const ZipEntry& entry);
    void writeLink(const ZipEntry& entry);
    void finishFolders();

    EntryReader& m_reader;
    std::string m_root;
    std::set<std::string> m_madeFolders;
    std::vector<Folder> m_folders;
    std::vector<std::string> m_written;
};

#endif // PLOVERN_SFX_EXTRACTOR_H
