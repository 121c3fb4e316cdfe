#include "WinExtraction.h"

#include "EntryDecryption.h"
#include "EntryNames.h"
#include "SfxError.h"
#include "TargetFolder.h"

namespace {

using zipcore::EntryKind;

} // namespace

// Writes the entries one at a time in archive order, telling the observer of
// each and asking it whether to stop before each entry and each piece of
// data.
class WinExtraction::Sequence : public zipcore::ExtractionSequence
{
public:
    Sequence(WinExtraction& extraction, zipcore::WindowsTargetFolder& target, Observer& observer)
        : ExtractionSequence(target, extraction.m_plans, Files::InTurn)
        , m_extraction(extraction)
        , m_observer(observer)
    {}

private:
    const zipcore::Entry& entry(std::size_t i) const { return *m_extraction.m_entries[i]; }
    std::string shown(std::size_t i) const { return plan(i).parts.text(); }

    unsigned mode(std::size_t i) const override { return entry(i).permissions(); }
    std::int64_t mtime(std::size_t i) const override { return AttachedZip::modified(entry(i)); }

    void entryReached(std::size_t i) override
    {
        if (m_observer.cancelled())
            throw Cancelled();
        if (plan(i).kind == EntryKind::Folder) {
            m_observer.entry("creating", shown(i) + "/", std::string());
        } else if (plan(i).kind == EntryKind::Link) {
            m_observer.entry("skipping", shown(i), "link to " + plan(i).linkTarget + ", not made on Windows");
            ++m_extraction.m_skipped;
        }
    }

    void writeFiles(const std::vector<std::size_t>& files) override
    {
        for (const std::size_t i : files) {
            m_observer.entry("extracting", shown(i), std::string());
            const std::uint64_t before = m_done;
            const auto writeWith = [&](const std::string* password) {
                // A try with a wrong password counts for nothing.
                m_done = before;
                target().writeFile(plan(i).parts, mode(i), mtime(i), [&](const zipcore::TargetFolder::Write& write) {
                    m_extraction.m_zip.data().read(
                        entry(i),
                        [&](const char* data, std::size_t size) {
                            if (m_observer.cancelled())
                                throw Cancelled();
                            write(data, size);
                            m_done += size;
                            m_observer.progress(m_done);
                        },
                        password);
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

    WinExtraction& m_extraction;
    Observer& m_observer;
    std::uint64_t m_done = 0;
};

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
        zipcore::WindowsTargetFolder target(m_folder);
        zipcore::SafetyRules(target.path(), std::string(), target).check(m_plans);
    } catch (const zipcore::ZipError& error) {
        throw SfxError(m_zip.describe(error));
    }
}

void WinExtraction::run(Observer& observer)
{
    zipcore::WindowsTargetFolder target(m_folder);
    try {
        Sequence(*this, target, observer).run();
    } catch (const zipcore::ZipError& error) {
        throw SfxError(m_zip.describe(error, &m_written));
    }
}
