// CVelquorServerConnection: finds out whether the engine service
// "VelquorServer" runs on this machine, creates and caches the engine object,
// and reports the engine's status. GetServerStatus never fails: every problem
// on the way to the engine is the status esNotAvailable (4), and a cached
// object whose engine went away is dropped by the first status probe. The
// service handles are closed when the object is destroyed. One owner uses an
// object from one thread at a time.
#pragma once

#include "engine/engine_interfaces.h"
#include "platform/com_ptr.h"
#include "platform/service_control.h"

namespace Norvale {

class CVelquorServerConnection {
 public:
  CVelquorServerConnection() = default;
  virtual ~CVelquorServerConnection();
  CVelquorServerConnection(const CVelquorServerConnection&) = delete;
  CVelquorServerConnection& operator=(const CVelquorServerConnection&) = delete;

  bool ConnectToService();
  void DisconnectFromService() {}
  bool IsServiceRunning();
  OS::_com_ptr_t<SMSServer::ISMSEngine> GetServer();
  OS::_com_ptr_t<SMSServer::ISMSEngine> GetServer(bool bTestConnection);
  SMSServer::EnumEngineStatus GetServerStatus();
  // The engine object when the engine runs; otherwise raises E_FAIL with
  // sFailure, the caller's account of what could not be done.
  OS::_com_ptr_t<SMSServer::ISMSEngine> GetRunningServer(const char* sFailure);
  void StartServer();
  void StopServer();

  static constexpr const char* kServiceName = "VelquorServer";

 private:
  OS::_com_ptr_t<SMSServer::ISMSEngine> m_pEngine;
  OS::SC_HANDLE m_hSCManager = nullptr;
  OS::SC_HANDLE m_hService = nullptr;
};

}  // namespace Norvale
