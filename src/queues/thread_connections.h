// CThreadConnections: the queue database for a program whose threads each
// need a connection of their own (a connection belongs to one thread at a
// time): velquor-http and velquor-smppd. The configuration (data source,
// user, password) is the library's, read from the registry by each thread
// on its first use.
#pragma once

#include <cstdint>

#include "config/config_velquor_client_only.h"
#include "queues/database_access.h"

namespace Norvale {

class CThreadConnections {
 public:
  // Reads the configuration on the calling thread; raises _com_error when
  // it cannot.
  CThreadConnections();
  ~CThreadConnections();
  CThreadConnections(const CThreadConnections&) = delete;
  CThreadConnections& operator=(const CThreadConnections&) = delete;

  // The calling thread's configuration and connection provider, made on
  // its first call and kept until the thread ends. A thread holds one: when
  // another object asks on it (a test's next database), it is made anew
  // from the configuration as it is then.
  CConfigVelquorClientOnly& Config();
  CDBConnectionDispensor& Connections();
  bool IsPostgres();

 private:
  std::uint64_t m_nSerial;
};

}  // namespace Norvale
