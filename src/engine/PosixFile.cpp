#include "PosixFile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace PosixFile {

QByteArray encodeName(const QString& path)
{
    return QFile::encodeName(path);
}

QString decodeName(const QByteArray& path)
{
    return QFile::decodeName(path);
}

SysResult SysResult::fromErrno(Side side)
{
    return failure(errno, side);
}

SysResult SysResult::failure(int error, Side side)
{
    SysResult result;
    result.m_error = error == 0 ? EIO : error;
    result.m_side = side;
    return result;
}

SysResult SysResult::endOfFile()
{
    SysResult result;
    result.m_error = EndOfFile;
    result.m_side = Side::Read;
    return result;
}

QString SysResult::cause() const
{
    if (m_error == EndOfFile)
        return QStringLiteral("unexpected end of file");
    return QString::fromLocal8Bit(std::strerror(m_error));
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept
{
    if (this != &other) {
        m_openError = other.m_openError;
        reset(other.release());
    }
    return *this;
}

int Descriptor::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void Descriptor::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

SysResult Descriptor::close()
{
    if (m_fd < 0)
        return SysResult();
    const int result = ::close(m_fd);
    m_fd = -1;
    return result == 0 ? SysResult() : SysResult::fromErrno();
}

Descriptor openForReading(const QString& path)
{
    return Descriptor(::open(encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
}

SysResult readUpTo(int fd, void* buffer, std::size_t length, std::int64_t offset, std::size_t* got)
{
    auto* out = static_cast<char*>(buffer);
    *got = 0;
    while (*got < length) {
        const ssize_t n = ::pread(fd, out + *got, length - *got, static_cast<off_t>(offset + *got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return SysResult::fromErrno(SysResult::Side::Read);
        if (n == 0)
            break;
        *got += static_cast<std::size_t>(n);
    }
    return SysResult();
}

SysResult readAt(int fd, void* buffer, std::size_t length, std::int64_t offset)
{
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(fd, out, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return SysResult::fromErrno(SysResult::Side::Read);
        }
        if (n == 0)
            return SysResult::endOfFile();
        out += n;
        length -= static_cast<std::size_t>(n);
        offset += n;
    }
    return SysResult();
}

namespace {

// Writes every byte, at `offset` or (when it is negative) at the file's
// position, retrying after short writes and interruptions.
SysResult writeEvery(int fd, const void* buffer, std::size_t length, std::int64_t offset)
{
    const auto* in = static_cast<const char*>(buffer);
    while (length > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, in, length) : ::pwrite(fd, in, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return SysResult::fromErrno();
        }
        in += n;
        length -= static_cast<std::size_t>(n);
        if (offset >= 0)
            offset += n;
    }
    return SysResult();
}

} // namespace

SysResult writeAll(int fd, const void* buffer, std::size_t length)
{
    return writeEvery(fd, buffer, length, -1);
}

SysResult writeAt(int fd, const void* buffer, std::size_t length, std::int64_t offset)
{
    return writeEvery(fd, buffer, length, offset);
}

namespace {

// Copies what it can of `length` bytes at `offset` of `in` to `out` through a
// pipe, moving `offset` and `length` on; fails only on a read or write
// error, and leaves what it could not copy (where splicing is not supported)
// to the caller.
SysResult spliceRange(int in, std::int64_t& offset, std::int64_t& length, int out)
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return SysResult();
    const Descriptor readEnd(pipeEnds[0]);
    const Descriptor writeEnd(pipeEnds[1]);
    constexpr int pipeSize = 1 << 20;
    const int capacity = std::max(::fcntl(writeEnd.get(), F_SETPIPE_SZ, pipeSize), 1 << 16);
    while (length > 0) {
        loff_t from = offset;
        const ssize_t inPipe =
            ::splice(in, &from, writeEnd.get(), nullptr,
                     static_cast<std::size_t>(std::min<std::int64_t>(length, capacity)), SPLICE_F_MOVE);
        if (inPipe < 0 && errno == EINTR)
            continue;
        if (inPipe < 0 && (errno == EINVAL || errno == ENOSYS))
            return SysResult(); // the buffered copy does it
        if (inPipe < 0)
            return SysResult::fromErrno(SysResult::Side::Read);
        if (inPipe == 0)
            return SysResult::endOfFile();
        ssize_t left = inPipe;
        while (left > 0) {
            const ssize_t written =
                ::splice(readEnd.get(), nullptr, out, nullptr, static_cast<std::size_t>(left), SPLICE_F_MOVE);
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0 && (errno == EINVAL || errno == ENOSYS)) {
                // The output takes no pages from a pipe: what was written
                // counts, the buffered copy does the rest.
                offset += inPipe - left;
                length -= inPipe - left;
                return SysResult();
            }
            if (written <= 0)
                return written == 0 ? SysResult::failure(EIO) : SysResult::fromErrno();
            left -= written;
        }
        offset += inPipe;
        length -= inPipe;
    }
    return SysResult();
}

} // namespace

SysResult copyRange(int in, std::int64_t offset, std::int64_t length, int out)
{
    // The kernel copies without bringing the data into this process (and
    // shares blocks on file systems that can); where it cannot, the buffered
    // loop below does the rest.
    while (length > 0) {
        loff_t from = offset;
        const ssize_t n = ::copy_file_range(in, &from, out, nullptr, static_cast<std::size_t>(length), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)
                break;
            if (errno == EFBIG || errno == ENOSPC || errno == EDQUOT)
                return SysResult::fromErrno();
            // Anything else: tell reading from writing with the buffered copy.
            break;
        }
        if (n == 0)
            break; // the input ended early: the buffered copy says so
        offset += n;
        length -= n;
    }
    if (length == 0)
        return SysResult();
    // Between file systems the kernel will not copy, but it still moves
    // pages from the input's cache into a pipe without copying them, which
    // leaves one copy instead of two (it is what the kernel's own copy does
    // within a file system).
    if (const SysResult spliced = spliceRange(in, offset, length, out); !spliced)
        return spliced;
    if (length == 0)
        return SysResult();

    constexpr std::size_t bufferSize = 1 << 20;
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::int64_t>(length, bufferSize)));
    while (length > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::int64_t>(length, bufferSize));
        if (const SysResult read = readAt(in, buffer.data(), chunk, offset); !read)
            return read;
        if (const SysResult written = writeAll(out, buffer.data(), chunk); !written)
            return written;
        offset += static_cast<std::int64_t>(chunk);
        length -= static_cast<std::int64_t>(chunk);
    }
    return SysResult();
}

namespace {

constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int RandomLetters = 6;
// The longest name most file systems allow.
constexpr int NameMax = 255;

// What every temporary name for the file `targetName` starts with: hidden,
// and naming the target, so that a leftover can be told apart from any
// other file (another archive's, an extraction's). A target name that would
// make the whole too long is replaced by its 64-bit FNV-1a hash.
QByteArray temporaryPrefix(const QString& targetName)
{
    const QByteArray target = encodeName(targetName);
    QByteArray prefix = QByteArray(".plovern-") + target + '-';
    if (prefix.size() + RandomLetters <= NameMax)
        return prefix;
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : target)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return QByteArray(".plovern-#") + QByteArray::number(static_cast<qulonglong>(hash), 16).rightJustified(16, '0')
        + '-';
}

QByteArray temporaryName(const QByteArray& prefix)
{
    unsigned char random[RandomLetters];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        const auto fallback =
            static_cast<std::uint64_t>(::getpid()) * 2654435761u ^ static_cast<std::uint64_t>(::time(nullptr));
        for (std::size_t i = 0; i < sizeof random; ++i)
            random[i] = static_cast<unsigned char>(fallback >> (8 * i));
    }
    QByteArray name = prefix;
    for (const unsigned char r : random)
        name += Letters[r % (sizeof Letters - 1)];
    return name;
}

bool isTemporaryName(const char* name, const QByteArray& prefix)
{
    const std::size_t length = std::strlen(name);
    if (length != static_cast<std::size_t>(prefix.size()) + RandomLetters
        || std::memcmp(name, prefix.constData(), static_cast<std::size_t>(prefix.size())) != 0)
        return false;
    for (std::size_t i = static_cast<std::size_t>(prefix.size()); i < length; ++i) {
        if (!std::strchr(Letters, name[i]))
            return false;
    }
    return true;
}

constexpr int NameAttempts = 100;

} // namespace

SysResult syncFolder(int folderFd)
{
    // Some file systems cannot flush a folder and say so; there is nothing
    // more to do there.
    if (::fsync(folderFd) != 0 && errno != EINVAL)
        return SysResult::fromErrno();
    return SysResult();
}

TempFile::~TempFile()
{
    discard();
}

SysResult TempFile::create(const QString& folder, const QString& targetName)
{
    discard();
    m_prefix = temporaryPrefix(targetName);
    m_folder = Descriptor(::open(encodeName(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_folder.isOpen())
        return SysResult::fromErrno();
    // Naming the file later goes through /proc (linkat with AT_EMPTY_PATH
    // needs a privilege); without /proc the file gets a name at once.
    static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
    if (procMounted) {
        const int fd = ::openat(m_folder.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            m_fd.reset(fd);
            return SysResult();
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
            return SysResult::fromErrno();
    }
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        const QByteArray name = temporaryName(m_prefix);
        const int fd =
            ::openat(m_folder.get(), name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            m_fd.reset(fd);
            m_name = name;
            return SysResult();
        }
        if (errno != EEXIST)
            return SysResult::fromErrno();
    }
    return SysResult::failure(EEXIST);
}

SysResult TempFile::nameIt()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd.get());
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        const QByteArray name = temporaryName(m_prefix);
        if (::linkat(AT_FDCWD, self.constData(), m_folder.get(), name.constData(), AT_SYMLINK_FOLLOW) == 0) {
            m_name = name;
            return SysResult();
        }
        if (errno != EEXIST)
            return SysResult::fromErrno();
    }
    return SysResult::failure(EEXIST);
}

SysResult TempFile::commit(const QString& target, Place place, const std::function<void()>& beforeRename)
{
    if (!m_fd.isOpen())
        return SysResult::failure(EBADF);
    // The data first: a rename that reaches the disk before the data would
    // leave an empty or partial file at `target` after a power cut.
    if (::fsync(m_fd.get()) != 0)
        return SysResult::fromErrno();
    if (beforeRename)
        beforeRename();
    const QByteArray to = encodeName(target);
    if (m_name.isEmpty()) {
        if (place == Place::OnlyIfAbsent) {
            // A new file needs no temporary name: linking fails where a file
            // already stands.
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd.get());
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, to.constData(), AT_SYMLINK_FOLLOW) != 0)
                return SysResult::fromErrno();
            m_fd.reset();
            return syncFolder(m_folder.get());
        }
        if (const SysResult named = nameIt(); !named)
            return named;
    }
    int renamed = place == Place::Replace
        ? ::renameat(m_folder.get(), m_name.constData(), AT_FDCWD, to.constData())
        : ::renameat2(m_folder.get(), m_name.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
    if (renamed != 0 && place == Place::OnlyIfAbsent && errno == EINVAL) {
        // A file system without RENAME_NOREPLACE: a second name, which
        // cannot replace anything either, then the temporary one goes.
        renamed = ::linkat(m_folder.get(), m_name.constData(), AT_FDCWD, to.constData(), 0);
        if (renamed == 0)
            ::unlinkat(m_folder.get(), m_name.constData(), 0);
    }
    if (renamed != 0)
        return SysResult::fromErrno();
    m_name.clear();
    m_fd.reset();
    return syncFolder(m_folder.get());
}

SysResult TempFile::exchange(const QString& target, const std::function<bool(const struct stat&)>& expected)
{
    if (!m_fd.isOpen())
        return SysResult::failure(EBADF);
    if (::fsync(m_fd.get()) != 0)
        return SysResult::fromErrno();
    if (m_name.isEmpty()) {
        if (const SysResult named = nameIt(); !named)
            return named;
    }
    const QByteArray to = encodeName(target);
    if (::renameat2(m_folder.get(), m_name.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0)
        return SysResult::fromErrno();
    // m_name now holds what stood at `target`.
    struct stat displaced;
    if (::fstatat(m_folder.get(), m_name.constData(), &displaced, AT_SYMLINK_NOFOLLOW) == 0 && expected(displaced)) {
        ::unlinkat(m_folder.get(), m_name.constData(), 0);
        m_name.clear();
        m_fd.reset();
        return syncFolder(m_folder.get());
    }
    if (::renameat2(m_folder.get(), m_name.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0)
        return SysResult::fromErrno();
    return SysResult::failure(ESTALE);
}

void TempFile::discard()
{
    m_fd.reset();
    if (!m_name.isEmpty()) {
        ::unlinkat(m_folder.get(), m_name.constData(), 0);
        m_name.clear();
    }
    m_folder.reset();
}

void removeLeftovers(const QString& folder, const QString& targetName)
{
    const QByteArray prefix = temporaryPrefix(targetName);
    const int fd = ::open(encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    // Our own regular files only: a link or another user's file of that
    // name was not left by us.
    const uid_t self = ::geteuid();
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st;
        if (isTemporaryName(entry->d_name, prefix) && ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(st.st_mode) && st.st_uid == self)
            ::unlinkat(fd, entry->d_name, 0);
    }
    ::closedir(dir);
}

QString folderOf(const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

} // namespace PosixFile
