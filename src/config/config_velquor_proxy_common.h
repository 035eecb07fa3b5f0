// The process-wide table of logical registry sections that turns key paths
// into proxy handles and back. A proxy handle is the index of a section
// (from 0) carried in a key handle; index 0 has the bit pattern of a null
// handle. Entries are appended, never changed or removed. The table is
// guarded by a lock, so configuration objects may be opened on several
// threads at once.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace Norvale {

class CConfigVelquorProxyCommon {
 public:
  struct SRegisterEntry {
    OS::HKEY ParentHKey;
    std::string sKeyPath;  // relative to "SOFTWARE\Norvale\Velquor"
  };

  class CRegisteredLogicalSections {
   public:
    long RegisterLogicalSection(OS::HKEY ParentHKey, const std::string& sKeyPath);
    bool GetLogicalSectionForKeyPath(OS::HKEY ParentHKey, const std::string& sKeyPath, long* LogicalSection);
    bool GetKeyPathForLogicalSection(long LogicalSection, OS::HKEY* ParentHKey, std::string* sKeyPath);
    // Finds or registers, under one lock.
    long SectionFor(OS::HKEY ParentHKey, const std::string& sKeyPath);

   private:
    std::mutex m_Lock;
    std::vector<SRegisterEntry> m_Entries;
  };

  static long GetSectionForKeyPath(OS::HKEY ParentHKey, const std::string& sKeyPath);
  static void GetKeyPathForSection(long LogicalSection, OS::HKEY* ParentHKey, std::string* sKeyPath);
  static void ValidityCheckProxyHKEY(OS::HKEY hKey);

  static OS::HKEY ToHandle(long section) { return reinterpret_cast<OS::HKEY>(static_cast<std::uintptr_t>(section)); }
  static long ToSection(OS::HKEY hKey) { return static_cast<long>(reinterpret_cast<std::uintptr_t>(hKey)); }

  static CRegisteredLogicalSections RegisteredLogicalSections;
};

}  // namespace Norvale
