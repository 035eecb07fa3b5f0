// The registry, as a directory tree.
//
// Keys live under $NORVALE_ROOT/etc/norvale/registry/<HIVE>/: a key is a
// directory, a value a file holding the bytes of its data (string values
// only) followed by a newline. Reading drops one final newline, so a file
// written by an editor or echo reads without it and every value stored here
// reads back byte for byte. Names are case-insensitive (ASCII letters) and
// case-preserving. Value names may hold any byte but NUL; what a file name
// cannot hold (a slash, a leading dot, the percent sign itself, the empty
// name) is written as %XX. A value and a sub-key of the same name cannot both
// exist: setting a value where a sub-key of that name exists fails with
// ERROR_ALREADY_EXISTS, and creating a sub-key over a value likewise.
//
// Only a regular file is a value: a symbolic link, FIFO or device in its
// place reads as ERROR_CANT_ACCESS_FILE, without being followed, waited on or
// read. A read takes no more than the caller's buffer and one byte more.
//
// Writes are atomic and durable (a temporary file in the key, synced and
// renamed into place, the key's directory synced), so readers in any process
// never see half a value and never wait. Changes of one key are serialised by
// a lock file inside it that only the key's writers can open; a change that
// cannot get it within NORVALE_REGISTRY_LOCK_TIMEOUT_MS (default 5000) fails
// with ERROR_TIMEOUT. Temporary files of a writer that died are removed by
// the next change of the key.
//
// Rights are the file system's: create-or-open for writing succeeds only
// where the process may write the key's directory (a missing key is then
// created); open for reading needs read access; otherwise
// ERROR_ACCESS_DENIED. Handles keep the access they were opened with: setting
// or deleting a value needs KEY_SET_VALUE, creating or opening a sub-key
// through RegCreateKeyExA needs KEY_CREATE_SUB_KEY. A new key is made 0750
// and a new value 0640, both with the group of the key above; a rewritten
// value keeps its owner and mode. A missing key or value gives
// ERROR_FILE_NOT_FOUND, a buffer too small ERROR_MORE_DATA (with the size
// needed), the end of an enumeration ERROR_NO_MORE_ITEMS. Sub-keys enumerate
// in a stable order (case-insensitive, then bytewise). Handles may be used
// from any thread.
#pragma once

#include <sys/types.h>

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

// A value's file is not a regular file.
constexpr DWORD ERROR_CANT_ACCESS_FILE = 1920;

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
// Stores a secret: the value's file belongs to `owner` and `group` with mode
// 0600 from before its first byte is written (a replaced file's owner and
// mode are not kept). Changing the owner needs root (or owner = the writer).
LONG RegSetPrivateValue(HKEY hKey, LPCSTR lpValueName, const BYTE* lpData, DWORD cbData, uid_t owner, gid_t group);
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
// Opens a key to reading by every user: its values (0644), the key and the
// keys above it (0755), for what every process must find, such as where a
// service is served. Needs KEY_SET_VALUE and ownership of the files.
LONG RegSetKeyReadableByAll(HKEY hKey);

// The directory that holds the hive's keys (for tools and tests).
std::string RegistryRootDirectory();

}  // namespace Norvale::OS
