#include "WinRunAfter.h"

#include "Paths.h"
#include "Wide.h"
#include "WinApi.h"

namespace {

using zipcore::narrow;
using zipcore::widen;

bool isFile(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool sameName(const std::string& a, const std::string& b)
{
    const std::wstring wa = widen(a);
    const std::wstring wb = widen(b);
    return ::CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(), static_cast<int>(wb.size()),
                                  TRUE)
        == CSTR_EQUAL;
}

std::string locate(const std::string& program, const std::string& folder, const std::vector<std::string>& extracted)
{
    const std::string stored = Paths::windowsForm(program);
    const std::string direct = Paths::isAbsolute(stored) ? stored : Paths::join(folder, stored);
    if (isFile(direct))
        return direct;

    const std::size_t cut = stored.find_last_of('\\');
    const std::string base = cut == std::string::npos ? stored : stored.substr(cut + 1);
    if (base.empty())
        return std::string();
    for (const std::string& path : extracted) {
        if (sameName(path, base) && isFile(Paths::join(folder, path)))
            return Paths::join(folder, path);
    }
    for (const std::string& path : extracted) {
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos && sameName(path.substr(slash + 1), base)
            && isFile(Paths::join(folder, Paths::windowsForm(path))))
            return Paths::join(folder, Paths::windowsForm(path));
    }
    return std::string();
}

bool isProgram(const std::string& path)
{
    const std::size_t dot = path.find_last_of(".\\");
    if (dot == std::string::npos || path[dot] != '.')
        return false;
    const std::string extension = path.substr(dot);
    return sameName(extension, ".exe") || sameName(extension, ".com");
}

} // namespace

namespace WinRunAfter {

Outcome run(const std::string& program, const std::string& folder, const std::vector<std::string>& extracted)
{
    Outcome outcome;
    const std::string found = locate(program, folder, extracted);
    if (found.empty()) {
        outcome.exitCode = 127;
        outcome.problem = "cannot find the program \"" + program + "\" to run after extracting, in " + folder
            + " or among the files extracted";
        return outcome;
    }
    const std::wstring path = widen(found);
    const std::wstring directory = widen(folder);
    HANDLE process = nullptr;
    DWORD error = 0;
    if (isProgram(found)) {
        std::wstring commandLine = L"\"" + path + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (::CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(),
                             &startup, &info)) {
            ::CloseHandle(info.hThread);
            process = info.hProcess;
        } else {
            error = ::GetLastError();
        }
    } else {
        SHELLEXECUTEINFOW execute = {};
        execute.cbSize = sizeof execute;
        execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
        execute.lpFile = path.c_str();
        execute.lpDirectory = directory.c_str();
        execute.nShow = SW_SHOWNORMAL;
        if (::ShellExecuteExW(&execute))
            process = execute.hProcess; // none when an already running program took the document
        else
            error = ::GetLastError();
    }
    if (error != 0) {
        outcome.exitCode = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 127 : 126;
        outcome.problem = "cannot start " + found + ": " + zipcore::win32Message(error);
        return outcome;
    }
    outcome.started = found;
    if (process) {
        ::WaitForSingleObject(process, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(process, &code);
        ::CloseHandle(process);
        outcome.exitCode = static_cast<int>(code);
    }
    return outcome;
}

} // namespace WinRunAfter
