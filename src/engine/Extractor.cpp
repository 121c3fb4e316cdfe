#include "Extractor.h"

#include "EngineErrors.h"
#include "EntryNames.h"
#include "Failure.h"
#include "PosixFile.h"
#include "ProgressChannel.h"
#include "TargetFolder.h"
#include "ZipError.h"

#include <QSet>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

namespace {

using zipcore::EntryKind;

constexpr std::size_t readBufferSize = 1 << 20;
// Below this much data a second thread costs more than it saves.
constexpr std::int64_t parallelThreshold = 8 << 20;
// Longer link targets than this are not links anyone made on purpose.
constexpr std::int64_t maxLinkTarget = 4096;

// Ends a worker's file early when the other worker has failed.
struct Stopped
{};

[[noreturn]] void entryFailed(const QString& name, int zipError, int systemError)
{
    switch (zipError) {
        case ZIP_ER_ENCRNOTSUPP:
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_WRONGPASSWD: throw EngineFailure::encryptedEntry(name);
        case ZIP_ER_COMPNOTSUPP: throw EngineFailure::unsupportedMethod(name);
        case ZIP_ER_CRC: throw EngineFailure::corruptEntry(name, QStringLiteral("CRC check failed"));
        default: {
            zip_error_t error;
            zip_error_init_with_code(&error, zipError);
            error.sys_err = systemError;
            const QString cause = ZipHandle::errorText(&error);
            zip_error_fini(&error);
            throw EngineFailure::corruptEntry(name, cause);
        }
    }
}

[[noreturn]] void badLinkTarget(const QString& name)
{
    throw EngineFailure::corruptEntry(name, QStringLiteral("bad link target"));
}

} // namespace

Extractor::Extractor(const ArchiveReader& reader, const QString& targetFolder, ProgressChannel& progress)
    : m_reader(reader)
    , m_target(targetFolder)
    , m_progress(progress)
{}

std::string Extractor::readLinkTarget(const EntryDetails& details) const
{
    const QString& name = details.info.name;
    if (details.info.normalSize <= 0 || details.info.normalSize > maxLinkTarget)
        badLinkTarget(name);
    ZipFilePtr file(zip_fopen_index(m_reader.zip(), details.index, 0));
    if (!file) {
        zip_error_t* error = zip_get_error(m_reader.zip());
        entryFailed(name, zip_error_code_zip(error), zip_error_code_system(error));
    }
    std::string target(static_cast<std::size_t>(details.info.normalSize), '\0');
    zip_int64_t got = 0;
    while (got < details.info.normalSize) {
        const zip_int64_t n = zip_fread(file.get(), &target[static_cast<std::size_t>(got)],
                                        static_cast<zip_uint64_t>(details.info.normalSize - got));
        if (n < 0) {
            zip_error_t* error = zip_file_get_error(file.get());
            entryFailed(name, zip_error_code_zip(error), zip_error_code_system(error));
        }
        if (n == 0)
            break;
        got += n;
    }
    // Reading past the end lets libzip compare the CRC.
    char extra;
    const zip_int64_t tail = zip_fread(file.get(), &extra, 1);
    if (tail < 0) {
        zip_error_t* error = zip_file_get_error(file.get());
        entryFailed(name, zip_error_code_zip(error), zip_error_code_system(error));
    }
    if (got != details.info.normalSize || tail != 0 || target.find('\0') != std::string::npos)
        badLinkTarget(name);
    return target;
}

Extractor::Job Extractor::prepare(zip_uint64_t index) const
{
    Job job;
    job.details = m_reader.details(index);
    const zipcore::Entry& entry = *job.details.entry;
    const QString& name = job.details.info.name;
    job.plan.name = entry.name;
    job.plan.kind = entry.kind;
    job.plan.parts = zipcore::entryParts(entry.name, entry.kind == EntryKind::Folder);
    if (entry.kind == EntryKind::Folder)
        return job;
    if (entry.encrypted())
        throw EngineFailure::encryptedEntry(name);
    if (!zip_compression_method_supported(entry.method, 0))
        throw EngineFailure::unsupportedMethod(name);
    if (entry.kind == EntryKind::Link)
        job.plan.linkTarget = readLinkTarget(job.details);
    return job;
}

void Extractor::run(const std::vector<zip_uint64_t>& selection)
{
    try {
        // ---- Check everything before writing anything ----
        std::vector<Job> jobs;
        jobs.reserve(selection.size());
        for (const zip_uint64_t index : selection) {
            Job job = prepare(index);
            if (job.plan.parts.empty())
                continue; // "./" and the like name the target itself
            jobs.push_back(std::move(job));
        }
        zipcore::TargetFolder target(PosixFile::encodeName(m_target).toStdString());
        std::vector<zipcore::PlannedEntry> plans;
        plans.reserve(jobs.size());
        for (const Job& job : jobs)
            plans.push_back(job.plan);
        zipcore::SafetyRules(target.path(), target.realPath(), target).check(plans);

        // ---- Write ----
        target.create();
        std::vector<const Job*> files;
        for (const Job& job : jobs) {
            const std::vector<std::string>& parts = job.plan.parts;
            target.makeFolders(parts, job.plan.kind == EntryKind::Folder ? parts.size() : parts.size() - 1);
            if (job.plan.kind == EntryKind::File)
                files.push_back(&job);
        }
        writeFiles(target, files);
        // The files completed stay; links and folder times wait for a
        // whole extraction.
        if (m_progress.stopRequested() && m_progress.filesDone() < m_progress.filesTotal())
            throw StopRequested();
        for (const Job& job : jobs) {
            if (job.plan.kind == EntryKind::Link)
                target.makeLink(job.plan.parts, job.plan.linkTarget, job.details.mtime);
        }
        // Deepest first, after everything inside was written, so that
        // writing does not change a folder's time again and a read-only mode
        // does not stop the writing.
        std::vector<const Job*> folders;
        for (const Job& job : jobs) {
            if (job.plan.kind == EntryKind::Folder)
                folders.push_back(&job);
        }
        std::stable_sort(folders.begin(), folders.end(),
                         [](const Job* a, const Job* b) { return a->plan.parts.size() > b->plan.parts.size(); });
        for (const Job* folder : folders)
            target.finishFolder(folder->plan.parts, folder->details.entry->permissions(), folder->details.mtime);
    } catch (const zipcore::ZipError& error) {
        throw EngineFailure::fromCore(error, m_reader.path());
    }
}

void Extractor::writeFiles(const zipcore::TargetFolder& target, const std::vector<const Job*>& files) const
{
    std::int64_t bytes = 0;
    for (const Job* job : files)
        bytes += job->details.info.normalSize;
    m_progress.setTotals(static_cast<std::int64_t>(files.size()), bytes);
    if (files.empty())
        return;

    // Share the files out by size, each thread keeping archive order. Two
    // entries with the same name go to one thread so the later one wins, as
    // it does when one thread writes them all.
    std::int64_t total = 0;
    QSet<QString> names;
    bool duplicates = false;
    for (const Job* job : files) {
        total += job->details.info.normalSize;
        const QString path = QString::fromStdString(target.fullPath(job->plan.parts, job->plan.parts.size()));
        if (names.contains(path))
            duplicates = true;
        names.insert(path);
    }
    const bool parallel =
        files.size() > 1 && total >= parallelThreshold && !duplicates && std::thread::hardware_concurrency() > 1;
    std::vector<std::vector<std::size_t>> shares(parallel ? 2 : 1);
    std::int64_t load[2] = {0, 0};
    for (std::size_t i = 0; i < files.size(); ++i) {
        const int to = parallel && load[1] < load[0] ? 1 : 0;
        shares[to].push_back(i);
        load[to] += files[i]->details.info.normalSize + 4096;
    }

    std::atomic<bool> stop{false};
    struct Outcome
    {
        std::size_t position = 0;
        std::optional<Failure> failure;
    };
    std::vector<Outcome> outcomes(shares.size());

    const auto writeOne = [&](zip_t* za, const Job& job, std::vector<char>& buffer) {
        const QString& name = job.details.info.name;
        target.writeFile(job.plan.parts, job.details.entry->permissions(), job.details.mtime,
                         [&](const zipcore::TargetFolder::Write& write) {
                             ZipFilePtr file(zip_fopen_index(za, job.details.index, 0));
                             if (!file) {
                                 zip_error_t* error = zip_get_error(za);
                                 entryFailed(name, zip_error_code_zip(error), zip_error_code_system(error));
                             }
                             std::int64_t written = 0;
                             while (true) {
                                 const zip_int64_t n = zip_fread(file.get(), buffer.data(), buffer.size());
                                 if (n < 0) {
                                     zip_error_t* error = zip_file_get_error(file.get());
                                     entryFailed(name, zip_error_code_zip(error), zip_error_code_system(error));
                                 }
                                 if (n == 0)
                                     break;
                                 write(buffer.data(), static_cast<std::size_t>(n));
                                 written += n;
                                 m_progress.addBytes(n);
                                 if (stop.load())
                                     throw Stopped(); // another thread failed; the temporary file goes
                             }
                             if (written != job.details.info.normalSize)
                                 throw EngineFailure::corruptEntry(name, QStringLiteral("wrong size"));
                         });
    };

    const auto work = [&](zip_t* za, const std::vector<std::size_t>& share, Outcome& outcome) {
        std::vector<char> buffer(readBufferSize);
        for (const std::size_t position : share) {
            if (stop.load() || m_progress.stopRequested())
                return;
            const Job& job = *files[position];
            m_progress.setEntry(job.details.info.name);
            const auto fail = [&](Failure failure) {
                outcome.position = position;
                outcome.failure = std::move(failure);
                stop.store(true);
            };
            // Nothing may leave a worker thread: it would end the program.
            try {
                writeOne(za, job, buffer);
                if (!m_progress.fileDone())
                    return;
            } catch (const Stopped&) {
                return;
            } catch (const zipcore::ZipError& error) {
                fail(EngineFailure::fromCore(error, m_reader.path()));
                return;
            } catch (const Failure& failure) {
                fail(failure);
                return;
            } catch (const std::bad_alloc&) {
                fail(EngineFailure::cannotWriteFile(job.details.info.name, QStringLiteral("out of memory")));
                return;
            } catch (const std::exception& e) {
                fail(EngineFailure::cannotWriteFile(job.details.info.name, QString::fromLocal8Bit(e.what())));
                return;
            }
        }
    };

    // Everything that may throw happens before the second thread starts;
    // from then on failures travel only through the outcomes.
    zip_t* primary = m_reader.zip();
    if (shares.size() == 1) {
        work(primary, shares[0], outcomes[0]);
    } else {
        ZipPtr second = m_reader.reopen();
        std::thread helper(work, second.get(), std::cref(shares[1]), std::ref(outcomes[1]));
        work(primary, shares[0], outcomes[0]);
        helper.join();
    }

    // Report the failure of the earliest entry, as one thread would have.
    const Outcome* first = nullptr;
    for (const Outcome& outcome : outcomes) {
        if (outcome.failure && (!first || outcome.position < first->position))
            first = &outcome;
    }
    if (first)
        throw *first->failure;
}
