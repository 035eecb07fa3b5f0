// velquor: the administrator's command line of the Velquor client library.
#include <iostream>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"Velquor: administer the SMS gateway client on this machine"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("velquor ") + VELQUOR_VERSION);
  int exitCode = VelquorTool::kExitSuccess;
  VelquorTool::AddAccountCommand(app, exitCode);
  VelquorTool::AddCheckCommand(app, exitCode);
  VelquorTool::AddConfigCommand(app, exitCode);
  VelquorTool::AddDbCommand(app, exitCode);
  VelquorTool::AddHttpAccountCommand(app, exitCode);
  VelquorTool::AddMessageCommands(app, exitCode);
  VelquorTool::AddRouteCommand(app, exitCode);
  VelquorTool::AddServiceCommand(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 numbers its own errors from 100 up; a caller sees one usage code.
    // --help and --version end here too, with CLI11's code 0.
    return app.exit(e) == 0 ? VelquorTool::kExitSuccess : VelquorTool::kExitUsage;
  }
  return exitCode;
}
