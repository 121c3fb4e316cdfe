#include "Extractor.h"

#include "SfxError.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file being written, for the signal handler: an interrupted
// extraction must not leave it behind.
char g_pendingPath[PATH_MAX + 1];
volatile sig_atomic_t g_hasPending = 0;

void removePendingAndDie(int signal)
{
    if (g_hasPending)
        ::unlink(g_pendingPath);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void installSignalCleanup()
{
    struct sigaction action = {};
    action.sa_handler = removePendingAndDie;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signal, &action, nullptr);
}

// Owns a temporary file (or link) until it has been renamed into place;
// removes it otherwise.
class PendingFile
{
public:
    explicit PendingFile(const std::string& path)
        : m_path(path)
    {
        g_hasPending = 0;
        std::snprintf(g_pendingPath, sizeof g_pendingPath, "%s", path.c_str());
        g_hasPending = 1;
    }

    ~PendingFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_placed)
            ::unlink(m_path.c_str());
        g_hasPending = 0;
    }

    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    void setFd(int fd) { m_fd = fd; }
    int fd() const { return m_fd; }

    // Closing is where a full disk may finally show, so it is checked.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

    bool placeAs(const std::string& target)
    {
        if (::rename(m_path.c_str(), target.c_str()) != 0)
            return false;
        m_placed = true;
        return true;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_placed = false;
};

std::string errorText()
{
    return std::strerror(errno);
}

void writeAll(int fd, const char* data, std::size_t size, const std::string& path)
{
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            throw SfxError("cannot write " + path + ": " + errorText());
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
}

std::string relativePath(const std::vector<std::string>& parts)
{
    std::string path;
    for (const std::string& part : parts)
        path += (path.empty() ? "" : "/") + part;
    return path;
}

std::string folderOf(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

} // namespace

Extractor::Extractor(EntryReader& reader, const std::string& root)
    : m_reader(reader)
    , m_root(root)
{
    installSignalCleanup();
}

std::string Extractor::pathOf(const std::vector<std::string>& parts, std::size_t count) const
{
    std::string path = m_root;
    for (std::size_t i = 0; i < count; ++i)
        path += "/" + parts[i];
    return path;
}

void Extractor::makeFolders(const std::vector<std::string>& parts, std::size_t count)
{
    for (std::size_t i = 1; i <= count; ++i) {
        const std::string path = pathOf(parts, i);
        if (m_madeFolders.count(path))
            continue;
        if (::mkdir(path.c_str(), 0755) != 0) {
            const int error = errno;
            struct stat info;
            if (error != EEXIST)
                throw SfxError("cannot create folder " + path + ": " + std::strerror(error));
            if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
                throw SfxError("cannot create folder " + path + ": a file of that name is in the way");
        }
        m_madeFolders.insert(path);
    }
}

void Extractor::writeFile(const ZipEntry& entry)
{
    const std::size_t count = entry.parts.size();
    makeFolders(entry.parts, count - 1);
    const std::string target = pathOf(entry.parts, count);

    std::string temporary = folderOf(target) + "/.plvsfx-XXXXXX";
    const int fd = ::mkstemp(&temporary[0]);
    if (fd < 0)
        throw SfxError("cannot write into folder " + folderOf(target) + ": " + errorText());
    PendingFile pending(temporary);
    pending.setFd(fd);

    m_reader.readData(entry, [&](const char* data, std::size_t size) { writeAll(fd, data, size, target); });

    const struct timespec times[2] = {{entry.modified, 0}, {entry.modified, 0}};
    if (::fchmod(fd, entry.mode) != 0 || ::futimens(fd, times) != 0)
        throw SfxError("cannot set the permissions and time of " + target + ": " + errorText());
    if (!pending.close())
        throw SfxError("cannot write " + target + ": " + errorText());
    if (!pending.placeAs(target))
        throw SfxError("cannot put " + target + " in place: " + errorText());
}

void Extractor::writeLink(const ZipEntry& entry)
{
    const std::size_t count = entry.parts.size();
    makeFolders(entry.parts, count - 1);
    const std::string target = pathOf(entry.parts, count);

    // mkstemp makes files only; a link gets a name nobody else uses and
    // symlink() refuses to replace anything, so a clash just means trying on.
    std::string temporary;
    for (unsigned attempt = 0;; ++attempt) {
        temporary = folderOf(target) + "/.plvsfx-link-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        if (::symlink(entry.linkTarget.c_str(), temporary.c_str()) == 0)
            break;
        if (errno != EEXIST || attempt >= 1000)
            throw SfxError("cannot create link " + target + ": " + errorText());
    }
    PendingFile pending(temporary);

    const struct timespec times[2] = {{entry.modified, 0}, {entry.modified, 0}};
    if (::utimensat(AT_FDCWD, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw SfxError("cannot set the time of link " + target + ": " + errorText());
    if (!pending.placeAs(target))
        throw SfxError("cannot put link " + target + " in place: " + errorText());
}

void Extractor::finishFolders()
{
    std::stable_sort(m_folders.begin(), m_folders.end(),
                     [](const Folder& a, const Folder& b) { return a.depth > b.depth; });
    for (const Folder& folder : m_folders) {
        const struct timespec times[2] = {{folder.modified, 0}, {folder.modified, 0}};
        if (::chmod(folder.path.c_str(), folder.mode) != 0 || ::utimensat(AT_FDCWD, folder.path.c_str(), times, 0) != 0)
            throw SfxError("cannot set the permissions and time of folder " + folder.path + ": " + errorText());
    }
}

void Extractor::extract(const std::vector<ZipEntry>& entries)
{
    for (const ZipEntry& entry : entries) {
        if (entry.parts.empty() || entry.kind == ZipEntry::Kind::Link)
            continue; // "./" is the target folder itself; links come after all files
        const std::string shown = Text::printable(relativePath(entry.parts));
        if (entry.kind == ZipEntry::Kind::Folder) {
            std::printf("   creating: %s/\n", shown.c_str());
            makeFolders(entry.parts, entry.parts.size());
            m_folders.push_back(
                {pathOf(entry.parts, entry.parts.size()), entry.mode, entry.modified, entry.parts.size()});
        } else {
            std::printf(" extracting: %s\n", shown.c_str());
            writeFile(entry);
            m_written.push_back(relativePath(entry.parts));
        }
    }
    for (const ZipEntry& entry : entries) {
        if (entry.kind != ZipEntry::Kind::Link)
            continue;
        std::printf("    linking: %s -> %s\n", Text::printable(relativePath(entry.parts)).c_str(),
                    Text::printable(entry.linkTarget).c_str());
        writeLink(entry);
        m_written.push_back(relativePath(entry.parts));
    }
    finishFolders();
}
