#include "OpenArchive.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "FileSource.h"
#include "StructureCheck.h"
#include "ZipError.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

PosixFile::Descriptor openArchiveFile(const QString& path)
{
    struct stat st;
    if (::stat(PosixFile::encodeName(path).constData(), &st) != 0) {
        const PosixFile::SysResult failed = PosixFile::SysResult::fromErrno();
        if (failed.error() == ENOENT || failed.error() == ENOTDIR)
            throw EngineFailure::archiveNotFound(path);
        throw EngineFailure::archiveUnreadable(path, failed.cause());
    }
    if (!S_ISREG(st.st_mode))
        throw EngineFailure::notAnArchive(path);
    PosixFile::Descriptor fd = PosixFile::openForReading(path);
    if (!fd.isOpen())
        throw EngineFailure::archiveUnreadable(path, fd.openError().cause());
    return fd;
}

namespace {

// Runs `read` on the archive open as `fd`, turning the zip core's failures
// into the engine's, named by `path`.
template <typename Read>
auto readArchive(int fd, const QString& path, const Read& read)
{
    using zipcore::ZipError;
    try {
        zipcore::FileSource source(fd);
        if (source.lastError() != 0)
            throw ZipError(zipcore::ZipErrc::ReadFailed, std::string(), std::strerror(source.lastError()),
                           source.lastError());
        return read(source);
    } catch (const ZipError& error) {
        throw EngineFailure::fromCore(error, path);
    }
}

} // namespace

zipcore::Directory readArchiveDirectory(int fd, const QString& path, bool localTimes)
{
    return readArchive(fd, path,
                       [&](zipcore::FileSource& source) { return zipcore::readDirectory(source, localTimes); });
}

void walkArchiveDirectory(int fd, const QString& path, const std::function<void(const zipcore::Entry&)>& visit)
{
    readArchive(fd, path, [&](zipcore::FileSource& source) {
        zipcore::walkDirectory(source, [&](zipcore::Entry& entry) { visit(entry); });
    });
}

void checkArchiveStructure(int fd, const zipcore::Directory& directory, const QString& path)
{
    try {
        zipcore::FileSource source(fd);
        zipcore::checkStructure(source, directory);
    } catch (const zipcore::ZipError& error) {
        throw EngineFailure::fromCore(error, path);
    }
}

zipcore::Directory readCheckedDirectory(int fd, const QString& path)
{
    zipcore::Directory directory = readArchiveDirectory(fd, path, false);
    checkArchiveStructure(fd, directory, path);
    return directory;
}

std::vector<std::uint64_t> selectEntries(const zipcore::Directory& directory, const QString& fileSpec,
                                         const QString& archivePath)
{
    if (fileSpec.isEmpty())
        throw EngineFailure::emptySpec();
    std::vector<std::uint64_t> chosen;
    const bool all = fileSpec == QLatin1String("*.*");
    for (std::uint64_t i = 0; i < directory.entries.size(); ++i) {
        if (all || QString::fromUtf8(directory.entries[i].name.c_str()) == fileSpec)
            chosen.push_back(i);
    }
    if (chosen.empty() && !all)
        throw EngineFailure::entryNotFound(fileSpec, archivePath);
    return chosen;
}

OpenArchive::OpenArchive(const QString& path)
    : m_path(path)
    , m_file(openArchiveFile(path))
    , m_directory(readArchiveDirectory(m_file.get(), path))
{}

void OpenArchive::checkStructure() const
{
    checkArchiveStructure(m_file.get(), m_directory, m_path);
}

std::vector<std::uint64_t> OpenArchive::select(const QString& fileSpec) const
{
    return selectEntries(m_directory, fileSpec, m_path);
}
