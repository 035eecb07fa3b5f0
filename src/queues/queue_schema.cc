#include "queues/queue_schema.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "queue_schema_sql.h"

namespace Norvale {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Whether `current`, a statement up to a ';', is a CREATE TRIGGER whose body
// has not reached its END yet.
bool InTriggerBody(const std::string& current) {
  const size_t begin = current.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return false;
  const std::string text = Upper(current.substr(begin, current.find_last_not_of(" \t\r\n") + 1 - begin));
  if (text.rfind("CREATE TRIGGER", 0) != 0) return false;
  return text.size() < 3 || text.compare(text.size() - 3, 3, "END") != 0;
}

// The columns added to the tables of the first schema, in the order of the
// schema files.
struct CAddedColumn {
  const char* szTable;
  const char* szColumn;
  const char* szType;
};
constexpr CAddedColumn kAddedColumns[] = {
    {"SMSOutgoing", "Sender", "TEXT"},           {"SMSOutgoing", "Priority", "INTEGER"},
    {"SMSOutgoing", "NotBefore", "BIGINT"},      {"SMSOutgoing", "ValidUntil", "BIGINT"},
    {"SMSOutgoing", "ReportRequest", "INTEGER"}, {"SMSOutgoing", "ClientRef", "TEXT"},
    {"SMSNotifications", "ClientRef", "TEXT"},
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The names (in lower case) of the first column of every row.
std::set<std::string> Names(const SchemaStatementRunner& run, const std::string& sql) {
  std::set<std::string> names;
  const auto rs = run(sql);
  for (; rs && !rs->adoEOF(); rs->MoveNext()) names.insert(Lower(rs->GetFieldValue("name").ToString()));
  return names;
}

std::set<std::string> Columns(const SchemaStatementRunner& run, bool bPostgres, const std::string& table) {
  return Names(run, bPostgres ? "SELECT column_name AS name FROM information_schema.columns WHERE table_schema = "
                                "current_schema() AND table_name = '" +
                                    Lower(table) + "'"
                              : "SELECT name FROM pragma_table_info('" + table + "')");
}

std::set<std::string> Indexes(const SchemaStatementRunner& run, bool bPostgres) {
  return Names(run, bPostgres ? "SELECT indexname AS name FROM pg_indexes WHERE schemaname = current_schema()"
                              : "SELECT name FROM sqlite_master WHERE type = 'index'");
}

}  // namespace

bool QueueColumnsPresent(const SchemaStatementRunner& run, const std::string& sDSN) {
  const bool postgres = OS::IsPostgresDataSource(sDSN);
  std::map<std::string, std::set<std::string>> columns;
  for (const CAddedColumn& added : kAddedColumns) {
    auto it = columns.find(added.szTable);
    if (it == columns.end()) it = columns.emplace(added.szTable, Columns(run, postgres, added.szTable)).first;
    if (!it->second.count(Lower(added.szColumn))) return false;
  }
  return true;
}

CSchemaUpgrade UpgradeQueueSchema(const SchemaStatementRunner& run, const std::string& sDSN, bool bEverything) {
  const bool postgres = OS::IsPostgresDataSource(sDSN);
  CSchemaUpgrade done;
  std::map<std::string, std::set<std::string>> columns;
  for (const CAddedColumn& added : kAddedColumns) {
    auto it = columns.find(added.szTable);
    if (it == columns.end()) it = columns.emplace(added.szTable, Columns(run, postgres, added.szTable)).first;
    // A table that is not there at all is made whole by its CREATE TABLE.
    if (it->second.empty() || it->second.count(Lower(added.szColumn))) continue;
    // PostgreSQL: IF NOT EXISTS, as another engine may add it meanwhile.
    run(std::string("ALTER TABLE ") + added.szTable + " ADD COLUMN " + (postgres ? "IF NOT EXISTS " : "") +
        added.szColumn + " " + added.szType);
    done.columns.push_back(std::string(added.szTable) + "." + added.szColumn);
  }
  const std::set<std::string> before = Indexes(run, postgres);
  for (const std::string& statement : QueueSchemaStatements(sDSN)) {
    // At an engine's start: the indexes of SMSOutgoing only (the other
    // tables are the administrator's to create).
    if (!bEverything && (Upper(statement).find("CREATE INDEX") == std::string::npos ||
                         statement.find("ON SMSOutgoing (") == std::string::npos))
      continue;
    run(statement);
  }
  for (const std::string& index : Indexes(run, postgres))
    if (!before.count(index)) done.indexes.push_back(index);
  return done;
}

CSchemaUpgrade UpgradeQueueSchema(OS::Connection& connection, const std::string& sDSN) {
  return UpgradeQueueSchema(
      [&connection](const std::string& sql) {
        OS::_variant_t affected;
        return connection.Execute(sql, &affected, OS::adCmdText);
      },
      sDSN, true);
}

std::vector<std::string> QueueSchemaStatements(const std::string& sDSN) {
  const std::string text = OS::IsPostgresDataSource(sDSN) ? kPostgresSchema : kSqliteSchema;
  std::vector<std::string> statements;
  std::string current;
  bool comment = false;
  std::string dollarTag;  // inside a dollar-quoted body ($$ ... $$): its tag
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!dollarTag.empty()) {
      if (text.compare(i, dollarTag.size(), dollarTag) == 0) {
        current += dollarTag;
        i += dollarTag.size() - 1;
        dollarTag.clear();
      } else {
        current += c;
      }
      continue;
    }
    if (!comment && c == '$') {
      const size_t end = text.find('$', i + 1);
      if (end != std::string::npos &&
          text.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", i + 1) == end) {  // $$ or $tag$
        dollarTag = text.substr(i, end - i + 1);
        current += dollarTag;
        i = end;
        continue;
      }
    }
    if (comment) {
      if (c == '\n') comment = false;
      continue;
    }
    if (c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
      comment = true;
      continue;
    }
    if (c == ';') {
      // SQLite's CREATE TRIGGER holds statements, each ending in ';', between
      // BEGIN and END.
      if (InTriggerBody(current)) {
        current += c;
        continue;
      }
      if (current.find_first_not_of(" \t\r\n") != std::string::npos) statements.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return statements;
}

void CreateQueueSchema(OS::Connection& connection, const std::string& sDSN) {
  for (const auto& statement : QueueSchemaStatements(sDSN)) {
    OS::_variant_t affected;
    connection.Execute(statement, &affected, OS::adCmdText | OS::adExecuteNoRecords);
  }
}

}  // namespace Norvale
