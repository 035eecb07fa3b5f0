// The PostgreSQL driver (libpq). Every PostgreSQL failure becomes an HRESULT
// here.
//
// All work goes through libpq's asynchronous calls with poll(2) on the
// connection's socket, so that every wait ends at the caller's bound.
//
// A statement text run with bound values becomes a named prepared statement
// of the session the first time (one more round trip), keyed by the text and
// its values' types, and runs as that from then on: parsed and planned once.
// Up to 64 are kept, the least recently used deallocated first (outside a
// transaction). A kept one that fails because the tables changed under it
// (SQLSTATE 0A000, "cached plan must not change result type") or that the
// session no longer has (26000) is prepared again and run once more when no
// transaction is open; in one, the failure spoils it and reaches the caller,
// and the next run prepares the text again.
#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/database.h"
#include "platform/error_info.h"

namespace Norvale::OS {
namespace {

std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

HRESULT HresultOfState(const char* state) {
  if (!state) return E_FAIL;  // a broken connection and the like
  if (std::strcmp(state, "53100") == 0) return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
  if (std::strcmp(state, "57014") == 0) return DB_E_ABORTLIMITREACHED;  // statement_timeout or a cancel
  if (std::strncmp(state, "23", 2) == 0) return DB_E_INTEGRITYVIOLATION;
  // A protocol violation from a working server: the statement's own fault
  // (a placeholder without its value), not the connection's.
  if (std::strcmp(state, "08P01") == 0) return DB_E_ERRORSINCOMMAND;
  if (std::strncmp(state, "08", 2) == 0 || std::strncmp(state, "57", 2) == 0) return E_FAIL;
  return DB_E_ERRORSINCOMMAND;
}

[[noreturn]] void RaiseResult(PGconn* conn, PGresult* result) {
  const HRESULT hr = HresultOfState(result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr);
  std::string text = Trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(conn));
  if (text.empty()) text = Trimmed(PQerrorMessage(conn));
  if (hr == HRESULT_FROM_WIN32(ERROR_DISK_FULL)) text = "The database server's disk is full: " + text;
  PQclear(result);
  ThrowComError(hr, text);
}

// Waits until the socket is ready for `events` or `until` passes; false when
// the time ran out, or when `interrupt` (a descriptor other than -1) became
// readable. Readiness includes errors and hang-ups: libpq reports those on
// its next call.
bool WaitFor(int socket, short events, DatabaseDeadline until, int interrupt = -1) {
  while (true) {
    int timeout = -1;
    if (until != kNoDatabaseDeadline) {
      const auto left = until - DatabaseClock::now();
      if (left <= DatabaseClock::duration::zero()) return false;
      // Rounded up, so that a wake-up never comes before the bound.
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      timeout = ms > 60000 ? 60000 : static_cast<int>(ms);
    }
    pollfd fds[2] = {{socket, events, 0}, {interrupt, POLLIN, 0}};
    const int n = poll(fds, interrupt >= 0 ? 2 : 1, timeout);
    if (n > 0 && interrupt >= 0 && fds[1].revents != 0) return false;
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return true;  // let libpq meet and report the failure
  }
}

// An INSERT, UPDATE or DELETE with RETURNING: rows come back, and the count
// is of the rows it changed.
bool ChangesRows(const PGresult* result) {
  const char* command = PQcmdStatus(const_cast<PGresult*>(result));
  for (const char* verb : {"INSERT ", "UPDATE ", "DELETE ", "MERGE "})
    if (std::strncmp(command, verb, std::strlen(verb)) == 0) return true;
  return false;
}

constexpr Oid kInt8 = 20;
constexpr Oid kText = 25;
constexpr Oid kFloat8 = 701;

bool IsInteger(Oid type) { return type == 20 || type == 21 || type == 23 || type == 26; }
bool IsFloat(Oid type) { return type == 700 || type == 701 || type == 1700; }

class PostgresDriver final : public DatabaseDriver {
 public:
  PostgresDriver(const std::string& dsn, const std::string& user, const std::string& password, DatabaseDeadline until,
                 DWORD dwStatementTimeout, int interrupt = -1)
      : m_nInterrupt(interrupt) {
    const auto start = DatabaseClock::now();
    // The session settings travel in the start-up packet, after the name's
    // own options (a later setting of the same name wins): no round trip.
    const std::string options = OwnOptions(dsn) + " -c standard_conforming_strings=on -c client_min_messages=warning" +
                                " -c statement_timeout=" + std::to_string(dwStatementTimeout);
    std::vector<const char*> keys = {"dbname", "options"}, values = {dsn.c_str(), options.c_str()};
    if (!user.empty()) keys.push_back("user"), values.push_back(user.c_str());
    if (!password.empty()) keys.push_back("password"), values.push_back(password.c_str());
    keys.push_back(nullptr), values.push_back(nullptr);
    m_conn = PQconnectStartParams(keys.data(), values.data(), 1);
    if (!m_conn) ThrowComError(E_OUTOFMEMORY, "Cannot connect to PostgreSQL: out of memory");
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    if (PQstatus(m_conn) == CONNECTION_BAD) polling = PGRES_POLLING_FAILED;
    while (polling != PGRES_POLLING_OK) {
      if (polling == PGRES_POLLING_FAILED)
        Fail(E_FAIL, "Cannot connect to PostgreSQL: " + Trimmed(PQerrorMessage(m_conn)));
      // The socket may change from one call to the next (several hosts).
      if (!WaitFor(PQsocket(m_conn), polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, until, m_nInterrupt))
        Fail(DB_E_ABORTLIMITREACHED, "Cannot connect to PostgreSQL at " + Where() + ": no answer within " +
                                         std::to_string(MillisecondsSince(start)) + " ms");
      polling = PQconnectPoll(m_conn);
    }
    if (PQsetnonblocking(m_conn, 1) != 0)
      Fail(E_FAIL, "Cannot connect to PostgreSQL: " + Trimmed(PQerrorMessage(m_conn)));
    // A server that took the start-up options reports the one setting the
    // statements' quoting depends on; one that ignored them (a server that
    // merely speaks the protocol) is given the settings as statements.
    // Failures of these are not fatal (a server may lack one); a silent server
    // or a lost connection is.
    const char* quoting = PQparameterStatus(m_conn, "standard_conforming_strings");
    if (quoting && std::strcmp(quoting, "on") == 0) return;
    const std::string settings = "SET standard_conforming_strings = on; SET client_min_messages = warning; " +
                                 std::string("SET statement_timeout = ") + std::to_string(dwStatementTimeout);
    if (!PQsendQuery(m_conn, settings.c_str()))
      Fail(E_FAIL, "Cannot connect to PostgreSQL: " + Trimmed(PQerrorMessage(m_conn)));
    try {
      while (PGresult* result = NextResult(until, start, "Cannot connect to PostgreSQL at " + Where())) PQclear(result);
    } catch (...) {
      Close();
      throw;
    }
  }
  ~PostgresDriver() override { Close(); }

  _RecordsetPtr Execute(const std::string& sql, const SqlValues& values, LONG* affected,
                        DatabaseDeadline until) override {
    if (!m_conn)
      ThrowComError(E_FAIL, "The PostgreSQL connection was closed when an earlier statement ran out of time");
    const auto start = DatabaseClock::now();
    // The values travel as text with their types: bigint, double precision
    // and text; NULL untyped, taking the type its place in the statement
    // wants. The server checks that every placeholder has its value.
    std::vector<Oid> types;
    std::vector<std::string> texts;
    std::vector<const char*> pointers;
    types.reserve(values.size());
    texts.reserve(values.size());
    for (const SqlValue& value : values) {
      if (const auto* n = std::get_if<std::int64_t>(&value)) {
        types.push_back(kInt8), texts.push_back(std::to_string(*n));
      } else if (const auto* d = std::get_if<double>(&value)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", *d);
        types.push_back(kFloat8), texts.push_back(buffer);
      } else if (const auto* t = std::get_if<std::string>(&value)) {
        types.push_back(kText), texts.push_back(*t);
      } else {
        types.push_back(0), texts.emplace_back();
      }
    }
    for (size_t i = 0; i < values.size(); ++i)
      pointers.push_back(std::holds_alternative<std::monostate>(values[i]) ? nullptr : texts[i].c_str());
    const std::string what = "PostgreSQL at " + Where();
    if (values.empty()) {
      // The extended protocol runs exactly one statement per call.
      if (!PQsendQueryParams(m_conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0))
        RaiseResult(m_conn, nullptr);
      return Rows(Await(until, start, what), affected);
    }
    // A text with values runs as a named prepared statement of this session,
    // parsed and planned once for the text and its values' types.
    std::string key = sql;
    for (const Oid type : types) key += '\x1f' + std::to_string(type);
    bool fresh = false;
    const std::string name = PreparedName(key, sql, types, until, start, what, fresh);
    if (!PQsendQueryPrepared(m_conn, name.c_str(), static_cast<int>(values.size()), pointers.data(), nullptr, nullptr,
                             0))
      RaiseResult(m_conn, nullptr);
    Owned result = Await(until, start, what);
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    // A kept plan that no longer fits (a table's columns changed: "cached plan
    // must not change result type"), or a statement the session lost (a
    // DISCARD ALL): prepared anew and run once more, which is possible only
    // outside a transaction (inside, the failure has spoilt it).
    if (!fresh && state && (std::strcmp(state, "0A000") == 0 || std::strcmp(state, "26000") == 0)) {
      Forget(key);
      if (PQtransactionStatus(m_conn) == PQTRANS_IDLE) {
        const std::string again = PreparedName(key, sql, types, until, start, what, fresh);
        if (!PQsendQueryPrepared(m_conn, again.c_str(), static_cast<int>(values.size()), pointers.data(), nullptr,
                                 nullptr, 0))
          RaiseResult(m_conn, nullptr);
        result = Await(until, start, what);
      }
    }
    return Rows(std::move(result), affected);
  }

  int Socket() const { return m_conn ? PQsocket(m_conn) : -1; }

  // Reads what arrived on an idle session; the count of notifications of
  // `channel`. A lost session raises E_FAIL.
  int TakeNotifications(const std::string& channel) {
    if (!m_conn) ThrowComError(E_FAIL, "The PostgreSQL listening session is closed");
    if (!PQconsumeInput(m_conn) || PQstatus(m_conn) == CONNECTION_BAD) {
      const std::string text = Trimmed(PQerrorMessage(m_conn));
      Close();
      ThrowComError(E_FAIL, "The PostgreSQL listening session was lost: " + text);
    }
    int count = 0;
    while (PGnotify* notification = PQnotifies(m_conn)) {
      if (channel == notification->relname) ++count;
      PQfreemem(notification);
    }
    return count;
  }

  // Notices (e.g. the server's "terminating connection") are not printed:
  // a lost session is reported by TakeNotifications.
  void Silence() {
    if (m_conn)
      PQsetNoticeProcessor(
          m_conn, [](void*, const char*) {}, nullptr);
  }

 private:
  using Owned = std::unique_ptr<PGresult, void (*)(PGresult*)>;
  static constexpr size_t kCachedStatements = 64;
  struct Prepared {
    std::string sName;
    std::list<std::string>::iterator use;  // its place in m_uses
  };

  // Waits for the statement in flight and returns its last result.
  Owned Await(DatabaseDeadline until, DatabaseClock::time_point start, const std::string& what) {
    Owned owned(nullptr, PQclear);
    try {
      // One statement gives one result; keep the last.
      while (PGresult* next = NextResult(until, start, what)) owned.reset(next);
    } catch (const _com_error& e) {
      // A server that reports an error and then closes the connection (a
      // shutdown, say) is best described by its report.
      if (e.Error() == DB_E_ABORTLIMITREACHED || !owned || PQresultStatus(owned.get()) != PGRES_FATAL_ERROR) throw;
    }
    return owned;
  }

  // The record set of a statement's result (null without rows), or its
  // failure raised.
  _RecordsetPtr Rows(Owned owned, LONG* affected) {
    PGresult* result = owned.get();
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK) {
      *affected = static_cast<LONG>(std::atol(PQcmdTuples(result)));
      return nullptr;
    }
    if (status != PGRES_TUPLES_OK) RaiseResult(m_conn, owned.release());
    *affected = ChangesRows(result) ? static_cast<LONG>(std::atol(PQcmdTuples(result))) : -1;
    _RecordsetPtr rows;
    const int fields = PQnfields(result);
    for (int r = 0; r < PQntuples(result); ++r) {
      std::vector<Recordset::Column> columns;
      columns.reserve(static_cast<size_t>(fields));
      for (int i = 0; i < fields; ++i) {
        _variant_t v;
        if (PQgetisnull(result, r, i)) {
          v = _variant_t::Null();
        } else {
          const char* text = PQgetvalue(result, r, i);
          const Oid type = PQftype(result, i);
          if (IsInteger(type)) {
            const long long x = std::atoll(text);
            v = (x >= INT32_MIN && x <= INT32_MAX) ? _variant_t(static_cast<LONG>(x)) : _variant_t(LONGLONG{x});
          } else if (IsFloat(type)) {
            v = _variant_t(std::strtod(text, nullptr));
          } else {
            v = _variant_t(std::string_view(text, static_cast<size_t>(PQgetlength(result, r, i))));
          }
        }
        columns.push_back({r == 0 ? PQfname(result, i) : std::string(), std::move(v)});
      }
      if (!rows)
        rows = std::make_shared<Recordset>(std::move(columns));
      else
        rows->AddRow(std::move(columns));
    }
    return rows;
  }

  // The name of the session's prepared statement for `key` (the text and its
  // values' types), preparing it first when there is none (`fresh`).
  std::string PreparedName(const std::string& key, const std::string& sql, const std::vector<Oid>& types,
                           DatabaseDeadline until, DatabaseClock::time_point start, const std::string& what,
                           bool& fresh) {
    if (const auto it = m_prepared.find(key); it != m_prepared.end()) {
      m_uses.splice(m_uses.begin(), m_uses, it->second.use);
      fresh = false;
      return it->second.sName;
    }
    if (m_prepared.size() >= kCachedStatements) Forget(m_uses.back());
    DeallocateStale(until, start, what);
    const std::string name = "velquor_" + std::to_string(++m_nPrepared);
    if (!PQsendPrepare(m_conn, name.c_str(), sql.c_str(), static_cast<int>(types.size()), types.data()))
      RaiseResult(m_conn, nullptr);
    Owned result = Await(until, start, what);
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) RaiseResult(m_conn, result.release());
    m_uses.push_front(key);
    m_prepared.emplace(key, Prepared{name, m_uses.begin()});
    fresh = true;
    return name;
  }

  // Drops the statement of `key` from the cache; the session's copy goes at
  // the next chance (DeallocateStale).
  void Forget(const std::string& key) {
    const auto it = m_prepared.find(key);
    if (it == m_prepared.end()) return;
    m_stale.push_back(it->second.sName);
    m_uses.erase(it->second.use);
    m_prepared.erase(it);
  }

  // Deallocates the session's statements that the cache dropped, outside a
  // transaction only: a failing DEALLOCATE would spoil one.
  void DeallocateStale(DatabaseDeadline until, DatabaseClock::time_point start, const std::string& what) {
    if (m_stale.empty() || PQtransactionStatus(m_conn) != PQTRANS_IDLE) return;
    std::string sql;
    for (const auto& name : m_stale) sql += "DEALLOCATE " + name + ";";
    m_stale.clear();
    if (!PQsendQuery(m_conn, sql.c_str())) RaiseResult(m_conn, nullptr);
    Await(until, start, what);  // a statement already gone is no matter
  }

  // Sends what is queued and returns the next result of the statement in
  // flight, null when it has none left. At `until` the connection is closed
  // and DB_E_ABORTLIMITREACHED raised.
  PGresult* NextResult(DatabaseDeadline until, DatabaseClock::time_point start, const std::string& what) {
    while (true) {
      const int flushed = PQflush(m_conn);
      if (flushed < 0) RaiseResult(m_conn, nullptr);
      if (flushed == 0 && !PQisBusy(m_conn)) return PQgetResult(m_conn);
      if (!WaitFor(PQsocket(m_conn), flushed ? POLLIN | POLLOUT : POLLIN, until, m_nInterrupt)) {
        Close();
        ThrowComError(DB_E_ABORTLIMITREACHED,
                      what + ": no answer within " + std::to_string(MillisecondsSince(start)) + " ms");
      }
      if (!PQconsumeInput(m_conn)) RaiseResult(m_conn, nullptr);
    }
  }

  // The options the data source name gives, empty when it gives none or
  // cannot be parsed (the connect then reports the fault).
  static std::string OwnOptions(const std::string& dsn) {
    std::string own;
    if (PQconninfoOption* parsed = PQconninfoParse(dsn.c_str(), nullptr)) {
      for (const PQconninfoOption* o = parsed; o->keyword; ++o)
        if (std::strcmp(o->keyword, "options") == 0 && o->val) own = o->val;
      PQconninfoFree(parsed);
    }
    return own;
  }

  std::string Where() const {
    const char* host = PQhost(m_conn);
    const char* port = PQport(m_conn);
    return std::string(host && *host ? host : "localhost") + ":" + (port && *port ? port : "5432");
  }

  [[noreturn]] void Fail(HRESULT hr, const std::string& text) {
    Close();
    ThrowComError(hr, text);
  }

  void Close() {
    PQfinish(m_conn);  // non-blocking: the goodbye is sent if it can be, never waited for
    m_conn = nullptr;
    m_prepared.clear();
    m_uses.clear();
    m_stale.clear();
  }

  PGconn* m_conn = nullptr;
  const int m_nInterrupt;
  std::unordered_map<std::string, Prepared> m_prepared;
  std::list<std::string> m_uses;  // the kept keys, most recently used first
  std::vector<std::string> m_stale;
  unsigned long m_nPrepared = 0;
};

class PostgresListener final : public DatabaseListener {
 public:
  PostgresListener(const std::string& dsn, const std::string& user, const std::string& password,
                   const std::string& channel, DatabaseDeadline until, int interrupt)
      : m_driver(dsn, user, password, until, kDefaultCommandTimeout, interrupt), m_sChannel(channel) {
    m_driver.Silence();
    // An identifier, quoted: the name is taken as written.
    std::string quoted = "\"";
    for (const char c : channel) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    quoted += '"';
    LONG affected = 0;
    m_driver.Execute("LISTEN " + quoted, SqlValues(), &affected, until);
  }

  _RecordsetPtr Execute(const std::string& sql, const SqlValues& values, DatabaseDeadline until) override {
    LONG affected = 0;
    return m_driver.Execute(sql, values, &affected, until);
  }
  int Descriptor() const override { return m_driver.Socket(); }
  int TakeNotifications() override { return m_driver.TakeNotifications(m_sChannel); }

 private:
  PostgresDriver m_driver;
  const std::string m_sChannel;
};

}  // namespace

std::unique_ptr<DatabaseDriver> OpenPostgres(const std::string& dsn, const std::string& user,
                                             const std::string& password, DatabaseDeadline until,
                                             DWORD dwStatementTimeout) {
  return std::make_unique<PostgresDriver>(dsn, user, password, until, dwStatementTimeout);
}

std::unique_ptr<DatabaseListener> ListenPostgres(const std::string& dsn, const std::string& user,
                                                 const std::string& password, const std::string& channel,
                                                 DatabaseDeadline until, int interrupt) {
  return std::make_unique<PostgresListener>(dsn, user, password, channel, until, interrupt);
}

}  // namespace Norvale::OS
