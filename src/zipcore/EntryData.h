#ifndef PLOVERN_ZIPCORE_ENTRYDATA_H
#define PLOVERN_ZIPCORE_ENTRYDATA_H

#include "ByteSource.h"
#include "ZipDirectory.h"

#include <functional>
#include <string>
#include <vector>

namespace zipcore {

// Streams the data of stored and deflated entries (zlib), checking it
// against the stated size and CRC: a caller that got through read() without
// an exception had exactly the data that was stored. The self-extractors read
// entry data here; the engine reads stored and deflated entries with its own
// EntryReader (which takes the readability check from here), and goes
// through libzip only for the other methods libzip decodes.
class EntryData
{
public:
    using Sink = std::function<void(const char* data, std::size_t size)>;

    EntryData(ByteSource& source, const Layout& layout);

    // Why the entry's data cannot be read at all: ZipErrc::Encrypted or
    // UnsupportedMethod, or nothing.
    static void checkReadable(const Entry& entry);

    // Calls sink(data, size) for each piece of the entry's data. Throws
    // ZipError naming the entry (Encrypted, UnsupportedMethod, CorruptEntry,
    // ReadFailed). An exception thrown by the sink passes through unchanged.
    void read(const Entry& entry, const Sink& sink);

    // A link entry's target, which must be short, not empty and free of NUL
    // characters (else CorruptEntry).
    std::string linkTarget(const Entry& entry);

private:
    std::uint64_t dataStart(const Entry& entry);
    void readStored(const Entry& entry, std::uint64_t position, const Sink& sink);
    void readDeflated(const Entry& entry, std::uint64_t position, const Sink& sink);
    void readInput(const Entry& entry, std::uint64_t position, std::size_t length);

    ByteSource& m_source;
    const Layout& m_layout;
    std::vector<unsigned char> m_input;
    std::vector<unsigned char> m_output;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_ENTRYDATA_H
