#include "console_sessions.h"

#include "accounts/secret_hash.h"

namespace VelquorHttp {
namespace {

// Expired sessions are swept when the table grows past this.
constexpr std::size_t kSweepSessionsAbove = 1024;

}  // namespace

std::string ConsoleSessions::Open(const std::string& account, const std::string& keyHash) {
  const std::string id = Norvale::MakeRandomSecret(32);
  Entry entry{{account, keyHash, Norvale::MakeRandomSecret(32)}, Now()};
  const std::lock_guard lock(m_Mutex);
  const Clock::time_point now = entry.lastUsed;
  if (m_Sessions.size() > kSweepSessionsAbove)
    std::erase_if(m_Sessions, [now](const auto& e) { return now - e.second.lastUsed >= kIdleTime; });
  m_Sessions[Norvale::Sha256Hex(id)] = std::move(entry);
  return id;
}

std::optional<ConsoleSessions::Session> ConsoleSessions::Find(const std::string& id) {
  if (id.empty()) return std::nullopt;
  const std::string digest = Norvale::Sha256Hex(id);
  const std::lock_guard lock(m_Mutex);
  const auto found = m_Sessions.find(digest);
  if (found == m_Sessions.end()) return std::nullopt;
  const Clock::time_point now = Now();
  if (now - found->second.lastUsed >= kIdleTime) {
    m_Sessions.erase(found);
    return std::nullopt;
  }
  found->second.lastUsed = now;
  return found->second.session;
}

void ConsoleSessions::Close(const std::string& id) {
  const std::lock_guard lock(m_Mutex);
  m_Sessions.erase(Norvale::Sha256Hex(id));
}

bool ConsoleSessions::TokenMatches(const Session& session, const std::string& token) {
  const std::string& expected = session.csrfToken;
  if (token.size() != expected.size() || expected.empty()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < token.size(); ++i) difference |= static_cast<unsigned char>(token[i] ^ expected[i]);
  return difference == 0;
}

}  // namespace VelquorHttp
