#include "smpp_database.h"

#include "smpp_schema.h"

namespace VelquorSmpp {

SmppDatabase::SmppDatabase() = default;
SmppDatabase::~SmppDatabase() = default;

Norvale::CConfigVelquorClientOnly& SmppDatabase::Config() { return m_Connections.Config(); }
Norvale::CDBConnectionDispensor& SmppDatabase::Connections() { return m_Connections.Connections(); }
bool SmppDatabase::IsPostgres() { return m_Connections.IsPostgres(); }

void SmppDatabase::CreateSchema() {
  for (const std::string& statement : SmppSchemaStatements(IsPostgres())) {
    Norvale::OS::_variant_t affected;
    Connections().GetConnection()->Execute(statement, &affected, Norvale::OS::adExecuteNoRecords);
  }
}

}  // namespace VelquorSmpp
