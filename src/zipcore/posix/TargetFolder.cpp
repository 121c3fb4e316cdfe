#include "TargetFolder.h"

#include "EntryNames.h"
#include "ZipError.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zipcore {

namespace {

constexpr int TemporaryAttempts = 100;

// Whether the kernel has openat2 (Linux 5.6 and later); asked once. With
// PLOVERN_NO_OPENAT2 set in the environment at start the walk below is taken
// as on older kernels, so that the tests can run it on this one.
std::atomic<int> g_openat2{std::getenv("PLOVERN_NO_OPENAT2") ? 0 : -1};

// The kernel gives up after 40 links in one lookup; so does the walk below.
constexpr int MaxLinkHops = 40;

// Opens the folder at parts[0, count) below `root` (whose path with every
// link resolved is `rootReal`) by hand, one part at a time from descriptors,
// following the links on the way itself: a relative link from the folder it
// stands in, an absolute one only when it names `rootReal` or a path below
// it, as the safety rules read it, and ".." by going back along the parts
// already walked, never above `root`. So a link that the rules let through
// is followed here too, whether or not the kernel has openat2, and nothing
// else is. -1 with errno set on failure: EXDEV when a link leads outside,
// ELOOP after too many links or when the last part is a link and
// `lastMayBeLink`.
int walkBeneath(int root, const std::string& rootReal, const EntryPath& parts, std::size_t count, bool lastMayBeLink)
{
    constexpr int stepFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // The parts still to walk, the next one last; `fromRequest` counts those
    // that are the caller's own (the rest come from links).
    std::vector<std::string> pending;
    pending.reserve(count);
    for (std::size_t i = count; i-- > 0;)
        pending.emplace_back(parts[i]);
    std::size_t fromRequest = count;
    std::vector<std::string> walked; // from the root, none of them a link
    UniqueFd current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    const auto reopen = [&]() {
        current.reset(::fcntl(root, F_DUPFD_CLOEXEC, 0));
        for (const std::string& part : walked) {
            if (!current.isOpen())
                return;
            current.reset(::openat(current.get(), part.c_str(), stepFlags));
        }
    };
    int hops = 0;
    while (!pending.empty() && current.isOpen()) {
        const std::string part = std::move(pending.back());
        pending.pop_back();
        const bool requested = pending.size() < fromRequest;
        if (requested)
            fromRequest = pending.size();
        const bool last = requested && fromRequest == 0;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (walked.empty()) {
                errno = EXDEV;
                return -1;
            }
            walked.pop_back();
            reopen();
            continue;
        }
        const int next = ::openat(current.get(), part.c_str(), stepFlags);
        if (next >= 0) {
            current.reset(next);
            walked.push_back(part);
            continue;
        }
        const int error = errno;
        char target[PATH_MAX];
        const ssize_t length =
            error == ELOOP || error == ENOTDIR ? ::readlinkat(current.get(), part.c_str(), target, sizeof target) : -1;
        if (length < 0) {
            errno = error;
            return -1;
        }
        if (last && lastMayBeLink) {
            errno = ELOOP;
            return -1;
        }
        if (++hops > MaxLinkHops || length == 0 || static_cast<std::size_t>(length) >= sizeof target) {
            errno = ELOOP;
            return -1;
        }
        std::string_view rest(target, static_cast<std::size_t>(length));
        if (rest[0] == '/') {
            if (rootReal.empty()) {
                errno = EXDEV;
                return -1;
            }
            if (rootReal == "/")
                rest.remove_prefix(1);
            else if (rest == rootReal)
                rest = std::string_view();
            else if (rest.size() > rootReal.size() && rest.compare(0, rootReal.size(), rootReal) == 0
                     && rest[rootReal.size()] == '/')
                rest.remove_prefix(rootReal.size() + 1);
            else {
                errno = EXDEV;
                return -1;
            }
            walked.clear();
            reopen();
        }
        // The link's parts go first, in their order.
        std::size_t end = rest.size();
        while (end > 0) {
            const std::size_t slash = rest.rfind('/', end - 1);
            const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
            pending.emplace_back(rest.substr(begin, end - begin));
            end = slash == std::string_view::npos ? 0 : slash;
        }
    }
    return current.release();
}

// Opens the folder at parts[0, count) below `root` without leaving it: -1
// with errno set on failure, EXDEV or ELOOP when a link on the way leads
// outside. openat2(RESOLVE_BENEATH) takes the whole path in one call; it
// refuses every absolute link and every ".." above where it started, also
// those that come back inside, and so does the kernel's lack of it: then
// the walk above decides.
int openBeneath(int root, const std::string& rootReal, const EntryPath& parts, std::size_t count, bool lastMayBeLink)
{
    if (count == 0)
        return ::fcntl(root, F_DUPFD_CLOEXEC, 0);
    if (g_openat2.load() != 0) {
        const std::string relative(parts.joined(count));
        struct open_how how = {};
        how.flags = static_cast<std::uint64_t>(O_RDONLY | O_DIRECTORY | O_CLOEXEC | (lastMayBeLink ? O_NOFOLLOW : 0));
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EXDEV && errno != ELOOP)) {
            g_openat2.store(1);
            return static_cast<int>(fd);
        }
        if (errno == ENOSYS)
            g_openat2.store(0);
    }
    return walkBeneath(root, rootReal, parts, count, lastMayBeLink);
}

// Whether linkat() names a nameless (O_TMPFILE) file through its own
// descriptor (AT_EMPTY_PATH), which Linux allows without a privilege since
// 6.10; else it goes through /proc. Learnt at the first link.
std::atomic<int> g_emptyPathLink{-1};

// Gives the nameless file `fd` the name `name` in `folder`: 0, or -1 with
// errno set (EEXIST when something stands there).
int linkNameless(int fd, int folder, const char* name)
{
    if (g_emptyPathLink.load() != 0) {
        if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) {
            g_emptyPathLink.store(1);
            return 0;
        }
        if (g_emptyPathLink.load() == 1 || (errno != ENOENT && errno != EPERM))
            return -1;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int linked = ::linkat(AT_FDCWD, self.c_str(), folder, name, AT_SYMLINK_FOLLOW);
    if (linked == 0)
        g_emptyPathLink.store(0);
    return linked;
}

timespec toTimespec(std::int64_t seconds)
{
    timespec t;
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = 0;
    return t;
}

std::string temporaryName()
{
    static std::atomic<unsigned> counter{0};
    unsigned random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random))
        random = static_cast<unsigned>(::getpid()) * 2654435761u;
    char name[40];
    std::snprintf(name, sizeof name, ".plovern-%08x%04x", random, counter.fetch_add(1) & 0xffff);
    return name;
}

// Calls `make` with fresh temporary names until one is free (it returns 0,
// or -1 with errno set): 0 with `name` set to the one taken, or the errno
// that ended the attempts.
int takeTemporaryName(const std::function<int(const char*)>& make, std::string& name)
{
    for (int attempt = 0; attempt < TemporaryAttempts; ++attempt) {
        const std::string candidate = temporaryName();
        if (make(candidate.c_str()) == 0) {
            name = candidate;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Writes all of `size` bytes: 0, or the errno of the failure.
int writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// The process's umask. /proc tells it without changing it; elsewhere it is
// set and set back, which a second thread creating a file meanwhile would
// notice, so it is read once per target folder, before any file is written.
mode_t currentUmask()
{
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned value = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &value) == 1;
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(value);
    }
    const mode_t old = ::umask(022);
    ::umask(old);
    return old;
}

} // namespace

PosixTargetFolder::PosixTargetFolder(std::string path)
    : m_path(std::move(path))
    , m_umask(currentUmask())
{
    while (m_path.size() > 1 && m_path.back() == '/')
        m_path.pop_back();
    m_real = zipcore::realPath(m_path);
}

std::string PosixTargetFolder::fullPath(const EntryPath& parts, std::size_t count) const
{
    if (count == 0)
        return m_path;
    return (m_path == "/" ? std::string() : m_path) + "/" + std::string(parts.joined(count));
}

std::string realPath(const std::string& path)
{
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd))
            return std::string();
        absolute = std::string(cwd) + "/" + absolute;
    }
    // The longest existing ancestor, resolved; the rest, which does not exist
    // and so holds no link, appended with "." and ".." worked out as text.
    std::vector<std::string> rest;
    std::string existing = absolute;
    char real[PATH_MAX];
    while (!::realpath(existing.c_str(), real)) {
        const std::size_t slash = existing.find_last_of('/');
        if (slash == std::string::npos || existing == "/")
            return std::string();
        rest.insert(rest.begin(), existing.substr(slash + 1));
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    std::string result = real;
    for (const std::string& part : rest) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            const std::size_t slash = result.find_last_of('/');
            result = slash == 0 ? "/" : result.substr(0, slash);
            continue;
        }
        result += (result == "/" ? "" : "/") + part;
    }
    return result;
}

void PosixTargetFolder::create()
{
    // mkdir -p: each missing ancestor in turn.
    const auto failed = [&](const std::string& path, int error) {
        return ZipError(
            ZipErrc::CannotCreateFolder, path,
            error == EEXIST || error == ENOTDIR ? "a file of that name is in the way" : std::strerror(error), error);
    };
    for (std::size_t slash = m_path.find('/', 1);; slash = m_path.find('/', slash + 1)) {
        const std::string part = m_path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            const int error = errno;
            struct stat st;
            if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                throw failed(part, error);
        }
        if (slash == std::string::npos)
            break;
    }
    m_root.reset(::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_root.isOpen())
        throw failed(m_path, errno);
}

UniqueFd PosixTargetFolder::openFolder(const EntryPath& parts, std::size_t count, bool lastMayBeLink) const
{
    UniqueFd fd(openBeneath(m_root.get(), m_real, parts, count, lastMayBeLink));
    if (fd.isOpen())
        return fd;
    const int error = errno;
    if (error == EXDEV || (error == ELOOP && !lastMayBeLink))
        throw ZipError(ZipErrc::PathThroughLink, fullPath(parts, count),
                       "a symbolic link on the way leads outside the target folder", error);
    if (error == ELOOP)
        return fd;
    throw ZipError(ZipErrc::CannotCreateFolder, fullPath(parts, count),
                   error == ENOTDIR ? "a file of that name is in the way" : std::strerror(error), error);
}

void PosixTargetFolder::makeFolders(const EntryPath& parts, std::size_t count)
{
    std::size_t i = 0;
    while (i < count && i < m_madeCount && m_made[i] == parts[i])
        ++i;
    if (i == count)
        return;
    m_made = parts;
    m_madeCount = i;
    // The first missing one's parent is opened beneath the target once; each
    // folder below is made in the one above it and opened from it, so that
    // the walk costs one step per part.
    UniqueFd parent = openFolder(parts, i);
    for (; i < count; ++i) {
        const std::string name(parts[i]);
        if (::mkdirat(parent.get(), name.c_str(), 0777) != 0 && errno != EEXIST)
            throw ZipError(ZipErrc::CannotCreateFolder, fullPath(parts, i + 1), std::strerror(errno), errno);
        UniqueFd next(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // A link stands there (one that the rules let through, leading
        // inside): it is followed beneath the target from the top.
        if (!next.isOpen())
            next = openFolder(parts, i + 1); // it is a folder, or leads to one inside
        parent = std::move(next);
        m_madeCount = i + 1;
    }
}

void PosixTargetFolder::pending(int folderFd, const char* name) const
{
    if (m_pendingHook)
        m_pendingHook(folderFd, name);
}

void PosixTargetFolder::writeFile(const EntryPath& parts, unsigned mode, std::int64_t mtime, const Produce& produce)
{
    UniqueFd opened;
    writeFileIn(fileFolder(parts, nullptr, opened), parts, mode, mtime, produce);
}

void PosixTargetFolder::writeFile(const EntryPath& parts, unsigned mode, std::int64_t mtime, const Produce& produce,
                                  FolderCache& cache) const
{
    UniqueFd opened;
    writeFileIn(fileFolder(parts, &cache, opened), parts, mode, mtime, produce);
}

const UniqueFd& PosixTargetFolder::fileFolder(const EntryPath& parts, FolderCache* cache, UniqueFd& opened) const
{
    const std::size_t depth = parts.size() - 1;
    // Parts hold no "/" and are never empty, so equal text means equal parts.
    if (cache && cache->m_fd.isOpen() && cache->m_depth == depth && cache->m_folder == parts.joined(depth))
        return cache->m_fd;
    opened = openFolder(parts, depth);
    if (!cache)
        return opened;
    cache->m_folder = parts.joined(depth);
    cache->m_depth = depth;
    cache->m_fd = std::move(opened);
    return cache->m_fd;
}

void PosixTargetFolder::writeFileIn(const UniqueFd& folder, const EntryPath& parts, unsigned mode, std::int64_t mtime,
                                    const Produce& produce) const
{
    const auto failed = [&](int error) {
        return ZipError(ZipErrc::CannotWrite, fullPath(parts, parts.size()), std::strerror(error), error);
    };
    // The file is written without a name where the file system allows it
    // (O_TMPFILE), so that a crash leaves nothing behind; once complete it
    // gets its name, or, when something stands there already, a temporary
    // name renamed over it. Elsewhere it has its temporary name from the
    // start. (/proc is the way to name a nameless file where linkat's
    // AT_EMPTY_PATH needs a privilege.)
    static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
    std::string temporary;
    UniqueFd file(procMounted ? ::openat(folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600) : -1);
    const bool nameless = file.isOpen();
    if (!nameless) {
        const int error = takeTemporaryName(
            [&](const char* name) {
                file.reset(::openat(folder.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
                return file.isOpen() ? 0 : -1;
            },
            temporary);
        if (error != 0)
            throw failed(error);
        pending(folder.get(), temporary.c_str());
    }

    try {
        produce([&](const char* data, std::size_t size) {
            const int error = writeAll(file.get(), data, size);
            if (error != 0)
                throw failed(error);
        });
        const timespec times[2] = {toTimespec(mtime), toTimespec(mtime)};
        if (::fchmod(file.get(), static_cast<mode_t>(mode) & 0777 & ~m_umask) != 0
            || ::futimens(file.get(), times) != 0)
            throw failed(errno);
        nameFile(folder, file, nameless, parts, temporary);
    } catch (...) {
        file.reset();
        if (!temporary.empty())
            ::unlinkat(folder.get(), temporary.c_str(), 0);
        pending(-1, nullptr);
        throw;
    }
    pending(-1, nullptr);
}

void PosixTargetFolder::nameFile(const UniqueFd& folder, UniqueFd& file, bool nameless, const EntryPath& parts,
                                 std::string& temporary) const
{
    const auto failed = [&](int error) {
        return ZipError(ZipErrc::CannotWrite, fullPath(parts, parts.size()), std::strerror(error), error);
    };
    const std::string finalName(parts.back());
    if (nameless) {
        if (linkNameless(file.get(), folder.get(), finalName.c_str()) == 0) {
            // A late write error reported by the close takes the file away
            // again.
            if (!file.close()) {
                const int error = errno;
                ::unlinkat(folder.get(), finalName.c_str(), 0);
                throw failed(error);
            }
            return;
        }
        if (errno != EEXIST)
            throw failed(errno);
        const int error = takeTemporaryName(
            [&](const char* name) {
                const int linked = linkNameless(file.get(), folder.get(), name);
                if (linked == 0)
                    pending(folder.get(), name);
                return linked;
            },
            temporary);
        if (error != 0)
            throw failed(error);
    }
    if (!file.close())
        throw failed(errno);
    if (::renameat(folder.get(), temporary.c_str(), folder.get(), finalName.c_str()) != 0)
        throw failed(errno);
}

void PosixTargetFolder::makeLink(const EntryPath& parts, const std::string& target, std::int64_t mtime)
{
    const std::string shown = fullPath(parts, parts.size());
    const UniqueFd folder = openFolder(parts, parts.size() - 1);
    std::string temporary;
    int error = EEXIST;
    for (int attempt = 0; attempt < TemporaryAttempts && error == EEXIST; ++attempt) {
        temporary = temporaryName();
        error = ::symlinkat(target.c_str(), folder.get(), temporary.c_str()) == 0 ? 0 : errno;
    }
    if (error != 0)
        throw ZipError(ZipErrc::CannotWrite, shown, std::strerror(error), error);
    const timespec times[2] = {toTimespec(mtime), toTimespec(mtime)};
    ::utimensat(folder.get(), temporary.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (::renameat(folder.get(), temporary.c_str(), folder.get(), std::string(parts.back()).c_str()) != 0) {
        error = errno;
        ::unlinkat(folder.get(), temporary.c_str(), 0);
        throw ZipError(ZipErrc::CannotWrite, shown, std::strerror(error), error);
    }
}

void PosixTargetFolder::finishFolder(const EntryPath& parts, unsigned mode, std::int64_t mtime)
{
    if (parts.empty())
        return;
    const UniqueFd folder = openFolder(parts, parts.size(), true);
    if (!folder.isOpen())
        return; // replaced by a link of the archive, which the link rules covered
    const timespec times[2] = {toTimespec(mtime), toTimespec(mtime)};
    if (::fchmod(folder.get(), static_cast<mode_t>(mode) & 01777 & ~m_umask) != 0
        || ::futimens(folder.get(), times) != 0)
        throw ZipError(ZipErrc::CannotCreateFolder, fullPath(parts, parts.size()), std::strerror(errno), errno);
}

DiskEntry PosixTargetFolder::entryAt(const std::string& path)
{
    const std::string full = (m_path == "/" ? std::string() : m_path) + "/" + path;
    DiskEntry entry;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            entry.kind = DiskEntry::Kind::Other; // there may be something there
        return entry;
    }
    if (!S_ISLNK(st.st_mode)) {
        entry.kind = DiskEntry::Kind::Other;
        return entry;
    }
    entry.kind = DiskEntry::Kind::Link;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(full.c_str(), target, sizeof target);
    // An unreadable link is taken as leading outside: it cannot be shown to
    // stay inside.
    if (length > 0 && static_cast<std::size_t>(length) < sizeof target)
        entry.linkTarget.assign(target, static_cast<std::size_t>(length));
    return entry;
}

} // namespace zipcore
