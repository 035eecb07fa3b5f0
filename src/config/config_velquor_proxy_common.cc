#include "config/config_velquor_proxy_common.h"

#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;

CConfigVelquorProxyCommon::CRegisteredLogicalSections CConfigVelquorProxyCommon::RegisteredLogicalSections;

long CConfigVelquorProxyCommon::CRegisteredLogicalSections::RegisterLogicalSection(HKEY ParentHKey,
                                                                                   const std::string& sKeyPath) {
  std::lock_guard guard(m_Lock);
  m_Entries.push_back({ParentHKey, sKeyPath});
  return static_cast<long>(m_Entries.size() - 1);
}

bool CConfigVelquorProxyCommon::CRegisteredLogicalSections::GetLogicalSectionForKeyPath(HKEY ParentHKey,
                                                                                        const std::string& sKeyPath,
                                                                                        long* LogicalSection) {
  std::lock_guard guard(m_Lock);
  for (size_t i = 0; i < m_Entries.size(); ++i) {
    if (m_Entries[i].sKeyPath == sKeyPath && m_Entries[i].ParentHKey == ParentHKey) {
      *LogicalSection = static_cast<long>(i);
      return true;
    }
  }
  *LogicalSection = -1;
  return false;
}

bool CConfigVelquorProxyCommon::CRegisteredLogicalSections::GetKeyPathForLogicalSection(long LogicalSection,
                                                                                        HKEY* ParentHKey,
                                                                                        std::string* sKeyPath) {
  std::lock_guard guard(m_Lock);
  if (static_cast<unsigned long>(LogicalSection) >= m_Entries.size()) return false;
  *ParentHKey = m_Entries[static_cast<size_t>(LogicalSection)].ParentHKey;
  *sKeyPath = m_Entries[static_cast<size_t>(LogicalSection)].sKeyPath;
  return true;
}

long CConfigVelquorProxyCommon::CRegisteredLogicalSections::SectionFor(HKEY ParentHKey, const std::string& sKeyPath) {
  std::lock_guard guard(m_Lock);
  for (size_t i = 0; i < m_Entries.size(); ++i)
    if (m_Entries[i].sKeyPath == sKeyPath && m_Entries[i].ParentHKey == ParentHKey) return static_cast<long>(i);
  m_Entries.push_back({ParentHKey, sKeyPath});
  return static_cast<long>(m_Entries.size() - 1);
}

long CConfigVelquorProxyCommon::GetSectionForKeyPath(HKEY ParentHKey, const std::string& sKeyPath) {
  return RegisteredLogicalSections.SectionFor(ParentHKey, sKeyPath);
}

void CConfigVelquorProxyCommon::GetKeyPathForSection(long LogicalSection, HKEY* ParentHKey, std::string* sKeyPath) {
  if (!RegisteredLogicalSections.GetKeyPathForLogicalSection(LogicalSection, ParentHKey, sKeyPath))
    RAISE_COM_ERROR(E_FAIL, "CConfigVelquorProxyCommon::GetKeyPathForSection - Proxy HKEY Invalid");
}

void CConfigVelquorProxyCommon::ValidityCheckProxyHKEY(HKEY hKey) {
  HKEY parent;
  std::string path;
  if (!RegisteredLogicalSections.GetKeyPathForLogicalSection(ToSection(hKey), &parent, &path))
    RAISE_COM_ERROR(E_FAIL, "CConfigVelquorProxyCommon::ValidityCheckProxyHKEY - Proxy HKEY Invalid");
}

}  // namespace Norvale
