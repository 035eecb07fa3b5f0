// The schema of the three queue tables, for each database product, and its
// creation in a database. Creating it again changes nothing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/database.h"

namespace Norvale {

// PostgreSQL: the channel that an insert into SMSOutgoing notifies (the
// trigger of the schema), and a query that gives a row when that trigger
// exists (a database made before it has none).
inline constexpr const char* kOutgoingChannel = "velquor_outgoing";
inline constexpr const char* kOutgoingTriggerQuery =
    "SELECT 1 AS Present FROM pg_trigger WHERE tgname = 'smsoutgoing_notify' AND tgrelid = to_regclass('smsoutgoing')";

// The statements for the product that `sDSN` names.
std::vector<std::string> QueueSchemaStatements(const std::string& sDSN);
// Creates the tables and indexes that do not exist yet on an open connection.
void CreateQueueSchema(OS::Connection& connection, const std::string& sDSN);

// The upgrade in place of a database made with an earlier schema. The
// columns added since the first schema (the per-message columns of
// SMSOutgoing and SMSNotifications.ClientRef) are nullable, so ALTER TABLE
// ... ADD COLUMN leaves every row as it was; then the statements of the
// schema create what else is missing (indexes; with bEverything also tables
// and triggers, as CreateQueueSchema does). Running it again changes
// nothing. `run` executes one statement and gives its rows.
struct CSchemaUpgrade {
  std::vector<std::string> columns;  // "Table.Column" added
  std::vector<std::string> indexes;  // indexes created
};
using SchemaStatementRunner = std::function<OS::_RecordsetPtr(const std::string&)>;
CSchemaUpgrade UpgradeQueueSchema(const SchemaStatementRunner& run, const std::string& sDSN, bool bEverything);
// The same on an open connection (velquor db upgrade, velquor db init).
CSchemaUpgrade UpgradeQueueSchema(OS::Connection& connection, const std::string& sDSN);
// Whether the columns that UpgradeQueueSchema adds are all there.
bool QueueColumnsPresent(const SchemaStatementRunner& run, const std::string& sDSN);

}  // namespace Norvale
