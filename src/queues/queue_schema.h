// The schema of the three queue tables, for each database product, and its
// creation in a database. Creating it again changes nothing.
#pragma once

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

}  // namespace Norvale
