#include "Paths.h"

#include "Wide.h"

#include <windows.h>

namespace Paths {

std::string windowsForm(const std::string& path)
{
    std::string out = path;
    if (!out.empty() && out[0] == '~' && (out.size() == 1 || out[1] == '/' || out[1] == '\\')) {
        wchar_t profile[MAX_PATH];
        const DWORD length = ::GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            out = zipcore::narrow(profile) + out.substr(1);
    }
    for (char& c : out) {
        if (c == '/')
            c = '\\';
    }
    return out;
}

std::string folder(const std::string& typed)
{
    std::string out = windowsForm(typed);
    if (out.empty())
        out = ".";
    // Keep "\" and "C:\" whole.
    while (out.size() > 1 && out.back() == '\\' && !(out.size() == 3 && out[1] == ':'))
        out.pop_back();
    return out;
}

std::string absolute(const std::string& path)
{
    const std::wstring given = zipcore::widen(path);
    wchar_t full[32768];
    const DWORD length = ::GetFullPathNameW(given.c_str(), 32768, full, nullptr);
    if (length == 0 || length >= 32768)
        return path;
    return zipcore::narrow(std::wstring(full, length));
}

bool isAbsolute(const std::string& path)
{
    return (path.size() >= 2 && path[1] == ':') || (!path.empty() && path[0] == '\\');
}

std::string join(const std::string& folder, const std::string& relative)
{
    if (folder.empty() || folder.back() == '\\')
        return folder + windowsForm(relative);
    return folder + "\\" + windowsForm(relative);
}

std::string baseName(const std::string& path)
{
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

} // namespace Paths
