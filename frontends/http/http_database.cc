#include "http_database.h"

#include "http_schema.h"

namespace VelquorHttp {
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

HttpDatabase::HttpDatabase() { ThisThread(); }
HttpDatabase::~HttpDatabase() = default;

Norvale::CConfigVelquorClientOnly& HttpDatabase::Config() { return *ThisThread().config; }
Norvale::CDBConnectionDispensor& HttpDatabase::Connections() { return *ThisThread().connections; }
bool HttpDatabase::IsPostgres() { return Connections().IsPostgres(); }

void HttpDatabase::CreateSchema() {
  for (const std::string& statement : HttpSchemaStatements(IsPostgres())) {
    Norvale::OS::_variant_t affected;
    Connections().GetConnection()->Execute(statement, &affected, Norvale::OS::adExecuteNoRecords);
  }
}

}  // namespace VelquorHttp
