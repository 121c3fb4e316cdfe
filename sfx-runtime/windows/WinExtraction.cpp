#include "WinExtraction.h"

#include "EntryNames.h"
#include "SfxError.h"
#include "TargetFolder.h"

#include <algorithm>

namespace {

using zipcore::EntryKind;

} // namespace

WinExtraction::WinExtraction(AttachedZip& zip, const std::string& folder)
    : m_zip(zip)
    , m_folder(folder)
{}

void WinExtraction::check()
{
    try {
        AttachedZip::Plan plan = m_zip.plan(zipcore::checkWindowsName);
        m_plans = std::move(plan.plans);
        m_entries = std::move(plan.entries);
        m_total = plan.fileBytes;
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
            const std::string shown = zipcore::joinParts(plan.parts, plan.parts.size());
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
