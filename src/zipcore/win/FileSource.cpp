#include "FileSource.h"

#include "Wide.h"

#include <windows.h>

namespace zipcore {

FileSource::FileSource(const std::string& path)
{
    const HANDLE handle = ::CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        m_error = errnoFromWin32(::GetLastError());
        return;
    }
    m_handle = handle;
    LARGE_INTEGER size;
    if (::GetFileSizeEx(handle, &size))
        m_size = static_cast<std::uint64_t>(size.QuadPart);
    else
        m_error = errnoFromWin32(::GetLastError());
}

FileSource::~FileSource()
{
    if (m_handle)
        ::CloseHandle(m_handle);
}

bool FileSource::readAt(std::uint64_t offset, void* buffer, std::size_t length)
{
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD got = 0;
        if (!::ReadFile(m_handle, out, chunk, &got, &at)) {
            const DWORD error = ::GetLastError();
            m_error = error == ERROR_HANDLE_EOF ? 0 : errnoFromWin32(error);
            return false;
        }
        if (got == 0) {
            m_error = 0;
            return false;
        }
        out += got;
        offset += got;
        length -= got;
    }
    return true;
}

} // namespace zipcore
