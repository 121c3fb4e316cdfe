#ifndef PLOVERN_SFX_WIN_WINAPI_H
#define PLOVERN_SFX_WIN_WINAPI_H

// The Win32 headers the runtime uses. <windows.h> has to come before the
// others, an order that sorted includes would not keep.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shobjidl.h>
// clang-format on

#endif // PLOVERN_SFX_WIN_WINAPI_H
