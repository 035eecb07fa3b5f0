// The schema of the three queue tables, for each database product, and its
// creation in a database. Creating it again changes nothing.
#pragma once

#include <string>
#include <vector>

#include "platform/database.h"

namespace Norvale {

// The statements for the product that `sDSN` names.
std::vector<std::string> QueueSchemaStatements(const std::string& sDSN);
// Creates the tables and indexes that do not exist yet on an open connection.
void CreateQueueSchema(OS::Connection& connection, const std::string& sDSN);

}  // namespace Norvale
