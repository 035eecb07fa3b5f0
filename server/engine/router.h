// CRouter: the engine's routes and blocklist (config/routes.h) at claim time.
//
// It reads the routing table and the blocklist from the registry at start
// and again whenever it is asked after kReloadEvery has passed, so a change
// made with `velquor route` takes effect within that time without a restart.
// A malformed route is left out and logged (once for each change of the
// problems).
//
// The handsets of this engine tell it whether they are ready to send
// (SetReady, from each worker's loop); a handset this engine does not run is
// never ready. For handset H it gives the condition that jobs of any handset
// (Handset 0) must meet to be claimed by H: a job that matches no route is
// H's to take like every handset's; for a job whose first matching route
// lists handsets in fail-over order, H takes it only when H is the first
// ready handset of the list; with weights, the ready handsets share the Ids
// (Id % the sum of their weights), each its own slice. A job whose route has
// no ready handset waits. A job that names its handset is not routed.
//
// When a handset becomes ready or not, the others are woken (the callback),
// so that the jobs routed to it are claimed by the next at once.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/routes.h"

namespace Norvale {

class CRouter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kReloadEvery = std::chrono::seconds(2);

  struct CTable {
    std::vector<CRoute> routes;
    std::vector<std::string> blocklist;
    std::vector<std::string> problems;
  };
  using Loader = std::function<CTable()>;

  explicit CRouter(Loader load = LoadFromRegistry, Clock::duration reloadEvery = kReloadEvery);
  CRouter(const CRouter&) = delete;
  CRouter& operator=(const CRouter&) = delete;

  static CTable LoadFromRegistry();

  // Before the handsets start: called when a handset's readiness changes.
  void OnReadinessChange(std::function<void()> changed) { m_Changed = std::move(changed); }
  void SetReady(int nHandset, bool bReady);
  bool IsReady(int nHandset) const;
  // Wakes every handset (a job was passed on to another).
  void WakeAll() const {
    if (m_Changed) m_Changed();
  }

  // The condition of the claim of handset nHandset over the jobs of any
  // handset; empty when there are no routes.
  std::string ClaimCondition(int nHandset);
  // The handset a routed job that handset nHandset failed temporarily goes
  // to: the next ready handset of its route after nHandset (for weights, any
  // other ready one, in the list's order after nHandset); 0 when none.
  int PassOnTo(int nHandset, const std::string& sNumber, int nSourceType, const std::string& sSourceId);
  // The blocklist entry the number matches, or "".
  std::string BlockedBy(const std::string& sNumber);

  // The condition for a table and a readiness (the unit of the above).
  static std::string Condition(const std::vector<CRoute>& routes, int nHandset, const std::function<bool(int)>& ready);

 private:
  std::shared_ptr<const CTable> Table();

  const Loader m_Load;
  const Clock::duration m_ReloadEvery;
  std::function<void()> m_Changed;
  std::array<std::atomic<bool>, 9> m_Ready{};
  std::mutex m_Lock;  // guards what follows
  std::shared_ptr<const CTable> m_pTable;
  Clock::time_point m_Loaded;
  std::vector<std::string> m_LoggedProblems;
};

}  // namespace Norvale
