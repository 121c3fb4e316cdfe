#include "Console.h"
#include "Paths.h"
#include "SfxError.h"
#include "Text.h"
#include "Wide.h"
#include "WinApi.h"
#include "WinSfxProgram.h"

#include <cstdlib>
#include <ctime>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace {

std::string ownPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::string();
        if (length < path.size()) {
            path.resize(length);
            return zipcore::narrow(path);
        }
        path.resize(path.size() * 2);
    }
}

std::vector<std::string> arguments()
{
    std::vector<std::string> out;
    int count = 0;
    wchar_t** list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!list)
        return out;
    for (int i = 1; i < count; ++i)
        out.push_back(zipcore::narrow(list[i]));
    ::LocalFree(list);
    return out;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The C runtime would read a TZ variable in its own format and misread
    // the Unix one that some environments set: times follow Windows' own
    // time zone instead.
    ::_putenv("TZ=");
    ::_tzset();
    // The folder picker and the shell's "open" need COM.
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const std::string path = ownPath();
    const std::string name = Paths::baseName(path);
    const std::vector<std::string> args = arguments();
    const auto report = [&](const std::string& text) {
        if (args.empty())
            ::MessageBoxW(nullptr, zipcore::widen(text).c_str(), zipcore::widen(name).c_str(), MB_OK | MB_ICONERROR);
        else
            Console::err(name + ": " + text + "\n");
    };
    int code = 1;
    try {
        WinSfxProgram program(path);
        code = program.run(args);
    } catch (const SfxError& error) {
        report(Text::printable(error.what()));
        code = error.exitCode();
    } catch (const std::bad_alloc&) {
        report("out of memory");
    } catch (const std::exception& error) {
        report(error.what());
    }
    ::CoUninitialize();
    return code;
}
