// A command line over the engine for the tests that need several processes
// changing one archive:
//
//   plovern-update-helper [--wait] [--no-locks] [--trace] add ARCHIVE FILE...
//   plovern-update-helper [--no-locks] [--trace] delete ARCHIVE ENTRY...
//
// --wait collects the files, then waits for a line on standard input before
// the commit, so that a test can start several commits at one moment.
// --no-locks answers the update lock as a file system without locks does.
// --trace prints, one a line on standard output, each step that makes the
// new archive last: "fsync file", "fsync folder" and "name" (a rename or
// link), in the order the engine takes them.
// Exits 0 on success; on a failure prints its number and description on
// standard error and exits 1.

#include "ArchiveEngine.h"
#include "Failure.h"

#include <QString>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
bool g_noLocks = false;
bool g_trace = false;

void trace(const char* step)
{
    if (g_trace)
        std::printf("%s\n", step);
}
} // namespace

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
    }
    if (argc - i < 3) {
        std::fprintf(stderr, "usage: %s [--wait] [--no-locks] [--trace] add|delete ARCHIVE ITEM...\n", argv[0]);
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
