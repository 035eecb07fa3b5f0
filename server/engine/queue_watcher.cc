#include "server/engine/queue_watcher.h"

#include <algorithm>
#include <vector>

#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "queues/queue_schema.h"

namespace Norvale {
using namespace OS;

namespace {

constexpr const char* kSite = "CQueueWatcher";
constexpr std::chrono::milliseconds kFirstBackoff{1000}, kLastBackoff{60000};
constexpr std::chrono::seconds kSessionCheck{60};

std::string Describe(const _com_error& e) {
  const std::string d = e.DescriptionA();
  return d.empty() ? e.ErrorMessage() : d;
}

DatabaseDeadline After(DWORD dwMilliseconds) {
  return DatabaseClock::now() + std::chrono::milliseconds(dwMilliseconds);
}

}  // namespace

CQueueWatcher::CQueueWatcher(const CEngineSettings& settings, std::function<void()> wake)
    : m_Settings(settings), m_Wake(std::move(wake)) {}

CQueueWatcher::~CQueueWatcher() { Stop(); }

void CQueueWatcher::Start() {
  if (m_Thread.joinable()) return;
  // The file is watched before Start returns: a job queued from then on
  // wakes the handsets, whatever they looked at before.
  if (const std::string path = SqlitePathOf(m_Settings.sDSN); !path.empty()) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    try {
      m_pFileWatch =
          std::make_unique<DirectoryWatch>(directory, std::vector<std::string>{name, name + "-wal", name + "-journal"});
      m_bWatching = true;
    } catch (const _com_error& e) {
      LogEvent(EVENTLOG_WARNING_TYPE, kSite,
               "Cannot watch the queue file for new jobs: the engine claims them at its poll only (every " +
                   std::to_string(m_Settings.dwPollInterval) + " ms): " + Describe(e));
      return;
    }
  } else if (!IsPostgresDataSource(m_Settings.sDSN)) {
    return;
  }
  m_Thread = std::thread([this] { Run(); });
}

void CQueueWatcher::Stop() {
  m_bStopping = true;
  m_bWatching = false;
  m_Stop.Raise();
  if (m_Thread.joinable()) m_Thread.join();
}

void CQueueWatcher::Run() {
  if (m_pFileWatch)
    RunSqlite();
  else
    RunPostgres();
}

bool CQueueWatcher::Pause(std::chrono::milliseconds span) {
  if (m_bStopping) return false;
  WaitReadable({m_Stop.Descriptor()}, DatabaseClock::now() + span);
  return !m_bStopping;
}

bool CQueueWatcher::WakeAndCoalesce() {
  ++m_nWakes;
  m_Wake();
  return Pause(kCoalesce);
}

void CQueueWatcher::RunPostgres() {
  auto backoff = kFirstBackoff;
  bool toldNoTrigger = false, toldFailure = false;
  while (!m_bStopping) {
    std::unique_ptr<DatabaseListener> listener;
    m_bWatching = false;
    bool triggered = false;
    try {
      listener = ListenPostgres(m_Settings.sDSN, m_Settings.sUsername, m_Settings.sPassword, kOutgoingChannel,
                                After(m_Settings.dwDatabaseConnectTimeout), m_Stop.Descriptor());
      const auto trigger =
          listener->Execute(kOutgoingTriggerQuery, SqlValues(), After(m_Settings.dwDatabaseOperationTimeout));
      triggered = trigger && !trigger->adoEOF();
      if (!triggered && !toldNoTrigger) {
        toldNoTrigger = true;
        LogEvent(EVENTLOG_WARNING_TYPE, kSite,
                 "The queue database has no trigger on SMSOutgoing: the engine claims new jobs at its poll only "
                 "(every " +
                     std::to_string(m_Settings.dwPollInterval) +
                     " ms). Run 'velquor db init' to add it; the engine listens and follows it at once.");
      }
    } catch (const _com_error& e) {
      if (m_bStopping) break;
      if (!toldFailure) {
        toldFailure = true;
        LogEvent(EVENTLOG_WARNING_TYPE, kSite,
                 "Cannot listen for new jobs (the engine claims them at its poll meanwhile, and tries again): " +
                     Describe(e));
      }
      if (!Pause(backoff)) break;
      backoff = std::min(backoff * 2, kLastBackoff);
      continue;
    }
    if (toldFailure) LogEvent(EVENTLOG_INFORMATION_TYPE, kSite, "Listening for new jobs again");
    toldFailure = false;
    backoff = kFirstBackoff;
    ++m_nSessions;
    m_bWatching = triggered;
    // What was queued while no session listened.
    if (!WakeAndCoalesce()) break;
    try {
      while (!m_bStopping) {
        const auto ready =
            WaitReadable({m_Stop.Descriptor(), listener->Descriptor()}, DatabaseClock::now() + kSessionCheck);
        if (ready[0]) break;
        if (!ready[1]) listener->Execute("SELECT 1", SqlValues(), After(m_Settings.dwDatabaseOperationTimeout));
        // Also takes what arrived during that statement.
        if (listener->TakeNotifications() > 0 && !WakeAndCoalesce()) break;
      }
    } catch (const _com_error& e) {
      if (m_bStopping) break;
      // The handsets poll each at their own interval again from now.
      m_bWatching = false;
      m_Wake();
      toldFailure = true;
      LogEvent(EVENTLOG_WARNING_TYPE, kSite,
               "The session listening for new jobs was lost (the engine claims them at its poll meanwhile, and "
               "listens again): " +
                   Describe(e));
      if (!Pause(backoff)) break;
    }
  }
}

void CQueueWatcher::RunSqlite() {
  // A commit writes the log first and makes the rows visible only after
  // (and after a sync, with synchronous FULL), with no further event: a look
  // at the first event may come too early. So the quiet after the last
  // change is followed by a wake or two more.
  std::vector<DatabaseDeadline> trailing;  // in order
  try {
    while (!m_bStopping) {
      const auto until = trailing.empty() ? kNoDatabaseDeadline : trailing.front();
      const auto ready = WaitReadable({m_Stop.Descriptor(), m_pFileWatch->Descriptor()}, until);
      if (ready[0]) break;
      if (ready[1]) {
        if (!m_pFileWatch->TakeChanges()) continue;
        const auto now = DatabaseClock::now();
        trailing.clear();
        for (const auto after : kSettle) trailing.push_back(now + after);
        if (!WakeAndCoalesce()) break;
      } else if (!trailing.empty() && DatabaseClock::now() >= trailing.front()) {
        trailing.erase(trailing.begin());
        if (!WakeAndCoalesce()) break;
      }
    }
  } catch (const _com_error& e) {
    m_bWatching = false;
    m_Wake();
    LogEvent(EVENTLOG_WARNING_TYPE, kSite,
             "Stopped watching the queue file for new jobs: the engine claims them at its poll only: " + Describe(e));
  }
}

}  // namespace Norvale
