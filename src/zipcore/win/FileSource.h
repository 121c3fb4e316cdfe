#ifndef PLOVERN_ZIPCORE_WIN_FILESOURCE_H
#define PLOVERN_ZIPCORE_WIN_FILESOURCE_H

#include "ByteSource.h"

#include <string>

namespace zipcore {

// An archive file on Windows, read at offsets with ReadFile. The same
// interface as the Linux FileSource, so that the self-extractor's reading
// code is the same on both systems; lastError() is an errno value (see
// errnoFromWin32) for the same reason.
class FileSource : public ByteSource
{
public:
    // Opens `path` (UTF-8) for reading, letting others read it too: a
    // running program's own file is open already.
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool isOpen() const { return m_handle != nullptr; }
    std::uint64_t size() const override { return m_size; }
    bool readAt(std::uint64_t offset, void* buffer, std::size_t length) override;
    int lastError() const override { return m_error; }

private:
    void* m_handle = nullptr; // a HANDLE, null when not open
    std::uint64_t m_size = 0;
    int m_error = 0;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_WIN_FILESOURCE_H
