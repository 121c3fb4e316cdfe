#include "Console.h"

#include "Wide.h"

#include <windows.h>

namespace Console {

namespace {

HANDLE g_out = nullptr;
HANDLE g_err = nullptr;
HANDLE g_in = nullptr;
bool g_inOpened = false;
// Bytes of standard input read past the line taken, for the next password.
std::string g_pending;
// The console's mode while echo is off, to restore when Ctrl+C ends us.
HANDLE g_echoOff = nullptr;
DWORD g_savedMode = 0;

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

BOOL WINAPI restoreEcho(DWORD)
{
    if (g_echoOff)
        ::SetConsoleMode(g_echoOff, g_savedMode);
    return FALSE; // the default handling (ending the program) goes on
}

HANDLE input()
{
    if (g_inOpened)
        return g_in;
    g_inOpened = true;
    g_in = ::GetStdHandle(STD_INPUT_HANDLE);
    if (usable(g_in))
        return g_in;
    // A windowed program gets no standard input of its own unless it was
    // redirected: then it is the console of the program that started it.
    if (!::AttachConsole(ATTACH_PARENT_PROCESS) && ::GetLastError() != ERROR_ACCESS_DENIED)
        return g_in = nullptr;
    g_in = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    return usable(g_in) ? g_in : (g_in = nullptr);
}

bool validUtf8(const std::string& text)
{
    return text.empty()
        || ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0)
        > 0;
}

bool readConsoleLine(HANDLE handle, DWORD mode, std::string& line)
{
    g_echoOff = handle;
    g_savedMode = mode;
    ::SetConsoleCtrlHandler(restoreEcho, TRUE);
    ::SetConsoleMode(handle,
                     (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
    std::wstring typed;
    bool ended = false;
    for (;;) {
        wchar_t buffer[256];
        DWORD got = 0;
        if (!::ReadConsoleW(handle, buffer, 256, &got, nullptr) || got == 0) {
            ended = typed.empty();
            break;
        }
        typed.append(buffer, got);
        if (typed.find(L'\n') != std::wstring::npos)
            break;
    }
    ::SetConsoleMode(handle, mode);
    ::SetConsoleCtrlHandler(restoreEcho, FALSE);
    g_echoOff = nullptr;
    // The Enter typed was not echoed either.
    err("\n");
    const std::size_t end = typed.find_first_of(L"\r\n");
    line = zipcore::narrow(typed.substr(0, end));
    return !ended;
}

bool readInputLine(HANDLE handle, std::string& line)
{
    for (;;) {
        const std::size_t end = g_pending.find('\n');
        if (end != std::string::npos) {
            line = g_pending.substr(0, end);
            g_pending.erase(0, end + 1);
            break;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!::ReadFile(handle, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            // The last line may lack its line break.
            if (g_pending.empty())
                return false;
            line.swap(g_pending);
            g_pending.clear();
            break;
        }
        g_pending.append(buffer, got);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    // Text piped from a Windows program is usually in the ANSI code page
    // rather than UTF-8.
    if (!validUtf8(line)) {
        std::wstring wide(line.size(), L'\0');
        const int length = ::MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), &wide[0],
                                                 static_cast<int>(wide.size()));
        wide.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        line = zipcore::narrow(wide);
    }
    return true;
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

namespace Console {

bool interactive()
{
    DWORD mode = 0;
    const HANDLE handle = input();
    return handle && ::GetConsoleMode(handle, &mode);
}

bool readPassword(const std::string& prompt, std::string& password)
{
    const HANDLE handle = input();
    if (!handle)
        return false;
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        if (!usable(g_err))
            g_err = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        err(prompt);
        return readConsoleLine(handle, mode, password);
    }
    return readInputLine(handle, password);
}

} // namespace Console
