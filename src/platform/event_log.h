// The event log.
//
// RegisterEventSourceA, ReportEventA and DeregisterEventSource with Win32
// results. Where records go is chosen when a record is written:
//   NORVALE_EVENTLOG=journal     the systemd journal (sd_journal_sendv):
//                                SYSLOG_IDENTIFIER = the source, PRIORITY
//                                from the type (error 3, warning 4,
//                                information 6), MESSAGE = the insertion
//                                string, MESSAGE_ID from the event id (see
//                                JournalMessageId), and NORVALE_EVENT_TYPE,
//                                NORVALE_EVENT_CATEGORY, NORVALE_EVENT_ID.
//                                No CODE_FILE/CODE_LINE/CODE_FUNC: they would
//                                name this file, not the code that reported;
//   NORVALE_EVENTLOG=syslog      the local syslog socket: $NORVALE_ROOT/dev/log
//                                where that exists, else /dev/log,
//                                in the form syslog(3) writes there: facility
//                                user, priority from the type, identifier =
//                                the source, with the process id. The
//                                process's openlog settings are never used or
//                                changed: they belong to the application. A
//                                text too long for one datagram is cut at
//                                16 KiB;
//   NORVALE_EVENTLOG=stderr      one line per record on standard error;
//   NORVALE_EVENTLOG=file:PATH   one JSON object per line appended to PATH:
//                                {"time","source","type","category",
//                                 "event_id","text"};
//   NORVALE_EVENTLOG=none        records are dropped.
// Unset, records go to the journal where one runs
// (/run/systemd/journal/socket exists) and to syslog otherwise. A record the
// journal or syslog does not take (no socket, no daemon) goes to standard
// error instead (so does one of NORVALE_EVENTLOG=journal or syslog).
// Multiple insertion strings are joined with line feeds. A record that
// cannot be written to a file is lost; a syslog daemon that does not drain
// its socket delays a record by at most half a second (and the record then
// goes to standard error).
//
// EventLogCapture lets a test collect the records of the whole process
// instead. Every function is thread-safe.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace Norvale::OS {

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

// The kinds of record, as event identifiers. Each has a MESSAGE_ID of its
// own in the journal (the table in docs/journal.md); keep both in step, and
// never change an identifier once released: administrators filter on it.
constexpr DWORD EVENT_GENERAL = 0;             // a record of no particular kind
constexpr DWORD EVENT_SERVICE_STARTED = 1;     // the engine serves
constexpr DWORD EVENT_SERVICE_STOPPING = 2;    // the engine begins to stop
constexpr DWORD EVENT_SERVICE_STOPPED = 3;     // the engine has stopped
constexpr DWORD EVENT_SERVICE_FAILED = 4;      // the engine cannot start or go on
constexpr DWORD EVENT_COM_ERROR = 5;           // a caught COM error
constexpr DWORD EVENT_EXCEPTION = 6;           // a caught exception of another kind
constexpr DWORD EVENT_LOGGING_SUPPRESSED = 7;  // a repeating failure is no longer logged
constexpr DWORD EVENT_LOGGING_RESUMED = 8;     // ... and is logged again
constexpr DWORD EVENT_FUNCTION_REPORT = 9;     // a function reports a problem it handled
constexpr DWORD EVENT_CONFIGURATION = 10;      // a configuration value is missing or unusable
constexpr DWORD EVENT_IPC = 11;                // the engine's D-Bus server
constexpr DWORD EVENT_SYNCHRONISATION = 12;    // a mutex or wait failed
constexpr DWORD EVENT_HTTP_ACCESS = 13;        // velquor-http answered a request (its access log)

// The journal's MESSAGE_ID (32 lower-case hex digits) of an event id; an
// id without one of its own shares EVENT_GENERAL's.
const char* JournalMessageId(DWORD dwEventID);

// Where records of this process go, in words for a user ("the journal
// (journalctl -t SOURCE), else standard error", ...).
std::string EventLogDestination();

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData);
BOOL DeregisterEventSource(HANDLE hEventLog);

struct EventRecord {
  std::string source;
  WORD type;
  WORD category;
  DWORD eventId;
  std::string text;
};

// While an object of this class lives, every record of the process is
// collected here instead of being written. Captures nest; the newest wins.
class EventLogCapture {
 public:
  EventLogCapture();
  ~EventLogCapture();
  EventLogCapture(const EventLogCapture&) = delete;
  EventLogCapture& operator=(const EventLogCapture&) = delete;

  std::vector<EventRecord> Records() const;
  void Clear();
  void Add(EventRecord record);

 private:
  EventLogCapture* m_previous;
  struct State;
  State* m_state;
};

}  // namespace Norvale::OS
