#ifndef PLOVERN_SFX_ZIPENTRY_H
#define PLOVERN_SFX_ZIPENTRY_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

class SelfArchive;

// One entry of the central directory, with what extracting it needs.
struct ZipEntry
{
    enum class Kind { File, Folder, Link };

    std::string name;               // as stored, in UTF-8 (CP437 names converted), for messages and lists
    std::vector<std::string> parts; // the path split at "/" and "\", "." and empty parts dropped
    std::string unsafeReason;       // set when the name itself can never be written safely
    Kind kind = Kind::File;
    unsigned mode = 0644; // permission bits to restore (never setuid, setgid or sticky)
    std::time_t modified = 0;
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    std::uint32_t crc = 0;
    unsigned method = 0;
    bool encrypted = false;
    std::uint64_t localOffset = 0;
    std::string linkTarget; // for links, read with the entries so that it can be checked first
};

// Reads the entries of the attached zip and streams their data. Each data
// read is checked against the stated size and the CRC, so a caller that got
// through readData without an exception had exactly the data that was stored.
class EntryReader
{
public:
    using Sink = std::function<void(const char* data, std::size_t size)>;

    explicit EntryReader(SelfArchive& archive);

    // All entries in central-directory order. With `readLinks`, the targets
    // of link entries are read too, so that they can be checked before
    // anything is written.
    std::vector<ZipEntry> readEntries(bool readLinks);

    // Calls sink(data, size) for each piece of the entry's data. Throws
    // SfxError naming the entry when it is encrypted, uses an unknown method,
    // is damaged or does not match its size or CRC. An exception thrown by
    // the sink passes through unchanged.
    void readData(const ZipEntry& entry, const Sink& sink);

    // Why the entry's data cannot be read at all (encryption, method), or
    // empty when it can.
    static std::string unreadableReason(const ZipEntry& entry);

private:
    std::uint64_t dataStart(const ZipEntry& entry);
    void readStored(const ZipEntry& entry, std::uint64_t position, const Sink& sink);
    void readDeflated(const ZipEntry& entry, std::uint64_t position, const Sink& sink);

    SelfArchive& m_archive;
    std::vector<unsigned char> m_input;
    std::vector<unsigned char> m_output;
};

#endif // PLOVERN_SFX_ZIPENTRY_H
