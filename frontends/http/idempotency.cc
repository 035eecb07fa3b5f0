#include "idempotency.h"

#include "accounts/secret_hash.h"
#include "json_answer.h"

namespace VelquorHttp {

using namespace Norvale::OS;

std::optional<HttpResponse> Idempotency::CheckKey(const std::string& key) {
  bool visible = !key.empty() && key.size() <= 255;
  for (const char c : key) visible = visible && c > 0x20 && c < 0x7F;
  if (visible) return std::nullopt;
  return Refuse(400, "an Idempotency-Key is 1 to 255 visible ASCII characters", "Idempotency-Key");
}

std::string Idempotency::RequestHash(const HttpRequest& request) {
  return Norvale::Sha256Hex(request.method + " " + request.path + "\n" + request.body);
}

std::optional<HttpResponse> Idempotency::Find(Norvale::CDBConnectionDispensor& connections, const std::string& account,
                                              const std::string& key, const std::string& hash, std::int64_t keptSince) {
  Norvale::CDatabaseQueryExecuter database(&connections);
  LONG affected = 0;
  const auto rs = database.ExecuteCommand(
      "SELECT BodyHash, Status, Answer, Created FROM HttpIdempotency WHERE Account=$1 AND IdemKey=$2", {account, key},
      affected, adCmdText, -1, 2);
  if (rs == nullptr || rs->adoEOF() || rs->GetFieldValue("Created").ToLongLong() < keptSince) {
    if (rs != nullptr && !rs->adoEOF())
      database.ExecuteCommand("DELETE FROM HttpIdempotency WHERE Account=$1 AND IdemKey=$2 AND Created<$3",
                              {account, key, keptSince}, affected, adCmdText | adExecuteNoRecords, -1, 2);
    return std::nullopt;
  }
  if (rs->GetFieldValue("BodyHash").ToString() != hash)
    return Refuse(409, "this Idempotency-Key was used for another request", "Idempotency-Key");
  HttpResponse answer;
  answer.status = static_cast<unsigned>(rs->GetFieldValue("Status").ToLong());
  answer.body = rs->GetFieldValue("Answer").ToString();
  answer.headers.emplace_back("Idempotent-Replayed", "true");
  return answer;
}

void Idempotency::Record(Norvale::CDBConnectionDispensor& connections, const std::string& account,
                         const std::string& key, const std::string& hash, const HttpResponse& answer,
                         std::int64_t now) {
  Norvale::CDatabaseQueryExecuter database(&connections);
  LONG affected = 0;
  database.ExecuteCommand(
      "INSERT INTO HttpIdempotency (Account, IdemKey, BodyHash, Status, Answer, Created) VALUES ($1, $2, $3, $4, $5, "
      "$6)",
      {account, key, hash, static_cast<std::int64_t>(answer.status), answer.body, now}, affected,
      adCmdText | adExecuteNoRecords, 1, 1);
}

long Idempotency::Prune(Norvale::CDBConnectionDispensor& connections, std::int64_t keptSince) {
  Norvale::CDatabaseQueryExecuter database(&connections);
  LONG affected = 0;
  database.ExecuteCommand("DELETE FROM HttpIdempotency WHERE Created<$1", {keptSince}, affected,
                          adCmdText | adExecuteNoRecords, -1, 2);
  return affected;
}

}  // namespace VelquorHttp
