// velquor db init: creates the queue tables in the configured database.
#include <iostream>

#include "commands.h"
#include "config/config_velquor_client_only.h"
#include "platform/database.h"
#include "queues/queue_schema.h"

namespace VelquorTool {
namespace {

using namespace Norvale;
using namespace Norvale::OS;

int Init() {
  std::string message;
  CConfigVelquorClientOnly config(&message);
  try {
    config.ReadConfiguration();
  } catch (const _com_error& e) {
    std::cerr << "velquor: cannot read the configuration: " << e.DescriptionA()
              << " (set DSN, Username and Password with 'velquor config set')\n";
    return 1;
  }
  Connection connection;
  try {
    connection.Open("Data Source=" + config.GetDSN(), config.GetUsername(), config.GetPassword());
    CreateQueueSchema(connection, config.GetDSN());
  } catch (const _com_error& e) {
    std::cerr << "velquor: cannot create the queue tables in '" << config.GetDSN() << "': " << e.DescriptionA() << "\n";
    return 1;
  }
  std::cout << "queue tables ready in " << config.GetDSN() << "\n";
  return 0;
}

}  // namespace

void AddDbCommand(CLI::App& app, int& exitCode) {
  auto* db = app.add_subcommand("db", "Manage the queue database named by the configuration's DSN");
  db->require_subcommand(1);
  db->add_subcommand("init", "Create the queue tables (again: changes nothing)")->callback([&exitCode] {
    exitCode = Init();
  });
}

}  // namespace VelquorTool
