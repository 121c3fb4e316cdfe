#ifndef PLOVERN_ZIPCORE_ENTRYNAMES_H
#define PLOVERN_ZIPCORE_ENTRYNAMES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zipcore {

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
bool isValidUtf8(const std::string& bytes);

// A stored name or comment as UTF-8: taken as it is when flagged UTF-8 or
// when it is valid UTF-8 (many zippers write UTF-8 without the flag; libzip
// and Info-ZIP guess the same way), else read as CP437, the format's default.
std::string decodeName(const std::string& raw, std::uint16_t flags);

// A DOS date and time field, with out-of-range values brought into range as
// unzip does (month and day at least 1, hour at most 23, a day past the end of
// its month running on into the next). Local wall-clock time.
struct DosDateTime
{
    int year = 1980;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};
DosDateTime dosDateTime(std::uint16_t date, std::uint16_t time);

// A path below the target folder as its parts: held as one "/"-joined
// string and the end of each part in it, so that a name thousands of levels
// deep costs its own length and four bytes a level, not a string per level,
// and every leading run of parts is a view of that one string.
class EntryPath
{
public:
    std::size_t size() const { return m_ends.size(); }
    bool empty() const { return m_ends.empty(); }
    std::string_view operator[](std::size_t i) const
    {
        const std::size_t begin = i == 0 ? 0 : m_ends[i - 1] + 1;
        return std::string_view(m_text).substr(begin, m_ends[i] - begin);
    }
    std::string_view back() const { return (*this)[size() - 1]; }
    // The first `count` parts joined with "/".
    std::string_view joined(std::size_t count) const
    {
        return std::string_view(m_text).substr(0, count == 0 ? 0 : m_ends[count - 1]);
    }
    // All parts joined with "/".
    const std::string& text() const { return m_text; }

    // Appends a part; it holds no "/".
    void push_back(std::string_view part);

private:
    std::string m_text;
    std::vector<std::uint32_t> m_ends;
};

// The parts of an entry's path below the target folder: split at "/" and at
// "\" (zippers on Windows write either), "." and empty parts dropped. Throws
// ZipError UnsafeName for names that are absolute, start with a drive letter,
// have a ".." part, hold a NUL, are too long to be a path, or (but for
// folders, where "./" names the target itself) are empty.
EntryPath entryParts(const std::string& name, bool isFolder);

// A name (or any text from an archive) as shown in messages: control
// characters, NUL among them, could end the message early or drive the
// user's terminal, so each is written as "\x" and two hex digits; C1
// controls and bidirectional overrides and isolates, which terminals act on
// or which reorder the text after them, as "\u" and four.
std::string printableName(const std::string& text);

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_ENTRYNAMES_H
