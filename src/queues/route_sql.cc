#include "queues/route_sql.h"

#include <algorithm>

#include "queues/database_access.h"

namespace Norvale {

std::string LikePatternOf(const std::string& sMatch) {
  std::string like;
  for (const char c : sMatch) {
    switch (c) {
      case '*': like += '%'; break;
      case '?': like += '_'; break;
      case '%':
      case '_':
      case '!':
        like += '!';
        like += c;
        break;
      default: like += c;
    }
  }
  if (std::none_of(sMatch.begin(), sMatch.end(), [](char c) { return c == '*' || c == '?'; })) like += '%';
  return like;
}

std::string RouteMatchSql(const CRoute& route) {
  std::string sql = "(PhoneNumber LIKE '" + EncodeSQLLiteral(LikePatternOf(route.sMatch)) + "' ESCAPE '!'";
  if (route.nSourceType) sql += " AND SourceType=" + std::to_string(*route.nSourceType);
  if (!route.sSourceId.empty()) sql += " AND SourceId='" + EncodeSQLLiteral(route.sSourceId) + "'";
  return sql + ")";
}

std::string IdShareSql(int nTotal, int nFrom, int nTo) {
  const std::string rest = "(Id % " + std::to_string(nTotal) + ")";
  return "(" + rest + " >= " + std::to_string(nFrom) + " AND " + rest + " < " + std::to_string(nTo) + ")";
}

}  // namespace Norvale
