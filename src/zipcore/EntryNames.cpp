#include "EntryNames.h"

#include "Cp437.h"
#include "ZipError.h"
#include "ZipFormat.h"

namespace zipcore {

namespace {

// Names and link targets are paths; longer than PATH_MAX is no real one, and
// refusing them keeps hostile names from costing time.
constexpr std::size_t MaxPath = 4096;

void appendUtf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xe0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

} // namespace

bool isValidUtf8(const std::string& bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t follow = 0;
        std::uint32_t code = 0;
        if ((c & 0xe0) == 0xc0) {
            follow = 1;
            code = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            follow = 2;
            code = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            follow = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= follow)
            return false;
        for (std::size_t i = 1; i <= follow; ++i) {
            if ((p[i] & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (p[i] & 0x3f);
        }
        static const std::uint32_t smallest[4] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[follow] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        p += follow + 1;
    }
    return true;
}

std::string decodeName(const std::string& raw, std::uint16_t flags)
{
    if ((flags & FlagUtf8) || isValidUtf8(raw))
        return raw;
    std::string out;
    out.reserve(raw.size() * 2);
    for (const char byte : raw) {
        const auto c = static_cast<unsigned char>(byte);
        appendUtf8(out, c < 0x80 ? c : Cp437::high[c - 0x80]);
    }
    return out;
}

DosDateTime dosDateTime(std::uint16_t date, std::uint16_t time)
{
    DosDateTime t;
    t.year = 1980 + (date >> 9);
    t.month = (date >> 5) & 0x0f;
    t.month = t.month < 1 ? 1 : (t.month > 12 ? 12 : t.month);
    t.day = date & 0x1f;
    if (t.day < 1)
        t.day = 1;
    if (t.day > daysInMonth(t.year, t.month)) {
        t.day -= daysInMonth(t.year, t.month);
        if (++t.month > 12) {
            t.month = 1;
            ++t.year;
        }
    }
    const int hour = time >> 11;
    const int minute = (time >> 5) & 0x3f;
    const int second = (time & 0x1f) * 2;
    t.hour = hour > 23 ? 23 : hour;
    t.minute = minute > 59 ? 59 : minute;
    t.second = second > 59 ? 59 : second;
    return t;
}

void EntryPath::push_back(std::string_view part)
{
    if (!m_ends.empty())
        m_text += '/';
    m_text += part;
    m_ends.push_back(static_cast<std::uint32_t>(m_text.size()));
}

EntryPath entryParts(const std::string& name, bool isFolder)
{
    const auto refuse = [&](const char* cause) { return ZipError(ZipErrc::UnsafeName, name, cause); };
    if (name.size() >= MaxPath)
        throw refuse("its name is too long to be a path");
    if (name.find('\0') != std::string::npos)
        throw refuse("its name contains a NUL character");
    if (!name.empty() && (name[0] == '/' || name[0] == '\\'))
        throw refuse("its name is an absolute path");
    if (name.size() >= 2 && name[1] == ':'
        && ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        throw refuse("its name starts with a drive letter");
    EntryPath parts;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '/' && name[i] != '\\')
            continue;
        const std::string_view part = std::string_view(name).substr(begin, i - begin);
        begin = i + 1;
        if (part == "..")
            throw refuse("its name contains a \"..\" part");
        if (!part.empty() && part != ".")
            parts.push_back(part);
    }
    if (parts.empty() && !isFolder)
        throw refuse("its name is empty");
    return parts;
}

std::string printableName(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = [&](std::size_t k) {
            return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        };
        if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else if (byte == 0xc2 && next(1) >= 0x80 && next(1) <= 0x9f) {
            // C1 controls (U+0080 to U+009F), which terminals act on too.
            out += "\\u00";
            out += hex[next(1) >> 4];
            out += hex[next(1) & 15];
            i += 1;
        } else if (byte == 0xe2
                   && ((next(1) == 0x80 && next(2) >= 0xaa && next(2) <= 0xae)
                       || (next(1) == 0x81 && next(2) >= 0xa6 && next(2) <= 0xa9))) {
            // Bidirectional embeddings, overrides and isolates (U+202A to
            // U+202E, U+2066 to U+2069): they reorder what follows them.
            const unsigned code = ((next(1) & 0x3fu) << 6) | (next(2) & 0x3fu) | 0x2000u;
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(code >> shift) & 15];
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace zipcore
