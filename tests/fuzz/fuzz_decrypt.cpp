// Raw bytes as the data of an encrypted entry, read with a fixed password
// through the traditional cipher and WinZip AES (each key size, AE-1 and
// AE-2), stored or deflated: the reader must deliver no more than the stated
// size or throw a ZipError, never crash, leak or hang. The first input bytes
// choose the kind of entry; the rest is its data.
#include "ByteSource.h"
#include "EntryData.h"
#include "ZipDirectory.h"
#include "ZipError.h"
#include "ZipFormat.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t Header = 31; // a local header with the one-letter name "e"
constexpr std::uint64_t MaxSize = 1 << 20;

class Memory : public zipcore::ByteSource
{
public:
    explicit Memory(std::vector<unsigned char> bytes)
        : m_bytes(std::move(bytes))
    {}
    std::uint64_t size() const override { return m_bytes.size(); }
    bool readAt(std::uint64_t offset, void* buffer, std::size_t length) override
    {
        if (!zipcore::fits(offset, length, m_bytes.size()))
            return false;
        std::memcpy(buffer, m_bytes.data() + offset, length);
        return true;
    }

private:
    std::vector<unsigned char> m_bytes;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 8)
        return 0;
    const unsigned choice = data[0];
    const bool aes = choice & 1;
    const std::uint16_t inner = (choice & 2) ? zipcore::MethodDeflated : zipcore::MethodStored;

    zipcore::Entry entry;
    entry.name = entry.rawName = "e";
    entry.flags = zipcore::FlagEncrypted | ((choice & 4) ? zipcore::FlagDataDescriptor : 0);
    entry.method = aes ? zipcore::MethodAes : inner;
    entry.crc = zipcore::get32(data + 1);
    entry.dosTime = zipcore::get16(data + 1);
    entry.size = zipcore::get16(data + 5) * 16u % MaxSize;
    if (aes) {
        // Vendor version, "AE", strength, the real method.
        const unsigned char field[] = {0x01,
                                       0x99,
                                       7,
                                       0,
                                       static_cast<unsigned char>((choice & 8) ? 2 : 1),
                                       0,
                                       'A',
                                       'E',
                                       static_cast<unsigned char>(1 + (choice >> 4) % 3),
                                       static_cast<unsigned char>(inner),
                                       0};
        entry.extra.assign(reinterpret_cast<const char*>(field), sizeof field);
    }
    const std::size_t dataSize = size - 7;
    entry.compressedSize = dataSize;

    std::vector<unsigned char> file(Header + dataSize);
    zipcore::put32(file.data(), 0x04034b50);
    zipcore::put16(file.data() + 26, 1);
    file[30] = 'e';
    std::memcpy(file.data() + Header, data + 7, dataSize);

    zipcore::Layout layout;
    layout.fileSize = layout.cdStart = layout.endPos = layout.cdEnd = file.size();
    Memory source(std::move(file));
    zipcore::EntryData reader(source, layout);
    const std::string password = "plovern";
    std::uint64_t delivered = 0;
    try {
        reader.read(
            entry, [&](const char*, std::size_t n) { delivered += n; }, &password);
    } catch (const zipcore::ZipError&) {}
    if (delivered > entry.size)
        __builtin_trap();
    return 0;
}
