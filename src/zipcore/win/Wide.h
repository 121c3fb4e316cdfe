#ifndef PLOVERN_ZIPCORE_WIDE_H
#define PLOVERN_ZIPCORE_WIDE_H

#include <string>

namespace zipcore {

// Windows speaks UTF-16; the zip core and the settings speak UTF-8.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

// The errno value closest to a Win32 error code, so that messages built with
// strerror() read the same on both systems.
int errnoFromWin32(unsigned long error);

// The text Windows gives for a Win32 error code, in UTF-8, without the
// trailing line break.
std::string win32Message(unsigned long error);

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_WIDE_H
