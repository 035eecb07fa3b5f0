#include "queues/queue_schema.h"

#include "queue_schema_sql.h"

namespace Norvale {

std::vector<std::string> QueueSchemaStatements(const std::string& sDSN) {
  const std::string text = OS::IsPostgresDataSource(sDSN) ? kPostgresSchema : kSqliteSchema;
  std::vector<std::string> statements;
  std::string current;
  bool comment = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (comment) {
      if (c == '\n') comment = false;
      continue;
    }
    if (c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
      comment = true;
      continue;
    }
    if (c == ';') {
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
