#include "Extractor.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "PathGuard.h"
#include "PosixFile.h"

#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::size_t readBufferSize = 1 << 20;
// Below this much data a second thread costs more than it saves.
constexpr std::int64_t parallelThreshold = 8 << 20;
// Longer link targets than this are not links anyone made on purpose.
constexpr std::int64_t maxLinkTarget = 4096;

QStringList splitForChecks(const QString& name)
{
    // A backslash separates folders for zippers on Windows; for the safety
    // checks it counts as a separator too, so "..\evil" is caught.
    QString unified = name;
    unified.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return unified.split(QLatin1Char('/'));
}

bool isUnsafeName(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return true;
    const QStringList parts = splitForChecks(name);
    // "C:" as the first part is an absolute Windows path.
    const QString& first = parts.first();
    if (first.size() == 2 && first.at(1) == QLatin1Char(':') && first.at(0).isLetter())
        return true;
    return parts.contains(QStringLiteral(".."));
}

[[noreturn]] void entryFailed(const QString& name, int zipError, int systemError)
{
    switch (zipError) {
        case ZIP_ER_ENCRNOTSUPP:
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_WRONGPASSWD:
            throw Failure(EngineError::EncryptedEntry,
                          QStringLiteral("Encrypted entries are not supported: %1").arg(name));
        case ZIP_ER_COMPNOTSUPP:
            throw Failure(EngineError::UnsupportedMethod,
                          QStringLiteral("Unsupported compression method in entry: %1").arg(name));
        case ZIP_ER_CRC:
            throw Failure(EngineError::CorruptEntry,
                          QStringLiteral("Entry is damaged (CRC check failed): %1").arg(name));
        default: {
            zip_error_t error;
            zip_error_init_with_code(&error, zipError);
            error.sys_err = systemError;
            const QString cause = ZipHandle::errorText(&error);
            zip_error_fini(&error);
            throw Failure(EngineError::CorruptEntry, QStringLiteral("Entry is damaged (%1): %2").arg(cause, name));
        }
    }
}

[[noreturn]] void writeFailed(const QString& path, int error)
{
    throw Failure(EngineError::CannotWriteFile,
                  QStringLiteral("Cannot write %1: %2").arg(path, PosixFile::errorText(error)));
}

[[noreturn]] void folderFailed(const QString& path, const QString& cause)
{
    throw Failure(EngineError::CannotCreateFolder, QStringLiteral("Cannot create folder %1: %2").arg(path, cause));
}

// Makes `path` and its missing parents; an existing folder (or a link to
// one) is accepted.
void makeFolder(const QString& path)
{
    const QByteArray name = PosixFile::encodeName(path);
    if (::mkdir(name.constData(), 0777) == 0)
        return;
    int error = errno;
    if (error == ENOENT) {
        const QString parent = PosixFile::folderOf(path);
        if (parent != path) {
            makeFolder(parent);
            if (::mkdir(name.constData(), 0777) == 0)
                return;
            error = errno;
        }
    }
    struct stat st;
    if (error == EEXIST && ::stat(name.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return;
        folderFailed(path, QStringLiteral("a file of that name is in the way"));
    }
    folderFailed(path, PosixFile::errorText(error));
}

timespec toTimespec(std::int64_t seconds)
{
    timespec t;
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = 0;
    return t;
}

} // namespace

Extractor::Extractor(const ArchiveReader& reader, const QString& targetFolder)
    : m_reader(reader)
    , m_target(targetFolder)
{
    while (m_target.size() > 1 && m_target.endsWith(QLatin1Char('/')))
        m_target.chop(1);
    m_canonicalTarget = PathGuard::canonicalFolder(m_target);
}

QByteArray Extractor::readLinkTarget(const EntryDetails& details) const
{
    const QString& name = details.info.name;
    if (details.info.normalSize <= 0 || details.info.normalSize > maxLinkTarget)
        throw Failure(EngineError::CorruptEntry, QStringLiteral("Entry is damaged (bad link target): %1").arg(name));
    ZipFilePtr file(zip_fopen_index(m_reader.zip(), details.index, 0));
    if (!file) {
        zip_error_t* error = zip_get_error(m_reader.zip());
        entryFailed(name, zip_error_code_zip(error), zip_error_code_system(error));
    }
    QByteArray target(static_cast<int>(details.info.normalSize), '\0');
    zip_int64_t got = 0;
    while (got < details.info.normalSize) {
        const zip_int64_t n =
            zip_fread(file.get(), target.data() + got, static_cast<zip_uint64_t>(target.size() - got));
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
    if (got != details.info.normalSize || tail != 0 || target.contains('\0'))
        throw Failure(EngineError::CorruptEntry, QStringLiteral("Entry is damaged (bad link target): %1").arg(name));
    return target;
}

Extractor::Job Extractor::prepare(zip_uint64_t index) const
{
    Job job;
    job.details = m_reader.details(index);
    const QString& name = job.details.info.name;
    if (isUnsafeName(name))
        throw Failure(EngineError::UnsafeEntryName, QStringLiteral("Refused unsafe entry name: %1").arg(name));
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part != QLatin1String("."))
            job.parts.append(part);
    }
    job.destination = m_target + QLatin1Char('/') + job.parts.join(QLatin1Char('/'));

    const bool unixMode = job.details.hasUnixMode;
    if (job.details.info.isFolder) {
        job.kind = Kind::Folder;
        job.mode = unixMode ? (job.details.unixMode & 0777) : 0755;
        return job;
    }
    job.kind = job.details.info.isLink ? Kind::Link : Kind::File;
    job.mode = unixMode ? (job.details.unixMode & 0777) : 0644;
    if (job.details.info.encrypted)
        throw Failure(EngineError::EncryptedEntry, QStringLiteral("Encrypted entries are not supported: %1").arg(name));
    if (!zip_compression_method_supported(job.details.method, 0))
        throw Failure(EngineError::UnsupportedMethod,
                      QStringLiteral("Unsupported compression method in entry: %1").arg(name));
    if (job.kind == Kind::Link)
        job.linkTarget = readLinkTarget(job.details);
    return job;
}

void Extractor::run(const std::vector<zip_uint64_t>& selection)
{
    // ---- Check everything before writing anything ----
    std::vector<Job> jobs;
    jobs.reserve(selection.size());
    PathGuard guard(m_canonicalTarget);
    for (const zip_uint64_t index : selection) {
        Job job = prepare(index);
        if (job.parts.isEmpty())
            continue; // "./" and the like name the target itself
        if (job.kind == Kind::Link)
            guard.addArchiveLink(job.parts, PosixFile::decodeName(job.linkTarget));
        jobs.push_back(std::move(job));
    }
    for (const Job& job : jobs) {
        // Files and folders are made before any link of the archive, so only
        // links already on disk lie on their way. A folder's own last part
        // is followed too: its time and mode are set through it.
        if (!guard.staysInside(job.parts, job.kind == Kind::Folder, false))
            throw Failure(EngineError::PathThroughLink,
                          QStringLiteral("Refused to write through a link that leads outside the target folder: %1")
                              .arg(job.destination));
        if (job.kind == Kind::Link && !guard.linkStaysInside(job.parts, PosixFile::decodeName(job.linkTarget)))
            throw Failure(EngineError::LinkOutsideTarget,
                          QStringLiteral("Refused link entry pointing outside the target folder: %1 -> %2")
                              .arg(job.details.info.name, PosixFile::decodeName(job.linkTarget)));
    }

    // ---- Write ----
    makeFolder(m_target);
    const QString canonical = PosixFile::canonicalPath(m_target);
    if (canonical.isEmpty())
        folderFailed(m_target, PosixFile::lastError());
    m_canonicalTarget = canonical;

    createFolders(jobs);
    std::vector<const Job*> files;
    for (const Job& job : jobs) {
        if (job.kind == Kind::File)
            files.push_back(&job);
    }
    writeFiles(files);
    for (const Job& job : jobs) {
        if (job.kind == Kind::Link)
            writeLink(job);
    }
    finishFolders(jobs);
}

void Extractor::createFolders(const std::vector<Job>& jobs)
{
    QSet<QString> made;
    for (const Job& job : jobs) {
        const int depth = job.kind == Kind::Folder ? job.parts.size() : job.parts.size() - 1;
        QString path = m_target;
        for (int i = 0; i < depth; ++i) {
            path += QLatin1Char('/') + job.parts.at(i);
            if (made.contains(path))
                continue;
            makeFolder(path);
            made.insert(path);
        }
    }
}

void Extractor::checkParentInside(const QString& destination, const QString& entryName) const
{
    // The backstop against a link that appeared after the checks: whatever
    // the folder really is, it must lie inside the target.
    const QString parent = PosixFile::canonicalPath(PosixFile::folderOf(destination));
    if (parent.isEmpty() || !(parent == m_canonicalTarget || parent.startsWith(m_canonicalTarget + QLatin1Char('/'))))
        throw Failure(EngineError::PathThroughLink,
                      QStringLiteral("Refused to write through a link that leads outside the target folder: %1 "
                                     "(entry %2)")
                          .arg(destination, entryName));
}

void Extractor::writeFiles(const std::vector<const Job*>& files)
{
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
        if (names.contains(job->destination))
            duplicates = true;
        names.insert(job->destination);
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

    const auto work = [&](zip_t* za, const std::vector<std::size_t>& share, Outcome& outcome) {
        std::vector<char> buffer(readBufferSize);
        for (const std::size_t position : share) {
            if (stop.load())
                return;
            const Job& job = *files[position];
            const QString& name = job.details.info.name;
            try {
                checkParentInside(job.destination, name);
                PosixFile::TempFile temp;
                if (!temp.create(PosixFile::folderOf(job.destination)))
                    writeFailed(job.destination, errno);
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
                    if (!PosixFile::writeAll(temp.fd(), buffer.data(), static_cast<std::size_t>(n)))
                        writeFailed(job.destination, errno);
                    written += n;
                    if (stop.load())
                        return; // another thread failed; the temporary file goes
                }
                if (written != job.details.info.normalSize)
                    throw Failure(EngineError::CorruptEntry,
                                  QStringLiteral("Entry is damaged (wrong size): %1").arg(name));
                const timespec times[2] = {toTimespec(job.details.mtime), toTimespec(job.details.mtime)};
                if (::fchmod(temp.fd(), job.mode) != 0 || ::futimens(temp.fd(), times) != 0)
                    writeFailed(job.destination, errno);
                if (!temp.close())
                    writeFailed(job.destination, errno);
                if (!temp.commit(job.destination))
                    writeFailed(job.destination, errno);
            } catch (const Failure& failure) {
                outcome.position = position;
                outcome.failure = failure;
                stop.store(true);
                return;
            } catch (const std::bad_alloc&) {
                outcome.position = position;
                outcome.failure = Failure(EngineError::CannotWriteFile,
                                          QStringLiteral("Cannot write %1: out of memory").arg(job.destination));
                stop.store(true);
                return;
            } catch (const std::exception& e) {
                // Nothing may leave a worker thread: it would end the program.
                outcome.position = position;
                outcome.failure = Failure(
                    EngineError::CannotWriteFile,
                    QStringLiteral("Cannot write %1: %2").arg(job.destination, QString::fromLocal8Bit(e.what())));
                stop.store(true);
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

void Extractor::writeLink(const Job& job)
{
    checkParentInside(job.destination, job.details.info.name);
    // A link is made under a temporary name and renamed over whatever stands
    // at its place, as files are.
    PosixFile::TempFile slot;
    if (!slot.create(PosixFile::folderOf(job.destination)))
        writeFailed(job.destination, errno);
    const QString temporary = slot.path();
    slot.discard();
    const QByteArray temporaryName = PosixFile::encodeName(temporary);
    if (::symlink(job.linkTarget.constData(), temporaryName.constData()) != 0)
        writeFailed(job.destination, errno);
    const timespec times[2] = {toTimespec(job.details.mtime), toTimespec(job.details.mtime)};
    ::utimensat(AT_FDCWD, temporaryName.constData(), times, AT_SYMLINK_NOFOLLOW);
    if (::rename(temporaryName.constData(), PosixFile::encodeName(job.destination).constData()) != 0) {
        const int error = errno;
        ::unlink(temporaryName.constData());
        writeFailed(job.destination, error);
    }
}

void Extractor::finishFolders(const std::vector<Job>& jobs)
{
    // Deepest first, after everything inside was written, so that writing
    // does not change a folder's time again and a read-only mode does not
    // stop the writing.
    std::vector<const Job*> folders;
    for (const Job& job : jobs) {
        if (job.kind == Kind::Folder)
            folders.push_back(&job);
    }
    std::stable_sort(folders.begin(), folders.end(),
                     [](const Job* a, const Job* b) { return a->parts.size() > b->parts.size(); });
    for (const Job* folder : folders) {
        const Job& job = *folder;
        const QByteArray name = PosixFile::encodeName(job.destination);
        struct stat st;
        if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue; // replaced by a link of the archive, which the link's rules covered
        const timespec times[2] = {toTimespec(job.details.mtime), toTimespec(job.details.mtime)};
        if (::chmod(name.constData(), job.mode) != 0 || ::utimensat(AT_FDCWD, name.constData(), times, 0) != 0)
            folderFailed(job.destination, PosixFile::lastError());
    }
}
