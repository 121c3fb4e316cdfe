#include "WinExtraction.h"

#include "EntryNames.h"
#include "SfxError.h"
#include "TargetFolder.h"

#include <algorithm>

namespace {

using zipcore::EntryKind;

std::string relativePath(const std::vector<std::string>& parts)
{
    return zipcore::joinParts(parts, parts.size());
}

} // namespace

WinExtraction::WinExtraction(AttachedZip& zip, const std::string& folder)
    : m_zip(zip)
    , m_folder(folder)
{}

void WinExtraction::check()
{
    m_plans.clear();
    m_entries.clear();
    m_total = 0;
    try {
        for (const zipcore::Entry& entry : m_zip.directory().entries) {
            zipcore::PlannedEntry plan;
            plan.name = entry.name;
            plan.kind = entry.kind;
            plan.parts = zipcore::entryParts(entry.name, entry.kind == EntryKind::Folder);
            zipcore::checkWindowsName(entry.name, plan.parts);
            if (entry.kind != EntryKind::Folder)
                zipcore::EntryData::checkReadable(entry);
            if (entry.kind == EntryKind::Link)
                plan.linkTarget = m_zip.data().linkTarget(entry);
            if (entry.kind == EntryKind::File)
                m_total += entry.size;
            if (plan.parts.empty())
                continue; // "./": the folder itself
            m_plans.push_back(std::move(plan));
            m_entries.push_back(&entry);
        }
        // Absolute link targets are Linux paths, which never name a folder
        // here: with no real root to compare them with, they all count as
        // leading outside.
        zipcore::TargetFolder target(m_folder);
        zipcore::SafetyRules(target.path(), std::string(), target).check(m_plans);
    } catch (const zipcore::ZipError& error) {
        throw SfxError(m_zip.describe(error));
    }
}

void WinExtraction::run(Observer& observer)
{
    zipcore::TargetFolder target(m_folder);
    std::uint64_t done = 0;
    try {
        target.create();
        for (std::size_t i = 0; i < m_plans.size(); ++i) {
            if (observer.cancelled())
                throw Cancelled();
            const zipcore::PlannedEntry& plan = m_plans[i];
            const zipcore::Entry& entry = *m_entries[i];
            const std::string shown = relativePath(plan.parts);
            if (plan.kind == EntryKind::Folder) {
                observer.entry("creating", shown + "/", std::string());
                target.makeFolders(plan.parts, plan.parts.size());
                continue;
            }
            if (plan.kind == EntryKind::Link) {
                observer.entry("skipping", shown, "link to " + plan.linkTarget + ", not made on Windows");
                ++m_skipped;
                continue;
            }
            target.makeFolders(plan.parts, plan.parts.size() - 1);
            observer.entry("extracting", shown, std::string());
            target.writeFile(plan.parts, AttachedZip::modified(entry), [&](const zipcore::TargetFolder::Write& write) {
                m_zip.data().read(entry, [&](const char* data, std::size_t size) {
                    if (observer.cancelled())
                        throw Cancelled();
                    write(data, size);
                    done += size;
                    observer.progress(done);
                });
            });
            m_written.push_back(shown);
        }
        // Deepest first, since writing into a folder changes its time.
        std::vector<std::size_t> folders;
        for (std::size_t i = 0; i < m_plans.size(); ++i) {
            if (m_plans[i].kind == EntryKind::Folder)
                folders.push_back(i);
        }
        std::stable_sort(folders.begin(), folders.end(), [&](std::size_t a, std::size_t b) {
            return m_plans[a].parts.size() > m_plans[b].parts.size();
        });
        for (const std::size_t i : folders)
            target.finishFolder(m_plans[i].parts, AttachedZip::modified(*m_entries[i]));
    } catch (const zipcore::ZipError& error) {
        throw SfxError(m_zip.describe(error));
    }
}
