#include "Console.h"

#include "Wide.h"

#include <windows.h>

namespace Console {

namespace {

HANDLE g_out = nullptr;
HANDLE g_err = nullptr;

bool usable(HANDLE handle)
{
    return handle && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

void write(HANDLE handle, const std::string& text)
{
    if (!usable(handle) || text.empty())
        return;
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        // A console shows UTF-16 whatever its code page is.
        const std::wstring wide = zipcore::widen(text);
        DWORD written = 0;
        ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    const char* data = text.data();
    std::size_t size = text.size();
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) || written == 0)
            return;
        data += written;
        size -= written;
    }
}

} // namespace

void attach()
{
    g_out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    g_err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (usable(g_out) && usable(g_err))
        return;
    if (!::AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    const auto open = [] {
        return ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    };
    if (!usable(g_out))
        g_out = open();
    if (!usable(g_err))
        g_err = open();
    // A console prompt does not wait for a windowed program: start on a
    // line of our own rather than after the prompt.
    write(g_out, "\n");
}

void out(const std::string& utf8)
{
    write(g_out, utf8);
}

void err(const std::string& utf8)
{
    write(g_err, utf8);
}

} // namespace Console
