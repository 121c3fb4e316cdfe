#include "SfxWindow.h"

#include "AttachedZip.h"
#include "EntryDecryption.h"
#include "PasswordSource.h"
#include "Paths.h"
#include "Resources.h"
#include "SfxError.h"
#include "Text.h"
#include "Wide.h"
#include "WinApi.h"
#include "WinExtraction.h"
#include "WinRunAfter.h"

#include <atomic>
#include <memory>

namespace {

using zipcore::narrow;
using zipcore::widen;

enum : int { IdFolder = 100, IdBrowse, IdPassword, IdProgress, IdStatus };
enum : UINT { MsgProgress = WM_APP + 1, MsgEntry, MsgDone, MsgPassword };

const wchar_t* const ClassName = L"PlovernSelfExtractor";

class Window;

// Tells the window, from the extracting thread, how far it got.
class WindowObserver : public WinExtraction::Observer
{
public:
    WindowObserver(HWND window, std::uint64_t total, const std::atomic<bool>& cancel)
        : m_window(window)
        , m_total(total)
        , m_cancel(cancel)
    {}

    void entry(const char* what, const std::string& name, const std::string&) override
    {
        if (std::string(what) == "extracting")
            ::PostMessageW(m_window, MsgEntry, 0, reinterpret_cast<LPARAM>(new std::wstring(widen(name))));
    }
    void progress(std::uint64_t done) override
    {
        const unsigned permille = m_total ? static_cast<unsigned>(done * 1000 / m_total) : 1000;
        if (permille != m_permille) {
            m_permille = permille;
            ::PostMessageW(m_window, MsgProgress, permille, 0);
        }
    }
    bool cancelled() override { return m_cancel.load(); }

private:
    HWND m_window;
    std::uint64_t m_total;
    const std::atomic<bool>& m_cancel;
    unsigned m_permille = 0;
};

// What the extracting thread asks the window for (MsgPassword), answered
// before SendMessage returns.
struct PasswordRequest
{
    std::wstring text; // which entry, and whether the last password was wrong
    std::wstring password;
    bool given = false;
};

INT_PTR CALLBACK passwordDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_INITDIALOG: {
            ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            const auto* request = reinterpret_cast<PasswordRequest*>(lParam);
            ::SetDlgItemTextW(dialog, IDC_PASSWORD_TEXT, request->text.c_str());
            ::SetFocus(::GetDlgItem(dialog, IDC_PASSWORD_EDIT));
            return FALSE; // the focus is set
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                auto* request = reinterpret_cast<PasswordRequest*>(::GetWindowLongPtrW(dialog, DWLP_USER));
                if (LOWORD(wParam) == IDOK) {
                    wchar_t typed[1024];
                    ::GetDlgItemTextW(dialog, IDC_PASSWORD_EDIT, typed, 1024);
                    request->password = typed;
                    request->given = true;
                    ::SecureZeroMemory(typed, sizeof typed);
                }
                ::EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            break;
    }
    return FALSE;
}

// The passwords of encrypted entries: the one typed in the window's field
// first, then the prompt, asked for on the window's thread.
class WindowPasswords : public zipcore::PasswordSource
{
public:
    WindowPasswords(HWND window, const std::string& archive, std::string typed)
        : m_window(window)
        , m_archive(archive)
        , m_typed(std::move(typed))
    {}

    bool ask(const std::string& entryName, bool wrong, std::string& password) override
    {
        if (!m_typedTried && !m_typed.empty()) {
            m_typedTried = true;
            password = m_typed;
            return true;
        }
        m_typedTried = true;
        PasswordRequest request;
        const std::string entry = "\"" + Text::printable(entryName) + "\"";
        request.text =
            widen(wrong ? "The password did not fit " + entry + " in " + m_archive + ". Type the right password:"
                        : entry + " in " + m_archive + " is encrypted. Type its password:");
        ::SendMessageW(m_window, MsgPassword, 0, reinterpret_cast<LPARAM>(&request));
        if (!request.given)
            return false;
        password = zipcore::narrow(request.password);
        return true;
    }

private:
    HWND m_window;
    std::string m_archive;
    std::string m_typed;
    bool m_typedTried = false;
};

class Window
{
public:
    Window(AttachedZip& zip, const std::string& name)
        : m_zip(zip)
        , m_name(name)
    {}

    int exec();

    const std::string& target() const { return m_target; }
    const std::vector<std::string>& written() const { return m_extraction->written(); }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI extractThread(void* self);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void createControls();
    HWND control(const wchar_t* kind, const std::wstring& text, DWORD style, int id, int x, int y, int width,
                 int height, DWORD extended = 0);
    void browse();
    void start();
    void finished();
    void setWorking(bool working);
    void fail(const std::string& text);

    AttachedZip& m_zip;
    std::string m_name;
    HWND m_window = nullptr;
    HWND m_folder = nullptr;
    HWND m_browse = nullptr;
    HWND m_password = nullptr;
    HWND m_progress = nullptr;
    HWND m_status = nullptr;
    HWND m_extract = nullptr;
    HWND m_cancelButton = nullptr;
    HFONT m_font = nullptr;

    HANDLE m_thread = nullptr;
    std::atomic<bool> m_cancel{false};
    std::unique_ptr<WinExtraction> m_extraction;
    std::unique_ptr<WindowPasswords> m_passwords;
    std::unique_ptr<zipcore::ActionPassword> m_actionPassword; // of one press of Extract
    std::string m_target;
    std::string m_failure; // set by the thread when it failed
    bool m_cancelled = false;
    bool m_done = false; // extracted: the window closes
    int m_exitCode = 1;
};

HWND Window::control(const wchar_t* kind, const std::wstring& text, DWORD style, int id, int x, int y, int width,
                     int height, DWORD extended)
{
    const HWND handle =
        ::CreateWindowExW(extended, kind, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, width, height, m_window,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr), nullptr);
    ::SendMessageW(handle, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), TRUE);
    return handle;
}

void Window::createControls()
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    m_font = ::CreateFontIndirectW(&metrics.lfMessageFont);

    control(L"STATIC", L"Archive: " + widen(m_name), SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, -1, 12, 12, 436, 20);
    control(L"STATIC", L"Extract the files into this folder:", SS_LEFT, -1, 12, 40, 436, 20);
    const std::string offered = Paths::absolute(Paths::folder(m_zip.settings().folder));
    m_folder =
        control(L"EDIT", widen(offered), WS_TABSTOP | ES_AUTOHSCROLL, IdFolder, 12, 62, 330, 24, WS_EX_CLIENTEDGE);
    m_browse = control(L"BUTTON", L"Browse\u2026", WS_TABSTOP | BS_PUSHBUTTON, IdBrowse, 350, 61, 98, 26);
    // For encrypted entries; the prompt asks when it is empty or wrong.
    control(L"STATIC", L"Password:", SS_LEFT, -1, 12, 100, 76, 20);
    m_password =
        control(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, IdPassword, 92, 96, 250, 24, WS_EX_CLIENTEDGE);
    m_progress = control(PROGRESS_CLASSW, L"", 0, IdProgress, 12, 138, 436, 18);
    ::SendMessageW(m_progress, PBM_SETRANGE32, 0, 1000);
    m_status = control(L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS, IdStatus, 12, 162, 436, 20);
    m_extract = control(L"BUTTON", L"Extract", WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, 244, 196, 98, 28);
    m_cancelButton = control(L"BUTTON", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, IDCANCEL, 350, 196, 98, 28);
    ::SetFocus(m_folder);
    ::SendMessageW(m_folder, EM_SETSEL, 0, -1);
}

void Window::setWorking(bool working)
{
    ::EnableWindow(m_folder, !working);
    ::EnableWindow(m_browse, !working);
    ::EnableWindow(m_password, !working);
    ::EnableWindow(m_extract, !working);
    if (!working)
        ::SetFocus(m_folder);
}

void Window::fail(const std::string& text)
{
    ::MessageBoxW(m_window, widen(text).c_str(), widen(m_name).c_str(), MB_OK | MB_ICONERROR);
}

void Window::browse()
{
    IFileOpenDialog* dialog = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                                  reinterpret_cast<void**>(&dialog))))
        return;
    DWORD options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    wchar_t typed[32768];
    ::GetWindowTextW(m_folder, typed, 32768);
    IShellItem* start = nullptr;
    if (SUCCEEDED(::SHCreateItemFromParsingName(typed, nullptr, IID_IShellItem, reinterpret_cast<void**>(&start)))) {
        dialog->SetFolder(start);
        start->Release();
    }
    IShellItem* chosen = nullptr;
    if (SUCCEEDED(dialog->Show(m_window)) && SUCCEEDED(dialog->GetResult(&chosen))) {
        wchar_t* path = nullptr;
        if (SUCCEEDED(chosen->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
            ::SetWindowTextW(m_folder, path);
            ::CoTaskMemFree(path);
        }
        chosen->Release();
    }
    dialog->Release();
}

void Window::start()
{
    wchar_t typed[32768];
    ::GetWindowTextW(m_folder, typed, 32768);
    const std::string folder = Paths::absolute(Paths::folder(Text::trim(narrow(typed))));
    const DWORD attributes = ::GetFileAttributesW(widen(folder).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fail("Cannot extract into " + folder + ": it is not a folder.");
        return;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES && !m_zip.settings().create) {
        fail("Cannot extract into " + folder
             + ": the folder does not exist, and this archive is set not to create it.");
        return;
    }
    m_target = folder;
    m_failure.clear();
    m_cancelled = false;
    m_cancel = false;
    ::SendMessageW(m_progress, PBM_SETPOS, 0, 0);
    setWorking(true);
    ::SetWindowTextW(m_status, L"Checking the entries\u2026");
    m_extraction.reset(new WinExtraction(m_zip, m_target));
    std::wstring password(::GetWindowTextLengthW(m_password) + 1, L'\0');
    password.resize(::GetWindowTextW(m_password, &password[0], static_cast<int>(password.size())));
    m_passwords.reset(new WindowPasswords(m_window, m_name, narrow(password)));
    m_actionPassword.reset(new zipcore::ActionPassword(*m_passwords));
    m_zip.setPassword(m_actionPassword.get());
    m_thread = ::CreateThread(nullptr, 0, extractThread, this, 0, nullptr);
    if (!m_thread) {
        setWorking(false);
        fail("Cannot start extracting: " + zipcore::win32Message(::GetLastError()));
    }
}

DWORD WINAPI Window::extractThread(void* self)
{
    Window& window = *static_cast<Window*>(self);
    try {
        window.m_extraction->check();
        WindowObserver observer(window.m_window, window.m_extraction->totalBytes(), window.m_cancel);
        window.m_extraction->run(observer);
    } catch (const SfxError& error) {
        window.m_failure = error.what();
    } catch (const WinExtraction::Cancelled&) {
        window.m_cancelled = true;
    } catch (const std::bad_alloc&) {
        window.m_failure = "out of memory";
    } catch (const std::exception& error) {
        window.m_failure = error.what();
    }
    ::PostMessageW(window.m_window, MsgDone, 0, 0);
    return 0;
}

void Window::finished()
{
    ::WaitForSingleObject(m_thread, INFINITE);
    ::CloseHandle(m_thread);
    m_thread = nullptr;
    if (m_cancelled) {
        ::MessageBoxW(m_window,
                      widen("Extraction cancelled. The files completed before it are in " + m_target + ".").c_str(),
                      widen(m_name).c_str(), MB_OK | MB_ICONINFORMATION);
        ::DestroyWindow(m_window);
        return;
    }
    if (!m_failure.empty()) {
        setWorking(false);
        ::SetWindowTextW(m_status, L"");
        fail(Text::printable(m_failure));
        return;
    }
    ::SendMessageW(m_progress, PBM_SETPOS, 1000, 0);
    std::string status = "Extracted into " + m_target;
    if (m_extraction->skippedLinks())
        status += " (" + std::to_string(m_extraction->skippedLinks()) + " links skipped)";
    ::SetWindowTextW(m_status, widen(status).c_str());
    const zipcore::SfxSettings& settings = m_zip.settings();
    const std::string message = Text::trimRight(settings.message);
    if (settings.show && !message.empty())
        ::MessageBoxW(m_window, widen(message).c_str(), widen(m_name).c_str(), MB_OK | MB_ICONINFORMATION);
    m_done = true;
    m_exitCode = 0;
    ::DestroyWindow(m_window);
}

LRESULT CALLBACK Window::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->m_window = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Window*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self)
        return ::DefWindowProcW(window, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT Window::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_CREATE: createControls(); return 0;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:
                    if (!m_thread)
                        start();
                    return 0;
                case IDCANCEL:
                    if (m_thread)
                        m_cancel = true; // the thread stops at the next piece of data
                    else
                        ::DestroyWindow(m_window);
                    return 0;
                case IdBrowse: browse(); return 0;
            }
            break;
        case WM_CLOSE: ::SendMessageW(m_window, WM_COMMAND, IDCANCEL, 0); return 0;
        case MsgProgress: ::SendMessageW(m_progress, PBM_SETPOS, wParam, 0); return 0;
        case MsgEntry: {
            std::unique_ptr<std::wstring> name(reinterpret_cast<std::wstring*>(lParam));
            ::SetWindowTextW(m_status, name->c_str());
            return 0;
        }
        case MsgDone: finished(); return 0;
        case MsgPassword:
            ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PASSWORD), m_window, passwordDialog,
                              lParam);
            return 0;
        case WM_CTLCOLORSTATIC:
            ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
        case WM_DESTROY: ::PostQuitMessage(0); return 0;
    }
    return ::DefWindowProcW(m_window, message, wParam, lParam);
}

int Window::exec()
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    if (!windowClass.hIcon)
        windowClass.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = ClassName;
    ::RegisterClassExW(&windowClass);

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, 460, 236};
    ::AdjustWindowRectEx(&frame, style, FALSE, WS_EX_DLGMODALFRAME);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 3;
    const std::wstring title = widen(m_name) + L" \u2013 self-extracting archive";
    if (!::CreateWindowExW(WS_EX_DLGMODALFRAME, ClassName, title.c_str(), style, x, y, width, height, nullptr, nullptr,
                           instance, this))
        throw SfxError("cannot open the window: " + zipcore::win32Message(::GetLastError()));
    ::ShowWindow(m_window, SW_SHOWNORMAL);
    ::SetForegroundWindow(m_window);
    ::SetFocus(m_folder);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab moves between the controls, Enter presses Extract and Escape
        // Cancel, as in a dialog box.
        if (::IsDialogMessageW(m_window, &message))
            continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (m_font)
        ::DeleteObject(m_font);
    return m_exitCode;
}

} // namespace

namespace SfxWindow {

int run(const std::string& ownPath, const std::string& name)
{
    const auto show = [&](const std::string& text) {
        ::MessageBoxW(nullptr, widen(Text::printable(text)).c_str(), widen(name).c_str(), MB_OK | MB_ICONERROR);
    };
    std::unique_ptr<AttachedZip> zip;
    try {
        zip.reset(new AttachedZip(ownPath, name));
    } catch (const SfxError& error) {
        show(error.what());
        return error.exitCode();
    }
    Window window(*zip, name);
    const int code = window.exec();
    if (code != 0 || zip->settings().run.empty())
        return code;
    const WinRunAfter::Outcome outcome = WinRunAfter::run(zip->settings().run, window.target(), window.written());
    if (!outcome.problem.empty())
        show(outcome.problem);
    return outcome.exitCode;
}

} // namespace SfxWindow
