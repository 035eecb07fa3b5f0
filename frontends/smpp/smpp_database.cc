#include "smpp_database.h"

#include "smpp_schema.h"

namespace VelquorSmpp {
namespace {

// One thread's configuration and connection, made on its first use.
struct ThreadDatabase {
  std::string error;
  std::unique_ptr<Norvale::CConfigVelquorClientOnly> config;
  std::unique_ptr<Norvale::CDBConnectionDispensor> connections;
};

ThreadDatabase& ThisThread() {
  thread_local ThreadDatabase database;
  if (!database.config) {
    auto config = std::make_unique<Norvale::CConfigVelquorClientOnly>(&database.error);
    config->ReadConfiguration();
    database.connections = std::make_unique<Norvale::CDBConnectionDispensor>(config.get());
    database.config = std::move(config);
  }
  return database;
}

}  // namespace

SmppDatabase::SmppDatabase() { ThisThread(); }
SmppDatabase::~SmppDatabase() = default;

Norvale::CConfigVelquorClientOnly& SmppDatabase::Config() { return *ThisThread().config; }
Norvale::CDBConnectionDispensor& SmppDatabase::Connections() { return *ThisThread().connections; }
bool SmppDatabase::IsPostgres() { return Connections().IsPostgres(); }

void SmppDatabase::CreateSchema() {
  for (const std::string& statement : SmppSchemaStatements(IsPostgres())) {
    Norvale::OS::_variant_t affected;
    Connections().GetConnection()->Execute(statement, &affected, Norvale::OS::adExecuteNoRecords);
  }
}

}  // namespace VelquorSmpp
