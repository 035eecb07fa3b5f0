#include "server/engine/router.h"

#include <algorithm>

#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "queues/route_sql.h"

namespace Norvale {

namespace {

constexpr const char* kTrue = "1=1";
constexpr const char* kFalse = "1=0";

// What the route gives handset nHandset, as SQL.
std::string ShareOf(const CRoute& route, int nHandset, const std::function<bool(int)>& ready) {
  if (!route.bWeighted) {
    for (const CRouteTarget& t : route.handsets)
      if (ready(t.nHandset)) return t.nHandset == nHandset ? kTrue : kFalse;
    return kFalse;
  }
  int total = 0, from = -1, weight = 0;
  for (const CRouteTarget& t : route.handsets) {
    if (!ready(t.nHandset)) continue;
    if (t.nHandset == nHandset) {
      from = total;
      weight = t.nWeight;
    }
    total += t.nWeight;
  }
  if (from < 0) return kFalse;
  if (weight == total) return kTrue;
  return IdShareSql(total, from, from + weight);
}

}  // namespace

CRouter::CRouter(Loader load, Clock::duration reloadEvery) : m_Load(std::move(load)), m_ReloadEvery(reloadEvery) {}

CRouter::CTable CRouter::LoadFromRegistry() {
  CTable table;
  table.routes = ReadRoutes(&table.problems);
  table.blocklist = ReadBlocklist();
  return table;
}

void CRouter::SetReady(int nHandset, bool bReady) {
  if (nHandset < 1 || nHandset >= static_cast<int>(m_Ready.size())) return;
  if (m_Ready[nHandset].exchange(bReady) != bReady && m_Changed) m_Changed();
}

bool CRouter::IsReady(int nHandset) const {
  return nHandset >= 1 && nHandset < static_cast<int>(m_Ready.size()) && m_Ready[nHandset].load();
}

std::shared_ptr<const CRouter::CTable> CRouter::Table() {
  std::lock_guard lock(m_Lock);
  const Clock::time_point now = Clock::now();
  if (m_pTable && now - m_Loaded < m_ReloadEvery) return m_pTable;
  m_Loaded = now;
  try {
    auto table = std::make_shared<CTable>(m_Load());
    if (table->problems != m_LoggedProblems) {
      for (const std::string& p : table->problems)
        LogEvent(OS::EVENTLOG_WARNING_TYPE, "CRouter", "The route is left out: " + p);
      m_LoggedProblems = table->problems;
    }
    m_pTable = std::move(table);
  } catch (const OS::_com_error& e) {
    // The table as it was (none at first) until the registry reads again.
    LogEvent(OS::EVENTLOG_WARNING_TYPE, "CRouter", "The routes could not be read: " + e.DescriptionA());
    if (!m_pTable) m_pTable = std::make_shared<CTable>();
  }
  return m_pTable;
}

std::string CRouter::Condition(const std::vector<CRoute>& routes, int nHandset, const std::function<bool(int)>& ready) {
  if (routes.empty()) return "";
  std::string sql = "(CASE";
  for (const CRoute& r : routes) sql += " WHEN " + RouteMatchSql(r) + " THEN " + ShareOf(r, nHandset, ready);
  return sql + " ELSE " + kTrue + " END)";
}

std::string CRouter::ClaimCondition(int nHandset) {
  const auto table = Table();
  return Condition(table->routes, nHandset, [this](int n) { return IsReady(n); });
}

int CRouter::PassOnTo(int nHandset, const std::string& sNumber, int nSourceType, const std::string& sSourceId) {
  const auto table = Table();
  const auto route = std::find_if(table->routes.begin(), table->routes.end(),
                                  [&](const CRoute& r) { return RouteMatches(r, sNumber, nSourceType, sSourceId); });
  if (route == table->routes.end()) return 0;
  const auto& list = route->handsets;
  const auto self =
      std::find_if(list.begin(), list.end(), [&](const CRouteTarget& t) { return t.nHandset == nHandset; });
  if (self == list.end()) return 0;
  const size_t start = static_cast<size_t>(self - list.begin());
  const size_t count = route->bWeighted ? list.size() - 1 : list.size() - 1 - start;
  for (size_t i = 1; i <= count; ++i) {
    const int n = list[(start + i) % list.size()].nHandset;
    if (IsReady(n)) return n;
  }
  return 0;
}

std::string CRouter::BlockedBy(const std::string& sNumber) { return BlockingPattern(Table()->blocklist, sNumber); }

}  // namespace Norvale
