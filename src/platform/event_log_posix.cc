#include "platform/event_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
// Without this, sd_journal_sendv adds CODE_FILE, CODE_LINE and CODE_FUNC of
// the call below to every record: this file's, whoever reported.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/handle_table.h"

namespace Norvale::OS {
namespace {

class EventSource final : public KernelObject {
 public:
  explicit EventSource(std::string name) : m_name(std::move(name)) {}
  const std::string& Name() const { return m_name; }

 private:
  std::string m_name;
};

std::mutex g_captureLock;
EventLogCapture* g_capture = nullptr;

int PriorityOf(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

const char* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "error";
    case EVENTLOG_WARNING_TYPE: return "warning";
    case EVENTLOG_INFORMATION_TYPE: return "information";
    default: return "success";
  }
}

std::string IsoTimeNow() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const time_t secs = static_cast<time_t>(ms / 1000);
  tm utc{};
  gmtime_r(&secs, &utc);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// The local syslog socket: a stand-in below NORVALE_ROOT where one exists
// there (tests, a private installation), otherwise the system's /dev/log.
std::string SyslogPath() {
  if (const char* root = secure_getenv("NORVALE_ROOT"); root && *root) {
    const std::string path = std::string(root) + "/dev/log";
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) return path;
  }
  return "/dev/log";
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// False when journald did not take the record.
bool WriteJournal(const EventRecord& r) {
  // sd_journal_sendv takes the fields as they are: a text may hold any byte,
  // line feeds and percent signs included.
  const std::string fields[] = {
      "MESSAGE=" + r.text,
      "PRIORITY=" + std::to_string(PriorityOf(r.type)),
      "SYSLOG_IDENTIFIER=" + r.source,
      std::string("MESSAGE_ID=") + JournalMessageId(r.eventId),
      "NORVALE_EVENT_TYPE=" + std::to_string(r.type),
      "NORVALE_EVENT_CATEGORY=" + std::to_string(r.category),
      "NORVALE_EVENT_ID=" + std::to_string(r.eventId),
  };
  iovec vector[std::size(fields)];
  for (size_t i = 0; i < std::size(fields); ++i)
    vector[i] = iovec{const_cast<char*>(fields[i].data()), fields[i].size()};
  return sd_journal_sendv(vector, static_cast<int>(std::size(fields))) >= 0;
}

// The syslog sink talks to the local syslog socket itself instead of going
// through openlog/syslog: those keep one identity, facility and set of
// options per process, and they belong to the host application. Records are
// RFC 3164 datagrams as syslog(3) writes them to the local socket:
// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT", facility user.
class SyslogSink {
 public:
  // False when the record did not reach the daemon.
  bool Send(const EventRecord& r) {
    const std::string path = SyslogPath();
    std::lock_guard guard(m_lock);
    std::string datagram = Format(r, r.text);
    if (SendOnce(path, datagram)) return true;
    if (errno == EAGAIN) return false;  // a stuck daemon costs one wait, not two
    if (errno == EMSGSIZE) datagram = Format(r, CutUtf8(r.text, kCutText) + "...");
    return SendOnce(path, datagram);  // a restarted daemon has a new socket: one more try after reconnecting
  }

 private:
  // Beyond what the socket takes in one datagram, the text is cut here.
  static constexpr size_t kCutText = 16 * 1024;
  // A daemon that does not drain its socket costs a caller at most this.
  static constexpr int kFullSocketWaitMs = 500;

  static std::string CutUtf8(const std::string& s, size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
  }

  // The tag ends at the first blank, colon or bracket.
  static std::string Ident(const std::string& source) {
    std::string ident = source.empty() ? "velquor" : source;
    for (char& c : ident)
      if (static_cast<unsigned char>(c) <= ' ' || c == ':' || c == '[' || c == ']') c = '_';
    return ident;
  }

  static std::string Format(const EventRecord& r, const std::string& text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char head[64];
    std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ", LOG_USER | PriorityOf(r.type),
                  kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return head + Ident(r.source) + "[" + std::to_string(getpid()) + "]: " + text;
  }

  bool Connect(const std::string& path) {
    Close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      Close();
      return false;
    }
    m_path = path;
    return true;
  }

  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_path.clear();
  }

  // Sends one datagram; on failure errno tells why and the socket is closed,
  // so the next record connects afresh.
  bool SendOnce(const std::string& path, const std::string& datagram) {
    if ((m_fd < 0 || m_path != path) && !Connect(path)) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (send(m_fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
      if (errno == EINTR) continue;
      if (errno != EAGAIN) break;
      pollfd p{m_fd, POLLOUT, 0};
      if (poll(&p, 1, kFullSocketWaitMs) <= 0) {
        errno = EAGAIN;
        return false;  // the record is dropped, the socket stays: the daemon is only slow
      }
    }
    const int e = errno;
    Close();
    errno = e;
    return false;
  }

  std::mutex m_lock;
  int m_fd = -1;
  std::string m_path;  // where m_fd is connected
};

bool WriteSyslog(const EventRecord& r) {
  // Never destroyed: records may still be written while the process exits.
  static SyslogSink* const sink = new SyslogSink;
  return sink->Send(r);
}

void WriteStderr(const EventRecord& r) {
  const std::string line = r.source + " [" + TypeName(r.type) + "]: " + r.text + "\n";
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

void WriteFile(const std::string& path, const EventRecord& r) {
  const nlohmann::json j = {{"time", IsoTimeNow()},   {"source", r.source},    {"type", r.type},
                            {"category", r.category}, {"event_id", r.eventId}, {"text", r.text}};
  // Invalid UTF-8 is replaced rather than refused, so a record is never lost
  // for its bytes.
  const std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!write(fd, line.data(), line.size());  // one write per record: lines never interleave
  close(fd);
}

void Write(const EventRecord& r) {
  {
    std::lock_guard guard(g_captureLock);
    if (g_capture) {
      g_capture->Add(r);
      return;
    }
  }
  const char* choice = secure_getenv("NORVALE_EVENTLOG");
  const std::string sink = choice ? choice : "";
  if (sink == "none") return;
  if (sink == "stderr") return WriteStderr(r);
  if (sink.rfind("file:", 0) == 0) return WriteFile(sink.substr(5), r);
  // A record the journal or syslog does not take goes to standard error
  // rather than nowhere.
  const bool journal = sink == "journal" || (sink != "syslog" && Exists(kJournalSocket));
  if (journal ? WriteJournal(r) : WriteSyslog(r)) return;
  WriteStderr(r);
}

}  // namespace

std::string EventLogDestination() {
  const char* choice = secure_getenv("NORVALE_EVENTLOG");
  const std::string sink = choice ? choice : "";
  if (sink == "none") return "nowhere (NORVALE_EVENTLOG=none)";
  if (sink == "stderr") return "standard error (NORVALE_EVENTLOG=stderr)";
  if (sink.rfind("file:", 0) == 0) return "the file " + sink.substr(5) + " (NORVALE_EVENTLOG)";
  if (sink == "journal" || (sink != "syslog" && Exists(kJournalSocket)))
    return "the journal (journalctl -t SOURCE), else standard error";
  if (sink == "syslog" || Exists(SyslogPath())) return "syslog at " + SyslogPath() + ", else standard error";
  return "standard error (no journal or syslog socket on this machine)";
}

const char* JournalMessageId(DWORD dwEventID) {
  // Drawn at random once; they never change.
  static const char* const kIds[] = {
      "8443ec7114f447ddb12bf46c32c5d1ba",  // EVENT_GENERAL
      "12611d24fa944ccaa5eedc6ca73ac753",  // EVENT_SERVICE_STARTED
      "898236e87e674197ba36583c03dfb652",  // EVENT_SERVICE_STOPPING
      "bcd026cf16464212b801df35fef3e21e",  // EVENT_SERVICE_STOPPED
      "e70567a86d754c68bbbe5c7e3b4e9dc5",  // EVENT_SERVICE_FAILED
      "a54f2abe98dc4190a0c592cf2ae88393",  // EVENT_COM_ERROR
      "4877add9a3204785805424ab48aa50a8",  // EVENT_EXCEPTION
      "7e96146dcf914039bc1276b81388d07c",  // EVENT_LOGGING_SUPPRESSED
      "ce447215da734f0bb4f0b6c5f4b6b2c3",  // EVENT_LOGGING_RESUMED
      "1a101484935c43d29540a73ba2cb2fb4",  // EVENT_FUNCTION_REPORT
      "e98c280e155e47968c8339c6d5014e88",  // EVENT_CONFIGURATION
      "5955b92e006b4cabb549f882d1d6c0ff",  // EVENT_IPC
      "dceb145b854349468b47191cea47cc5a",  // EVENT_SYNCHRONISATION
      "723153de3a5c450799648ad49fe4f82c",  // EVENT_HTTP_ACCESS
  };
  return dwEventID < std::size(kIds) ? kIds[dwEventID] : kIds[EVENT_GENERAL];
}

struct EventLogCapture::State {
  mutable std::mutex lock;
  std::vector<EventRecord> records;
};

EventLogCapture::EventLogCapture() : m_state(new State) {
  std::lock_guard guard(g_captureLock);
  m_previous = g_capture;
  g_capture = this;
}

EventLogCapture::~EventLogCapture() {
  {
    std::lock_guard guard(g_captureLock);
    g_capture = m_previous;
  }
  delete m_state;
}

std::vector<EventRecord> EventLogCapture::Records() const {
  std::lock_guard guard(m_state->lock);
  return m_state->records;
}

void EventLogCapture::Clear() {
  std::lock_guard guard(m_state->lock);
  m_state->records.clear();
}

void EventLogCapture::Add(EventRecord record) {
  std::lock_guard guard(m_state->lock);
  m_state->records.push_back(std::move(record));
}

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
  if (lpUNCServerName != nullptr && *lpUNCServerName != '\0') {
    SetLastError(ERROR_NOT_SUPPORTED);  // only the local computer's log exists
    return nullptr;
  }
  if (lpSourceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return HandleTable::Insert(std::make_shared<EventSource>(lpSourceName));
}

BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID, WORD wNumStrings, DWORD,
                  LPCSTR* lpStrings, LPVOID) {
  const auto source = HandleTable::Get<EventSource>(hEventLog);
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (wNumStrings > 0 && lpStrings == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  EventRecord r{source->Name(), wType, wCategory, dwEventID, {}};
  for (WORD i = 0; i < wNumStrings; ++i) {
    if (i > 0) r.text += '\n';
    if (lpStrings[i]) r.text += lpStrings[i];
  }
  try {
    Write(r);
  } catch (...) {
    // A record that cannot be written is lost silently.
  }
  return TRUE;
}

BOOL DeregisterEventSource(HANDLE hEventLog) {
  if (!HandleTable::Get<EventSource>(hEventLog) || !HandleTable::Remove(hEventLog)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace Norvale::OS
