#ifndef PLOVERN_POSIXFILE_H
#define PLOVERN_POSIXFILE_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <sys/stat.h>
#include <sys/types.h>

// Thin, exception-free wrappers around POSIX file calls. The engine works on
// file descriptors rather than QFile because it needs O_TMPFILE, fchmod,
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
// Reads up to `length` bytes at `offset`, fewer only at the end of the file;
// `got` says how many.
SysResult readUpTo(int fd, void* buffer, std::size_t length, std::int64_t offset, std::size_t* got);
// Writes every byte, retrying after short writes and interruptions.
SysResult writeAll(int fd, const void* buffer, std::size_t length);
// Writes every byte at `offset`, leaving the file position alone.
SysResult writeAt(int fd, const void* buffer, std::size_t length, std::int64_t offset);

// Copies `length` bytes from `in` at `offset` to the current position of
// `out`; a failure tells which side it was on.
SysResult copyRange(int in, std::int64_t offset, std::int64_t length, int out);

// A new file in `folder` that becomes visible only when it is committed.
// Where the file system allows it the file has no name at all until then
// (O_TMPFILE), so that a crash leaves nothing behind; elsewhere it has a
// hidden unique name and is removed again when this object goes away.
//
// Whenever it has a name, the name tells whose it is:
// ".plovern-<target's name>-XXXXXX" (a fixed-length hash stands in for a
// target name too long to fit), so that a file left by a process killed
// before its rename can be recognised later and removed (removeLeftovers).
class TempFile
{
public:
    // How commit() puts the file at its target.
    enum class Place { Replace, OnlyIfAbsent };

    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates the file (mode 0600), open for reading and writing, meant to
    // become `targetName` in `folder`.
    SysResult create(const QString& folder, const QString& targetName);
    int fd() const { return m_fd.get(); }
    // Flushes the data to the disk, gives the file its name at `target` (in
    // the folder it was created in) and flushes the folder, so that after a
    // power cut `target` is either what it was or this file, whole.
    // `beforeRename`, when given, runs after the flush and may throw to stop.
    // With Place::OnlyIfAbsent an existing `target` is left alone and the
    // result is EEXIST. On failure the file is still removed later.
    SysResult commit(const QString& target, Place place = Place::Replace,
                     const std::function<void()>& beforeRename = {});
    // Like commit() with Place::Replace, but swaps the file with `target`
    // (RENAME_EXCHANGE) and then asks `expected` whether what stood at
    // `target` was the file the caller meant to replace: if so it is
    // removed, if not the swap is undone and the result is ESTALE. File
    // systems that cannot swap answer EINVAL, and nothing is changed.
    SysResult exchange(const QString& target, const std::function<bool(const struct stat&)>& expected);
    // Removes the file now.
    void discard();

private:
    SysResult nameIt();

    Descriptor m_folder;
    Descriptor m_fd;
    QByteArray m_name;   // the name in m_folder, empty while the file has none
    QByteArray m_prefix; // of every temporary name for this target
};

// Removes from `folder` the regular files of this user that a TempFile meant
// to become `targetName` left behind when its process died before the
// rename. Only for a caller that knows no one else is writing one now (it
// holds the target's update lock).
void removeLeftovers(const QString& folder, const QString& targetName);

// Flushes a folder's entries (a rename in it, say) to the disk.
SysResult syncFolder(int folderFd);

// The folder part of `path` ("." for a bare name).
QString folderOf(const QString& path);

} // namespace PosixFile

#endif // PLOVERN_POSIXFILE_H
