// velquor route add NAME --match PATTERN --handsets LIST [--order N]
//                   [--source-type TYPE] [--source-id ID]
//               list | remove NAME
//               block add PATTERN [--note TEXT] | block list | block remove PATTERN
//
// Edits the routing table and the blocklist of the product key
// (config/routes.h). A route is checked whole before anything is written,
// and each refusal names the field; the engine reads the change within a few
// seconds.
#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "commands.h"
#include "config/routes.h"
#include "errors/com_error_raise.h"
#include "platform/registry.h"

namespace VelquorTool {
namespace {

using namespace Norvale;
using namespace Norvale::OS;

struct RouteOptions {
  std::string name, match, handsets, sourceType, sourceId, note;
  std::optional<long> order;
};

int Refuse(const std::string& text) {
  std::cerr << "velquor: " << text << "\n";
  return kExitUsage;
}

int Add(const RouteOptions& o) {
  CRoute r;
  r.sName = o.name;
  r.sMatch = o.match;
  if (std::string p = RouteNameProblem(o.name); !p.empty()) return Refuse("name: " + p);
  if (std::string p = MatchProblem(o.match); !p.empty()) return Refuse("match: " + p);
  if (std::string p = ParseHandsetList(o.handsets, &r.handsets, &r.bWeighted); !p.empty())
    return Refuse("handsets: " + p);
  if (!o.sourceType.empty()) {
    int type = 0;
    if (std::string p = ParseSourceType(o.sourceType, &type); !p.empty()) return Refuse("source-type: " + p);
    r.nSourceType = type;
  }
  r.sSourceId = o.sourceId;
  const std::set<int> configured = ConfiguredHandsets();
  for (const CRouteTarget& t : r.handsets)
    if (!configured.contains(t.nHandset))
      return Refuse("handsets: handset " + std::to_string(t.nHandset) +
                    " is not configured (set its Driver first: velquor config set --handset " +
                    std::to_string(t.nHandset) + " Driver ...)");
  const std::vector<CRoute> routes = ReadRoutes(nullptr);
  {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (RoutesKeyPath() + "\\" + o.name).c_str(), 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
      const bool complete = RegQueryValueExA(key, "Handsets", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
      RegCloseKey(key);
      if (complete) return Refuse("name: a route named '" + o.name + "' exists (remove it first)");
    }
  }
  if (o.order) {
    r.nOrder = *o.order;
  } else {
    long last = 0;
    for (const CRoute& existing : routes) last = std::max(last, existing.nOrder);
    r.nOrder = last + 10;  // after the last
  }
  try {
    WriteRoute(r);
  } catch (const _com_error& e) {
    std::cerr << "velquor: cannot write the route: " << e.DescriptionA() << "\n";
    return kExitFailure;
  }
  std::cout << "route " << r.sName << " added (order " << r.nOrder << ")\n";
  return kExitSuccess;
}

int List() {
  std::vector<std::string> problems;
  const std::vector<CRoute> routes = ReadRoutes(&problems);
  if (!routes.empty()) std::cout << "ORDER  NAME  MATCH  SOURCE  HANDSETS\n";
  for (const CRoute& r : routes) {
    std::string source = r.nSourceType ? SourceTypeName(*r.nSourceType) : "";
    if (!r.sSourceId.empty()) source += (source.empty() ? "" : ":") + r.sSourceId;
    std::cout << r.nOrder << "  " << r.sName << "  " << r.sMatch << "  " << (source.empty() ? "any" : source) << "  "
              << FormatHandsetList(r) << (r.bWeighted ? " (weights)" : " (fail-over)") << "\n";
  }
  for (const std::string& p : problems) std::cerr << "velquor: left out by the engine: " << p << "\n";
  return problems.empty() ? kExitSuccess : kExitFailure;
}

int Remove(const std::string& name) {
  try {
    if (!RemoveRoute(name)) {
      std::cerr << "velquor: name: no route named '" << name << "'\n";
      return kExitFailure;
    }
  } catch (const _com_error& e) {
    std::cerr << "velquor: cannot remove the route: " << e.DescriptionA() << "\n";
    return kExitFailure;
  }
  std::cout << "route " << name << " removed\n";
  return kExitSuccess;
}

int Block(const std::string& pattern, const std::string& note) {
  if (std::string p = MatchProblem(pattern); !p.empty()) return Refuse("pattern: " + p);
  try {
    AddBlocked(pattern, note);
  } catch (const _com_error& e) {
    std::cerr << "velquor: cannot write the blocklist: " << e.DescriptionA() << "\n";
    return kExitFailure;
  }
  std::cout << "destinations matching " << pattern << " blocked\n";
  return kExitSuccess;
}

}  // namespace

void AddRouteCommand(CLI::App& app, int& exitCode) {
  auto* route = app.add_subcommand("route", "Route messages by destination to handsets, and block destinations");
  route->require_subcommand(1);
  auto o = std::make_shared<RouteOptions>();

  auto* add = route->add_subcommand("add", "Add a route (first match in order wins)");
  add->add_option("name", o->name, "The route's name")->required();
  add->add_option("--match", o->match, "Destination prefix, or pattern with * and ?")->required();
  add->add_option("--handsets", o->handsets, "Fail-over list 1,3 or weights 1:3,2:1")->required();
  add->add_option("--order", o->order, "Evaluation order, lowest first (default: after the last)");
  add->add_option("--source-type", o->sourceType, "Only jobs queued by library, http, smpp (or a number)");
  add->add_option("--source-id", o->sourceId, "Only jobs with this SourceId (the front ends' account)");
  add->callback([o, &exitCode] { exitCode = Add(*o); });

  route->add_subcommand("list", "List the routes in evaluation order")->callback([&exitCode] { exitCode = List(); });

  auto* remove = route->add_subcommand("remove", "Remove a route");
  remove->add_option("name", o->name, "The route's name")->required();
  remove->callback([o, &exitCode] { exitCode = Remove(o->name); });

  auto* block = route->add_subcommand("block", "The blocklist of destinations");
  block->require_subcommand(1);
  auto* blockAdd = block->add_subcommand("add", "Refuse destinations matching a prefix or pattern");
  blockAdd->add_option("pattern", o->match, "Destination prefix, or pattern with * and ?")->required();
  blockAdd->add_option("--note", o->note, "Why (kept with the entry)");
  blockAdd->callback([o, &exitCode] { exitCode = Block(o->match, o->note); });
  block->add_subcommand("list", "List the blocked patterns")->callback([&exitCode] {
    for (const std::string& p : ReadBlocklist()) std::cout << p << "\n";
    exitCode = kExitSuccess;
  });
  auto* blockRemove = block->add_subcommand("remove", "Remove a blocked pattern");
  blockRemove->add_option("pattern", o->match, "The pattern as listed")->required();
  blockRemove->callback([o, &exitCode] {
    if (RemoveBlocked(o->match)) {
      std::cout << "destinations matching " << o->match << " no longer blocked\n";
      exitCode = kExitSuccess;
    } else {
      std::cerr << "velquor: pattern: '" << o->match << "' is not on the blocklist\n";
      exitCode = kExitFailure;
    }
  });
}

}  // namespace VelquorTool
