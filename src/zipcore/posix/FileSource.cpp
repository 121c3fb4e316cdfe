#include "FileSource.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zipcore {

FileSource::FileSource(const std::string& path)
    : m_owned(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    , m_fd(m_owned.get())
{
    if (m_fd < 0)
        m_error = errno;
    else
        measure();
}

FileSource::FileSource(int fd)
    : m_fd(fd)
{
    measure();
}

void FileSource::measure()
{
    struct stat st;
    if (::fstat(m_fd, &st) == 0)
        m_size = static_cast<std::uint64_t>(st.st_size);
    else
        m_error = errno;
}

bool FileSource::readAt(std::uint64_t offset, void* buffer, std::size_t length)
{
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t got = ::pread(m_fd, out, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            m_error = got < 0 ? errno : 0;
            return false;
        }
        out += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace zipcore
