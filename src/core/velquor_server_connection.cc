#include "core/velquor_server_connection.h"

#include "engine/engine_marshal.h"
#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;
using SMSServer::EnumEngineStatus;
using SMSServer::ISMSEngine;

CVelquorServerConnection::~CVelquorServerConnection() {
  m_pEngine = nullptr;
  // Closed here rather than left open for the process's life.
  if (m_hService) CloseServiceHandle(m_hService);
  if (m_hSCManager) CloseServiceHandle(m_hSCManager);
}

bool CVelquorServerConnection::ConnectToService() {
  if (m_hSCManager == nullptr) {
    m_hSCManager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
    if (m_hSCManager == nullptr) RAISE_COM_ERROR(E_FAIL, "Could not connect to service control manager");
  }
  if (m_hService == nullptr) {
    m_hService = OpenServiceA(m_hSCManager, kServiceName, SERVICE_START | SERVICE_QUERY_STATUS);
    if (m_hService == nullptr) m_hService = OpenServiceA(m_hSCManager, kServiceName, SERVICE_QUERY_STATUS);
    if (m_hService == nullptr) RAISE_COM_ERROR(E_FAIL, "Could not connect to Velquor Server on local machine");
  }
  return true;
}

bool CVelquorServerConnection::IsServiceRunning() {
  if (m_hService == nullptr) ConnectToService();
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(m_hService, &status)) RAISE_COM_ERROR(E_FAIL, "Could not query service status");
  return status.dwCurrentState == SERVICE_RUNNING;
}

_com_ptr_t<ISMSEngine> CVelquorServerConnection::GetServer() {
  if (!m_pEngine && IsServiceRunning()) {
    InstallEngineActivation();
    if (FAILED(m_pEngine.CreateInstance(ISMSEngine::kCLSID, nullptr, CLSCTX_ALL))) {
      m_pEngine = nullptr;
      RAISE_COM_ERROR(E_FAIL, "Could not connect to Velquor service");
    }
  }
  return m_pEngine;
}

_com_ptr_t<ISMSEngine> CVelquorServerConnection::GetServer(bool bTestConnection) {
  if (bTestConnection) GetServerStatus();
  return GetServer();
}

EnumEngineStatus CVelquorServerConnection::GetServerStatus() {
  try {
    const auto engine = GetServer();
    if (!engine) return SMSServer::esNotAvailable;
    return static_cast<EnumEngineStatus>(engine->GetStatus());
  } catch (...) {
    m_pEngine = nullptr;
    return SMSServer::esNotAvailable;
  }
}

void CVelquorServerConnection::StartServer() {
  if (!IsServiceRunning()) {
    if (m_hService == nullptr) ConnectToService();
    if (m_hService != nullptr && !StartServiceA(m_hService, 0, nullptr))
      RAISE_COM_ERROR(E_FAIL, "Cannot start Velquor service (administrator privileges required)");
    return;
  }
  const auto engine = GetServer();
  if (!engine)
    RAISE_COM_ERROR(E_FAIL, "Could not obtain connection Velquor server (CVelquorServerConnection::StartServer)");
  engine->Start();
}

void CVelquorServerConnection::StopServer() {
  const auto engine = GetServer();
  if (!engine)
    RAISE_COM_ERROR(E_FAIL, "Could not obtain connection Velquor server (CVelquorServerConnection::StopServer)");
  engine->Stop();
}

_com_ptr_t<SMSServer::ISMSEngine> CVelquorServerConnection::GetRunningServer(const char* sFailure) {
  if (GetServerStatus() != SMSServer::esRunning) RAISE_COM_ERROR(E_FAIL, sFailure);
  auto engine = GetServer();
  if (!engine) RAISE_COM_ERROR(E_FAIL, sFailure);
  return engine;
}

}  // namespace Norvale
