// CQueueWatcher: wakes the engine's handsets as soon as a job is queued,
// so that it waits for no poll. The poll interval stays as the safety net:
// whatever the watcher misses (a database without the trigger, a session
// lost, a file system without inotify) is claimed at the next poll.
//
// PostgreSQL: one session of the engine LISTENs on the channel that the
// trigger of SMSOutgoing notifies on every insert (velquor db init makes
// it). A lost session is opened again after a back-off of 1 s doubling to
// 60 s; each new session wakes the handsets once for what was queued while
// it was down. A silent session is checked with a statement after a minute
// without traffic. A database without the trigger is logged once: the engine
// polls only until `velquor db init` adds it.
//
// SQLite: the watcher follows the queue file's directory with inotify and
// wakes the handsets when the file, its write-ahead log or its rollback
// journal is written, and again 20 ms and 250 ms after the last change
// (the rows of a commit become visible after its last write, which is the
// last event). The handsets' own writes wake them too; a wake makes each
// worker look once, and a look that finds nothing writes nothing, so this
// ends.
//
// While it watches (the file's watch is up, or a session listens on a
// database with the trigger), Watching() is true and the handsets share the
// safety-net poll between them instead of each polling (CHandset).
//
// Wakes are coalesced: after one, the watcher waits kCoalesce before the
// next, so a burst of inserts gives a few wakes, not one per row. Stop ends
// every wait of the watcher at once (a signal in its poll set).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/change_watch.h"
#include "server/engine/engine_settings.h"

namespace Norvale {

class CQueueWatcher {
 public:
  static constexpr std::chrono::milliseconds kCoalesce{5};
  // SQLite: the wakes after the last change of a burst.
  static constexpr std::chrono::milliseconds kSettle[] = {std::chrono::milliseconds(20),
                                                          std::chrono::milliseconds(250)};

  CQueueWatcher(const CEngineSettings& settings, std::function<void()> wake);
  ~CQueueWatcher();
  CQueueWatcher(const CQueueWatcher&) = delete;
  CQueueWatcher& operator=(const CQueueWatcher&) = delete;

  // Watches a SQLite file from here on; listens on PostgreSQL from when its
  // session is up (which wakes the handsets once).
  void Start();
  void Stop();

  // For the tests: the wakes given so far, and the PostgreSQL sessions that
  // began to listen.
  long Wakes() const { return m_nWakes; }
  // Whether a job queued now would wake the handsets.
  bool Watching() const { return m_bWatching; }
  long Sessions() const { return m_nSessions; }

 private:
  void Run();
  void RunPostgres();
  void RunSqlite();
  // Wakes the handsets, then waits kCoalesce; false when stopped.
  bool WakeAndCoalesce();
  // Waits `span` or until stopped; false when stopped.
  bool Pause(std::chrono::milliseconds span);

  const CEngineSettings& m_Settings;
  const std::function<void()> m_Wake;
  OS::WakeSignal m_Stop;
  std::unique_ptr<OS::DirectoryWatch> m_pFileWatch;  // SQLite
  std::atomic<bool> m_bStopping{false};
  std::atomic<bool> m_bWatching{false};
  std::atomic<long> m_nWakes{0}, m_nSessions{0};
  std::thread m_Thread;
};

}  // namespace Norvale
