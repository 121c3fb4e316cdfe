#include "SfxSettings.h"

namespace {

// Values escape only "\\" and "\n"; any other backslash is kept as it is, so
// that a Windows-style path written by an older maker survives unchanged.
std::string unescape(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            if (value[i + 1] == '\\') {
                out += '\\';
                ++i;
                continue;
            }
            if (value[i + 1] == 'n') {
                out += '\n';
                ++i;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

void readFlag(const std::string& value, bool& flag)
{
    if (value == "1")
        flag = true;
    else if (value == "0")
        flag = false;
    // Anything else keeps the default rather than guessing.
}

} // namespace

SfxSettings SfxSettings::parse(const std::string& block)
{
    SfxSettings settings;
    std::size_t start = 0;
    while (start < block.size()) {
        std::size_t end = block.find('\n', start);
        if (end == std::string::npos)
            end = block.size();
        const std::string line = block.substr(start, end - start);
        start = end + 1;

        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = unescape(line.substr(eq + 1));
        if (key == "folder")
            settings.folder = value;
        else if (key == "create")
            readFlag(value, settings.create);
        else if (key == "message")
            settings.message = value;
        else if (key == "show")
            readFlag(value, settings.show);
        else if (key == "run")
            settings.run = value;
    }
    return settings;
}
