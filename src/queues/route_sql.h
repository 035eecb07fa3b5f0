// The SQL text of a route's decisions over a row of SMSOutgoing, for the
// claim's condition on jobs of any handset (CEngineOutgoingQueue::ClaimJobs):
// whether a row matches a route (PhoneNumber, SourceType, SourceId) and which
// share of the Ids falls to a handset. Every literal is escaped with
// EncodeSQLLiteral; the LIKE patterns use '!' as their escape character, so
// that '%', '_' and '!' of a number are literal on both backends.
#pragma once

#include <string>

#include "config/routes.h"

namespace Norvale {

// The LIKE pattern of a Match: '*' becomes '%', '?' becomes '_', and a Match
// without wildcards is a prefix (a trailing '%').
std::string LikePatternOf(const std::string& sMatch);
// "(PhoneNumber LIKE '...' ESCAPE '!' AND SourceType=10 AND SourceId='...')".
std::string RouteMatchSql(const CRoute& route);
// The rows whose Id % nTotal lies in [nFrom, nTo).
std::string IdShareSql(int nTotal, int nFrom, int nTo);

}  // namespace Norvale
