#ifndef PLOVERN_ZIPCORE_ENTRYDATA_H
#define PLOVERN_ZIPCORE_ENTRYDATA_H

#include "ByteSource.h"
#include "ZipDirectory.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zipcore {

class EntryDecryption;

// Reads the data of entries, for the engine and both self-extractors, and
// checks it against the stated size and CRC: a caller that got through
// read() without an exception had exactly the data that was stored.
//
// Stored, deflated and Deflate64 entries are read everywhere; bzip2 entries
// where the program is built with PLOVERN_WITH_BZIP2 (libbz2), LZMA and xz
// with PLOVERN_WITH_LZMA (liblzma), zstd with PLOVERN_WITH_ZSTD (libzstd);
// the decoders beyond zlib's and libbz2's are in StreamDecoders.h. With
// PLOVERN_WITH_LIBDEFLATE, an entry whose compressed and uncompressed data
// fit in the reader's arena together (most entries) is read with one read,
// inflated in one call with libdeflate and checked before anything reaches
// the sink, which then gets all of it at once; a stored entry that fits is
// read and checked the same way in any build. Everything else is streamed in
// pieces of 1 MiB, so memory stays bounded (about ArenaSize, plus an LZMA or
// xz dictionary or zstd window of at most MaxDictionarySize) whatever the
// archive holds; its sink may have received data before a
// damaged end is found. The arena is mapped on the first read, and its pages
// are touched only as far as the largest entry needs.
//
// One reader per thread; several may read the same file at once, each
// through its own ByteSource.
class EntryData
{
public:
    using Sink = std::function<void(const char* data, std::size_t size)>;

    static constexpr std::size_t ArenaSize = 8 << 20;

    // `source` holds the archive, laid out as `layout`; both stay the
    // caller's and must outlive the reader.
    EntryData(ByteSource& source, const Layout& layout);
    ~EntryData();
    EntryData(const EntryData&) = delete;
    EntryData& operator=(const EntryData&) = delete;

    // Whether this build decodes entries of `method`.
    static bool decodes(std::uint16_t method);
    // The method's number with its usual name where it has one: "12 (bzip2)".
    static std::string methodName(std::uint16_t method);

    // Why the entry's data cannot be read at all: ZipErrc::Encrypted (an
    // encrypted entry when `withPassword` is false, or one whose encryption
    // nothing here decrypts) or UnsupportedMethod (naming the method), or
    // nothing.
    static void checkReadable(const Entry& entry, bool withPassword = false);

    // Calls sink(data, size) for the entry's data, decrypted with `password`
    // when it is encrypted (traditional PKWARE or WinZip AES). Throws
    // ZipError naming the entry (Encrypted, UnsupportedMethod; CorruptEntry
    // when its local header or data lie outside the zip data, its data is
    // invalid or ends early, or its size or CRC differ from the stated ones;
    // WrongPassword, PasswordDataMismatch; ReadFailed) or std::bad_alloc. An
    // exception thrown by the sink passes through unchanged. An AES entry's
    // authentication code is checked before the sink gets anything when the
    // entry is read whole, and at the end (the sink may have had data) when
    // it is streamed.
    void read(const Entry& entry, const Sink& sink, const std::string* password = nullptr);

    // A link entry's target, which must be short, not empty and free of NUL
    // characters (else CorruptEntry).
    std::string linkTarget(const Entry& entry, const std::string* password = nullptr);

private:
    struct Span
    {
        const unsigned char* data = nullptr;
        std::size_t size = 0;
    };
    // Compressed data handed over piece by piece (an empty piece at the end),
    // and decoded data handed on.
    using Input = std::function<Span()>;
    using Output = std::function<void(const unsigned char* data, std::size_t size)>;

    void mapArena();
    std::uint64_t readHead(const Entry& entry, unsigned char* buffer, std::size_t room, std::size_t* dataHeld);
    void readExactly(const Entry& entry, std::uint64_t position, unsigned char* buffer, std::size_t length);
    void readDecrypted(const Entry& entry, const Sink& sink, EntryDecryption* decryption);
    void readWhole(const Entry& entry, const Sink& sink, EntryDecryption* decryption);
    void readStreamed(const Entry& entry, const Sink& sink, EntryDecryption* decryption);
    void inflateStreamed(const Entry& entry, const Input& next, unsigned char* output, const Output& deliver);
    void bunzipStreamed(const Entry& entry, const Input& next, unsigned char* output, const Output& deliver);
    void decodeStreamed(const Entry& entry, const Input& next, unsigned char* output, const Output& deliver);

    ByteSource& m_source;
    const Layout& m_layout;
    unsigned char* m_arena = nullptr;
    // zlib's and libdeflate's state, kept from entry to entry.
    struct Decoders;
    std::unique_ptr<Decoders> m_decoders;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_ENTRYDATA_H
