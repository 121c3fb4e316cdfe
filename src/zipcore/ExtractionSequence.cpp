#include "ExtractionSequence.h"

#include <algorithm>

namespace zipcore {

ExtractionSequence::ExtractionSequence(TargetFolder& target, const std::vector<PlannedEntry>& plans, Files files)
    : m_target(target)
    , m_plans(plans)
    , m_files(files)
{}

void ExtractionSequence::run()
{
    m_target.create();
    placeEntries();
    makeLinks();
    finishFolders();
}

void ExtractionSequence::placeEntries()
{
    std::vector<std::size_t> files;
    for (std::size_t i = 0; i < m_plans.size(); ++i) {
        const PlannedEntry& entry = m_plans[i];
        entryReached(i);
        if (entry.kind == EntryKind::Folder) {
            m_target.makeFolders(entry.parts, entry.parts.size());
            continue;
        }
        if (entry.kind == EntryKind::Link && !m_target.makesLinks())
            continue;
        m_target.makeFolders(entry.parts, entry.parts.size() - 1);
        if (entry.kind != EntryKind::File)
            continue;
        if (m_files == Files::InTurn)
            writeFiles({i});
        else
            files.push_back(i);
    }
    if (m_files == Files::AfterFolders)
        writeFiles(files);
}

void ExtractionSequence::makeLinks()
{
    if (!m_target.makesLinks())
        return;
    for (std::size_t i = 0; i < m_plans.size(); ++i) {
        if (m_plans[i].kind == EntryKind::Link)
            makeLink(i);
    }
}

void ExtractionSequence::makeLink(std::size_t entry)
{
    const PlannedEntry& link = m_plans[entry];
    m_target.makeLink(link.parts, link.linkTarget, mtime(entry));
}

void ExtractionSequence::finishFolders()
{
    std::vector<std::size_t> folders;
    for (std::size_t i = 0; i < m_plans.size(); ++i) {
        if (m_plans[i].kind == EntryKind::Folder)
            folders.push_back(i);
    }
    std::stable_sort(folders.begin(), folders.end(),
                     [&](std::size_t a, std::size_t b) { return m_plans[a].parts.size() > m_plans[b].parts.size(); });
    for (const std::size_t i : folders)
        m_target.finishFolder(m_plans[i].parts, mode(i), mtime(i));
}

} // namespace zipcore
