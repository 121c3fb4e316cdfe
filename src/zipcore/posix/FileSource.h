#ifndef PLOVERN_ZIPCORE_FILESOURCE_H
#define PLOVERN_ZIPCORE_FILESOURCE_H

#include "ByteSource.h"
#include "UniqueFd.h"

#include <string>

namespace zipcore {

// An archive file read with pread(), safe to share between threads.
class FileSource : public ByteSource
{
public:
    // Opens `path` for reading; isOpen() and lastError() tell how it went.
    explicit FileSource(const std::string& path);
    // Reads through an open descriptor, which stays the caller's.
    explicit FileSource(int fd);

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    std::uint64_t size() const override { return m_size; }
    bool readAt(std::uint64_t offset, void* buffer, std::size_t length) override;
    int lastError() const override { return m_error; }

private:
    void measure();

    UniqueFd m_owned;
    int m_fd = -1;
    std::uint64_t m_size = 0;
    int m_error = 0;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_FILESOURCE_H
