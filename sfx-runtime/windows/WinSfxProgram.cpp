#include "WinSfxProgram.h"

#include "AttachedZip.h"
#include "Console.h"
#include "EntryDecryption.h"
#include "Paths.h"
#include "SfxError.h"
#include "SfxWindow.h"
#include "Text.h"
#include "Wide.h"
#include "WinExtraction.h"
#include "WinRunAfter.h"

#include <cstdio>
#include <ctime>
#include <windows.h>

namespace {

std::string number(std::uint64_t value)
{
    return std::to_string(static_cast<unsigned long long>(value));
}

std::string padLeft(const std::string& text, std::size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string padRight(const std::string& text, std::size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// Windows compares option names without regard to case ("/TARGET").
bool isSlashOption(const std::string& argument, const char* slash)
{
    const std::wstring wide = zipcore::widen(argument);
    const std::wstring other = zipcore::widen(slash);
    return ::CompareStringOrdinal(wide.c_str(), static_cast<int>(wide.size()), other.c_str(),
                                  static_cast<int>(other.size()), TRUE)
        == CSTR_EQUAL;
}

// Reports each entry on the console as unzip does.
class ConsoleObserver : public WinExtraction::Observer
{
public:
    void entry(const char* what, const std::string& name, const std::string& note) override
    {
        Console::out(padLeft(what, 11) + ": " + Text::printable(name)
                     + (note.empty() ? std::string() : " (" + Text::printable(note) + ")") + "\n");
    }
    void progress(std::uint64_t) override {}
    bool cancelled() override { return false; }
};

// Passwords for the command line, as the Linux runtime asks them: on the
// console without echo, asked again after a wrong one; from redirected
// standard input one line, tried on every entry, and a wrong one ends the
// run (there is nobody to ask again).
class ConsolePasswords : public zipcore::PasswordSource
{
public:
    bool ask(const std::string& entryName, bool wrong, std::string& password) override
    {
        if (Console::interactive())
            return Console::readPassword(std::string(wrong ? "Wrong password. " : "") + "Password for "
                                             + Text::printable(entryName) + ": ",
                                         password);
        if (wrong || m_pipedRead)
            throw zipcore::ZipError(zipcore::ZipErrc::WrongPassword, entryName,
                                    "the password given on standard input is wrong (or the entry is damaged)");
        m_pipedRead = true;
        return Console::readPassword(std::string(), password);
    }

private:
    bool m_pipedRead = false;
};

} // namespace

WinSfxProgram::WinSfxProgram(std::string ownPath)
    : m_ownPath(std::move(ownPath))
    , m_name(Paths::baseName(m_ownPath))
{}

void WinSfxProgram::printHelp() const
{
    const std::string& name = m_name;
    Console::out(
        "Usage: " + name
        + " [/target DIR | /list | /test | /?]\n"
          "       "
        + name
        + " [--target DIR | --list | --test | --help]\n"
          "\n"
          "A self-extracting zip archive: running it extracts the files it carries.\n"
          "\n"
          "  /target DIR, --target DIR, -d DIR   extract into DIR without a window or question\n"
          "  /list, --list, -l                   list the entries (size, date, name) without extracting\n"
          "  /test, --test, -t                   check every entry's data against its CRC; nothing is written\n"
          "  /?, /help, --help, -h               show this help\n"
          "\n"
          "Without options, "
        + name
        + " opens a window offering the folder chosen by the\n"
          "archive's maker (the current folder when none was chosen), which you may change\n"
          "before pressing Extract. A missing folder is created, with its parents, unless\n"
          "the maker decided otherwise, in which case it is a failure.\n"
          "\n"
          "Every entry is checked before anything is written. Refused, and nothing is\n"
          "extracted: names that are absolute, start with a drive letter or contain \"..\"\n"
          "(\"/\" and \"\\\" both count as separators), names Windows cannot hold (device\n"
          "names such as NUL, the characters < > : \" | ? *, a trailing dot or space),\n"
          "links that lead outside the folder, paths through a symbolic link or junction\n"
          "already in the folder, strong encryption and unknown compression methods.\n"
          "Each file is written under a temporary name and put in place only once\n"
          "complete and its CRC checked. Times are restored. Symbolic link entries are\n"
          "checked but not made: they are listed as skipped.\n"
          "\n"
          "Encrypted entries (ZipCrypto, WinZip AES) need their password. The window\n"
          "tries the one typed in its Password field, then asks. On the console it is\n"
          "asked without echo, and asked again when wrong; when standard input is\n"
          "redirected, its first line is the password, and a wrong one is a failure.\n"
          "Nothing of an entry whose password is wrong is left.\n"
          "\n"
          "After extracting, the closing message is shown when the maker asked for it,\n"
          "then the program the maker named, if any, is started in the target folder and\n"
          "waited for. When it is not where the maker named it, the extracted file of the\n"
          "same name is started instead.\n"
          "\n"
          "A console prompt does not wait for this program; \"start /wait\" does.\n"
          "\n"
          "Exit status:\n"
          "  0     all went well (and the program started afterwards, if any, exited with 0)\n"
          "  1     extracting, listing or testing failed, or the window was cancelled\n"
          "  2     the command line was wrong\n"
          "  126   the program to start afterwards was found but could not be started\n"
          "  127   the program to start afterwards was not found\n"
          "  other the exit status of the program started afterwards\n");
}

int WinSfxProgram::run(const std::vector<std::string>& arguments)
{
    if (!arguments.empty())
        Console::attach();
    try {
        m_options = SfxOptions::parse(arguments, isSlashOption);
    } catch (const SfxError& error) {
        Console::err(m_name + ": " + error.what() + "\nTry \"" + m_name + " /?\".\n");
        return error.exitCode();
    }
    switch (m_options.action) {
        case SfxOptions::Action::Help: printHelp(); return 0;
        case SfxOptions::Action::List: return list();
        case SfxOptions::Action::Test: return test();
        default: return m_options.hasTarget ? extract() : SfxWindow::run(m_ownPath, m_name);
    }
}

int WinSfxProgram::list() const
{
    AttachedZip zip(m_ownPath, m_name);
    const std::vector<zipcore::Entry>& entries = zip.directory().entries;
    std::string text = padLeft("Size", 12) + "  " + padRight("Date", 16) + "  Name\n";
    std::uint64_t total = 0;
    for (const zipcore::Entry& entry : entries) {
        char date[32] = "?";
        const std::time_t modified = AttachedZip::modified(entry);
        if (const std::tm* local = std::localtime(&modified))
            std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", local);
        text += padLeft(number(entry.size), 12) + "  " + padRight(date, 16) + "  " + Text::printable(entry.name) + "\n";
        total += entry.size;
    }
    text += padLeft(number(total), 12) + "  " + padRight("", 16) + "  " + number(entries.size())
        + (entries.size() == 1 ? " entry\n" : " entries\n");
    Console::out(text);
    return 0;
}

int WinSfxProgram::test() const
{
    AttachedZip zip(m_ownPath, m_name);
    // Entries sharing their data would be inflated once for each of them.
    zip.checkStructure();
    const std::vector<zipcore::Entry>& entries = zip.directory().entries;
    ConsolePasswords prompt;
    zipcore::ActionPassword password(prompt);
    std::size_t damaged = 0;
    for (const zipcore::Entry& entry : entries) {
        try {
            const auto testWith = [&](const std::string* given) {
                zip.data().read(
                    entry, [](const char*, std::size_t) {}, given);
            };
            if (entry.encrypted() && entry.kind != zipcore::EntryKind::Folder)
                password.write(entry, [&](const std::string& given) { testWith(&given); });
            else
                testWith(nullptr);
            Console::out("    OK  " + Text::printable(entry.name) + "\n");
        } catch (const zipcore::ZipError& error) {
            Console::err(m_name + ": " + Text::printable(zip.describe(error)) + "\n");
            ++damaged;
        }
    }
    if (damaged) {
        Console::err(m_name + ": " + number(damaged) + " of " + number(entries.size()) + " entries failed the test\n");
        return 1;
    }
    Console::out("No errors: all " + number(entries.size()) + (entries.size() == 1 ? " entry is" : " entries are")
                 + " intact.\n");
    return 0;
}

int WinSfxProgram::extract() const
{
    AttachedZip zip(m_ownPath, m_name);
    const zipcore::SfxSettings& settings = zip.settings();
    const std::string folder = Paths::absolute(Paths::folder(m_options.target));
    Console::out("Extracting into " + Text::printable(folder) + "\n");

    const DWORD attributes = ::GetFileAttributesW(zipcore::widen(folder).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw SfxError("cannot extract into " + folder + ": it is not a folder");
    if (attributes == INVALID_FILE_ATTRIBUTES && !settings.create)
        throw SfxError("cannot extract into " + folder
                       + ": the folder does not exist, and this archive is set not to create it");

    ConsolePasswords prompt;
    zipcore::ActionPassword password(prompt);
    zip.setPassword(&password);
    WinExtraction extraction(zip, folder);
    extraction.check();
    ConsoleObserver observer;
    extraction.run(observer);
    const std::size_t count = zip.directory().entries.size();
    Console::out("Extracted " + number(count) + (count == 1 ? " entry" : " entries")
                 + (extraction.skippedLinks() ? " (" + number(extraction.skippedLinks()) + " links skipped)" : "")
                 + ".\n");

    if (settings.show) {
        const std::string message = Text::trimRight(settings.message);
        if (!message.empty())
            Console::out("\n" + message + "\n");
    }
    if (settings.run.empty())
        return 0;
    const WinRunAfter::Outcome outcome = WinRunAfter::run(settings.run, folder, extraction.written());
    if (!outcome.problem.empty())
        Console::err(m_name + ": " + Text::printable(outcome.problem) + "\n");
    return outcome.exitCode;
}
