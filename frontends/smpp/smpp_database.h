// SmppDatabase: velquor-smppd's way to the queue database, which also holds
// the daemon's own tables (smpp_schema.h). The configuration (data source,
// user, password) is the library's, read from the registry; every thread
// that asks gets a connection provider of its own.
#pragma once

#include "config/config_velquor_client_only.h"
#include "queues/database_access.h"
#include "queues/thread_connections.h"

namespace VelquorSmpp {

class SmppDatabase {
 public:
  // Reads the configuration; raises _com_error when it cannot.
  SmppDatabase();
  ~SmppDatabase();
  SmppDatabase(const SmppDatabase&) = delete;
  SmppDatabase& operator=(const SmppDatabase&) = delete;

  Norvale::CConfigVelquorClientOnly& Config();
  Norvale::CDBConnectionDispensor& Connections();
  bool IsPostgres();

  // Creates the daemon's tables where they are missing.
  void CreateSchema();

 private:
  Norvale::CThreadConnections m_Connections;
};

}  // namespace VelquorSmpp
