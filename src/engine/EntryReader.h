#ifndef PLOVERN_ENTRYREADER_H
#define PLOVERN_ENTRYREADER_H

#include "ZipDirectory.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <zlib.h>

struct libdeflate_decompressor;

// Reads the data of stored and deflated entries straight from the archive
// file, for extraction, and checks it against the stated size and CRC: a
// caller that got through read() without an exception had exactly the data
// that was stored.
//
// An entry whose compressed and uncompressed data fit in the reader's arena
// together (most entries) is read with one pread, inflated in one call with
// libdeflate and checked before anything reaches the sink, which then gets
// all of it at once. A larger entry is streamed through zlib in pieces of
// 1 MiB, so memory stays bounded (about ArenaSize) whatever the archive
// holds; its sink may have received data before a damaged end is found. The
// arena's pages are touched only as far as the largest entry needs.
//
// One reader per thread; several may read the same descriptor at once.
class EntryReader
{
public:
    using Sink = std::function<void(const char* data, std::size_t size)>;

    static constexpr std::size_t ArenaSize = 8 << 20;

    // `fd` is the archive file, laid out as `layout`; both stay the
    // caller's. Throws std::bad_alloc.
    EntryReader(int fd, const zipcore::Layout& layout);
    ~EntryReader();
    EntryReader(const EntryReader&) = delete;
    EntryReader& operator=(const EntryReader&) = delete;

    // Whether read() decodes the entry's method (stored or deflated).
    static bool handles(const zipcore::Entry& entry);

    // Calls sink(data, size) for the entry's data. Throws zipcore::ZipError
    // naming the entry: Encrypted, UnsupportedMethod, CorruptEntry (its local
    // header or data lie outside the zip data, its data is invalid, or its
    // size or CRC differ from the stated ones; a failed read too). An
    // exception thrown by the sink passes through unchanged.
    void read(const zipcore::Entry& entry, const Sink& sink);

private:
    std::uint64_t readHead(const zipcore::Entry& entry, unsigned char* buffer, std::size_t room, std::size_t* dataHeld);
    void readExactly(const zipcore::Entry& entry, std::uint64_t position, unsigned char* buffer, std::size_t length);
    void readWhole(const zipcore::Entry& entry, const Sink& sink);
    void readStreamed(const zipcore::Entry& entry, const Sink& sink);
    // Compressed data handed over piece by piece (an empty piece at the end),
    // and inflated data handed on.
    struct Span
    {
        const unsigned char* data = nullptr;
        std::size_t size = 0;
    };
    using Input = std::function<Span()>;
    using Output = std::function<void(const unsigned char* data, std::size_t size)>;
    void inflateStreamed(const zipcore::Entry& entry, const Input& next, unsigned char* output, const Output& deliver);

    int m_fd;
    const zipcore::Layout& m_layout;
    unsigned char* m_arena = nullptr;
    libdeflate_decompressor* m_decompressor = nullptr;
    z_stream m_stream{};
    bool m_streamReady = false;
};

#endif // PLOVERN_ENTRYREADER_H
