// Basic Win32 types and result codes of the OS layer.
//
// The layer gives the library the Windows services it was designed against,
// under their Win32/COM names, inside the namespace Norvale::OS. Subsystems
// bring it in with `using namespace Norvale::OS;`. Only the narrow (A) forms
// exist and no renaming macros are defined.
#pragma once

#include <cstdint>

#include "norvale/com.h"

namespace Norvale::OS {
struct SECURITY_ATTRIBUTES;

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using SHORT = std::int16_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using HANDLE = void*;
using HWND = void*;
using LPCSTR = const char*;
using LPSTR = char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using PSID = void*;
using LPVOID = void*;
using REGSAM = DWORD;
using VARIANT_BOOL = SHORT;
using VARTYPE = std::uint16_t;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

// Win32 error codes used by the library.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;
constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_TIMEOUT = 1460;

// HRESULTs. The casts keep the familiar hexadecimal spelling.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = static_cast<HRESULT>(0x80080005u);
constexpr HRESULT RPC_E_DISCONNECTED = static_cast<HRESULT>(0x80010108u);
constexpr HRESULT RPC_E_TIMEOUT = static_cast<HRESULT>(0x8001011Fu);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// The Win32-code-to-HRESULT conversion: a code of zero or less is kept, a
// positive code becomes (code & 0xFFFF) | 0x80070000.
constexpr HRESULT HRESULT_FROM_WIN32(LONG code) {
  return code <= 0 ? static_cast<HRESULT>(code)
                   : static_cast<HRESULT>((static_cast<std::uint32_t>(code) & 0x0000FFFFu) | 0x80070000u);
}

// The calling thread's last Win32 error (thread-local, as on Windows).
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

}  // namespace Norvale::OS
