#ifndef PLOVERN_POSIXFILE_H
#define PLOVERN_POSIXFILE_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <sys/types.h>

// Thin, exception-free wrappers around POSIX file calls. The engine works on
// file descriptors rather than QFile because it needs mkstemp, fchmod,
// futimens, pread and rename with exact error numbers, and because the
// extraction workers must not share any Qt object.
namespace PosixFile {

QByteArray encodeName(const QString& path);
QString decodeName(const QByteArray& path);

// The cause of the last failure, as text for a Failure's description.
QString lastError();
QString errorText(int error);

// An owned file descriptor, closed when it goes out of scope.
class Descriptor
{
public:
    Descriptor() = default;
    explicit Descriptor(int fd)
        : m_fd(fd)
    {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept
        : m_fd(other.release())
    {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);
    // Closes now and reports whether the close succeeded (a delayed write
    // error shows up here on some file systems).
    bool close();

private:
    int m_fd = -1;
};

Descriptor openForReading(const QString& path);

// Reads exactly `length` bytes at `offset`; false on error or early end of file
// (errno is 0 for the latter).
bool readAt(int fd, void* buffer, std::size_t length, std::int64_t offset);
// Writes every byte, retrying after short writes and interruptions.
bool writeAll(int fd, const void* buffer, std::size_t length);

// Copies `length` bytes from `in` at `offset` to the current position of
// `out`. Returns 0 on success, 1 when reading failed, 2 when writing failed.
int copyRange(int in, std::int64_t offset, std::int64_t length, int out);

// A new file with a unique name in `folder`, removed again when this object
// goes away unless it was renamed into place with commit().
class TempFile
{
public:
    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates the file (mode 0600). False with errno set on failure.
    bool create(const QString& folder);
    int fd() const { return m_fd.get(); }
    const QString& path() const { return m_path; }
    bool isCreated() const { return !m_path.isEmpty(); }
    // Closes the descriptor, reporting a failed close.
    bool close() { return m_fd.close(); }
    // Renames the file over `target`; false with errno set on failure, in
    // which case the temporary file is still removed later.
    bool commit(const QString& target);
    // Removes the file now.
    void discard();

private:
    Descriptor m_fd;
    QString m_path;
};

// The folder part of `path` ("." for a bare name).
QString folderOf(const QString& path);

// Resolves every link in an existing path; empty when that fails.
QString canonicalPath(const QString& path);

} // namespace PosixFile

#endif // PLOVERN_POSIXFILE_H
