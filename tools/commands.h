// The sub-commands of the velquor program. Each adds itself to the command
// line; its handler prints what went wrong and returns non-zero on failure.
#pragma once

#include <CLI/CLI.hpp>

namespace VelquorTool {

void AddConfigCommand(CLI::App& app, int& exitCode);
void AddDbCommand(CLI::App& app, int& exitCode);
void AddMessageCommands(CLI::App& app, int& exitCode);
void AddServiceCommand(CLI::App& app, int& exitCode);

}  // namespace VelquorTool
