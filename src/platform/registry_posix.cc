#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/handle_table.h"

namespace Norvale::OS {
namespace {

class KeyObject final : public KernelObject {
 public:
  KeyObject(std::string path, bool writable) : m_path(std::move(path)), m_writable(writable) {}
  const std::string& Path() const { return m_path; }
  bool Writable() const { return m_writable; }

 private:
  std::string m_path;
  bool m_writable;
};

// The one place where file-system errors become Win32 registry codes.
LONG FromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case EEXIST:
    case ENOTEMPTY: return ERROR_ALREADY_EXISTS;
    default: return ERROR_INVALID_DATA;
  }
}

std::string Encode(std::string_view name) {
  if (name.empty()) return "%00";  // NUL never occurs in a name: unambiguous
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c == '%' || (i == 0 && c == '.')) {
      static const char hex[] = "0123456789ABCDEF";
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> Decode(std::string_view file) {
  if (file.empty() || file[0] == '.') return std::nullopt;  // temporary files and . / ..
  if (file == "%00") return std::string();
  std::string out;
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '%' && i + 2 < file.size()) {
      out += static_cast<char>(std::strtol(std::string(file.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += file[i];
    }
  }
  return out;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

bool NameLess(const std::string& a, const std::string& b) {
  auto lower = [](std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  };
  const std::string la = lower(a), lb = lower(b);
  return la != lb ? la < lb : a < b;
}

struct Entry {
  std::string name;  // decoded
  std::string file;  // as on disk
  bool isKey;
};

// Entries of a key directory; `err` receives errno on failure.
std::vector<Entry> List(const std::string& dir, int* err) {
  std::vector<Entry> out;
  *err = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) {
    *err = errno;
    return out;
  }
  while (dirent* e = readdir(d)) {
    const auto name = Decode(e->d_name);
    if (!name) continue;
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st {};
      isDir = fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    out.push_back({*name, e->d_name, isDir});
  }
  closedir(d);
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return NameLess(a.name, b.name); });
  return out;
}

std::optional<Entry> Find(const std::string& dir, std::string_view name, int* err) {
  for (auto& e : List(dir, err))
    if (SameName(e.name, name)) return e;
  return std::nullopt;
}

std::vector<std::string> SplitPath(LPCSTR subKey) {
  std::vector<std::string> parts;
  if (!subKey) return parts;
  std::string cur;
  for (const char* p = subKey; *p; ++p) {
    if (*p == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

const char* HiveName(HKEY h) {
  if (h == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (h == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  return nullptr;
}

// The directory of an open or predefined key; empty when the handle is bad.
std::string KeyPath(HKEY h, bool* writable) {
  if (const char* hive = HiveName(h)) {
    if (writable) *writable = true;
    return RegistryRootDirectory() + "/" + hive;
  }
  const auto key = HandleTable::Get<KeyObject>(reinterpret_cast<HANDLE>(h));
  if (!key) return {};
  if (writable) *writable = key->Writable();
  return key->Path();
}

bool IsPredefined(HKEY h) { return HiveName(h) != nullptr; }

int MakeDirs(const std::string& path) {
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    cur = path.substr(0, pos);
    if (cur.empty()) continue;
    if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// An exclusive lock on a key's directory for the span of one change.
class DirLock {
 public:
  explicit DirLock(const std::string& dir) : m_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (m_fd >= 0) flock(m_fd, LOCK_EX);
  }
  ~DirLock() {
    if (m_fd >= 0) close(m_fd);
  }
  bool Ok() const { return m_fd >= 0; }
  int Error() const { return m_fd >= 0 ? 0 : errno; }

 private:
  int m_fd;
};

HKEY NewHandle(std::string path, bool writable) {
  return reinterpret_cast<HKEY>(HandleTable::Insert(std::make_shared<KeyObject>(std::move(path), writable)));
}

LONG CopyOut(const std::string& text, LPSTR buf, LPDWORD cch) {
  if (!cch || !buf) return ERROR_INVALID_PARAMETER;
  if (text.size() + 1 > *cch) {
    *cch = static_cast<DWORD>(text.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buf, text.c_str(), text.size() + 1);
  *cch = static_cast<DWORD>(text.size());
  return ERROR_SUCCESS;
}

bool ReadAll(const std::string& file, std::string* out, int* err) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return false;
  }
  out->clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  *err = n < 0 ? errno : 0;
  close(fd);
  return n >= 0;
}

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

std::string RegistryRootDirectory() {
  const char* root = std::getenv("NORVALE_ROOT");
  return std::string(root ? root : "") + "/etc/norvale/registry";
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired, SECURITY_ATTRIBUTES*,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  bool parentWritable = false;
  std::string path = KeyPath(hKey, &parentWritable);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (IsPredefined(hKey)) {
    const int e = MakeDirs(path);
    if (e != 0 && access(path.c_str(), F_OK) != 0) return FromErrno(e);
  }
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  for (const auto& part : SplitPath(lpSubKey)) {
    int err = 0;
    auto found = Find(path, part, &err);
    if (err) return FromErrno(err);
    if (found) {
      if (!found->isKey) return ERROR_ALREADY_EXISTS;
      path += "/" + found->file;
      continue;
    }
    DirLock lock(path);
    if (!lock.Ok()) return FromErrno(lock.Error());
    found = Find(path, part, &err);  // another process may have made it meanwhile
    if (found) {
      if (!found->isKey) return ERROR_ALREADY_EXISTS;
      path += "/" + found->file;
      continue;
    }
    const std::string next = path + "/" + Encode(part);
    if (mkdir(next.c_str(), 0755) != 0 && errno != EEXIST) return FromErrno(errno);
    disposition = REG_CREATED_NEW_KEY;
    path = next;
  }
  const bool wantWrite = (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
  if (access(path.c_str(), R_OK | X_OK | (wantWrite ? W_OK : 0)) != 0) return FromErrno(errno);
  *phkResult = NewHandle(path, wantWrite);
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::string path = KeyPath(hKey, nullptr);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  for (const auto& part : SplitPath(lpSubKey)) {
    int err = 0;
    const auto found = Find(path, part, &err);
    if (err) return FromErrno(err);
    if (!found || !found->isKey) return ERROR_FILE_NOT_FOUND;
    path += "/" + found->file;
  }
  const bool wantWrite = (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
  if (access(path.c_str(), R_OK | X_OK | (wantWrite ? W_OK : 0)) != 0) return FromErrno(errno);
  *phkResult = NewHandle(path, wantWrite);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  const std::string path = KeyPath(hKey, nullptr);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  int err = 0;
  const auto found = Find(path, lpValueName ? lpValueName : "", &err);
  if (err) return FromErrno(err);
  if (!found || found->isKey) return ERROR_FILE_NOT_FOUND;
  std::string data;
  if (!ReadAll(path + "/" + found->file, &data, &err)) return FromErrno(err);
  if (lpType) *lpType = REG_SZ;
  if (lpcbData) {
    const DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(data.size());
    if (lpData) {
      if (data.size() > room) return ERROR_MORE_DATA;
      std::memcpy(lpData, data.data(), data.size());
    }
  }
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  bool writable = false;
  const std::string path = KeyPath(hKey, &writable);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (!writable) return ERROR_ACCESS_DENIED;
  if (dwType != REG_SZ) return ERROR_INVALID_PARAMETER;
  if (cbData > 0 && !lpData) return ERROR_INVALID_PARAMETER;
  const std::string name = lpValueName ? lpValueName : "";
  DirLock lock(path);
  if (!lock.Ok()) return FromErrno(lock.Error());
  int err = 0;
  const auto found = Find(path, name, &err);
  if (err) return FromErrno(err);
  if (found && found->isKey) return ERROR_ALREADY_EXISTS;
  const std::string target = path + "/" + (found ? found->file : Encode(name));
  const std::string temp =
      path + "/.tmp-" + std::to_string(getpid()) + "-" + std::to_string(g_tempCounter.fetch_add(1));
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return FromErrno(errno);
  size_t done = 0;
  while (done < cbData) {
    const ssize_t n = write(fd, lpData + done, cbData - done);
    if (n < 0) {
      err = errno;
      close(fd);
      unlink(temp.c_str());
      return FromErrno(err);
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (rename(temp.c_str(), target.c_str()) != 0) {
    err = errno;
    unlink(temp.c_str());
    return FromErrno(err);
  }
  return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  bool writable = false;
  const std::string path = KeyPath(hKey, &writable);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (!writable) return ERROR_ACCESS_DENIED;
  DirLock lock(path);
  if (!lock.Ok()) return FromErrno(lock.Error());
  int err = 0;
  const auto found = Find(path, lpValueName ? lpValueName : "", &err);
  if (err) return FromErrno(err);
  if (!found || found->isKey) return ERROR_FILE_NOT_FOUND;
  if (unlink((path + "/" + found->file).c_str()) != 0) return FromErrno(errno);
  return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(hKey, lpSubKey, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return rc;
  const std::string path = KeyPath(key, nullptr);
  RegCloseKey(key);
  int err = 0;
  const auto entries = List(path, &err);
  if (err) return FromErrno(err);
  for (const auto& e : entries)
    if (e.isKey) return ERROR_ACCESS_DENIED;  // as Windows: only a key without sub-keys
  for (const auto& e : entries)
    if (unlink((path + "/" + e.file).c_str()) != 0) return FromErrno(errno);
  if (rmdir(path.c_str()) != 0) return FromErrno(errno);
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR, LPDWORD, FILETIME*) {
  const std::string path = KeyPath(hKey, nullptr);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  int err = 0;
  DWORD index = 0;
  for (const auto& e : List(path, &err)) {
    if (!e.isKey) continue;
    if (index++ == dwIndex) return CopyOut(e.name, lpName, lpcchName);
  }
  if (err) return FromErrno(err);
  return ERROR_NO_MORE_ITEMS;
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData) {
  const std::string path = KeyPath(hKey, nullptr);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  int err = 0;
  DWORD index = 0;
  for (const auto& e : List(path, &err)) {
    if (e.isKey) continue;
    if (index++ != dwIndex) continue;
    const LONG rc = CopyOut(e.name, lpValueName, lpcchValueName);
    if (rc != ERROR_SUCCESS) return rc;
    return RegQueryValueExA(hKey, e.name.c_str(), nullptr, lpType, lpData, lpcbData);
  }
  if (err) return FromErrno(err);
  return ERROR_NO_MORE_ITEMS;
}

LONG RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  return HandleTable::Remove(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace Norvale::OS
