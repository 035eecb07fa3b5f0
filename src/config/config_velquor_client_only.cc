#include "config/config_velquor_client_only.h"

#include <cctype>

#include "errors/com_error_raise.h"

namespace Norvale {

namespace {
constexpr unsigned long kLongestDatabaseTimeout = 3600000;  // one hour

// An optional time-out in milliseconds: the default when absent or empty.
OS::DWORD Milliseconds(const std::string& text, const char* szName, OS::DWORD dwDefault) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  if (begin == end) return dwDefault;
  unsigned long value = 0;
  bool valid = end - begin <= 7;
  for (size_t i = begin; valid && i < end; ++i) {
    valid = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (valid) value = value * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  if (!valid || value < 1 || value > kLongestDatabaseTimeout)
    RAISE_COM_ERROR(OS::E_INVALIDARG, std::string(szName) + " is '" + text +
                                          "': expected a number of milliseconds from 1 to " +
                                          std::to_string(kLongestDatabaseTimeout));
  return static_cast<OS::DWORD>(value);
}
}  // namespace

CConfigVelquorClientOnly::CConfigVelquorClientOnly(std::string* sErrorMessage) : CConfigVelquor(sErrorMessage) {}

void CConfigVelquorClientOnly::ReadConfiguration() {
  CConfigVelquor::ReadConfiguration();
  const OS::HKEY root = m_hRootKey;
  m_sInstalledType = GetParameter(root, "InstalledType", false, "", false);
  m_sInstalledPath = GetParameter(root, "InstalledPath", false, "", false);
  m_bOutgoingQueueEnabled = GetParameterBOOL(root, "OutgoingQueueEnabled", false, false, false);
  m_bIncomingQueueEnabled = GetParameterBOOL(root, "IncomingQueueEnabled", false, false, false);
  m_sDSN = GetParameter(root, "DSN", false, "", false);
  m_sUsername = GetParameter(root, "Username", false, "", false);
  m_sPassword = GetParameter(root, "Password", false, "", false);
  m_dwDatabaseConnectTimeout = Milliseconds(GetParameter(root, "DatabaseConnectTimeout", true, "", false),
                                            "DatabaseConnectTimeout", OS::kDefaultConnectionTimeout);
  m_dwDatabaseOperationTimeout = Milliseconds(GetParameter(root, "DatabaseOperationTimeout", true, "", false),
                                              "DatabaseOperationTimeout", OS::kDefaultCommandTimeout);
  m_bKeepDatabaseConnection = GetParameterBOOL(root, "KeepDatabaseConnection", true, false, false);
}

}  // namespace Norvale
