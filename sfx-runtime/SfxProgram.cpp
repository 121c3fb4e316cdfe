#include "SfxProgram.h"

#include "AttachedZip.h"
#include "EntryDecryption.h"
#include "Extraction.h"
#include "PasswordPrompt.h"
#include "RunAfter.h"
#include "SfxError.h"
#include "SfxOptions.h"
#include "Text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The program's own file as the user knows it, for messages: /proc/self/exe
// would tell them nothing.
std::string ownFileName(const std::string& path, const std::string& fallback)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : fallback;
}

std::string normalizedFolder(const std::string& typed)
{
    std::string folder = Text::expandHome(typed);
    if (folder.empty())
        folder = ".";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

// The folder as an absolute path, so that the user sees where the files go
// even when the maker typed a relative one.
std::string shownFolder(const std::string& folder)
{
    char cwd[PATH_MAX];
    if (folder[0] == '/' || !::getcwd(cwd, sizeof cwd))
        return Text::printable(folder);
    std::string base = cwd;
    if (base != "/")
        base += '/';
    if (folder == ".")
        return Text::printable(cwd);
    return Text::printable(base + (folder.compare(0, 2, "./") == 0 ? folder.substr(2) : folder));
}

bool readLine(std::string& line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(stdin)) != EOF) {
        if (c == '\n')
            return true;
        line += static_cast<char>(c);
    }
    return !line.empty();
}

} // namespace

SfxProgram::SfxProgram(const std::string& name, const std::string& archivePath)
    : m_name(name)
    , m_archivePath(archivePath)
{}

void SfxProgram::printHelp() const
{
    const char* name = m_name.c_str();
    std::printf("Usage: %s [--target DIR | --list | --test | --help]\n"
                "\n"
                "A self-extracting zip archive: running it extracts the files it carries.\n"
                "\n"
                "  -d, --target DIR   extract into DIR without asking\n"
                "  -l, --list         list the entries (size, date, name) without extracting\n"
                "  -t, --test         check every entry's data against its CRC; nothing is written\n"
                "  -h, --help         show this help\n"
                "\n"
                "Without options, %s shows the folder chosen by the archive's maker (the\n"
                "current folder when none was chosen). Run from a terminal, it lets you press\n"
                "Enter to accept that folder or type another (\"~\" is your home folder); run\n"
                "without a terminal, it asks nothing. A missing folder is created, with its\n"
                "parents, unless the maker decided otherwise, in which case it is a failure.\n"
                "\n"
                "Every entry is checked before anything is written. Refused, and nothing is\n"
                "extracted: names that are absolute or contain \"..\" (\"\\\" counts as a\n"
                "separator too), links that lead outside the folder, paths that would pass\n"
                "through a link already in the folder leading outside it or through a link\n"
                "entry of the archive, encrypted entries and unknown compression methods.\n"
                "Each file is written under a temporary name and put in place only once\n"
                "complete and its CRC checked, so a failure or an interruption leaves the files\n"
                "completed before it and nothing half-written. Times, permission bits (never\n"
                "setuid, setgid or sticky) and links inside the folder are restored.\n"
                "\n"
                "After extracting, the closing message is shown when the maker asked for it,\n"
                "then the program the maker named, if any, is started in the target folder and\n"
                "waited for. When it is not where the maker named it, the extracted file of the\n"
                "same name is started instead.\n"
                "\n"
                "Exit status:\n"
                "  0     all went well (and the program started afterwards, if any, exited with 0)\n"
                "  1     extracting, listing or testing failed; the reason is on stderr\n"
                "  2     the command line was wrong\n"
                "  126   the program to start afterwards was found but could not be started\n"
                "  127   the program to start afterwards was not found\n"
                "  other the exit status of the program started afterwards (128+N: ended by signal N)\n",
                name, name);
}

int SfxProgram::run(const std::vector<std::string>& arguments)
{
    try {
        m_options = SfxOptions::parse(arguments);
    } catch (const SfxError& error) {
        std::fprintf(stderr, "%s: %s\nTry \"%s --help\".\n", m_name.c_str(), error.what(), m_name.c_str());
        return error.exitCode();
    }
    if (m_options.action == SfxOptions::Action::Help) {
        printHelp();
        return 0;
    }

    AttachedZip zip(m_archivePath, ownFileName(m_archivePath, m_name));
    switch (m_options.action) {
        case SfxOptions::Action::List: return list(zip);
        case SfxOptions::Action::Test: return test(zip);
        default: return extract(zip);
    }
}

int SfxProgram::list(AttachedZip& zip) const
{
    const std::vector<zipcore::Entry>& entries = zip.directory().entries;
    std::printf("%12s  %-16s  %s\n", "Size", "Date", "Name");
    std::uint64_t total = 0;
    for (const zipcore::Entry& entry : entries) {
        std::tm local{};
        char date[32] = "?";
        const std::time_t modified = AttachedZip::modified(entry);
        if (::localtime_r(&modified, &local))
            std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &local);
        std::printf("%12llu  %-16s  %s\n", static_cast<unsigned long long>(entry.size), date,
                    Text::printable(entry.name).c_str());
        total += entry.size;
    }
    std::printf("%12llu  %-16s  %zu %s\n", static_cast<unsigned long long>(total), "", entries.size(),
                entries.size() == 1 ? "entry" : "entries");
    return 0;
}

int SfxProgram::test(AttachedZip& zip) const
{
    // Entries sharing their data would be inflated once for each of them.
    zip.checkStructure();
    const std::vector<zipcore::Entry>& entries = zip.directory().entries;
    // Encrypted entries are tested with their password, asked as for an
    // extraction.
    PasswordPrompt prompt;
    zipcore::ActionPassword password(prompt);
    std::size_t damaged = 0;
    for (const zipcore::Entry& entry : entries) {
        try {
            const auto check = [&](const std::string* given) {
                zip.data().read(
                    entry, [](const char*, std::size_t) {}, given);
            };
            if (entry.encrypted())
                password.write(entry, [&](const std::string& given) { check(&given); });
            else
                check(nullptr);
            std::printf("    OK  %s\n", Text::printable(entry.name).c_str());
        } catch (const zipcore::ZipError& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s\n", m_name.c_str(), Text::printable(zip.describe(error)).c_str());
            ++damaged;
        }
    }
    if (damaged) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %zu of %zu entries failed the test\n", m_name.c_str(), damaged, entries.size());
        return 1;
    }
    std::printf("No errors: all %zu %s intact.\n", entries.size(), entries.size() == 1 ? "entry is" : "entries are");
    return 0;
}

std::string SfxProgram::chooseFolder(const zipcore::SfxSettings& settings) const
{
    if (m_options.hasTarget)
        return normalizedFolder(m_options.target);

    const std::string offered = normalizedFolder(settings.folder);
    if (!::isatty(STDIN_FILENO))
        return offered;

    std::printf("This archive extracts into %s\n"
                "Press Enter to accept, or type another folder: ",
                shownFolder(offered).c_str());
    std::fflush(stdout);
    std::string line;
    if (!readLine(line))
        throw SfxError("no folder was chosen; nothing was extracted");
    const std::string typed = Text::trim(line);
    return typed.empty() ? offered : normalizedFolder(typed);
}

int SfxProgram::extract(AttachedZip& zip)
{
    const zipcore::SfxSettings& settings = zip.settings();
    const std::string folder = chooseFolder(settings);
    std::printf("Extracting into %s\n", shownFolder(folder).c_str());

    struct stat info;
    const bool exists = ::stat(folder.c_str(), &info) == 0;
    if (exists && !S_ISDIR(info.st_mode))
        throw SfxError("cannot extract into " + folder + ": it is not a folder");
    if (!exists && !settings.create)
        throw SfxError("cannot extract into " + folder
                       + ": the folder does not exist, and this archive is set not to create it");

    PasswordPrompt prompt;
    zipcore::ActionPassword password(prompt);
    zip.setPassword(&password);
    Extraction extraction(zip, folder);
    extraction.check();
    extraction.run();
    const std::size_t count = zip.directory().entries.size();
    std::printf("Extracted %zu %s.\n", count, count == 1 ? "entry" : "entries");

    if (settings.show) {
        const std::string message = Text::trimRight(settings.message);
        if (!message.empty())
            std::printf("\n%s\n", Text::printableLines(message).c_str());
    }
    std::fflush(stdout);
    if (!settings.run.empty())
        return RunAfter::run(settings.run, folder, extraction.written());
    return 0;
}
