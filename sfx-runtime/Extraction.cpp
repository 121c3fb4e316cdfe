#include "Extraction.h"

#include "EntryDecryption.h"
#include "EntryNames.h"
#include "SfxError.h"
#include "TargetFolder.h"
#include "Text.h"

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

// Writes the entries one at a time in archive order, printing a line for
// each as unzip does.
class Extraction::Sequence : public zipcore::ExtractionSequence
{
public:
    Sequence(Extraction& extraction, zipcore::PosixTargetFolder& target)
        : ExtractionSequence(target, extraction.m_plans, Files::InTurn)
        , m_extraction(extraction)
    {}

private:
    const zipcore::Entry& entry(std::size_t i) const { return *m_extraction.m_entries[i]; }
    std::string shown(std::size_t i) const { return plan(i).parts.text(); }

    unsigned mode(std::size_t i) const override { return entry(i).permissions(); }
    std::int64_t mtime(std::size_t i) const override { return AttachedZip::modified(entry(i)); }

    void entryReached(std::size_t i) override
    {
        if (plan(i).kind == EntryKind::Folder)
            std::printf("   creating: %s/\n", Text::printable(shown(i)).c_str());
    }

    void writeFiles(const std::vector<std::size_t>& files) override
    {
        for (const std::size_t i : files) {
            std::printf(" extracting: %s\n", Text::printable(shown(i)).c_str());
            const auto writeWith = [&](const std::string* password) {
                target().writeFile(plan(i).parts, mode(i), mtime(i), [&](const zipcore::TargetFolder::Write& write) {
                    m_extraction.m_zip.data().read(entry(i), write, password);
                });
            };
            zipcore::ActionPassword* password = m_extraction.m_zip.password();
            if (entry(i).encrypted() && password)
                password->write(entry(i), [&](const std::string& given) { writeWith(&given); });
            else
                writeWith(nullptr);
            m_extraction.m_written.push_back(shown(i));
        }
    }

    void makeLink(std::size_t i) override
    {
        std::printf("    linking: %s -> %s\n", Text::printable(shown(i)).c_str(),
                    Text::printable(plan(i).linkTarget).c_str());
        ExtractionSequence::makeLink(i);
        m_extraction.m_written.push_back(shown(i));
    }

    Extraction& m_extraction;
};

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
        zipcore::PosixTargetFolder target(m_folder);
        zipcore::SafetyRules(target.path(), target.realPath(), target).check(m_plans);
    } catch (const zipcore::ZipError& error) {
        throw SfxError(m_zip.describe(error));
    }
}

void Extraction::run()
{
    installSignalCleanup();
    zipcore::PosixTargetFolder target(m_folder);
    target.setPendingHook(notePending);
    try {
        Sequence(*this, target).run();
    } catch (const zipcore::ZipError& error) {
        std::fflush(stdout);
        throw SfxError(m_zip.describe(error, &m_written));
    }
}
