#include "Extractor.h"

#include "EngineErrors.h"
#include "EntryNames.h"
#include "EntryReader.h"
#include "Failure.h"
#include "PosixFile.h"
#include "ProgressChannel.h"
#include "TargetFolder.h"
#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace {

using zipcore::EntryKind;

using Sink = std::function<void(const char* data, std::size_t size)>;

constexpr std::size_t readBufferSize = 1 << 20;
// Below this much data, and below this many files, a second thread costs
// more than it saves.
constexpr std::int64_t parallelBytes = 8 << 20;
constexpr std::size_t parallelFiles = 64;
// Longer link targets than this are not links anyone made on purpose.
constexpr std::int64_t maxLinkTarget = 4096;
// No file has failed yet.
constexpr std::size_t noFailure = std::numeric_limits<std::size_t>::max();

// Ends a worker's file early when an earlier file has failed.
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

// Reads an entry of a method EntryReader does not decode through libzip,
// which checks the CRC once the data is read to its end.
void readThroughLibzip(zip_t* za, const EntryDetails& details, std::vector<char>& buffer, const Sink& sink)
{
    const QString& name = details.info.name;
    ZipFilePtr file(zip_fopen_index(za, details.index, 0));
    if (!file) {
        zip_error_t* error = zip_get_error(za);
        entryFailed(name, zip_error_code_zip(error), zip_error_code_system(error));
    }
    std::int64_t got = 0;
    while (true) {
        const zip_int64_t n = zip_fread(file.get(), buffer.data(), buffer.size());
        if (n < 0) {
            zip_error_t* error = zip_file_get_error(file.get());
            entryFailed(name, zip_error_code_zip(error), zip_error_code_system(error));
        }
        if (n == 0)
            break;
        if (n > details.info.normalSize - got)
            throw EngineFailure::corruptEntry(name, QStringLiteral("wrong size"));
        sink(buffer.data(), static_cast<std::size_t>(n));
        got += n;
    }
    if (got != details.info.normalSize)
        throw EngineFailure::corruptEntry(name, QStringLiteral("wrong size"));
}

} // namespace

Extractor::Extractor(const ArchiveReader& reader, const QString& targetFolder, ProgressChannel& progress)
    : m_reader(reader)
    , m_target(targetFolder)
    , m_progress(progress)
{}

void Extractor::checkLocalHeader(const EntryDetails& details) const
{
    // A local header beyond the zip data means a damaged directory rather
    // than one damaged entry: the archive is refused before any of its data
    // is read.
    const zipcore::Layout& layout = m_reader.layout();
    if (!zipcore::fits(details.entry->localOffset, zipcore::LocalHeader::FixedSize,
                       layout.cdStart - std::min(layout.cdStart, layout.shift)))
        throw EngineFailure::archiveUnreadable(
            m_reader.path(), QStringLiteral("the local header of %1 lies outside the archive").arg(details.info.name));
}

std::string Extractor::readLinkTarget(const EntryDetails& details, std::unique_ptr<EntryReader>& reader) const
{
    const QString& name = details.info.name;
    checkLocalHeader(details);
    if (details.info.normalSize <= 0 || details.info.normalSize > maxLinkTarget)
        badLinkTarget(name);
    std::string target;
    const Sink append = [&target](const char* data, std::size_t size) { target.append(data, size); };
    if (EntryReader::handles(*details.entry)) {
        if (!reader)
            reader = std::make_unique<EntryReader>(m_reader.fd(), m_reader.layout());
        reader->read(*details.entry, append);
    } else {
        std::vector<char> buffer(static_cast<std::size_t>(maxLinkTarget));
        readThroughLibzip(m_reader.zip(), details, buffer, append);
    }
    if (target.find('\0') != std::string::npos)
        badLinkTarget(name);
    return target;
}

Extractor::Job Extractor::prepare(zip_uint64_t index, std::unique_ptr<EntryReader>& reader) const
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
    if (!EntryReader::handles(entry) && !zip_compression_method_supported(entry.method, 0))
        throw EngineFailure::unsupportedMethod(name);
    if (entry.kind == EntryKind::Link)
        job.plan.linkTarget = readLinkTarget(job.details, reader);
    return job;
}

void Extractor::run(const std::vector<zip_uint64_t>& selection)
{
    try {
        // ---- Check everything before writing anything ----
        std::vector<Job> jobs;
        jobs.reserve(selection.size());
        std::unique_ptr<EntryReader> linkReader;
        for (const zip_uint64_t index : selection) {
            Job job = prepare(index, linkReader);
            if (job.plan.parts.empty())
                continue; // "./" and the like name the target itself
            jobs.push_back(std::move(job));
        }
        linkReader.reset();
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
    bool viaLibzip = false;
    for (const Job* job : files) {
        checkLocalHeader(job->details);
        bytes += job->details.info.normalSize;
        viaLibzip = viaLibzip || !EntryReader::handles(*job->details.entry);
    }
    m_progress.setTotals(static_cast<std::int64_t>(files.size()), bytes);
    if (files.empty())
        return;

    // Two entries with the same name are left to one thread, so that the
    // later one wins, as it does when one thread writes them all. libzip's
    // handle serves one thread.
    bool duplicates = false;
    std::unordered_set<std::string> names;
    names.reserve(files.size());
    for (const Job* job : files) {
        if (!names.insert(zipcore::joinParts(job->plan.parts, job->plan.parts.size())).second) {
            duplicates = true;
            break;
        }
    }
    const bool parallel = files.size() > 1 && !duplicates && !viaLibzip
        && (bytes >= parallelBytes || files.size() >= parallelFiles) && std::thread::hardware_concurrency() > 1;

    // Everything that may throw happens before the second thread starts;
    // from then on failures travel only through the outcomes.
    zip_t* const za = viaLibzip ? m_reader.zip() : nullptr;
    struct Worker
    {
        std::unique_ptr<EntryReader> reader;
        std::vector<char> buffer;
        zipcore::TargetFolder::FolderCache folder;
        std::size_t failedPosition = noFailure;
        std::optional<Failure> failure;
    };
    std::vector<Worker> workers(parallel ? 2 : 1);
    for (Worker& worker : workers) {
        worker.reader = std::make_unique<EntryReader>(m_reader.fd(), m_reader.layout());
        if (za)
            worker.buffer.resize(readBufferSize);
    }

    // The files are taken in archive order, one at a time, by whichever
    // thread is free; so every file before a failing one has been taken when
    // it fails, and is completed.
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failedAt{noFailure};

    const auto writeOne = [&](Worker& worker, std::size_t position) {
        const Job& job = *files[position];
        const zipcore::Entry& entry = *job.details.entry;
        target.writeFile(
            job.plan.parts, entry.permissions(), job.details.mtime,
            [&](const zipcore::TargetFolder::Write& write) {
                const Sink sink = [&](const char* data, std::size_t size) {
                    // One thread would not have come this far.
                    if (position > failedAt.load())
                        throw Stopped(); // the temporary file goes
                    write(data, size);
                    m_progress.addBytes(static_cast<std::int64_t>(size));
                };
                if (za && !EntryReader::handles(entry))
                    readThroughLibzip(za, job.details, worker.buffer, sink);
                else
                    worker.reader->read(entry, sink);
            },
            &worker.folder);
    };

    const auto work = [&](Worker& worker) {
        const auto fail = [&](std::size_t position, Failure failure) {
            worker.failedPosition = position;
            worker.failure = std::move(failure);
            std::size_t seen = failedAt.load();
            while (position < seen && !failedAt.compare_exchange_weak(seen, position)) {}
        };
        while (failedAt.load() == noFailure && !m_progress.stopRequested()) {
            const std::size_t position = next.fetch_add(1);
            if (position >= files.size())
                return;
            const QString& name = files[position]->details.info.name;
            // Nothing may leave a worker thread: it would end the program.
            try {
                m_progress.setEntry(name);
                writeOne(worker, position);
                if (!m_progress.fileDone())
                    return;
            } catch (const Stopped&) {
                return;
            } catch (const zipcore::ZipError& error) {
                fail(position, EngineFailure::fromCore(error, m_reader.path()));
            } catch (const Failure& failure) {
                fail(position, failure);
            } catch (const std::bad_alloc&) {
                fail(position, EngineFailure::cannotWriteFile(name, QStringLiteral("out of memory")));
            } catch (const std::exception& e) {
                fail(position, EngineFailure::cannotWriteFile(name, QString::fromLocal8Bit(e.what())));
            }
        }
    };

    std::thread helper;
    std::atomic<bool> helped{false};
    if (workers.size() > 1) {
        try {
            helper = std::thread([&] {
                work(workers[1]);
                helped.store(true);
                m_progress.wake();
            });
        } catch (const std::system_error&) {
            // No second thread: this one does it all.
        }
    }
    work(workers[0]);
    if (helper.joinable()) {
        // The progress handler is still answered while the other thread
        // finishes its last file, which may be a long one.
        m_progress.waitHere([&] { return helped.load(); });
        helper.join();
    }

    // Report the failure of the earliest entry, as one thread would have.
    const Worker* first = nullptr;
    for (const Worker& worker : workers) {
        if (worker.failure && (!first || worker.failedPosition < first->failedPosition))
            first = &worker;
    }
    if (first)
        throw *first->failure;
}
