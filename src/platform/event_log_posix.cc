#include "platform/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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
std::mutex g_syslogLock;

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

void WriteJournal(const EventRecord& r) {
  sd_journal_send("MESSAGE=%s", r.text.c_str(), "PRIORITY=%d", PriorityOf(r.type), "SYSLOG_IDENTIFIER=%s",
                  r.source.c_str(), "NORVALE_EVENT_TYPE=%u", static_cast<unsigned>(r.type), "NORVALE_EVENT_CATEGORY=%u",
                  static_cast<unsigned>(r.category), "NORVALE_EVENT_ID=%u", static_cast<unsigned>(r.eventId), nullptr);
}

void WriteSyslog(const EventRecord& r) {
  std::lock_guard guard(g_syslogLock);  // openlog keeps the identifier pointer
  openlog(r.source.c_str(), LOG_PID, LOG_USER);
  syslog(PriorityOf(r.type), "%s", r.text.c_str());
  closelog();
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
  if (sink == "journal") return WriteJournal(r);
  if (sink == "syslog") return WriteSyslog(r);
  if (sink == "stderr") return WriteStderr(r);
  if (sink.rfind("file:", 0) == 0) return WriteFile(sink.substr(5), r);
  struct stat st {};
  if (stat("/run/systemd/journal/socket", &st) == 0) return WriteJournal(r);
  WriteSyslog(r);
}

}  // namespace

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
