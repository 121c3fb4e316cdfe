// A command line over the engine for the tests that need several processes
// changing one archive:
//
//   plovern-update-helper [--wait] [--no-locks] [--trace] [--full-at=N] add ARCHIVE FILE...
//   plovern-update-helper [--no-locks] [--trace] [--full-at=N] delete ARCHIVE ENTRY...
//
// --wait collects the files, then waits for a line on standard input before
// the commit, so that a test can start several commits at one moment.
// --no-locks answers the update lock as a file system without locks does.
// --trace prints, one a line on standard output, each step that makes the
// new archive last: "fsync file", "fsync folder" and "name" (a rename or
// link), in the order the engine takes them.
// --full-at=N answers as a full disk does past N bytes of any regular file:
// a write that would go further writes what fits, then fails with ENOSPC.
// Exits 0 on success; on a failure prints its number and description on
// standard error and exits 1.

#include "ArchiveEngine.h"
#include "Failure.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
bool g_noLocks = false;
bool g_trace = false;
long long g_fullAt = -1;

void trace(const char* step)
{
    if (g_trace)
        std::printf("%s\n", step);
}
// How many of `length` bytes written to `fd` at `offset` (-1: at its
// position) fit below --full-at.
std::size_t room(int fd, long long offset, std::size_t length)
{
    struct stat st;
    if (g_fullAt < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return length;
    const long long at = offset >= 0 ? offset : static_cast<long long>(::lseek(fd, 0, SEEK_CUR));
    return at >= g_fullAt
        ? 0
        : static_cast<std::size_t>(std::min<long long>(g_fullAt - at, static_cast<long long>(length)));
}

bool full(std::size_t fits, std::size_t length)
{
    if (fits > 0 || length == 0)
        return false;
    errno = ENOSPC;
    return true;
}
} // namespace

// The writes --full-at limits; every way the engine writes a file comes here.
extern "C" ssize_t write(int fd, const void* buffer, size_t length)
{
    const std::size_t fits = room(fd, -1, length);
    return full(fits, length) ? -1 : ::syscall(SYS_write, fd, buffer, fits);
}

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t length, off_t offset)
{
    const std::size_t fits = room(fd, offset, length);
    return full(fits, length) ? -1 : ::syscall(SYS_pwrite64, fd, buffer, fits, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* buffer, size_t length, off64_t offset)
{
    return pwrite(fd, buffer, length, offset);
}

extern "C" ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t length,
                                   unsigned flags)
{
    const std::size_t fits = room(out, outOffset ? *outOffset : -1, length);
    return full(fits, length) ? -1 : ::syscall(SYS_copy_file_range, in, inOffset, out, outOffset, fits, flags);
}

extern "C" ssize_t splice(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t length, unsigned flags)
{
    const std::size_t fits = room(out, outOffset ? *outOffset : -1, length);
    return full(fits, length) ? -1 : ::syscall(SYS_splice, in, inOffset, out, outOffset, fits, flags);
}

// Every fcntl of this program, the engine's included, comes here first.
extern "C" int fcntl(int fd, int command, ...)
{
    va_list args;
    va_start(args, command);
    const long argument = va_arg(args, long);
    va_end(args);
    if (g_noLocks && (command == F_OFD_SETLKW || command == F_OFD_SETLK)) {
        errno = ENOLCK;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fcntl, fd, command, argument));
}

// The steps --trace records; the engine's calls come here as its fcntl calls
// do, and go on to the kernel unchanged.
extern "C" int fsync(int fd)
{
    struct stat st;
    trace(::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? "fsync folder" : "fsync file");
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int rename(const char* from, const char* to) noexcept
{
    trace("name");
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}

extern "C" int renameat(int fromFolder, const char* from, int toFolder, const char* to) noexcept
{
    trace("name");
    return static_cast<int>(::syscall(SYS_renameat2, fromFolder, from, toFolder, to, 0));
}

extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) noexcept
{
    trace("name");
    return static_cast<int>(::syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags));
}

extern "C" int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) noexcept
{
    trace("name");
    return static_cast<int>(::syscall(SYS_linkat, fromFolder, from, toFolder, to, flags));
}

int main(int argc, char** argv)
{
    bool wait = false;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        wait = wait || std::strcmp(argv[i], "--wait") == 0;
        g_noLocks = g_noLocks || std::strcmp(argv[i], "--no-locks") == 0;
        g_trace = g_trace || std::strcmp(argv[i], "--trace") == 0;
        if (std::strncmp(argv[i], "--full-at=", 10) == 0)
            g_fullAt = std::atoll(argv[i] + 10);
    }
    if (argc - i < 3) {
        std::fprintf(stderr, "usage: %s [--wait] [--no-locks] [--trace] [--full-at=N] add|delete ARCHIVE ITEM...\n",
                     argv[0]);
        return 2;
    }
    const bool add = std::strcmp(argv[i], "add") == 0;
    ArchiveEngine engine;
    engine.setArchivePath(QString::fromLocal8Bit(argv[i + 1]));
    try {
        for (int item = i + 2; item < argc; ++item) {
            engine.setFileSpec(QString::fromLocal8Bit(argv[item]));
            if (add)
                engine.AddFiles();
            else
                engine.DeleteFiles();
        }
        if (wait) {
            char line[16];
            if (!std::fgets(line, sizeof line, stdin))
                return 2;
        }
        engine.FinishAdding();
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%d %s\n", failure.number(), failure.description().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
