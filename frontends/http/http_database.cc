#include "http_database.h"

#include "http_schema.h"

namespace VelquorHttp {

HttpDatabase::HttpDatabase() = default;
HttpDatabase::~HttpDatabase() = default;

Norvale::CConfigVelquorClientOnly& HttpDatabase::Config() { return m_Connections.Config(); }
Norvale::CDBConnectionDispensor& HttpDatabase::Connections() { return m_Connections.Connections(); }
bool HttpDatabase::IsPostgres() { return m_Connections.IsPostgres(); }

void HttpDatabase::CreateSchema() {
  for (const std::string& statement : HttpSchemaStatements(IsPostgres())) {
    Norvale::OS::_variant_t affected;
    Connections().GetConnection()->Execute(statement, &affected, Norvale::OS::adExecuteNoRecords);
  }
}

}  // namespace VelquorHttp
