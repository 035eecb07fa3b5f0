#include "fault_injection_database.h"

#include <optional>
#include <utility>

#include "platform/error_info.h"

namespace TestSupport {

using namespace Norvale::OS;

namespace {
std::regex Compiled(const std::string& pattern) {
  return std::regex(pattern, std::regex::ECMAScript | std::regex::icase);
}
}  // namespace

std::string UpdateOf(const std::string& table) { return R"(^\s*UPDATE\s+)" + table + R"(\b)"; }
std::string InsertInto(const std::string& table) { return R"(^\s*INSERT\s+INTO\s+)" + table + R"(\b)"; }
std::string DeleteFrom(const std::string& table) { return R"(^\s*DELETE\s+FROM\s+)" + table + R"(\b)"; }
std::string SelectFrom(const std::string& table) { return R"(^\s*SELECT\b[\s\S]*\bFROM\s+)" + table + R"(\b)"; }
std::string Keyword(const std::string& word) { return R"(^\s*)" + word + R"(\b)"; }

struct FaultInjectionDatabase::State {
  struct Rule {
    Fault fault;
    std::regex pattern;
    HRESULT hr;
    int times;  // kEvery: no end
    int skip;
  };
  std::string dsn;
  mutable std::mutex lock;
  std::condition_variable changed;
  std::vector<Rule> rules;
  std::vector<std::string> statements;
  int injected = 0;
  int stalled = 0;
  unsigned long releases = 0;  // counts Release() calls; a stall waits for the next one
  bool installed = true;

  // The fault for `sql`, if any, using up one hit of its rule.
  // A statement on a dead connection only counts.
  std::optional<Rule> Take(const std::string& sql, bool dead) {
    const std::lock_guard guard(lock);
    statements.push_back(sql);
    if (!installed || dead) return std::nullopt;
    for (Rule& rule : rules) {
      if (rule.times == 0 || !std::regex_search(sql, rule.pattern)) continue;
      if (rule.skip > 0) {
        --rule.skip;
        continue;
      }
      if (rule.times > 0) --rule.times;
      ++injected;
      return rule;
    }
    return std::nullopt;
  }
};

namespace {

// Forwards to the real driver unless a rule says otherwise. Like every
// driver it is used by one thread at a time; only the shared state locks.
class FaultInjectionDriver final : public DatabaseDriver {
 public:
  FaultInjectionDriver(std::unique_ptr<DatabaseDriver> inner, std::shared_ptr<FaultInjectionDatabase::State> state)
      : m_inner(std::move(inner)), m_state(std::move(state)) {}

  // Every virtual of the interface is this: the fault before, the real
  // driver's own call, the fault after.
  _RecordsetPtr Execute(const std::string& sql, const SqlValues& values, LONG* affected,
                        DatabaseDeadline until) override {
    const auto rule = Before(sql, until);
    _RecordsetPtr rows = m_inner->Execute(sql, values, affected, until);
    After(rule, sql);
    return rows;
  }

 private:
  using Fault = FaultInjectionDatabase::Fault;
  using Rule = FaultInjectionDatabase::State::Rule;

  // Raises, stalls or drops the connection as the first matching rule says;
  // returns it when it has more to do after the statement ran.
  std::optional<Rule> Before(const std::string& sql, DatabaseDeadline until) {
    const auto rule = m_state->Take(sql, !m_inner);
    if (!m_inner) ThrowComError(E_FAIL, "Injected fault: the connection was dropped before '" + sql + "'");
    if (!rule) return std::nullopt;
    switch (rule->fault) {
      case Fault::Fail: ThrowComError(rule->hr, "Injected fault on '" + sql + "'");
      case Fault::Drop: Die(); ThrowComError(rule->hr, "Injected fault: the connection was dropped at '" + sql + "'");
      case Fault::Stall:
        if (!StallUntilReleased(until)) {
          Die();
          ThrowComError(DB_E_ABORTLIMITREACHED, "Injected fault: '" + sql + "' stalled until its deadline");
        }
        if (FAILED(rule->hr)) ThrowComError(rule->hr, "Injected fault on '" + sql + "' after a stall");
        return std::nullopt;
      case Fault::FailAfterRunning: return rule;
    }
    return std::nullopt;
  }

  void After(const std::optional<Rule>& rule, const std::string& sql) {
    if (!rule) return;
    Die();
    ThrowComError(rule->hr, "Injected fault: the answer to '" + sql + "' was lost with the connection");
  }

  // Closing the real connection rolls back what it holds, as a server does
  // with a connection that went away.
  void Die() { m_inner.reset(); }

  // True when released, false when `until` came first.
  bool StallUntilReleased(DatabaseDeadline until) {
    FaultInjectionDatabase::State& s = *m_state;
    std::unique_lock lock(s.lock);
    const unsigned long releases = s.releases;
    const auto released = [&] { return s.releases != releases || !s.installed; };
    ++s.stalled;
    s.changed.notify_all();
    bool ok = true;
    if (until == kNoDatabaseDeadline)
      s.changed.wait(lock, released);
    else
      ok = s.changed.wait_until(lock, until, released);
    --s.stalled;
    return ok;
  }

  std::unique_ptr<DatabaseDriver> m_inner;  // null once the connection died
  std::shared_ptr<FaultInjectionDatabase::State> m_state;
};

}  // namespace

FaultInjectionDatabase::FaultInjectionDatabase(std::string dsn) : m_state(std::make_shared<State>()) {
  m_state->dsn = std::move(dsn);
  m_previous = SetDatabaseDriverDecoratorForTesting(
      [state = m_state](std::unique_ptr<DatabaseDriver> driver,
                        const std::string& dsn) -> std::unique_ptr<DatabaseDriver> {
        if (!state->dsn.empty() && dsn != state->dsn) return driver;
        return std::make_unique<FaultInjectionDriver>(std::move(driver), state);
      });
}

FaultInjectionDatabase::~FaultInjectionDatabase() {
  SetDatabaseDriverDecoratorForTesting(std::move(m_previous));
  const std::lock_guard guard(m_state->lock);
  m_state->installed = false;  // wrapped connections still open forward from now on
  m_state->changed.notify_all();
}

void FaultInjectionDatabase::Add(Fault fault, const std::string& pattern, HRESULT hr, int times, int skip) {
  State::Rule rule{fault, Compiled(pattern), hr, times, skip};
  const std::lock_guard guard(m_state->lock);
  m_state->rules.push_back(std::move(rule));
}

void FaultInjectionDatabase::Clear() {
  const std::lock_guard guard(m_state->lock);
  m_state->rules.clear();
}

void FaultInjectionDatabase::Release() {
  const std::lock_guard guard(m_state->lock);
  ++m_state->releases;
  m_state->changed.notify_all();
}

bool FaultInjectionDatabase::WaitForStalled(int n, std::chrono::milliseconds cap) {
  std::unique_lock lock(m_state->lock);
  return m_state->changed.wait_for(lock, cap, [&] { return m_state->stalled >= n; });
}

int FaultInjectionDatabase::Injected() const {
  const std::lock_guard guard(m_state->lock);
  return m_state->injected;
}

int FaultInjectionDatabase::Seen(const std::string& pattern) const {
  const std::regex re = Compiled(pattern);
  const std::lock_guard guard(m_state->lock);
  int n = 0;
  for (const auto& sql : m_state->statements) n += std::regex_search(sql, re) ? 1 : 0;
  return n;
}

std::vector<std::string> FaultInjectionDatabase::Statements() const {
  const std::lock_guard guard(m_state->lock);
  return m_state->statements;
}

}  // namespace TestSupport
