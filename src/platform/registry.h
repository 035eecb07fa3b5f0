// The registry, as a directory tree.
//
// Keys live under $NORVALE_ROOT/etc/norvale/registry/<HIVE>/: a key is a
// directory, a value a file holding the raw bytes of its data (string values
// only). Names are case-insensitive (ASCII letters) and case-preserving.
// Value names may hold any byte but NUL; what a file name cannot hold (a
// slash, a leading dot, the percent sign itself, the empty name) is written
// as %XX. A value and a sub-key of the same name cannot both exist: setting a
// value where a sub-key of that name exists fails with ERROR_ALREADY_EXISTS,
// and creating a sub-key over a value likewise.
//
// Writes are atomic (a temporary file renamed into place, under an
// exclusive lock on the key's directory), so readers in any process never see
// half a value, and several processes may read and write the tree at once.
//
// Rights are the file system's: create-or-open for writing succeeds only
// where the process may write the key's directory (a missing key is then
// created); open for reading needs read access; otherwise
// ERROR_ACCESS_DENIED. A missing key or value gives ERROR_FILE_NOT_FOUND, a
// buffer too small ERROR_MORE_DATA (with the size needed), the end of an
// enumeration ERROR_NO_MORE_ITEMS. Sub-keys enumerate in a stable order
// (case-insensitive, then bytewise). Handles may be used from any thread.
#pragma once

#include <string>

#include "platform/types.h"

namespace Norvale::OS {

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u));
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

struct FILETIME {
  DWORD dwLowDateTime, dwHighDateTime;
};

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// With lpData null only the size (and type) is returned.
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
// Stores the bytes as given; only REG_SZ is accepted.
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Deletes a key that has no sub-keys, with its values.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// *lpcchName: the buffer's size in characters on entry, the name's length
// (without terminator) on success.
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);
// Values in the same stable order as sub-keys.
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);

// The directory that holds the hive's keys (for tools and tests).
std::string RegistryRootDirectory();

}  // namespace Norvale::OS
