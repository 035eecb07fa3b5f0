// Writes the client configuration the library reads at construction.
#pragma once

#include <string>

#include <filesystem>

#include "config/config_reg.h"
#include "queue_test_support.h"

namespace TestSupport {

inline void WriteClientConfig(const std::string& dsn, bool outgoingQueue, bool incomingQueue) {
  bool readOnly = false;
  const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                        &readOnly, false);
  Norvale::RUSetValue(key, "InstalledType", "Client", false);
  Norvale::RUSetValue(key, "InstalledPath", "/opt/velquor", false);
  Norvale::RUSetValue(key, "OutgoingQueueEnabled", outgoingQueue ? "1" : "0", false);
  Norvale::RUSetValue(key, "IncomingQueueEnabled", incomingQueue ? "1" : "0", false);
  Norvale::RUSetValue(key, "DSN", dsn, false);
  Norvale::RUSetValue(key, "Username", "", false);
  Norvale::RUSetValue(key, "Password", "", false);
  Norvale::OS::RegCloseKey(key);
}

// A fresh queue database that the client configuration names, with both
// queues switched on: the set-up of the tests that go through the queues.
struct ConfiguredQueues {
  explicit ConfiguredQueues(Backend backend) : db(backend) {
    std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
    WriteClientConfig(db.Dsn(), true, true);
  }
  TestDatabase db;
};

}  // namespace TestSupport
