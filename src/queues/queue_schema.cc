#include "queues/queue_schema.h"

#include <cctype>

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

}  // namespace

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
