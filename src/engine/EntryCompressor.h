#ifndef PLOVERN_ENTRYCOMPRESSOR_H
#define PLOVERN_ENTRYCOMPRESSOR_H

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Reads and compresses the files of an add on every core, and hands their
// data out in order, piece by piece, to the one thread that writes the
// archive.
//
// A file of up to 4 MiB is read whole and deflated in one go with libdeflate
// (level 6), or stored when that does not save at least 1 %. A larger file is
// cut into 1 MiB pieces that are deflated separately with zlib, each primed
// with the 32 KiB before it and ended on a byte boundary, so that joined they
// form one deflate stream (as pigz does); whether it is deflated at all is
// judged from its first 64 KiB. Only a few pieces are ever ahead of the
// writer, so memory stays bounded whatever the files' sizes.
class EntryCompressor
{
public:
    struct Source
    {
        QString path;
        std::int64_t size = 0; // as found when the file was chosen
    };

    // One piece of a file's entry data.
    struct Piece
    {
        std::unique_ptr<unsigned char[]> bytes;
        std::size_t length = 0;      // bytes to write
        std::uint64_t rawLength = 0; // bytes of the file they hold
        std::uint32_t crc = 0;       // CRC-32 of those bytes
        bool first = false;
        bool last = false;
        // Of the whole file: its method (0 stored, 8 deflated), and, when it
        // comes in several pieces, its size (they add up to exactly that).
        std::uint16_t method = 0;
        std::uint64_t fileSize = 0;
    };

    // Looks at the files and starts compressing. Throws SourceUnreadable for
    // a large file that cannot be read.
    explicit EntryCompressor(std::vector<Source> files);
    // Stops the workers, whatever they were doing.
    ~EntryCompressor();
    EntryCompressor(const EntryCompressor&) = delete;
    EntryCompressor& operator=(const EntryCompressor&) = delete;

    // The next piece in order: the pieces of the first file, then of the
    // second, and so on. Waits for it; throws what compressing it threw
    // (SourceUnreadable naming the file).
    Piece next();

private:
    struct Task
    {
        std::size_t file = 0;
        std::uint64_t offset = 0;
        std::uint64_t length = 0; // 0 for a file read whole
        bool whole = false;
        bool first = false;
        bool last = false;
        std::uint16_t method = 0;
    };
    struct Result
    {
        bool ready = false;
        Piece piece;
        std::exception_ptr failure;
    };
    class Worker;

    void plan();
    void work();
    void stopWorkers();

    std::vector<Source> m_files;
    std::vector<Task> m_tasks;
    std::vector<Result> m_results;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_nextTask = 0; // the next task a worker takes
    std::size_t m_nextOut = 0;  // the next piece next() hands out
    std::size_t m_ahead = 0;    // how many tasks may run ahead of next()
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

#endif // PLOVERN_ENTRYCOMPRESSOR_H
