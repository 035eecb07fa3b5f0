// HttpDatabase: velquor-http's way to the queue database, which also holds
// the daemon's own tables (http_schema.h). The configuration (data source,
// user, password) is the library's, read from the registry; every thread
// that asks gets a connection provider of its own, since a connection
// belongs to one thread at a time.
#pragma once

#include <memory>

#include "config/config_velquor_client_only.h"
#include "queues/database_access.h"
#include "queues/thread_connections.h"

namespace VelquorHttp {

class HttpDatabase {
 public:
  // Reads the configuration; raises _com_error when it cannot.
  HttpDatabase();
  ~HttpDatabase();
  HttpDatabase(const HttpDatabase&) = delete;
  HttpDatabase& operator=(const HttpDatabase&) = delete;

  // The calling thread's configuration and connection provider.
  Norvale::CConfigVelquorClientOnly& Config();
  Norvale::CDBConnectionDispensor& Connections();
  bool IsPostgres();

  // Creates the daemon's tables where they are missing.
  void CreateSchema();

 private:
  Norvale::CThreadConnections m_Connections;
};

}  // namespace VelquorHttp
