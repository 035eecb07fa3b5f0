#include "queues/thread_connections.h"

#include <atomic>
#include <memory>
#include <string>

namespace Norvale {
namespace {

// One thread's configuration and connection, and the object they were made
// for.
struct ThreadDatabase {
  std::uint64_t nSerial = 0;
  std::string error;
  std::unique_ptr<CConfigVelquorClientOnly> config;
  std::unique_ptr<CDBConnectionDispensor> connections;
};

ThreadDatabase& ThisThread(std::uint64_t nSerial) {
  thread_local ThreadDatabase database;
  if (!database.config || database.nSerial != nSerial) {
    database.connections.reset();
    database.config.reset();
    database.error.clear();
    auto config = std::make_unique<CConfigVelquorClientOnly>(&database.error);
    config->ReadConfiguration();
    database.connections = std::make_unique<CDBConnectionDispensor>(config.get());
    database.config = std::move(config);
    database.nSerial = nSerial;
  }
  return database;
}

std::uint64_t NextSerial() {
  static std::atomic<std::uint64_t> serial{0};
  return ++serial;
}

}  // namespace

CThreadConnections::CThreadConnections() : m_nSerial(NextSerial()) { ThisThread(m_nSerial); }
CThreadConnections::~CThreadConnections() = default;

CConfigVelquorClientOnly& CThreadConnections::Config() { return *ThisThread(m_nSerial).config; }
CDBConnectionDispensor& CThreadConnections::Connections() { return *ThisThread(m_nSerial).connections; }
bool CThreadConnections::IsPostgres() { return Connections().IsPostgres(); }

}  // namespace Norvale
