#include "Extractor.h"

#include "EngineErrors.h"
#include "EntryData.h"
#include "EntryDecryption.h"
#include "EntryNames.h"
#include "Failure.h"
#include "FileSource.h"
#include "PosixFile.h"
#include "ProgressChannel.h"
#include "TargetFolder.h"
#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace {

using zipcore::EntryKind;

using Sink = std::function<void(const char* data, std::size_t size)>;

// Below this much data, and below this many files, a second thread costs
// more than it saves.
constexpr std::int64_t parallelBytes = 8 << 20;
constexpr std::size_t parallelFiles = 64;
// No file has failed yet.
constexpr std::size_t noFailure = std::numeric_limits<std::size_t>::max();

// Ends a worker's file early when an earlier file has failed.
struct Stopped
{};

QString nameOf(const zipcore::Entry& entry)
{
    return QString::fromStdString(zipcore::printableName(entry.name));
}

} // namespace

// The zip core's reader over the archive's descriptor, one per thread.
struct Extractor::Reader
{
    Reader(int fd, const zipcore::Layout& layout)
        : source(fd)
        , data(source, layout)
    {}

    zipcore::FileSource source;
    zipcore::EntryData data;
};

// The zip core's order with the engine's own way of writing files: all of
// them at once, once every folder is made, so that two threads can share
// them; links and folder times only after a whole extraction.
class Extractor::Sequence : public zipcore::ExtractionSequence
{
public:
    Sequence(const Extractor& extractor, zipcore::PosixTargetFolder& target,
             const std::vector<zipcore::PlannedEntry>& plans, const std::vector<Job>& jobs)
        : ExtractionSequence(target, plans, Files::AfterFolders)
        , m_extractor(extractor)
        , m_target(target)
        , m_jobs(jobs)
    {}

private:
    unsigned mode(std::size_t i) const override { return m_jobs[i].entry->permissions(); }
    std::int64_t mtime(std::size_t i) const override { return m_jobs[i].mtime; }

    void writeFiles(const std::vector<std::size_t>& files) override
    {
        std::vector<const Job*> jobs;
        jobs.reserve(files.size());
        for (const std::size_t i : files)
            jobs.push_back(&m_jobs[i]);
        m_extractor.writeFiles(m_target, jobs);
        // The files completed stay; links and folder times wait for a
        // whole extraction.
        ProgressChannel& progress = m_extractor.m_progress;
        if (progress.stopRequested() && progress.filesDone() < progress.filesTotal())
            throw StopRequested();
    }

    const Extractor& m_extractor;
    const zipcore::PosixTargetFolder& m_target;
    const std::vector<Job>& m_jobs;
};

// Writes the files on one thread per worker. The files are taken in archive
// order, one at a time, by whichever thread is free; so every file before a
// failing one has been taken when it fails, and is completed. A file gets its
// name only once every file before it has its own: one completed early waits
// unnamed, and goes when an earlier one fails, so that what stays is exactly
// what one thread would have left.
class Extractor::FileWriting
{
public:
    // Everything that may throw happens here, before a second thread starts;
    // from then on failures travel only through the workers.
    FileWriting(const Extractor& extractor, const zipcore::PosixTargetFolder& target,
                const std::vector<const Job*>& files, std::size_t threads)
        : m_extractor(extractor)
        , m_target(target)
        , m_files(files)
        , m_workers(threads)
    {
        for (Worker& worker : m_workers)
            worker.reader = std::make_unique<Reader>(extractor.m_archive.fd(), extractor.m_archive.layout());
    }

    // Throws the failure of the earliest file that failed, as one thread
    // would have.
    void run();

private:
    struct Worker
    {
        std::unique_ptr<Reader> reader;
        zipcore::PosixTargetFolder::FolderCache folder;
        std::size_t failedPosition = noFailure;
        std::optional<Failure> failure;
    };

    void work(Worker& worker);
    void writeOne(Worker& worker, std::size_t position);
    void fail(Worker& worker, std::size_t position, Failure failure);
    // Waits until every file before `position` is named; false when one of
    // them failed instead.
    bool awaitTurn(std::size_t position);
    void named(std::size_t position);
    bool turnCame(std::size_t position) const { return m_named.load() == position || m_failedAt.load() < position; }

    const Extractor& m_extractor;
    const zipcore::PosixTargetFolder& m_target;
    const std::vector<const Job*>& m_files;
    std::vector<Worker> m_workers;
    std::atomic<std::size_t> m_next{0};
    std::atomic<std::size_t> m_failedAt{noFailure};
    // How many files, from the first, have their names.
    std::atomic<std::size_t> m_named{0};
    std::mutex m_turnMutex;
    std::condition_variable m_turn;
};

void Extractor::FileWriting::run()
{
    ProgressChannel& progress = m_extractor.m_progress;
    std::thread helper;
    std::atomic<bool> helped{false};
    if (m_workers.size() > 1) {
        try {
            helper = std::thread([&] {
                work(m_workers[1]);
                helped.store(true);
                progress.wake();
            });
        } catch (const std::system_error&) {
            // No second thread: this one does it all.
        }
    }
    work(m_workers[0]);
    if (helper.joinable()) {
        // The progress handler is still answered while the other thread
        // finishes its last file, which may be a long one.
        progress.waitHere([&] { return helped.load(); });
        helper.join();
    }

    const Worker* first = nullptr;
    for (const Worker& worker : m_workers) {
        if (worker.failure && (!first || worker.failedPosition < first->failedPosition))
            first = &worker;
    }
    if (first)
        throw *first->failure;
}

void Extractor::FileWriting::work(Worker& worker)
{
    ProgressChannel& progress = m_extractor.m_progress;
    while (m_failedAt.load() == noFailure && !progress.stopRequested()) {
        const std::size_t position = m_next.fetch_add(1);
        if (position >= m_files.size())
            return;
        const QString& name = nameOf(*m_files[position]->entry);
        // Nothing may leave a worker thread: it would end the program.
        try {
            progress.setEntry(name);
            writeOne(worker, position);
            named(position);
            if (!progress.fileDone())
                return;
        } catch (const Stopped&) {
            return;
        } catch (const zipcore::ZipError& error) {
            fail(worker, position, EngineFailure::fromCore(error, m_extractor.m_archive.path()));
        } catch (const Failure& failure) {
            fail(worker, position, failure);
        } catch (const std::bad_alloc&) {
            fail(worker, position, EngineFailure::cannotWriteFile(name, QStringLiteral("out of memory")));
        } catch (const std::exception& e) {
            fail(worker, position, EngineFailure::cannotWriteFile(name, QString::fromLocal8Bit(e.what())));
        }
    }
}

void Extractor::FileWriting::writeOne(Worker& worker, std::size_t position)
{
    const Job& job = *m_files[position];
    const zipcore::Entry& entry = *job.entry;
    const auto writeWith = [&](const std::string* password) {
        const auto produce = [&](const zipcore::TargetFolder::Write& write) {
            const Sink sink = [&](const char* data, std::size_t size) {
                // One thread would not have come this far.
                if (position > m_failedAt.load())
                    throw Stopped(); // the temporary file goes
                write(data, size);
                m_extractor.m_progress.addBytes(static_cast<std::int64_t>(size));
            };
            worker.reader->data.read(entry, sink, password);
            // Complete and checked; it is named when it returns.
            if (!awaitTurn(position))
                throw Stopped(); // the temporary file goes
        };
        m_target.writeFile(job.planned->parts, entry.permissions(), job.mtime, produce, worker.folder);
    };
    if (entry.encrypted() && m_extractor.m_password)
        m_extractor.m_password->write(entry, [&](const std::string& password) { writeWith(&password); });
    else
        writeWith(nullptr);
}

bool Extractor::FileWriting::awaitTurn(std::size_t position)
{
    if (m_workers.size() == 1)
        return true;
    // Small files finish within moments of each other: a short spin spares
    // most of them a sleep and a wake-up.
    for (int spin = 0; spin < 4000 && !turnCame(position); ++spin)
        std::this_thread::yield();
    // The calling thread keeps answering the progress handler meanwhile;
    // any other thread just waits.
    m_extractor.m_progress.waitHere([&] { return turnCame(position); });
    std::unique_lock<std::mutex> lock(m_turnMutex);
    m_turn.wait(lock, [&] { return turnCame(position); });
    return m_failedAt.load() > position;
}

void Extractor::FileWriting::named(std::size_t position)
{
    {
        const std::lock_guard<std::mutex> lock(m_turnMutex);
        m_named.store(position + 1);
    }
    m_turn.notify_all();
    m_extractor.m_progress.wake();
}

void Extractor::FileWriting::fail(Worker& worker, std::size_t position, Failure failure)
{
    worker.failedPosition = position;
    worker.failure = std::move(failure);
    {
        const std::lock_guard<std::mutex> lock(m_turnMutex);
        std::size_t seen = m_failedAt.load();
        while (position < seen && !m_failedAt.compare_exchange_weak(seen, position)) {}
    }
    m_turn.notify_all();
    m_extractor.m_progress.wake();
}

Extractor::Extractor(const OpenArchive& archive, const QString& targetFolder, ProgressChannel& progress,
                     zipcore::PasswordSource* passwords)
    : m_archive(archive)
    , m_target(targetFolder)
    , m_progress(progress)
{
    if (passwords)
        m_password = std::make_unique<zipcore::ActionPassword>(*passwords);
}

Extractor::~Extractor() = default;

void Extractor::checkLocalHeader(const zipcore::Entry& entry) const
{
    // A local header beyond the zip data means a damaged directory rather
    // than one damaged entry: the archive is refused before any of its data
    // is read.
    const zipcore::Layout& layout = m_archive.layout();
    if (!zipcore::fits(entry.localOffset, zipcore::LocalHeader::FixedSize,
                       layout.cdStart - std::min(layout.cdStart, layout.shift)))
        throw EngineFailure::archiveUnreadable(
            m_archive.path(), QStringLiteral("the local header of %1 lies outside the archive").arg(nameOf(entry)));
}

std::string Extractor::readLinkTarget(const Job& job, std::unique_ptr<Reader>& reader) const
{
    checkLocalHeader(*job.entry);
    if (!reader)
        reader = std::make_unique<Reader>(m_archive.fd(), m_archive.layout());
    if (!job.entry->encrypted() || !m_password)
        return reader->data.linkTarget(*job.entry);
    std::string target;
    m_password->write(*job.entry,
                      [&](const std::string& password) { target = reader->data.linkTarget(*job.entry, &password); });
    return target;
}

Extractor::Job Extractor::prepare(std::uint64_t index, std::unique_ptr<Reader>& reader) const
{
    Job job;
    job.index = index;
    job.entry = &m_archive.entries()[index];
    job.mtime = m_times.seconds(*job.entry);
    const zipcore::Entry& entry = *job.entry;
    job.plan.name = entry.name;
    job.plan.kind = entry.kind;
    job.plan.parts = zipcore::entryParts(entry.name, entry.kind == EntryKind::Folder);
    if (entry.kind == EntryKind::Folder)
        return job;
    zipcore::EntryData::checkReadable(entry, m_password != nullptr);
    if (entry.kind == EntryKind::Link)
        job.plan.linkTarget = readLinkTarget(job, reader);
    return job;
}

std::vector<Extractor::Job> Extractor::prepareAll(const std::vector<std::uint64_t>& selection) const
{
    std::vector<Job> jobs;
    jobs.reserve(selection.size());
    std::unique_ptr<Reader> linkReader;
    for (const std::uint64_t index : selection) {
        Job job = prepare(index, linkReader);
        if (job.plan.parts.empty())
            continue; // "./" and the like name the target itself
        jobs.push_back(std::move(job));
    }
    return jobs;
}

void Extractor::run(const std::vector<std::uint64_t>& selection)
{
    try {
        // ---- Check everything before writing anything ----
        m_archive.checkStructure();
        std::vector<Job> jobs = prepareAll(selection);
        zipcore::PosixTargetFolder target(PosixFile::encodeName(m_target).toStdString());
        std::vector<zipcore::PlannedEntry> plans;
        plans.reserve(jobs.size());
        for (Job& job : jobs) {
            plans.push_back(std::move(job.plan));
            job.planned = &plans.back();
        }
        zipcore::SafetyRules(target.path(), target.realPath(), target).check(plans);

        // ---- Write ----
        Sequence(*this, target, plans, jobs).run();
    } catch (const zipcore::ZipError& error) {
        throw EngineFailure::fromCore(error, m_archive.path());
    }
}

void Extractor::writeFiles(const zipcore::PosixTargetFolder& target, const std::vector<const Job*>& files) const
{
    // The stated sizes, summed without overflowing: a header may state any
    // size up to 2^64 - 1, and the total saturates at the largest int64.
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t stated = 0;
    for (const Job* job : files) {
        checkLocalHeader(*job->entry);
        stated += std::min(job->entry->size, largest - stated);
    }
    const auto bytes = static_cast<std::int64_t>(stated);
    m_progress.setTotals(static_cast<std::int64_t>(files.size()), bytes);
    if (files.empty())
        return;
    // Encrypted entries may ask for a password, which only this thread may.
    const bool encrypted =
        std::any_of(files.begin(), files.end(), [](const Job* job) { return job->entry->encrypted(); });
    const bool parallel = files.size() > 1 && (bytes >= parallelBytes || files.size() >= parallelFiles)
        && std::thread::hardware_concurrency() > 1 && !encrypted && namesDiffer(files);
    FileWriting(*this, target, files, parallel ? 2 : 1).run();
}

bool Extractor::namesDiffer(const std::vector<const Job*>& files)
{
    // Two entries with the same name are left to one thread, so that the
    // later one wins, as it does when one thread writes them all.
    std::unordered_set<std::string_view> names;
    names.reserve(files.size());
    for (const Job* job : files) {
        if (!names.insert(job->planned->parts.text()).second)
            return false;
    }
    return true;
}
