#include "Extraction.h"

#include "EntryNames.h"
#include "SfxError.h"
#include "TargetFolder.h"
#include "Text.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

using zipcore::EntryKind;

// The temporary file being written, for the signal handler: an interrupted
// extraction must not leave it behind.
char g_pendingName[64];
volatile sig_atomic_t g_pendingFolder = -1;

void removePendingAndDie(int signal)
{
    if (g_pendingFolder >= 0)
        ::unlinkat(g_pendingFolder, g_pendingName, 0);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void notePending(int folderFd, const char* name)
{
    g_pendingFolder = -1;
    if (folderFd >= 0 && name) {
        std::snprintf(g_pendingName, sizeof g_pendingName, "%s", name);
        g_pendingFolder = folderFd;
    }
}

void installSignalCleanup()
{
    struct sigaction action = {};
    action.sa_handler = removePendingAndDie;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signal, &action, nullptr);
}

} // namespace

Extraction::Extraction(AttachedZip& zip, const std::string& folder)
    : m_zip(zip)
    , m_folder(folder)
{}

void Extraction::check()
{
    try {
        AttachedZip::Plan plan = m_zip.plan();
        m_plans = std::move(plan.plans);
        m_entries = std::move(plan.entries);
        zipcore::TargetFolder target(m_folder);
        zipcore::SafetyRules(target.path(), target.realPath(), target).check(m_plans);
    } catch (const zipcore::ZipError& error) {
        throw SfxError(m_zip.describe(error));
    }
}

void Extraction::run()
{
    installSignalCleanup();
    zipcore::TargetFolder target(m_folder);
    target.setPendingHook(notePending);
    try {
        target.create();
        for (std::size_t i = 0; i < m_plans.size(); ++i) {
            const zipcore::PlannedEntry& plan = m_plans[i];
            const zipcore::Entry& entry = *m_entries[i];
            const std::string shown = Text::printable(zipcore::joinParts(plan.parts, plan.parts.size()));
            if (plan.kind == EntryKind::Folder) {
                std::printf("   creating: %s/\n", shown.c_str());
                target.makeFolders(plan.parts, plan.parts.size());
                continue;
            }
            target.makeFolders(plan.parts, plan.parts.size() - 1);
            if (plan.kind == EntryKind::Link)
                continue; // links come last, so that nothing is written through one
            std::printf(" extracting: %s\n", shown.c_str());
            target.writeFile(plan.parts, entry.permissions(), AttachedZip::modified(entry),
                             [&](const zipcore::TargetFolder::Write& write) { m_zip.data().read(entry, write); });
            m_written.push_back(zipcore::joinParts(plan.parts, plan.parts.size()));
        }
        for (std::size_t i = 0; i < m_plans.size(); ++i) {
            const zipcore::PlannedEntry& plan = m_plans[i];
            if (plan.kind != EntryKind::Link)
                continue;
            std::printf("    linking: %s -> %s\n",
                        Text::printable(zipcore::joinParts(plan.parts, plan.parts.size())).c_str(),
                        Text::printable(plan.linkTarget).c_str());
            target.makeLink(plan.parts, plan.linkTarget, AttachedZip::modified(*m_entries[i]));
            m_written.push_back(zipcore::joinParts(plan.parts, plan.parts.size()));
        }
        // Deepest first, since writing into a folder changes its time and a
        // read-only folder would refuse what is meant for it.
        std::vector<std::size_t> folders;
        for (std::size_t i = 0; i < m_plans.size(); ++i) {
            if (m_plans[i].kind == EntryKind::Folder)
                folders.push_back(i);
        }
        std::stable_sort(folders.begin(), folders.end(), [&](std::size_t a, std::size_t b) {
            return m_plans[a].parts.size() > m_plans[b].parts.size();
        });
        for (const std::size_t i : folders)
            target.finishFolder(m_plans[i].parts, m_entries[i]->permissions(), AttachedZip::modified(*m_entries[i]));
    } catch (const zipcore::ZipError& error) {
        std::fflush(stdout);
        throw SfxError(m_zip.describe(error));
    }
}
