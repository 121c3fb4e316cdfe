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
//
// Every call that can fail returns a SysResult carrying the cause; nothing
// here leaves it to the caller to read errno afterwards. The engine turns a
// failed result into a Failure with the number that fits (EngineErrors.h).
namespace PosixFile {

QByteArray encodeName(const QString& path);
QString decodeName(const QByteArray& path);

// The outcome of a system call: success, or why it failed.
class [[nodiscard]] SysResult
{
public:
    enum class Side { Read, Write };

    SysResult() = default; // success
    // The failure errno names now (taken at once, before anything else can
    // change it).
    static SysResult fromErrno(Side side = Side::Write);
    static SysResult failure(int error, Side side = Side::Write);
    // A call's return value: success unless it is negative (errno then says
    // why).
    static SysResult of(long callResult, Side side = Side::Write)
    {
        return callResult < 0 ? fromErrno(side) : SysResult();
    }
    // A read that found the file shorter than expected.
    static SysResult endOfFile();

    explicit operator bool() const { return m_error == 0; }
    int error() const { return m_error; }
    // Whether a copy failed on its reading side (else on its writing side).
    bool failedReading() const { return m_side == Side::Read; }
    // The cause in words, for a Failure's description.
    QString cause() const;

private:
    static constexpr int EndOfFile = -1;

    int m_error = 0;
    Side m_side = Side::Write;
};

// An owned file descriptor, closed when it goes out of scope. One made from a
// failed open remembers why it failed.
class Descriptor
{
public:
    Descriptor() = default;
    // Takes a call's result: the descriptor, or -1 with errno set.
    explicit Descriptor(int fd)
        : m_fd(fd)
        , m_openError(fd < 0 ? SysResult::fromErrno(SysResult::Side::Read) : SysResult())
    {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept
        : m_fd(other.release())
        , m_openError(other.m_openError)
    {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Why the open that made this descriptor failed.
    SysResult openError() const { return m_openError; }
    int release();
    void reset(int fd = -1);
    // Closes now (a delayed write error shows up here on some file systems).
    SysResult close();

private:
    int m_fd = -1;
    SysResult m_openError;
};

Descriptor openForReading(const QString& path);

// Reads exactly `length` bytes at `offset`.
SysResult readAt(int fd, void* buffer, std::size_t length, std::int64_t offset);
// Writes every byte, retrying after short writes and interruptions.
SysResult writeAll(int fd, const void* buffer, std::size_t length);

// Copies `length` bytes from `in` at `offset` to the current position of
// `out`; a failure tells which side it was on.
SysResult copyRange(int in, std::int64_t offset, std::int64_t length, int out);

// A new file with a unique name in `folder`, removed again when this object
// goes away unless it was renamed into place with commit().
class TempFile
{
public:
    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates the file (mode 0600).
    SysResult create(const QString& folder);
    int fd() const { return m_fd.get(); }
    const QString& path() const { return m_path; }
    bool isCreated() const { return !m_path.isEmpty(); }
    // Closes the descriptor, reporting a failed close.
    SysResult close() { return m_fd.close(); }
    // Renames the file over `target`; on failure the temporary file is still
    // removed later.
    SysResult commit(const QString& target);
    // Removes the file now.
    void discard();

private:
    Descriptor m_fd;
    QString m_path;
};

// The folder part of `path` ("." for a bare name).
QString folderOf(const QString& path);

} // namespace PosixFile

#endif // PLOVERN_POSIXFILE_H
