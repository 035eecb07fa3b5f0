// The PostgreSQL driver (libpq). Every PostgreSQL failure becomes an HRESULT
// here.
#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

#include "platform/database.h"
#include "platform/error_info.h"

namespace Norvale::OS {
namespace {

std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

[[noreturn]] void RaiseResult(PGconn* conn, PGresult* result) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  std::string text = Trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(conn));
  if (text.empty()) text = Trimmed(PQerrorMessage(conn));
  HRESULT hr = E_FAIL;  // a broken connection and the like
  if (state) {
    if (std::strncmp(state, "23", 2) == 0)
      hr = DB_E_INTEGRITYVIOLATION;
    else if (std::strncmp(state, "08", 2) != 0 && std::strncmp(state, "57", 2) != 0)
      hr = DB_E_ERRORSINCOMMAND;
  }
  PQclear(result);
  ThrowComError(hr, text);
}

bool IsInteger(Oid type) { return type == 20 || type == 21 || type == 23 || type == 26; }
bool IsFloat(Oid type) { return type == 700 || type == 701 || type == 1700; }

class PostgresDriver final : public DatabaseDriver {
 public:
  PostgresDriver(const std::string& dsn, const std::string& user, const std::string& password) {
    std::vector<const char*> keys = {"dbname"}, values = {dsn.c_str()};
    if (!user.empty()) keys.push_back("user"), values.push_back(user.c_str());
    if (!password.empty()) keys.push_back("password"), values.push_back(password.c_str());
    keys.push_back("connect_timeout"), values.push_back("10");
    keys.push_back(nullptr), values.push_back(nullptr);
    m_conn = PQconnectdbParams(keys.data(), values.data(), 1);
    if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
      const std::string text = m_conn ? Trimmed(PQerrorMessage(m_conn)) : "out of memory";
      PQfinish(m_conn);
      m_conn = nullptr;
      ThrowComError(E_FAIL, "Cannot connect to PostgreSQL: " + text);
    }
    PQclear(PQexec(m_conn, "SET standard_conforming_strings = on"));
    PQclear(PQexec(m_conn, "SET client_min_messages = warning"));
  }
  ~PostgresDriver() override { PQfinish(m_conn); }

  _RecordsetPtr Execute(const std::string& sql, LONG* affected) override {
    // The extended protocol runs exactly one statement per call.
    PGresult* result = PQexecParams(m_conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK) {
      *affected = static_cast<LONG>(std::atol(PQcmdTuples(result)));
      PQclear(result);
      return nullptr;
    }
    if (status != PGRES_TUPLES_OK) RaiseResult(m_conn, result);
    *affected = -1;
    _RecordsetPtr first;
    if (PQntuples(result) > 0) {
      std::vector<Recordset::Column> columns;
      for (int i = 0; i < PQnfields(result); ++i) {
        _variant_t v;
        if (PQgetisnull(result, 0, i)) {
          v = _variant_t::Null();
        } else {
          const char* text = PQgetvalue(result, 0, i);
          const Oid type = PQftype(result, i);
          if (IsInteger(type)) {
            const long long x = std::atoll(text);
            v = (x >= INT32_MIN && x <= INT32_MAX) ? _variant_t(static_cast<LONG>(x)) : _variant_t(LONGLONG{x});
          } else if (IsFloat(type)) {
            v = _variant_t(std::strtod(text, nullptr));
          } else {
            v = _variant_t(std::string_view(text, static_cast<size_t>(PQgetlength(result, 0, i))));
          }
        }
        columns.push_back({PQfname(result, i), std::move(v)});
      }
      first = std::make_shared<Recordset>(std::move(columns));
    }
    PQclear(result);
    return first;
  }

 private:
  PGconn* m_conn = nullptr;
};

}  // namespace

std::unique_ptr<DatabaseDriver> OpenPostgres(const std::string& dsn, const std::string& user,
                                             const std::string& password) {
  return std::make_unique<PostgresDriver>(dsn, user, password);
}

}  // namespace Norvale::OS
