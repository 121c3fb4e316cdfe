#include "PasswordPrompt.h"

#include "Text.h"
#include "ZipError.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal's settings while echo is off, for the signal handler.
volatile sig_atomic_t g_tty = -1;
struct termios g_saved;

constexpr int PromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void restoreAndDie(int signal)
{
    if (g_tty >= 0)
        ::tcsetattr(g_tty, TCSAFLUSH, &g_saved);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Echo off from construction to destruction, and on any signal that ends
// the program meanwhile.
class EchoOff
{
public:
    explicit EchoOff(int tty)
        : m_tty(tty)
    {
        if (::tcgetattr(tty, &g_saved) != 0)
            return;
        struct sigaction action = {};
        action.sa_handler = restoreAndDie;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(PromptSignals); ++i)
            sigaction(PromptSignals[i], &action, &m_previous[i]);
        g_tty = tty;
        struct termios quiet = g_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        // Nothing typed is thrown away: a quick typist (or a paste) may
        // answer before the prompt has finished appearing.
        ::tcsetattr(tty, TCSANOW, &quiet);
    }

    ~EchoOff()
    {
        if (g_tty < 0)
            return;
        ::tcsetattr(m_tty, TCSADRAIN, &g_saved);
        g_tty = -1;
        for (std::size_t i = 0; i < std::size(PromptSignals); ++i)
            sigaction(PromptSignals[i], &m_previous[i], nullptr);
    }

    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int m_tty;
    struct sigaction m_previous[std::size(PromptSignals)] = {};
};

// One line from `fd`, without its line end; false at the end of input with
// nothing read.
bool readLineFrom(int fd, std::string& line)
{
    line.clear();
    for (;;) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !line.empty();
        if (c == '\n')
            break;
        line += c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

} // namespace

bool PasswordPrompt::ask(const std::string& entryName, bool wrong, std::string& password)
{
    if (::isatty(STDIN_FILENO)) {
        const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (tty >= 0) {
            const bool given = askTerminal(tty, entryName, wrong, password);
            ::close(tty);
            return given;
        }
    }
    // Standard input gives one password, tried on every entry.
    if (wrong || m_pipedRead)
        throw zipcore::ZipError(zipcore::ZipErrc::WrongPassword, entryName,
                                "the password given on standard input is wrong (or the entry is damaged)");
    m_pipedRead = true;
    return readLineFrom(STDIN_FILENO, password);
}

bool PasswordPrompt::askTerminal(int tty, const std::string& entryName, bool wrong, std::string& password)
{
    std::fflush(stdout);
    const std::string prompt =
        std::string(wrong ? "Wrong password. " : "") + "Password for " + Text::printable(entryName) + ": ";
    // Echo goes off before the prompt shows, so that no answer typed as
    // soon as it shows is ever echoed.
    const EchoOff quiet(tty);
    if (::write(tty, prompt.data(), prompt.size()) < 0)
        return false;
    return readLineFrom(tty, password);
}
