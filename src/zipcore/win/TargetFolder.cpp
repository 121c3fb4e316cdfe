#include "TargetFolder.h"

#include "EntryNames.h"
#include "Wide.h"
#include "ZipError.h"

#include <algorithm>
#include <cstdio>
#include <windows.h>

namespace zipcore {

namespace {

constexpr int TemporaryAttempts = 100;

// Seconds between 1601-01-01 (FILETIME) and 1970-01-01 (Unix time).
constexpr std::int64_t EpochDifference = 11644473600LL;

FILETIME toFileTime(std::int64_t seconds)
{
    const std::uint64_t ticks = static_cast<std::uint64_t>((seconds + EpochDifference) * 10000000LL);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

bool isReservedDevice(const std::string& part)
{
    std::string base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1'
        && base[3] <= '9';
}

// A symbolic link, junction or mount point: what leads elsewhere by name.
// Other reparse points (cloud placeholders, deduplicated files) are ordinary
// files and folders as far as paths go.
bool leadsElsewhere(HANDLE handle, DWORD* attributes = nullptr)
{
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
        BY_HANDLE_FILE_INFORMATION basic = {};
        if (!::GetFileInformationByHandle(handle, &basic))
            return true;
        info.FileAttributes = basic.dwFileAttributes;
        info.ReparseTag = IO_REPARSE_TAG_SYMLINK; // unknown kind: assume the worst
    }
    if (attributes)
        *attributes = info.FileAttributes;
    return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(info.ReparseTag);
}

std::wstring finalPath(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
}

// Whether the final path of `handle` lies below `root` (a final path too);
// true also when the system gives no final path for it (Wine gives none
// longer than 260 characters): see WindowsTargetFolder::inside.
bool below(const std::wstring& root, HANDLE handle)
{
    const std::wstring path = finalPath(handle);
    if (path.empty())
        return true;
    return !root.empty() && path.size() > root.size() && path[root.size()] == L'\\'
        && ::CompareStringOrdinal(path.c_str(), static_cast<int>(root.size()), root.c_str(),
                                  static_cast<int>(root.size()), TRUE)
        == CSTR_EQUAL;
}

std::wstring temporaryName()
{
    static unsigned counter = 0;
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const unsigned random = static_cast<unsigned>(now.QuadPart) * 2654435761u ^ ::GetCurrentProcessId();
    wchar_t name[40];
    std::swprintf(name, 40, L".plovern-%08x%04x.tmp", random, ++counter & 0xffff);
    return name;
}

// Creates a new file under a fresh temporary name in `folder` (which ends in
// a backslash): 0 with `file` open and `path` set to its path, or the cause.
DWORD createTemporary(const std::wstring& folder, std::wstring& path, HANDLE& file)
{
    for (int attempt = 0; attempt < TemporaryAttempts; ++attempt) {
        path = folder + temporaryName();
        file = ::CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return 0;
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS)
            return error;
    }
    return ERROR_FILE_EXISTS;
}

// Writes all of `size` bytes; false with the cause left for GetLastError.
bool writeAll(HANDLE file, const char* data, std::size_t size)
{
    while (size > 0) {
        const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr))
            return false;
        data += written;
        size -= written;
    }
    return true;
}

} // namespace

void checkWindowsName(const std::string& entryName, const EntryPath& parts)
{
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string part(parts[i]);
        const char* why = nullptr;
        for (const char c : part) {
            if (static_cast<unsigned char>(c) < 0x20 || std::string("<>:\"|?*").find(c) != std::string::npos)
                why = "it holds a character that Windows does not allow in names";
        }
        if (!why && !part.empty() && (part.back() == '.' || part.back() == ' '))
            why = "a part of it ends with a dot or a space, which Windows drops";
        if (!why && isReservedDevice(part))
            why = "a part of it is a device name on Windows";
        if (why)
            throw ZipError(ZipErrc::UnsafeName, entryName, why);
    }
}

WindowsTargetFolder::WindowsTargetFolder(const std::string& path)
{
    const std::wstring given = widen(path.empty() ? std::string(".") : path);
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length + 1);
        length = ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    }
    full.resize(length < full.size() ? length : 0);
    if (full.empty())
        full = given;
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/'))
        full.pop_back();
    m_path = narrow(full);
    if (full.compare(0, 4, L"\\\\?\\") == 0)
        m_long = full;
    else if (full.compare(0, 2, L"\\\\") == 0)
        m_long = L"\\\\?\\UNC\\" + full.substr(2);
    else
        m_long = L"\\\\?\\" + full;
    if (m_long.back() == L'\\')
        m_long.pop_back(); // "C:\" is joined as "C:" + "\part"
}

WindowsTargetFolder::~WindowsTargetFolder()
{
    closeFrom(0);
    if (m_root)
        ::CloseHandle(m_root);
}

std::string WindowsTargetFolder::fullPath(const EntryPath& parts, std::size_t count) const
{
    std::string path = m_path;
    if (count == 0)
        return path;
    const std::size_t start = path.size() + (path.back() == '\\' ? 0 : 1);
    path += (path.back() == '\\' ? "" : "\\");
    path += parts.joined(count);
    std::replace(path.begin() + static_cast<std::ptrdiff_t>(start), path.end(), '/', '\\');
    return path;
}

std::wstring WindowsTargetFolder::longPath(const EntryPath& parts, std::size_t count) const
{
    // One conversion for the whole path, not one per part: a deep name is
    // opened level by level, and each level's path is made anew.
    if (count == 0)
        return m_long;
    std::wstring below = widen(std::string(parts.joined(count)));
    std::replace(below.begin(), below.end(), L'/', L'\\');
    return m_long + L"\\" + below;
}

void WindowsTargetFolder::create()
{
    const auto failed = [&](const std::string& path, DWORD error) {
        return ZipError(ZipErrc::CannotCreateFolder, path,
                        error == ERROR_DIRECTORY || error == ERROR_ALREADY_EXISTS ? "a file of that name is in the way"
                                                                                  : win32Message(error),
                        errnoFromWin32(error));
    };
    // Like "mkdir -p": each missing ancestor in turn, from the first one
    // after the drive or share.
    std::size_t start = 4; // after "\\?\"
    if (m_long.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        const std::size_t server = m_long.find(L'\\', 8);
        start = server == std::wstring::npos ? m_long.size() : m_long.find(L'\\', server + 1);
    } else {
        start = m_long.find(L'\\', 4);
    }
    while (start != std::wstring::npos && start < m_long.size()) {
        const std::size_t next = m_long.find(L'\\', start + 1);
        const std::wstring part = m_long.substr(0, next);
        if (!::CreateDirectoryW(part.c_str(), nullptr)) {
            const DWORD error = ::GetLastError();
            const DWORD attributes = ::GetFileAttributesW(part.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                throw failed(narrow(part.substr(part.compare(0, 8, L"\\\\?\\UNC\\") == 0 ? 6 : 4)), error);
        }
        start = next;
    }
    m_root =
        ::CreateFileW(m_long.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (m_root == INVALID_HANDLE_VALUE) {
        m_root = nullptr;
        throw failed(m_path, ::GetLastError());
    }
    m_final = finalPath(m_root);
    if (m_final.empty())
        throw failed(m_path, ::GetLastError());
    if (m_final.back() == L'\\')
        m_final.pop_back();
}

bool WindowsTargetFolder::inside(void* handle) const
{
    // A second line of defence: every folder of the path in use is held open
    // without FILE_SHARE_DELETE, so none can be renamed or replaced while it
    // is, and each was checked not to lead elsewhere as it was opened; the
    // lookup of a path below them passes through them alone. So where no
    // final path can be had, the handle is taken as inside rather than
    // refused with a claim that it leads outside.
    return below(m_final, handle);
}

void WindowsTargetFolder::closeFrom(std::size_t depth)
{
    // Deepest first: a folder is never left open below one that is closed.
    while (m_held.size() > depth) {
        ::CloseHandle(m_held.back().second);
        m_held.pop_back();
    }
}

void* WindowsTargetFolder::folder(const EntryPath& parts, std::size_t count, bool make)
{
    // Each folder is looked up by its parent's id and its name, so that a
    // deep path costs one lookup per part.
    std::size_t id = 0;
    void* handle = m_root;
    for (std::size_t i = 0; i < count; ++i) {
        const auto known = m_known.find({id, std::string(parts[i])});
        if (known != m_known.end() && i < m_held.size() && m_held[i].first == known->second) {
            id = known->second;
            handle = m_held[i].second;
            continue;
        }
        closeFrom(i);
        // The parent is held open and was checked, so a new folder is made
        // there and nowhere else; what stands at its place is checked as it
        // is opened.
        if (make && known == m_known.end() && !::CreateDirectoryW(longPath(parts, i + 1).c_str(), nullptr)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS)
                throw ZipError(ZipErrc::CannotCreateFolder, fullPath(parts, i + 1), win32Message(error),
                               errnoFromWin32(error));
        }
        handle = openChild(id, parts, i);
    }
    return handle;
}

void* WindowsTargetFolder::openChild(std::size_t& id, const EntryPath& parts, std::size_t index)
{
    const std::size_t count = index + 1;
    const HANDLE handle = ::CreateFileW(longPath(parts, count).c_str(),
                                        FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        throw ZipError(ZipErrc::CannotCreateFolder, fullPath(parts, count), win32Message(error), errnoFromWin32(error));
    }
    DWORD attributes = 0;
    const bool elsewhere = leadsElsewhere(handle, &attributes);
    if (elsewhere || !inside(handle)) {
        ::CloseHandle(handle);
        throw ZipError(ZipErrc::PathThroughLink, fullPath(parts, count),
                       elsewhere ? "a symbolic link or junction on the way could lead outside the target folder"
                                 : "the path leads outside the target folder");
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(handle);
        throw ZipError(ZipErrc::CannotCreateFolder, fullPath(parts, count), "a file of that name is in the way");
    }
    id = m_known.emplace(std::make_pair(id, std::string(parts[index])), m_known.size() + 1).first->second;
    m_held.emplace_back(id, static_cast<void*>(handle));
    return handle;
}

void WindowsTargetFolder::makeFolders(const EntryPath& parts, std::size_t count)
{
    folder(parts, count, true);
}

void WindowsTargetFolder::writeFile(const EntryPath& parts, unsigned /*mode*/, std::int64_t mtime,
                                    const Produce& produce)
{
    const std::string shown = fullPath(parts, parts.size());
    const auto failed = [&](DWORD error) {
        return ZipError(ZipErrc::CannotWrite, shown, win32Message(error), errnoFromWin32(error));
    };
    folder(parts, parts.size() - 1);
    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    const DWORD created = createTemporary(longPath(parts, parts.size() - 1) + L"\\", temporary, file);
    if (created != 0)
        throw failed(created);

    // Deleted when closed, whatever ends this process, until it is complete.
    FILE_DISPOSITION_INFO dispose = {TRUE};
    const bool disposing = ::SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
    try {
        fillFile(file, shown, mtime, produce);
        dispose.DeleteFile = FALSE;
        if (disposing && !::SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose))
            throw failed(::GetLastError());
    } catch (...) {
        ::CloseHandle(file);
        if (!disposing)
            ::DeleteFileW(temporary.c_str());
        throw;
    }
    if (!::CloseHandle(file)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(temporary.c_str());
        throw failed(error);
    }
    if (!::MoveFileExW(temporary.c_str(), longPath(parts, parts.size()).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(temporary.c_str());
        throw failed(error);
    }
}

void WindowsTargetFolder::fillFile(void* file, const std::string& shown, std::int64_t mtime,
                                   const Produce& produce) const
{
    const auto failed = [&](DWORD error) {
        return ZipError(ZipErrc::CannotWrite, shown, win32Message(error), errnoFromWin32(error));
    };
    if (!inside(file))
        throw ZipError(ZipErrc::PathThroughLink, shown, "the path leads outside the target folder");
    produce([&](const char* data, std::size_t size) {
        if (!writeAll(file, data, size))
            throw failed(::GetLastError());
    });
    const FILETIME time = toFileTime(mtime);
    if (!::SetFileTime(file, nullptr, &time, &time))
        throw failed(::GetLastError());
}

void WindowsTargetFolder::makeLink(const EntryPath& parts, const std::string& /*target*/, std::int64_t /*mtime*/)
{
    throw ZipError(ZipErrc::CannotWrite, fullPath(parts, parts.size()), "symbolic links are not made on Windows");
}

void WindowsTargetFolder::finishFolder(const EntryPath& parts, unsigned /*mode*/, std::int64_t mtime)
{
    if (parts.empty())
        return;
    folder(parts, parts.size());
    const HANDLE handle =
        ::CreateFileW(longPath(parts, parts.size()).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return; // a folder whose time cannot be set is still there with its files
    const FILETIME time = toFileTime(mtime);
    if (!leadsElsewhere(handle))
        ::SetFileTime(handle, nullptr, &time, &time);
    ::CloseHandle(handle);
}

DiskEntry WindowsTargetFolder::entryAt(const std::string& path)
{
    std::wstring full = m_long + L"\\" + widen(path);
    for (wchar_t& c : full) {
        if (c == L'/')
            c = L'\\';
    }
    const HANDLE handle =
        ::CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DiskEntry entry;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            entry.kind = DiskEntry::Kind::Other; // there may be something there
        return entry;
    }
    bool elsewhere = leadsElsewhere(handle);
    if (!elsewhere) {
        // Links that do not show as reparse points (a Unix link seen
        // through Wine) still show in the final path.
        const HANDLE root =
            ::CreateFileW(m_long.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (root != INVALID_HANDLE_VALUE) {
            std::wstring rootFinal = finalPath(root);
            if (!rootFinal.empty() && rootFinal.back() == L'\\')
                rootFinal.pop_back();
            elsewhere = !rootFinal.empty() && !below(rootFinal, handle);
            ::CloseHandle(root);
        }
    }
    ::CloseHandle(handle);
    entry.kind = elsewhere ? DiskEntry::Kind::Link : DiskEntry::Kind::Other;
    return entry;
}

} // namespace zipcore
