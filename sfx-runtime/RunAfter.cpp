#include "RunAfter.h"

#include "Text.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool isFile(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

// What the child reports through the pipe when it could not start the program.
struct StartFailure
{
    int changingFolder; // 1: chdir failed, 0: exec failed
    int error;
};

// Like system(): while the program runs, Ctrl-C is meant for it, which
// should decide how to end, and we wait for it either way.
class IgnoreInterrupts
{
public:
    IgnoreInterrupts()
    {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &m_oldInt);
        sigaction(SIGQUIT, &ignore, &m_oldQuit);
    }
    ~IgnoreInterrupts()
    {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGQUIT, &m_oldQuit, nullptr);
    }
    IgnoreInterrupts(const IgnoreInterrupts&) = delete;
    IgnoreInterrupts& operator=(const IgnoreInterrupts&) = delete;

private:
    struct sigaction m_oldInt = {};
    struct sigaction m_oldQuit = {};
};

// In the child: starts the program at `path` in `folder`, or reports
// through `report` why it could not.
[[noreturn]] void startInChild(const std::string& path, const std::string& folder, int report)
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGQUIT, SIG_DFL);
    StartFailure failure{1, 0};
    if (::chdir(folder.c_str()) == 0) {
        failure.changingFolder = 0;
        char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
        ::execv(path.c_str(), argv);
        if (errno == ENOEXEC) {
            // A script without "#!": what a shell would do with it.
            char* const shell[] = {const_cast<char*>("sh"), const_cast<char*>(path.c_str()), nullptr};
            ::execv("/bin/sh", shell);
        }
    }
    failure.error = errno;
    if (::write(report, &failure, sizeof failure) < 0) {
        // Nothing more to tell anyone.
    }
    ::_exit(127);
}

// Waits for the child started for `path` and returns the exit status the
// self-extractor ends with.
int waitForChild(pid_t child, int report, const std::string& path, const std::string& folder)
{
    StartFailure failure{};
    ssize_t got;
    do {
        got = ::read(report, &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (got == static_cast<ssize_t>(sizeof failure)) {
        std::fprintf(stderr, "cannot start %s%s%s: %s\n", Text::printable(path).c_str(),
                     failure.changingFolder ? " in " : "",
                     failure.changingFolder ? Text::printable(folder).c_str() : "", std::strerror(failure.error));
        return failure.error == ENOENT ? 127 : 126;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 126;
}

} // namespace

std::string RunAfter::locate(const std::string& program, const std::string& folder,
                             const std::vector<std::string>& extracted)
{
    const std::string stored = Text::expandHome(program);
    const std::string direct = !stored.empty() && stored[0] == '/' ? stored : folder + "/" + stored;
    if (isFile(direct))
        return direct;

    const std::size_t cut = program.find_last_of("/\\");
    const std::string base = cut == std::string::npos ? program : program.substr(cut + 1);
    if (base.empty())
        return std::string();
    for (const std::string& path : extracted) {
        if (path == base && isFile(folder + "/" + path))
            return folder + "/" + path;
    }
    for (const std::string& path : extracted) {
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos && path.compare(slash + 1, std::string::npos, base) == 0
            && isFile(folder + "/" + path))
            return folder + "/" + path;
    }
    return std::string();
}

int RunAfter::run(const std::string& program, const std::string& folder, const std::vector<std::string>& extracted)
{
    const std::string found = locate(program, folder, extracted);
    if (found.empty()) {
        std::fprintf(stderr,
                     "cannot find the program \"%s\" to run after extracting, in %s or among the files "
                     "extracted\n",
                     Text::printable(program).c_str(), Text::printable(folder).c_str());
        return 127;
    }
    // The child changes folder first, so the path must not depend on ours.
    const std::string path = absolute(found);
    std::printf("Starting %s\n", Text::printable(path).c_str());
    std::fflush(stdout);
    std::fflush(stderr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", Text::printable(path).c_str(), std::strerror(errno));
        return 126;
    }
    const IgnoreInterrupts ignoring;
    const pid_t child = ::fork();
    if (child == 0)
        startInChild(path, folder, report[1]);
    ::close(report[1]);
    int result = 126;
    if (child < 0)
        std::fprintf(stderr, "cannot start %s: %s\n", Text::printable(path).c_str(), std::strerror(errno));
    else
        result = waitForChild(child, report[0], path, folder);
    ::close(report[0]);
    return result;
}
