#ifndef PLOVERN_SFX_TEXT_H
#define PLOVERN_SFX_TEXT_H

#include "EntryNames.h"

#include <cstdlib>
#include <string>

// Small text helpers shared by the self-extractor's parts.
namespace Text {

// Entry names come from whoever made the archive; they are shown with
// control characters escaped, as the engine shows them.
inline std::string printable(const std::string& text)
{
    return zipcore::printableName(text);
}

// A text of several lines from the archive's maker (the closing message),
// cleaned as names are, line by line, so that its line breaks stay.
inline std::string printableLines(const std::string& text)
{
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out += zipcore::printableName(text.substr(start, end - start)) + '\n';
    return out + zipcore::printableName(text.substr(start));
}

// Drops the spaces and tabs at the end of every line and the empty lines at
// the end of the text.
inline std::string trimRight(const std::string& text)
{
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.pop_back();
        out += line;
        if (end < text.size())
            out += '\n';
        start = end + 1;
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

inline std::string trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// "~" and "~/..." stand for the home folder, as in a shell: makers type such
// folders and users type them at the prompt, where no shell expands them.
inline std::string expandHome(const std::string& path)
{
    const char* home = std::getenv("HOME");
    if (!home || !*home || path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/'))
        return path;
    return std::string(home) + path.substr(1);
}

} // namespace Text

#endif // PLOVERN_SFX_TEXT_H
