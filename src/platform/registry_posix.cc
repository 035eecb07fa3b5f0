#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ascii.h"
#include "platform/handle_table.h"

namespace Norvale::OS {
namespace {

class KeyObject final : public KernelObject {
 public:
  KeyObject(std::string path, REGSAM access) : m_path(std::move(path)), m_access(access) {}
  const std::string& Path() const { return m_path; }
  REGSAM Access() const { return m_access; }

 private:
  std::string m_path;
  REGSAM m_access;
};

// Modes of what a writer creates: the key's owner writes, its group reads,
// nobody else sees anything. A process outside the group reads the
// configuration through the engine.
constexpr mode_t kKeyMode = 0750;
constexpr mode_t kValueMode = 0640;
// The lock of a key's changes and the prefix of a writer's temporary files;
// a leading dot keeps both out of every listing (names beginning with a dot
// are always encoded).
constexpr const char* kLockFile = ".lock";
constexpr std::string_view kTempPrefix = ".tmp-";
constexpr auto kDefaultLockTimeout = std::chrono::milliseconds(5000);

// The one place where file-system errors become Win32 registry codes.
LONG Win32ErrorFromErrno(int err) {
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
    case ELOOP: return ERROR_CANT_ACCESS_FILE;  // a symbolic link where a value or lock belongs
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

bool NameLess(const std::string& a, const std::string& b) {
  auto lower = [](std::string s) {
    for (char& c : s) c = AsciiLower(c);
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
// *access receives the rights the handle was opened with (all of them for a
// predefined key: the file system decides there).
std::string KeyPath(HKEY h, REGSAM* access) {
  if (const char* hive = HiveName(h)) {
    if (access) *access = KEY_ALL_ACCESS;
    return RegistryRootDirectory() + "/" + hive;
  }
  const auto key = HandleTable::Get<KeyObject>(reinterpret_cast<HANDLE>(h));
  if (!key) return {};
  if (access) *access = key->Access();
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

std::chrono::milliseconds LockTimeout() {
  const char* text = secure_getenv("NORVALE_REGISTRY_LOCK_TIMEOUT_MS");
  if (!text || !*text) return kDefaultLockTimeout;
  char* end = nullptr;
  const long ms = std::strtol(text, &end, 10);
  return (*end == '\0' && ms >= 0) ? std::chrono::milliseconds(ms) : kDefaultLockTimeout;
}

// Serialises the changes of one key among the processes that may change it.
// The lock is a file inside the key that only those who may write the key
// can open, so a process that may merely read cannot stall a writer; and a
// writer that holds it too long makes the others fail with ERROR_TIMEOUT
// instead of waiting for ever. Readers never take it: a value is replaced by
// an atomic rename.
class KeyLock {
 public:
  explicit KeyLock(const std::string& dir);
  ~KeyLock() {
    if (m_fd >= 0) close(m_fd);
  }
  KeyLock(const KeyLock&) = delete;
  KeyLock& operator=(const KeyLock&) = delete;
  LONG Result() const { return m_result; }

 private:
  int m_fd = -1;
  LONG m_result = ERROR_SUCCESS;
};

KeyLock::KeyLock(const std::string& dir) {
  struct stat key {};
  if (stat(dir.c_str(), &key) != 0) {
    m_result = Win32ErrorFromErrno(errno);
    return;
  }
  // Read and write for each class of users that may write the key, nothing
  // for the others.
  const mode_t mode = S_IRUSR | S_IWUSR | ((key.st_mode & S_IWGRP) ? (S_IRGRP | S_IWGRP) : 0) |
                      ((key.st_mode & S_IWOTH) ? (S_IROTH | S_IWOTH) : 0);
  const std::string path = dir + "/" + kLockFile;
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  bool created = true;
  m_fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, mode);
  if (m_fd < 0 && errno == EEXIST) {
    created = false;
    m_fd = open(path.c_str(), kFlags);
  }
  if (m_fd < 0) {
    m_result = Win32ErrorFromErrno(errno);
    return;
  }
  struct stat st {};
  if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    m_result = ERROR_CANT_ACCESS_FILE;
    return;
  }
  if (created) {
    // Owned like the key, so its owner and group can lock it whoever came
    // first; a writer that is not root may only hand it to its own groups.
    if (fchown(m_fd, key.st_uid, key.st_gid) != 0) (void)!fchown(m_fd, static_cast<uid_t>(-1), key.st_gid);
    fchmod(m_fd, mode);  // whatever the umask
  }
  const auto deadline = std::chrono::steady_clock::now() + LockTimeout();
  auto pause = std::chrono::milliseconds(1);
  while (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      m_result = Win32ErrorFromErrno(errno);
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      m_result = ERROR_TIMEOUT;
      return;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

// Makes a change of a directory's entries durable.
int SyncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int err = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return err;
}

// Removes the files of a key that no listing shows: temporary files, and the
// lock too when `withLock`. Temporary files present while the key's lock is
// held were left by a writer that died.
void RemoveHiddenFiles(const std::string& dir, bool withLock) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    const std::string_view name = e->d_name;
    if (name.substr(0, kTempPrefix.size()) == kTempPrefix || (withLock && name == kLockFile))
      unlinkat(dirfd(d), e->d_name, 0);
  }
  closedir(d);
}

HKEY NewHandle(std::string path, REGSAM access) {
  return reinterpret_cast<HKEY>(HandleTable::Insert(std::make_shared<KeyObject>(std::move(path), access)));
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

// The length of a value whose file holds `fileSize` bytes: a final newline
// is not part of it.
DWORD ValueLength(int fd, off_t fileSize) {
  char last = 0;
  if (fileSize > 0 && pread(fd, &last, 1, fileSize - 1) == 1 && last == '\n') --fileSize;
  return static_cast<DWORD>(std::min<off_t>(fileSize, 0xFFFFFFFF));
}

// Reads up to `size` bytes, fewer only at the end of the file.
int ReadUpTo(int fd, BYTE* buf, size_t size, size_t* got) {
  *got = 0;
  while (*got < size) {
    const ssize_t n = read(fd, buf + *got, size - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return 0;
}

// Reads a value's file. Only a regular file is a value: a symbolic link, a
// FIFO or a device that a hand-edited tree may hold is refused (with
// ERROR_CANT_ACCESS_FILE) without being followed or waited on, and at most
// `room` bytes and the newline that may end them are read, plus one byte to
// see whether more follow. With `data` null only the length is wanted.
// A value file holds the value and, like any text file, a final newline: the
// writer adds one and the reader drops one, so a file written by an editor or
// by echo reads as meant and every stored value reads back unchanged.
LONG ReadValue(const std::string& file, LPBYTE data, DWORD room, DWORD* length) {
  const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Win32ErrorFromErrno(errno);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0) return Win32ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return ERROR_CANT_ACCESS_FILE;
  if (!data) {
    *length = ValueLength(fd, st.st_size);
    return ERROR_SUCCESS;
  }
  size_t got = 0;
  if (const int e = ReadUpTo(fd, data, room, &got); e != 0) return Win32ErrorFromErrno(e);
  char tail[2];
  size_t more = 0;
  if (got == room) {
    if (const int e = ReadUpTo(fd, reinterpret_cast<BYTE*>(tail), sizeof tail, &more); e != 0)
      return Win32ErrorFromErrno(e);
  }
  if (more == 2 || (more == 1 && tail[0] != '\n')) {  // more than the room and a newline
    *length = std::max<DWORD>(ValueLength(fd, st.st_size), room + 1);
    return ERROR_MORE_DATA;
  }
  if (more == 0 && got > 0 && data[got - 1] == '\n') --got;
  *length = static_cast<DWORD>(got);
  return ERROR_SUCCESS;
}

int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

// Writes a value's file anew, durably: a temporary file in the key, synced,
// renamed over the old one, and the key's directory synced. The rename is
// what lets readers go without the lock: they open either the old file or
// the new one, never a half-written value. The data is synced before the
// rename because after a power loss the rename may otherwise survive while
// the data does not, leaving an empty value; the directory is synced after
// it so that the rename itself survives. A replaced file keeps its owner and
// mode; a new one gets kValueMode and the key's group. A private value
// (`owner` given) gets that owner and group and mode 0600 before any byte of
// it is written, whatever the file had. The caller holds the key's lock.
struct PrivateOwner {
  uid_t uid;
  gid_t gid;
};
int WriteValueFile(const std::string& dir, const std::string& target, const BYTE* data, DWORD size,
                   const PrivateOwner* owner = nullptr) {
  struct stat key {
  }, old{};
  if (stat(dir.c_str(), &key) != 0) return errno;
  const bool replacing = lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  std::string temp = dir + "/" + std::string(kTempPrefix) + "XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  if (owner) {
    if (fchown(fd, owner->uid, owner->gid) != 0) err = errno;
  } else if (replacing) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0) (void)!fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  } else if (key.st_gid != getegid()) {
    (void)!fchown(fd, static_cast<uid_t>(-1), key.st_gid);  // refused unless the writer is in that group
  }
  if (!err && fchmod(fd, owner ? 0600 : replacing ? (old.st_mode & 0777) : kValueMode) != 0) err = errno;
  if (!err) err = WriteAll(fd, reinterpret_cast<const char*>(data), size);
  if (!err) err = WriteAll(fd, "\n", 1);
  if (!err && fdatasync(fd) != 0) err = errno;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err) {
    unlink(temp.c_str());
    return err;
  }
  return SyncDirectory(dir);
}

// Creates a key's directory below `parent` with kKeyMode and the parent's
// group. The caller holds the parent's lock.
int MakeKey(const std::string& parent, const std::string& path) {
  struct stat up {};
  if (stat(parent.c_str(), &up) != 0) return errno;
  if (mkdir(path.c_str(), 0700) != 0) return errno;
  if (up.st_gid != getegid()) (void)!chown(path.c_str(), static_cast<uid_t>(-1), up.st_gid);
  chmod(path.c_str(), kKeyMode);
  return SyncDirectory(parent);
}

}  // namespace

std::string RegistryRootDirectory() {
  const char* root = secure_getenv("NORVALE_ROOT");
  return std::string(root ? root : "") + "/etc/norvale/registry";
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired, SECURITY_ATTRIBUTES*,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  REGSAM parentAccess = 0;
  std::string path = KeyPath(hKey, &parentAccess);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (!(parentAccess & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;  // as Win32, whatever the files allow
  if (IsPredefined(hKey)) {
    const int e = MakeDirs(path);
    if (e != 0 && access(path.c_str(), F_OK) != 0) return Win32ErrorFromErrno(e);
  }
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  for (const auto& part : SplitPath(lpSubKey)) {
    int err = 0;
    auto found = Find(path, part, &err);
    if (err) return Win32ErrorFromErrno(err);
    if (found) {
      if (!found->isKey) return ERROR_ALREADY_EXISTS;
      path += "/" + found->file;
      continue;
    }
    KeyLock lock(path);
    if (lock.Result() != ERROR_SUCCESS) return lock.Result();
    found = Find(path, part, &err);  // another process may have made it meanwhile
    if (err) return Win32ErrorFromErrno(err);
    if (found) {
      if (!found->isKey) return ERROR_ALREADY_EXISTS;
      path += "/" + found->file;
      continue;
    }
    const std::string next = path + "/" + Encode(part);
    if (const int e = MakeKey(path, next); e != 0) return Win32ErrorFromErrno(e);
    disposition = REG_CREATED_NEW_KEY;
    path = next;
  }
  const bool wantWrite = (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
  if (access(path.c_str(), R_OK | X_OK | (wantWrite ? W_OK : 0)) != 0) return Win32ErrorFromErrno(errno);
  *phkResult = NewHandle(path, samDesired);
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
    if (err) return Win32ErrorFromErrno(err);
    if (!found || !found->isKey) return ERROR_FILE_NOT_FOUND;
    path += "/" + found->file;
  }
  const bool wantWrite = (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
  if (access(path.c_str(), R_OK | X_OK | (wantWrite ? W_OK : 0)) != 0) return Win32ErrorFromErrno(errno);
  *phkResult = NewHandle(path, samDesired);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  const std::string path = KeyPath(hKey, nullptr);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  int err = 0;
  const auto found = Find(path, lpValueName ? lpValueName : "", &err);
  if (err) return Win32ErrorFromErrno(err);
  if (!found || found->isKey) return ERROR_FILE_NOT_FOUND;
  DWORD length = 0;
  const LONG rc = ReadValue(path + "/" + found->file, lpData, lpcbData ? *lpcbData : 0, &length);
  if (rc != ERROR_SUCCESS && rc != static_cast<LONG>(ERROR_MORE_DATA)) return rc;
  if (lpType) *lpType = REG_SZ;
  if (lpcbData) *lpcbData = length;
  return rc;
}

namespace {

LONG SetValue(HKEY hKey, LPCSTR lpValueName, DWORD dwType, const BYTE* lpData, DWORD cbData,
              const PrivateOwner* owner) {
  REGSAM access = 0;
  const std::string path = KeyPath(hKey, &access);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (dwType != REG_SZ) return ERROR_INVALID_PARAMETER;
  if (cbData > 0 && !lpData) return ERROR_INVALID_PARAMETER;
  const std::string name = lpValueName ? lpValueName : "";
  KeyLock lock(path);
  if (lock.Result() != ERROR_SUCCESS) return lock.Result();
  RemoveHiddenFiles(path, false);
  int err = 0;
  const auto found = Find(path, name, &err);
  if (err) return Win32ErrorFromErrno(err);
  if (found && found->isKey) return ERROR_ALREADY_EXISTS;
  return Win32ErrorFromErrno(
      WriteValueFile(path, path + "/" + (found ? found->file : Encode(name)), lpData, cbData, owner));
}

}  // namespace

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  return SetValue(hKey, lpValueName, dwType, lpData, cbData, nullptr);
}

LONG RegSetPrivateValue(HKEY hKey, LPCSTR lpValueName, const BYTE* lpData, DWORD cbData, uid_t owner, gid_t group) {
  const PrivateOwner who{owner, group};
  return SetValue(hKey, lpValueName, REG_SZ, lpData, cbData, &who);
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  REGSAM access = 0;
  const std::string path = KeyPath(hKey, &access);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  KeyLock lock(path);
  if (lock.Result() != ERROR_SUCCESS) return lock.Result();
  int err = 0;
  const auto found = Find(path, lpValueName ? lpValueName : "", &err);
  if (err) return Win32ErrorFromErrno(err);
  if (!found || found->isKey) return ERROR_FILE_NOT_FOUND;
  if (unlink((path + "/" + found->file).c_str()) != 0) return Win32ErrorFromErrno(errno);
  return Win32ErrorFromErrno(SyncDirectory(path));
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(hKey, lpSubKey, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return rc;
  const std::string path = KeyPath(key, nullptr);
  RegCloseKey(key);
  KeyLock lock(path);
  if (lock.Result() != ERROR_SUCCESS) return lock.Result();
  int err = 0;
  const auto entries = List(path, &err);
  if (err) return Win32ErrorFromErrno(err);
  for (const auto& e : entries)
    if (e.isKey) return ERROR_ACCESS_DENIED;  // as Windows: only a key without sub-keys
  for (const auto& e : entries)
    if (unlink((path + "/" + e.file).c_str()) != 0) return Win32ErrorFromErrno(errno);
  // A writer that was waiting for the lock may create it anew before the
  // directory goes; it then finds the key gone.
  for (int attempt = 0;; ++attempt) {
    RemoveHiddenFiles(path, true);
    if (rmdir(path.c_str()) == 0) break;
    if (errno != ENOTEMPTY || attempt == 2) return Win32ErrorFromErrno(errno);
  }
  return Win32ErrorFromErrno(SyncDirectory(path.substr(0, path.rfind('/'))));
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
  if (err) return Win32ErrorFromErrno(err);
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
  if (err) return Win32ErrorFromErrno(err);
  return ERROR_NO_MORE_ITEMS;
}

LONG RegSetKeyReadableByAll(HKEY hKey) {
  REGSAM access = 0;
  const std::string path = KeyPath(hKey, &access);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (IsPredefined(hKey)) return ERROR_SUCCESS;  // hives are open to every user already
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  int err = 0;
  for (const auto& e : List(path, &err)) {
    if (e.isKey) continue;
    const int fd = open((path + "/" + e.file).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Win32ErrorFromErrno(errno);
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fchmod(fd, (st.st_mode & 0777) | 0044) != 0) err = errno;
    close(fd);
    if (err) return Win32ErrorFromErrno(err);
  }
  if (err) return Win32ErrorFromErrno(err);
  // The key and every key above it, so that the way down can be listed.
  const std::string root = RegistryRootDirectory();
  for (std::string dir = path; dir.size() > root.size() && dir.compare(0, root.size(), root) == 0;
       dir = dir.substr(0, dir.rfind('/'))) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return Win32ErrorFromErrno(errno);
    if ((st.st_mode & 0055) != 0055 && chmod(dir.c_str(), (st.st_mode & 07777) | 0055) != 0)
      return Win32ErrorFromErrno(errno);
  }
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  return HandleTable::Remove(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace Norvale::OS
