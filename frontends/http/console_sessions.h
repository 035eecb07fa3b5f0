// ConsoleSessions: the web console's logins, kept in memory (a restart of
// velquor-http logs everybody out). A session is named by a random id of
// 256 bits, the value of the session cookie; only its SHA-256 is kept, so the
// table itself holds nothing a visitor could present. Each session has its
// own random CSRF token, which every form of the console carries. A session
// unused for kIdleTime ends. Every function may be called from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace VelquorHttp {

class ConsoleSessions {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::hours kIdleTime{12};

  struct Session {
    std::string account;
    std::string csrfToken;
  };

  virtual ~ConsoleSessions() = default;

  // A new session of the account; returns its id (the cookie's value).
  std::string Open(const std::string& account);
  // The session of the id, its idle time started anew; nothing when there is
  // none or it expired.
  std::optional<Session> Find(const std::string& id);
  void Close(const std::string& id);
  // Whether `token` is the session's CSRF token (compared in constant time).
  static bool TokenMatches(const Session& session, const std::string& token);

 protected:
  virtual Clock::time_point Now() const { return Clock::now(); }

 private:
  struct Entry {
    Session session;
    Clock::time_point lastUsed;
  };

  std::mutex m_Mutex;
  std::unordered_map<std::string, Entry> m_Sessions;  // by the id's SHA-256
};

}  // namespace VelquorHttp
