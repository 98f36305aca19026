#pragma once
// The few Windows types and calls the plugin uses. On Windows they are the platform's own; on
// Linux they stand in here, and the host implements the two calls (they name loaded modules,
// which only the platform's loader knows).

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// winuser.h's macro would rename RCONClientConnection::SendMessage in the files that see it, and
// windows.h is included once per file: after this line the name stays the host's.
#undef SendMessage

#else

#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using HMODULE = void*;
using LPVOID = void*;
using LPCSTR = const char*;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define WINAPI
#define APIENTRY

constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD DLL_THREAD_DETACH = 3;

constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;
constexpr DWORD MAX_PATH = 260;

extern "C" {
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, module_name is an address inside the module.
BOOL GetModuleHandleExA(DWORD flags, LPCSTR module_name, HMODULE* module);
// Writes the module's file path, NUL-terminated and cut to size; answers the units written.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size);
}

#endif
