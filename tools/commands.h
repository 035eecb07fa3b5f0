// The sub-commands of the velquor program. Each adds itself to the command
// line; its handler prints what went wrong and sets the exit code.
#pragma once

#include <CLI/CLI.hpp>

namespace VelquorTool {

// The exit codes of every command: success, a failure of the operation, and
// a command line or value that was refused before anything was done.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// `send --wait`: the wait ran out while the message was still pending or
// processing (3 is `service status`'s "not running").
constexpr int kExitStillOnItsWay = 4;

void AddAccountCommand(CLI::App& app, int& exitCode);
void AddCheckCommand(CLI::App& app, int& exitCode);
void AddConfigCommand(CLI::App& app, int& exitCode);
void AddDbCommand(CLI::App& app, int& exitCode);
void AddHttpAccountCommand(CLI::App& app, int& exitCode);
void AddMessageCommands(CLI::App& app, int& exitCode);
void AddRouteCommand(CLI::App& app, int& exitCode);
void AddServiceCommand(CLI::App& app, int& exitCode);

}  // namespace VelquorTool
