// The routing table and the blocklist of destinations, kept under the
// product key, shared by the engine (which routes and blocks at claim time),
// the `velquor route` command (which edits them) and every path that queues
// a message (which refuses a blocked destination at once).
//
// A route is the key Routes\<name>:
//   Match       the destination: a prefix ("+4478"), or a pattern where '*'
//               stands for any run of characters and '?' for one, matched
//               against the whole number ("+44*99", "+4478????????").
//               Digits, '+', '#', '%', '_', '-', '*' and '?'; every
//               character but the two wildcards stands for itself.
//   SourceType  optional: only jobs queued by this kind of endpoint
//               (library, http, smpp, or a number).
//   SourceId    optional: only jobs with this SourceId (the account of the
//               HTTP and SMPP front ends).
//   Order       the evaluation order, lowest first (ties by name): the first
//               route that matches a job decides.
//   Handsets    the handsets, in order: "1,3" (fail-over: the first that is
//               ready sends) or "1:3,2:1" (weights: the ready ones share the
//               jobs in that proportion).
// A route is read only once it has its Handsets: `velquor route add` writes
// that value last and `velquor route remove` deletes it first, so readers
// never see half a route (each value is written atomically).
//
// The blocklist is the key Blocklist: each value's name is a destination
// pattern in the same syntax as Match (the value's data is free text).
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Norvale {

struct CRouteTarget {
  int nHandset = 0;
  int nWeight = 1;
};

struct CRoute {
  std::string sName;
  long nOrder = 0;
  std::string sMatch;
  std::optional<int> nSourceType;
  std::string sSourceId;  // "" any
  std::vector<CRouteTarget> handsets;
  bool bWeighted = false;  // "1:3,2:1"; else a fail-over list
};

// "SOFTWARE\Norvale\Velquor\Routes" and "...\Blocklist".
std::string RoutesKeyPath();
std::string BlocklistKeyPath();

constexpr std::size_t kMaxMatchLength = 50;  // the longest number the queue keeps
constexpr int kMaxWeight = 1000;

// Empty when `sMatch` is a valid Match or blocklist pattern; otherwise why
// not.
std::string MatchProblem(const std::string& sMatch);
// Whether the number matches the pattern (as the engine's claim does).
bool MatchesPattern(const std::string& sPattern, const std::string& sNumber);
// Parses a Handsets list; empty when valid, otherwise why not (an empty
// list, a number outside 1 to 8, a handset twice, a weight outside 1 to
// kMaxWeight, weights on some entries only).
std::string ParseHandsetList(const std::string& sText, std::vector<CRouteTarget>* pTargets, bool* pWeighted);
std::string FormatHandsetList(const CRoute& route);
// "library", "http", "smpp" or a whole number; empty when valid.
std::string ParseSourceType(const std::string& sText, int* pType);
std::string SourceTypeName(int nType);
// A route name: letters, digits, '-', '_' and '.', at most 64.
std::string RouteNameProblem(const std::string& sName);

// Every problem of a route, each naming its field ("Handsets: handset 5 is
// not configured"); `configured` holds the handsets that have a key with a
// Driver.
std::vector<std::string> RouteProblems(const CRoute& route, const std::set<int>& configured);

// Whether route matches a job's destination and source.
bool RouteMatches(const CRoute& route, const std::string& sNumber, int nSourceType, const std::string& sSourceId);

// The handsets that have a key Handsets\<n> with a Driver value.
std::set<int> ConfiguredHandsets();

// The complete routes of the registry in evaluation order. A route that is
// malformed is left out and its problems ("Routes\<name>\<field>: why") are
// added to *pProblems.
std::vector<CRoute> ReadRoutes(std::vector<std::string>* pProblems);
// Writes a new route (Handsets last); raises _com_error when it cannot.
void WriteRoute(const CRoute& route);
// Removes a route; false when there is none of that name.
bool RemoveRoute(const std::string& sName);

std::vector<std::string> ReadBlocklist();
void AddBlocked(const std::string& sPattern, const std::string& sNote);
bool RemoveBlocked(const std::string& sPattern);
// The first blocklist pattern the number matches, or "".
std::string BlockingPattern(const std::vector<std::string>& blocklist, const std::string& sNumber);
// The one check of a destination before it is queued (library, velquor,
// velquor-http, velquor-smppd): empty when it may be queued, otherwise the
// error, "destination +4490...: blocked (blocklist entry '+4490*')".
std::string BlockedDestinationProblem(const std::string& sNumber);

}  // namespace Norvale
