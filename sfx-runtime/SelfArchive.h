#ifndef PLOVERN_SFX_SELFARCHIVE_H
#define PLOVERN_SFX_SELFARCHIVE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One central directory header, as stored, ZIP64 values already taken from
// the ZIP64 extra field where the header holds 0xFFFFFFFF.
struct CentralRecord
{
    unsigned versionMadeBy = 0;
    unsigned flags = 0;
    unsigned method = 0;
    unsigned dosTime = 0;
    unsigned dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t localOffset = 0; // as stored: counted from where the stored offsets count from
    std::uint32_t externalAttributes = 0;
    std::string name;  // raw bytes
    std::string extra; // raw extra field of the central header
};

// The zip data carried by a self-extractor, usually the program's own file
// (/proc/self/exe). Finds where the zip data starts by the reader's rule of
// FORMAT.md, reads its central directory and picks up the settings block in
// front of it when there is one.
//
// The zip structures are read here rather than through minizip: the minizip
// 1.1 packaged by Debian compares the ZIP64 markers against a 64-bit all-ones
// value on 64-bit systems, so it never reads ZIP64 sizes and offsets.
class SelfArchive
{
public:
    // Throws SfxError when the file cannot be read or carries no usable zip
    // data. `shownName` names the file in messages.
    SelfArchive(const std::string& path, const std::string& shownName);
    ~SelfArchive();
    SelfArchive(const SelfArchive&) = delete;
    SelfArchive& operator=(const SelfArchive&) = delete;

    bool hasSettings() const { return m_hasSettings; }
    const std::string& settingsBlock() const { return m_settings; }
    std::uint64_t zipStart() const { return m_zipStart; }
    const std::vector<CentralRecord>& records() const { return m_records; }

    // Position in the file of a stored offset (they count from the stub's
    // end when the stub was not accounted for, as after a plain "cat").
    std::uint64_t filePosition(std::uint64_t storedOffset) const { return m_shift + storedOffset; }
    // Where the central directory starts: no entry's data may reach past it.
    std::uint64_t centralDirectoryStart() const { return m_cdStart; }

    // Reads exactly `size` bytes at `position`; false at the end of the file
    // or on a read error.
    bool readAt(std::uint64_t position, void* buffer, std::size_t size);

private:
    struct EndRecord
    {
        std::uint64_t position = 0; // of the ZIP64 end record when there is one, else of the end record
        std::uint64_t cdSize = 0;
        std::uint64_t cdOffset = 0;
    };

    EndRecord findEndRecord();
    void readCentralDirectory(std::uint64_t cdStart, std::uint64_t cdSize);
    void readSettings();

    std::string m_shownName;
    std::FILE* m_file = nullptr;
    std::uint64_t m_size = 0;
    std::uint64_t m_shift = 0;
    std::uint64_t m_cdStart = 0;
    std::uint64_t m_zipStart = 0;
    std::vector<CentralRecord> m_records;
    bool m_hasSettings = false;
    std::string m_settings;
};

#endif // PLOVERN_SFX_SELFARCHIVE_H
