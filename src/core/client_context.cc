#include "core/client_context.h"

#include "errors/handler_ladder.h"

namespace Norvale {

CClientContext::CClientContext(const char* sOwner)
    : m_Config(&m_sErrorMessage),
      m_DBConnection(&m_Config),
      m_OutgoingQueue(&m_Config, &m_DBConnection),
      m_IncomingQueue(&m_Config, &m_DBConnection),
      m_NotificationQueue(&m_Config, &m_DBConnection) {
  RunGuarded(sOwner, [this] {
    m_Config.SetProxyMode(true);
    m_Config.ReadConfigurationWithFailOverToDirectAccess();
  });
}

CClientContext::~CClientContext() = default;

}  // namespace Norvale
