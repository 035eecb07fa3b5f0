// velquor: the administrator's command line of the Velquor client library.
#include <iostream>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"Velquor: administer the SMS gateway client on this machine"};
  app.require_subcommand(1);
  int exitCode = 0;
  VelquorTool::AddConfigCommand(app, exitCode);
  VelquorTool::AddDbCommand(app, exitCode);
  VelquorTool::AddMessageCommands(app, exitCode);
  VelquorTool::AddServiceCommand(app, exitCode);
  CLI11_PARSE(app, argc, argv);
  return exitCode;
}
