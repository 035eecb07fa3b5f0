// velquor db init: creates the queue tables in the configured database.
// velquor db upgrade: brings the tables of an earlier version up to this one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>

#include "commands.h"
#include "config/config_velquor_client_only.h"
#include "platform/database.h"
#include "platform/registry.h"
#include "queues/queue_schema.h"

namespace VelquorTool {
namespace {

using namespace Norvale;
using namespace Norvale::OS;

// The SQLite file a data source names; empty for anything else.
std::string SqlitePath(const std::string& dsn) {
  if (dsn.rfind("sqlite:", 0) == 0) return dsn.substr(7);
  if (IsPostgresDataSource(dsn)) return std::string();
  for (const char* prefix : {"/", "./", "../"})
    if (dsn.rfind(prefix, 0) == 0) return dsn;
  return std::string();
}

// Creates a missing SQLite queue file, and the directories it needs, open to
// its owner and group only (0640, directories 0750): it holds every message.
// SQLite gives its journal files the same mode. A file that exists keeps its
// mode. Returns what failed, or nothing.
std::string PrepareSqliteFile(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0700) == 0)
      chmod(dir.c_str(), 0750);  // whatever the umask
    else if (errno != EEXIST)
      return "cannot create the directory " + dir + ": " + std::strerror(errno);
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno == EEXIST ? std::string() : "cannot create " + path + ": " + std::strerror(errno);
  fchmod(fd, 0640);
  close(fd);
  return std::string();
}

// A new installation keeps the clients' connection open (KeepDatabaseConnection
// 1): without it every insert opens a session of its own, which on PostgreSQL
// costs far more than the insert. A value already there, 0 or 1, is the
// administrator's and stays; the library's default without one stays 0. A
// user who may not write the configuration is told what to set.
void WriteKeepConnection() {
  constexpr const char* kName = "KeepDatabaseConnection";
  constexpr const char* kKey = "SOFTWARE\\Norvale\\Velquor";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    const bool present = RegQueryValueExA(key, kName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (present) return;
  }
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExA(key, kName, 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 1);
    RegCloseKey(key);
  }
  if (rc == ERROR_SUCCESS)
    std::cout << kName << " set to 1: the clients keep their database connection open\n";
  else
    std::cerr << "velquor: note: could not write " << kName
              << " (no rights to the configuration); as an administrator run 'velquor config set " << kName
              << " 1' so that clients keep their database connection open\n";
}

// Opens the configured database (creating a missing SQLite file) and runs
// `work` on it; the exit code.
int WithDatabase(const char* szFailure, const std::function<void(Connection&, const std::string&)>& work) {
  std::string message;
  CConfigVelquorClientOnly config(&message);
  try {
    config.ReadConfiguration();
  } catch (const _com_error& e) {
    std::cerr << "velquor: cannot read the configuration: " << e.DescriptionA()
              << " (set DSN, Username and Password with 'velquor config set')\n";
    return 1;
  }
  const std::string sqlite = SqlitePath(config.GetDSN());
  if (!sqlite.empty()) {
    const std::string failure = PrepareSqliteFile(sqlite);
    if (!failure.empty()) {
      std::cerr << "velquor: " << failure << "\n";
      return 1;
    }
  }
  Connection connection;
  try {
    connection.Open("Data Source=" + config.GetDSN(), config.GetUsername(), config.GetPassword());
    work(connection, config.GetDSN());
  } catch (const _com_error& e) {
    std::cerr << "velquor: cannot " << szFailure << " in '" << config.GetDSN() << "': " << e.DescriptionA() << "\n";
    return 1;
  }
  return 0;
}

int Init() {
  // A database made with an earlier schema gets the columns it lacks first:
  // the new indexes name them.
  const int rc = WithDatabase("create the queue tables", [](Connection& connection, const std::string& dsn) {
    UpgradeQueueSchema(connection, dsn);
    std::cout << "queue tables ready in " << dsn << "\n";
  });
  if (rc == 0) WriteKeepConnection();
  return rc;
}

int Upgrade() {
  return WithDatabase("upgrade the queue tables", [](Connection& connection, const std::string& dsn) {
    const CSchemaUpgrade done = UpgradeQueueSchema(connection, dsn);
    for (const auto& column : done.columns) std::cout << "added column " << column << "\n";
    for (const auto& index : done.indexes) std::cout << "created index " << index << "\n";
    std::cout << "queue tables " << (done.columns.empty() && done.indexes.empty() ? "already up to date" : "upgraded")
              << " in " << dsn << "\n";
  });
}

}  // namespace

void AddDbCommand(CLI::App& app, int& exitCode) {
  auto* db = app.add_subcommand("db", "Manage the queue database named by the configuration's DSN");
  db->require_subcommand(1);
  db->add_subcommand("init", "Create the queue tables (again: changes nothing)")->callback([&exitCode] {
    exitCode = Init();
  });
  db->add_subcommand("upgrade",
                     "Add the columns, tables and indexes of this version to an existing queue database, in place")
      ->callback([&exitCode] { exitCode = Upgrade(); });
}

}  // namespace VelquorTool
