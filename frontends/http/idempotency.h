// Idempotency-Key on a POST: the first answer that queued something is kept
// (HttpIdempotency, per account and key, with a hash of the request) in the
// same transaction as what it queued. A repeat with the same key and the
// same method, path and body gets that answer again with the header
// "Idempotent-Replayed: true" and queues nothing; another request with the
// key is refused 409. Two requests with one key at once: the table's primary
// key lets one commit; the other's transaction fails on it (or, on SQLite,
// waits for the write lock), runs again and finds the winner's answer, so it
// answers as a repeat. Refusals are not kept: a repeat of a refused request
// is judged anew. Rows are kept HttpIdempotencyHours (default 24); older
// ones count as absent and are removed now and then.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http_server.h"
#include "queues/database_access.h"

namespace VelquorHttp {

class Idempotency {
 public:
  static constexpr const char* kHeader = "idempotency-key";
  // The refusal of an unusable key (1 to 255 visible ASCII characters), or
  // nothing.
  static std::optional<HttpResponse> CheckKey(const std::string& key);
  // SHA-256 (hex) of the method, path and body.
  static std::string RequestHash(const HttpRequest& request);

  // The answer for a key already used by the account: the stored one when
  // `hash` matches, else 409; nothing for an unused key (or one kept since
  // before `keptSince`, milliseconds since the epoch, which is dropped).
  static std::optional<HttpResponse> Find(Norvale::CDBConnectionDispensor& connections, const std::string& account,
                                          const std::string& key, const std::string& hash, std::int64_t keptSince);
  // Keeps the answer; inside the transaction of what it answers for. A key
  // taken meanwhile fails with the database's duplicate key.
  static void Record(Norvale::CDBConnectionDispensor& connections, const std::string& account, const std::string& key,
                     const std::string& hash, const HttpResponse& answer, std::int64_t now);
  // Removes the rows kept since before `keptSince`; returns how many.
  static long Prune(Norvale::CDBConnectionDispensor& connections, std::int64_t keptSince);
};

}  // namespace VelquorHttp
