#include "PosixFile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

SysResult writeAll(int fd, const void* buffer, std::size_t length)
{
    const auto* in = static_cast<const char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::write(fd, in, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return SysResult::fromErrno();
        }
        in += n;
        length -= static_cast<std::size_t>(n);
    }
    return SysResult();
}

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

TempFile::~TempFile()
{
    discard();
}

SysResult TempFile::create(const QString& folder)
{
    discard();
    // A hidden, fixed-length name: it never exceeds the length limit for
    // names, whatever the target's name, and stays out of a file manager's
    // way while it exists.
    QByteArray pattern = encodeName(folder.isEmpty() ? QStringLiteral(".") : folder);
    if (!pattern.endsWith('/'))
        pattern += '/';
    pattern += ".plovern-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return SysResult::fromErrno();
    m_fd.reset(fd);
    m_path = decodeName(pattern);
    return SysResult();
}

SysResult TempFile::commit(const QString& target)
{
    if (::rename(encodeName(m_path).constData(), encodeName(target).constData()) != 0)
        return SysResult::fromErrno();
    m_fd.reset();
    m_path.clear();
    return SysResult();
}

void TempFile::discard()
{
    m_fd.reset();
    if (!m_path.isEmpty()) {
        ::unlink(encodeName(m_path).constData());
        m_path.clear();
    }
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
