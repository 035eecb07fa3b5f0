// Fresh queue databases for tests, on SQLite and on the private PostgreSQL
// server whose address the test command puts in NORVALE_TEST_PG. A test on
// PostgreSQL is skipped when that variable is unset and fails when it is set
// but the server cannot be reached.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/database.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"
#include "queues/outgoing_queue.h"
#include "queues/queue_schema.h"
#include "skip_support.h"

namespace TestSupport {

enum class Backend { Sqlite, Postgres };

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

inline const char* PostgresAddress() { return std::getenv("NORVALE_TEST_PG"); }

// Makes an empty set of queue tables and gives its data source name. On
// PostgreSQL the tables live in a schema of their own, dropped at the end, so
// tests running at once never meet.
class TestDatabase {
 public:
  explicit TestDatabase(Backend backend) : m_backend(backend) {
    static std::atomic<int> counter{0};
    const std::string tag = std::to_string(getpid()) + "_" + std::to_string(counter++);
    if (backend == Backend::Sqlite) {
      const std::string path = std::string(std::getenv("NORVALE_ROOT")) + "/queue_" + tag + ".db";
      std::filesystem::remove(path);
      m_dsn = "sqlite:" + path;
    } else {
      m_schema = "t_" + tag;
      Admin("CREATE SCHEMA " + m_schema);
      m_dsn = std::string(PostgresAddress()) + "?options=-csearch_path%3D" + m_schema;
    }
    Norvale::OS::Connection c;
    c.Open("Data Source=" + m_dsn, "", "");
    Norvale::CreateQueueSchema(c, m_dsn);
  }
  ~TestDatabase() {
    if (!m_schema.empty()) {
      try {
        Admin("DROP SCHEMA " + m_schema + " CASCADE");
      } catch (...) {
      }
    }
  }
  const std::string& Dsn() const { return m_dsn; }
  Backend Kind() const { return m_backend; }

  // Runs one statement on a connection of its own.
  void Run(const std::string& sql) const {
    Norvale::OS::Connection c;
    c.Open("Data Source=" + m_dsn, "", "");
    Norvale::OS::_variant_t affected;
    c.Execute(sql, &affected, Norvale::OS::adCmdText);
  }
  Norvale::OS::_variant_t Value(const std::string& sql, const std::string& column) const {
    Norvale::OS::Connection c;
    c.Open("Data Source=" + m_dsn, "", "");
    Norvale::OS::_variant_t affected;
    return c.Execute(sql, &affected, Norvale::OS::adCmdText)->GetFieldValue(column);
  }

  static void Admin(const std::string& sql) {
    Norvale::OS::Connection c;
    c.Open(std::string("Data Source=") + PostgresAddress(), "", "");
    Norvale::OS::_variant_t affected;
    c.Execute(sql, &affected, Norvale::OS::adCmdText);
  }

 private:
  Backend m_backend;
  std::string m_dsn;
  std::string m_schema;
};

// The three queues over a connection of their own: what a core has, or what
// the engine uses when a test plays the engine.
struct QueueSet {
  explicit QueueSet(const std::string& dsn) { dispensor.SetDBSettings(dsn, "", ""); }
  Norvale::CDBConnectionDispensor dispensor;
  Norvale::COutgoingQueue outgoing{nullptr, &dispensor};
  Norvale::CIncomingQueue incoming{nullptr, &dispensor};
  Norvale::CNotificationQueue notifications{nullptr, &dispensor};
};

// A TCP port on loopback whose connections complete (the kernel accepts them
// into the backlog) and never hear a word: a database server that hangs.
class SilentServer {
 public:
  SilentServer() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(m_fd, 64) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("no loopback socket");
    m_port = ntohs(address.sin_port);
  }
  ~SilentServer() { close(m_fd); }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int Port() const { return m_port; }

 private:
  int m_fd = -1;
  int m_port = 0;
};

// Skips a PostgreSQL case when no test server was configured (fails it under
// CI=true).
#define SKIP_WITHOUT_BACKEND(backend)                                                 \
  if ((backend) == TestSupport::Backend::Postgres && !TestSupport::PostgresAddress()) \
  SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set"

}  // namespace TestSupport
