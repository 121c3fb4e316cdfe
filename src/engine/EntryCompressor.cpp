#include "EntryCompressor.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "PosixFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::uint64_t wholeLimit = 4 << 20;
constexpr std::uint64_t pieceSize = 1 << 20;
constexpr std::uint64_t dictionarySize = 32 << 10;
constexpr std::size_t sampleSize = 64 << 10;
constexpr int level = 6;
constexpr std::uint16_t stored = 0;
constexpr std::uint16_t deflated = 8;

using PosixFile::SysResult;

[[noreturn]] void unreadable(const QString& path, const SysResult& result)
{
    throw EngineFailure::sourceUnreadable(path, result.cause());
}

[[noreturn]] void changed(const QString& path)
{
    throw EngineFailure::sourceUnreadable(path, QStringLiteral("the file changed while it was being added"));
}

PosixFile::Descriptor openSource(const QString& path)
{
    PosixFile::Descriptor fd = PosixFile::openForReading(path);
    if (!fd.isOpen())
        unreadable(path, fd.openError());
    return fd;
}

// Reads up to `length` bytes at `offset`; fewer only at the end of the file.
std::size_t readUpTo(int fd, unsigned char* buffer, std::size_t length, std::uint64_t offset, const QString& path)
{
    std::size_t got = 0;
    const SysResult read = PosixFile::readUpTo(fd, buffer, length, static_cast<std::int64_t>(offset), &got);
    if (!read)
        unreadable(path, read);
    return got;
}

std::unique_ptr<unsigned char[]> allocate(std::size_t length)
{
    // Left uninitialised: pages that are never written cost no memory.
    return std::unique_ptr<unsigned char[]>(new unsigned char[std::max<std::size_t>(length, 1)]);
}

// Whether deflating a large file is likely to make it smaller, judged by its
// first 64 KiB. Random and already compressed files are stored instead.
bool worthDeflating(const QString& path)
{
    const PosixFile::Descriptor fd = openSource(path);
    std::vector<unsigned char> sample(sampleSize);
    const std::size_t got = readUpTo(fd.get(), sample.data(), sample.size(), 0, path);
    if (got == 0)
        return false;
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    if (!compressor)
        throw std::bad_alloc();
    std::vector<unsigned char> out(got);
    // A gain under 1% of the sample is not worth the reader's time.
    const std::size_t packed = libdeflate_deflate_compress(compressor, sample.data(), got, out.data(), got - got / 100);
    libdeflate_free_compressor(compressor);
    return packed != 0;
}

} // namespace

// One compressing thread's tools.
class EntryCompressor::Worker
{
public:
    Worker()
        : m_compressor(libdeflate_alloc_compressor(level))
    {
        if (!m_compressor)
            throw std::bad_alloc();
        if (deflateInit2(&m_stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            libdeflate_free_compressor(m_compressor);
            throw std::bad_alloc();
        }
    }
    ~Worker()
    {
        deflateEnd(&m_stream);
        libdeflate_free_compressor(m_compressor);
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    Piece run(const Task& task, const Source& source) { return task.whole ? wholeFile(source) : piece(task, source); }

private:
    // A small file, read whole and deflated or stored.
    Piece wholeFile(const Source& source)
    {
        const PosixFile::Descriptor fd = openSource(source.path);
        struct stat st;
        if (::fstat(fd.get(), &st) != 0)
            unreadable(source.path, SysResult::fromErrno(SysResult::Side::Read));
        if (static_cast<std::uint64_t>(st.st_size) > wholeLimit)
            changed(source.path);
        // One byte more than expected shows a file that grew meanwhile.
        const auto capacity = static_cast<std::size_t>(st.st_size) + 1;
        std::size_t rawSize = 0;
        std::unique_ptr<unsigned char[]> raw = take(capacity, &rawSize);
        const std::size_t size = readUpTo(fd.get(), raw.get(), capacity, 0, source.path);
        if (size == capacity)
            changed(source.path);

        Piece piece;
        piece.first = piece.last = true;
        piece.rawLength = size;
        piece.fileSize = size;
        piece.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, raw.get(), size));
        // Deflated only when it saves at least 1%: the output may hold no
        // more than that.
        const std::size_t room = size - size / 100;
        if (size > 0 && room > 1) {
            std::unique_ptr<unsigned char[]> packed = allocate(room - 1);
            const std::size_t length =
                libdeflate_deflate_compress(m_compressor, raw.get(), size, packed.get(), room - 1);
            if (length != 0) {
                piece.method = deflated;
                piece.bytes = std::move(packed);
                piece.length = length;
                keep(std::move(raw), rawSize);
                return piece;
            }
        }
        piece.method = stored;
        piece.bytes = std::move(raw);
        piece.length = size;
        return piece;
    }

    // One piece of a large file.
    Piece piece(const Task& task, const Source& source)
    {
        const PosixFile::Descriptor fd = openSource(source.path);
        // The 32 KiB before the piece prime the compressor, so that the
        // pieces compress as well as one stream would.
        const std::uint64_t primed = task.method == deflated ? std::min(task.offset, dictionarySize) : 0;
        const auto length = static_cast<std::size_t>(primed + task.length);
        std::size_t rawSize = 0;
        std::unique_ptr<unsigned char[]> raw = take(length, &rawSize);
        if (readUpTo(fd.get(), raw.get(), length, task.offset - primed, source.path) != length)
            changed(source.path);
        const unsigned char* data = raw.get() + primed;
        const auto dataLength = static_cast<std::size_t>(task.length);

        Piece piece;
        piece.first = task.first;
        piece.last = task.last;
        piece.method = task.method;
        piece.fileSize = static_cast<std::uint64_t>(source.size);
        piece.rawLength = task.length;
        piece.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, data, dataLength));
        if (task.method == stored) {
            piece.bytes = std::move(raw);
            piece.length = dataLength;
            return piece;
        }

        // One compressor serves all the pieces a worker takes.
        z_stream& stream = m_stream;
        if (deflateReset(&stream) != Z_OK)
            throw std::bad_alloc();
        if (primed > 0)
            deflateSetDictionary(&stream, raw.get(), static_cast<uInt>(primed));
        // A sync flush ends every piece but the last on a byte boundary
        // without ending the stream.
        const std::size_t bound = deflateBound(&stream, static_cast<uLong>(dataLength)) + 16;
        piece.bytes = allocate(bound);
        stream.next_in = const_cast<unsigned char*>(data);
        stream.avail_in = static_cast<uInt>(dataLength);
        stream.next_out = piece.bytes.get();
        stream.avail_out = static_cast<uInt>(bound);
        const int result = deflate(&stream, task.last ? Z_FINISH : Z_SYNC_FLUSH);
        if ((task.last && result != Z_STREAM_END) || (!task.last && result != Z_OK) || stream.avail_in != 0)
            throw EngineFailure::sourceUnreadable(source.path, QStringLiteral("compressing failed"));
        piece.length = stream.total_out;
        keep(std::move(raw), rawSize);
        return piece;
    }

    // A buffer of at least `length` bytes (`size` in all): the one kept from
    // before when it is large enough, so that a worker does not map fresh memory for every
    // piece.
    std::unique_ptr<unsigned char[]> take(std::size_t length, std::size_t* size)
    {
        if (m_spare && m_spareLength >= length) {
            *size = m_spareLength;
            return std::move(m_spare);
        }
        m_spare.reset();
        *size = length;
        return allocate(length);
    }

    void keep(std::unique_ptr<unsigned char[]> buffer, std::size_t length)
    {
        if (!m_spare || m_spareLength < length) {
            m_spare = std::move(buffer);
            m_spareLength = length;
        }
    }

    libdeflate_compressor* m_compressor;
    z_stream m_stream = {};
    std::unique_ptr<unsigned char[]> m_spare;
    std::size_t m_spareLength = 0;
};

EntryCompressor::EntryCompressor(std::vector<Source> files)
    : m_files(std::move(files))
{
    plan();
    m_results.resize(m_tasks.size());
    const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    const unsigned workers = static_cast<unsigned>(std::min<std::size_t>(cores, m_tasks.size()));
    // Enough work ahead to keep every worker busy while the writer writes.
    m_ahead = workers + 2;
    try {
        for (unsigned i = 0; i < workers; ++i)
            m_threads.emplace_back(&EntryCompressor::work, this);
    } catch (...) {
        stopWorkers();
        throw;
    }
}

EntryCompressor::~EntryCompressor()
{
    stopWorkers();
}

void EntryCompressor::stopWorkers()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    for (std::thread& thread : m_threads) {
        if (thread.joinable())
            thread.join();
    }
    m_threads.clear();
}

void EntryCompressor::plan()
{
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        const auto size = static_cast<std::uint64_t>(std::max<std::int64_t>(m_files[i].size, 0));
        if (size <= wholeLimit) {
            Task task;
            task.file = i;
            task.whole = task.first = task.last = true;
            m_tasks.push_back(task);
            continue;
        }
        const std::uint16_t method = worthDeflating(m_files[i].path) ? deflated : stored;
        for (std::uint64_t offset = 0; offset < size; offset += pieceSize) {
            Task task;
            task.file = i;
            task.offset = offset;
            task.length = std::min(pieceSize, size - offset);
            task.first = offset == 0;
            task.last = offset + task.length == size;
            task.method = method;
            m_tasks.push_back(task);
        }
    }
}

void EntryCompressor::work()
{
    std::unique_ptr<Worker> tools;
    std::exception_ptr toolsFailure;
    try {
        tools = std::make_unique<Worker>();
    } catch (...) {
        toolsFailure = std::current_exception();
    }
    while (true) {
        std::size_t index = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(
                lock, [this] { return m_stop || m_nextTask >= m_tasks.size() || m_nextTask < m_nextOut + m_ahead; });
            if (m_stop || m_nextTask >= m_tasks.size())
                return;
            index = m_nextTask++;
        }
        Result result;
        // Nothing may leave a worker thread: it would end the program.
        try {
            if (toolsFailure)
                std::rethrow_exception(toolsFailure);
            const Task& task = m_tasks[index];
            result.piece = tools->run(task, m_files[task.file]);
        } catch (...) {
            result.failure = std::current_exception();
        }
        result.ready = true;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_results[index] = std::move(result);
        }
        m_changed.notify_all();
    }
}

EntryCompressor::Piece EntryCompressor::next()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::size_t index = m_nextOut;
    if (index >= m_tasks.size())
        throw std::logic_error("no piece left");
    m_changed.wait(lock, [&] { return m_results[index].ready; });
    Result result = std::move(m_results[index]);
    ++m_nextOut;
    lock.unlock();
    m_changed.notify_all();
    if (result.failure)
        std::rethrow_exception(result.failure);
    return std::move(result.piece);
}
