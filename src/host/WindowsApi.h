#pragma once
// The few Windows types and calls the plugin uses, for a Linux host. The host implements the two
// calls (they name loaded modules, which only the platform's loader knows).

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
