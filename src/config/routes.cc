#include "config/routes.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "config/config_reg.h"
#include "config/config_velquor_proxy_client_support.h"
#include "config/handset_values.h"
#include "errors/com_error_raise.h"
#include "platform/registry.h"

namespace Norvale {

using namespace OS;

namespace {

constexpr int kMaxHandset = 8;

bool IsWildcard(char c) { return c == '*' || c == '?'; }

std::optional<long> WholeNumber(const std::string& sText) {
  long n = 0;
  const char* end = sText.data() + sText.size();
  const auto [p, ec] = std::from_chars(sText.data(), end, n);
  if (sText.empty() || ec != std::errc() || p != end) return std::nullopt;
  return n;
}

// '*' any run, '?' one character, against the whole text.
bool GlobMatch(const char* p, const char* pe, const char* s, const char* se) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (s < se) {
    if (p < pe && (*p == '?' || *p == *s)) {
      ++p;
      ++s;
    } else if (p < pe && *p == '*') {
      star = p++;
      resume = s;
    } else if (star) {
      p = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (p < pe && *p == '*') ++p;
  return p == pe;
}

HKEY OpenForReading(const std::string& sPath) {
  HKEY key = nullptr;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, sPath.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS ? key : nullptr;
}

HKEY OpenForWriting(const std::string& sPath) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, sPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "Could not open " + sPath + " key");
  return key;
}

struct CKeyCloser {
  HKEY key;
  ~CKeyCloser() {
    if (key) RegCloseKey(key);
  }
};

std::optional<std::string> ValueOf(HKEY key, const char* szName) {
  DWORD size = 0;
  if (RegQueryValueExA(key, szName, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  return RUQueryValue(key, szName, true);
}

std::vector<std::string> SubKeys(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  return names;
}

void SetText(HKEY key, const char* szName, const std::string& sValue) { RUSetValue(key, szName, sValue, false); }

}  // namespace

std::string RoutesKeyPath() { return std::string(CConfigVelquorProxyClientSupport::kRootPath) + "\\Routes"; }
std::string BlocklistKeyPath() { return std::string(CConfigVelquorProxyClientSupport::kRootPath) + "\\Blocklist"; }

std::string MatchProblem(const std::string& sMatch) {
  if (sMatch.empty()) return "empty pattern";
  if (sMatch.size() > kMaxMatchLength) return "pattern longer than " + std::to_string(kMaxMatchLength) + " characters";
  for (const char c : sMatch)
    if (!std::strchr("0123456789+#%_-*?", c) || c == '\0')
      return "'" + sMatch + "' holds '" + std::string(1, c) +
             "': a pattern has digits, '+', '#', '%', '_', '-' and the wildcards '*' and '?'";
  return "";
}

bool MatchesPattern(const std::string& sPattern, const std::string& sNumber) {
  if (std::none_of(sPattern.begin(), sPattern.end(), IsWildcard)) return sNumber.starts_with(sPattern);
  return GlobMatch(sPattern.data(), sPattern.data() + sPattern.size(), sNumber.data(), sNumber.data() + sNumber.size());
}

std::string ParseHandsetList(const std::string& sText, std::vector<CRouteTarget>* pTargets, bool* pWeighted) {
  pTargets->clear();
  *pWeighted = false;
  if (sText.empty()) return "empty list: name at least one handset";
  size_t weighted = 0;
  std::set<int> seen;
  for (size_t pos = 0; pos <= sText.size();) {
    size_t end = sText.find(',', pos);
    if (end == std::string::npos) end = sText.size();
    const std::string entry = sText.substr(pos, end - pos);
    pos = end + 1;
    const size_t colon = entry.find(':');
    const auto handset = WholeNumber(entry.substr(0, colon));
    if (!handset || *handset < 1 || *handset > kMaxHandset)
      return "'" + entry + "' is not a handset (1 to " + std::to_string(kMaxHandset) + ")";
    if (!seen.insert(static_cast<int>(*handset)).second)
      return "handset " + std::to_string(*handset) + " is listed twice";
    CRouteTarget t{static_cast<int>(*handset), 1};
    if (colon != std::string::npos) {
      const auto weight = WholeNumber(entry.substr(colon + 1));
      if (!weight || *weight < 1 || *weight > kMaxWeight)
        return "'" + entry + "': the weight is a whole number from 1 to " + std::to_string(kMaxWeight);
      t.nWeight = static_cast<int>(*weight);
      ++weighted;
    }
    pTargets->push_back(t);
    if (end == sText.size()) break;
  }
  if (weighted != 0 && weighted != pTargets->size())
    return "'" + sText + "': give every handset a weight (1:3,2:1) or none (1,2)";
  *pWeighted = weighted != 0;
  return "";
}

std::string FormatHandsetList(const CRoute& route) {
  std::string text;
  for (const CRouteTarget& t : route.handsets) {
    if (!text.empty()) text += ",";
    text += std::to_string(t.nHandset);
    if (route.bWeighted) text += ":" + std::to_string(t.nWeight);
  }
  return text;
}

std::string ParseSourceType(const std::string& sText, int* pType) {
  if (strcasecmp(sText.c_str(), "library") == 0)
    *pType = 1;
  else if (strcasecmp(sText.c_str(), "http") == 0)
    *pType = 10;
  else if (strcasecmp(sText.c_str(), "smpp") == 0)
    *pType = 11;
  else if (const auto n = WholeNumber(sText); n && *n >= 0 && *n <= INT32_MAX)
    *pType = static_cast<int>(*n);
  else
    return "'" + sText + "' is none of library, http, smpp or a whole number";
  return "";
}

std::string SourceTypeName(int nType) {
  switch (nType) {
    case 1: return "library";
    case 10: return "http";
    case 11: return "smpp";
    default: return std::to_string(nType);
  }
}

std::string RouteNameProblem(const std::string& sName) {
  if (sName.empty() || sName.size() > 64) return "a name has 1 to 64 characters";
  for (const char c : sName)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
      return "'" + sName + "': a name has letters, digits, '-', '_' and '.'";
  if (sName[0] == '.') return "'" + sName + "': a name does not begin with '.'";
  return "";
}

std::vector<std::string> RouteProblems(const CRoute& route, const std::set<int>& configured) {
  std::vector<std::string> problems;
  if (std::string p = RouteNameProblem(route.sName); !p.empty()) problems.push_back("name: " + p);
  if (std::string p = MatchProblem(route.sMatch); !p.empty()) problems.push_back("Match: " + p);
  if (route.handsets.empty()) problems.push_back("Handsets: empty list: name at least one handset");
  for (const CRouteTarget& t : route.handsets)
    if (!configured.contains(t.nHandset))
      problems.push_back("Handsets: handset " + std::to_string(t.nHandset) + " is not configured (no key " +
                         HandsetKeyPath(t.nHandset) + " with a Driver)");
  return problems;
}

bool RouteMatches(const CRoute& route, const std::string& sNumber, int nSourceType, const std::string& sSourceId) {
  if (route.nSourceType && *route.nSourceType != nSourceType) return false;
  if (!route.sSourceId.empty() && route.sSourceId != sSourceId) return false;
  return MatchesPattern(route.sMatch, sNumber);
}

std::set<int> ConfiguredHandsets() {
  std::set<int> found;
  for (int n = 1; n <= kMaxHandset; ++n) {
    CKeyCloser key{OpenForReading(HandsetKeyPath(n))};
    if (key.key && ValueOf(key.key, "Driver").value_or("") != "") found.insert(n);
  }
  return found;
}

std::vector<CRoute> ReadRoutes(std::vector<std::string>* pProblems) {
  std::vector<CRoute> routes;
  CKeyCloser parent{OpenForReading(RoutesKeyPath())};
  if (!parent.key) return routes;
  for (const std::string& name : SubKeys(parent.key)) {
    CKeyCloser key{OpenForReading(RoutesKeyPath() + "\\" + name)};
    if (!key.key) continue;
    const auto handsets = ValueOf(key.key, "Handsets");
    if (!handsets) continue;  // not complete yet, or being removed
    const std::string where = "Routes\\" + name + "\\";
    std::vector<std::string> problems;
    CRoute r;
    r.sName = name;
    r.sMatch = ValueOf(key.key, "Match").value_or("");
    if (std::string p = MatchProblem(r.sMatch); !p.empty()) problems.push_back(where + "Match: " + p);
    if (std::string p = ParseHandsetList(*handsets, &r.handsets, &r.bWeighted); !p.empty())
      problems.push_back(where + "Handsets: " + p);
    if (const auto order = ValueOf(key.key, "Order"); order && !order->empty()) {
      if (const auto n = WholeNumber(*order))
        r.nOrder = *n;
      else
        problems.push_back(where + "Order: '" + *order + "' is not a whole number");
    }
    if (const auto type = ValueOf(key.key, "SourceType"); type && !type->empty()) {
      int n = 0;
      if (std::string p = ParseSourceType(*type, &n); !p.empty())
        problems.push_back(where + "SourceType: " + p);
      else
        r.nSourceType = n;
    }
    r.sSourceId = ValueOf(key.key, "SourceId").value_or("");
    if (!problems.empty()) {
      if (pProblems) pProblems->insert(pProblems->end(), problems.begin(), problems.end());
      continue;
    }
    routes.push_back(std::move(r));
  }
  std::stable_sort(routes.begin(), routes.end(), [](const CRoute& a, const CRoute& b) {
    return a.nOrder != b.nOrder ? a.nOrder < b.nOrder : strcasecmp(a.sName.c_str(), b.sName.c_str()) < 0;
  });
  return routes;
}

void WriteRoute(const CRoute& route) {
  CKeyCloser key{OpenForWriting(RoutesKeyPath() + "\\" + route.sName)};
  // A half-written route of an earlier attempt may be left: replaced whole.
  for (const char* name : {"Handsets", "SourceType", "SourceId"}) RegDeleteValueA(key.key, name);
  SetText(key.key, "Match", route.sMatch);
  SetText(key.key, "Order", std::to_string(route.nOrder));
  if (route.nSourceType) SetText(key.key, "SourceType", SourceTypeName(*route.nSourceType));
  if (!route.sSourceId.empty()) SetText(key.key, "SourceId", route.sSourceId);
  SetText(key.key, "Handsets", FormatHandsetList(route));
}

bool RemoveRoute(const std::string& sName) {
  const std::string path = RoutesKeyPath() + "\\" + sName;
  {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &raw) != ERROR_SUCCESS) return false;
    CKeyCloser key{raw};
    RegDeleteValueA(key.key, "Handsets");  // readers drop the route from here on
  }
  CKeyCloser parent{OpenForWriting(RoutesKeyPath())};
  const LONG rc = RegDeleteKeyA(parent.key, sName.c_str());
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "Could not remove the key " + path);
  return true;
}

std::vector<std::string> ReadBlocklist() {
  std::vector<std::string> patterns;
  CKeyCloser key{OpenForReading(BlocklistKeyPath())};
  if (!key.key) return patterns;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD length = sizeof name;
    if (RegEnumValueA(key.key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::string pattern(name, length);
    if (MatchProblem(pattern).empty()) patterns.push_back(std::move(pattern));
  }
  return patterns;
}

void AddBlocked(const std::string& sPattern, const std::string& sNote) {
  CKeyCloser key{OpenForWriting(BlocklistKeyPath())};
  SetText(key.key, sPattern.c_str(), sNote);
}

bool RemoveBlocked(const std::string& sPattern) {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BlocklistKeyPath().c_str(), 0, KEY_ALL_ACCESS, &raw) != ERROR_SUCCESS)
    return false;
  CKeyCloser key{raw};
  return RegDeleteValueA(key.key, sPattern.c_str()) == ERROR_SUCCESS;
}

std::string BlockingPattern(const std::vector<std::string>& blocklist, const std::string& sNumber) {
  for (const std::string& p : blocklist)
    if (MatchesPattern(p, sNumber)) return p;
  return "";
}

std::string BlockedDestinationProblem(const std::string& sNumber) {
  const std::string pattern = BlockingPattern(ReadBlocklist(), sNumber);
  if (pattern.empty()) return "";
  return "destination " + sNumber + ": blocked (blocklist entry '" + pattern + "')";
}

}  // namespace Norvale
