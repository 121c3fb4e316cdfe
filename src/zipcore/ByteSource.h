#ifndef PLOVERN_ZIPCORE_BYTESOURCE_H
#define PLOVERN_ZIPCORE_BYTESOURCE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zipcore {

// Random access to the bytes of an archive file. The parser reads only
// through this, so it runs the same on a file, on the self-extractor's own
// program file and on bytes in memory (the fuzz targets).
class ByteSource
{
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Reads exactly `length` bytes at `offset`; false on a read error or when
    // the bytes are not all there.
    virtual bool readAt(std::uint64_t offset, void* buffer, std::size_t length) = 0;
    // The errno value of the last failed read, 0 when it failed for lack of
    // bytes.
    virtual int lastError() const { return 0; }
};

class MemorySource : public ByteSource
{
public:
    MemorySource(const void* data, std::size_t size)
        : m_data(static_cast<const unsigned char*>(data))
        , m_size(size)
    {}

    std::uint64_t size() const override { return m_size; }
    bool readAt(std::uint64_t offset, void* buffer, std::size_t length) override
    {
        if (offset > m_size || length > m_size - offset)
            return false;
        if (length)
            std::memcpy(buffer, m_data + offset, length);
        return true;
    }

private:
    const unsigned char* m_data;
    std::size_t m_size;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_BYTESOURCE_H
