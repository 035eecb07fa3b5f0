#include "server/engine/delivery_report_matcher.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

namespace Norvale {
using namespace OS;

namespace {

// Lower case, no leading zeros: the form both sides of a numeric comparison
// are brought to (the SQL side with lower(ltrim(Reference, '0'))).
std::string NumericForm(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  s.erase(0, s.find_first_not_of('0'));
  return s;
}

std::string HexOf(std::uint64_t n) {
  static const char* const kDigits = "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[n % 16]);
    n /= 16;
  } while (n != 0);
  return s;
}

// The trimmed texts that name the number `s` names, read as decimal and as
// hexadecimal, in both bases; none when it is no number.
std::vector<std::string> NumericForms(const std::string& s) {
  std::vector<std::string> forms;
  const auto add = [&forms](std::uint64_t n) {
    for (auto f : {NumericForm(std::to_string(n)), NumericForm(HexOf(n))})
      if (std::find(forms.begin(), forms.end(), f) == forms.end()) forms.push_back(f);
  };
  if (s.empty()) return forms;
  const std::string digits = NumericForm(s);  // leading zeros do not count towards the size
  const bool decimal = std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
  const bool hex = std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c); });
  if (decimal && digits.size() <= 19) add(digits.empty() ? 0 : std::stoull(digits, nullptr, 10));
  if (hex && digits.size() <= 16) add(digits.empty() ? 0 : std::stoull(digits, nullptr, 16));
  return forms;
}

}  // namespace

void CDeliveryReportMatcher::SetReference(CJobOutcome& Outcome, const CNetworkReference& Reference) {
  Outcome.nMessageRef = 0;
  Outcome.textReference.reset();
  Outcome.bNumericReference = false;
  if (!Reference.bValid) return;
  if (Reference.bText) {
    Outcome.nMessageRef = Outcome.nJobId;
    Outcome.textReference = Reference.sText;
    return;
  }
  // A number handed out again (a modem's 0..255 wraps) ends the wait of the
  // older job that had it: its report can no longer be told apart.
  Outcome.nMessageRef = Reference.nNumber;
  Outcome.bNumericReference = true;
}

LONG CDeliveryReportMatcher::FindJob(int nHandset, const CNetworkReference& Reference) {
  if (!Reference.bValid) return -1;
  const auto handset = static_cast<Handsets>(nHandset);
  if (Reference.bText) {
    LONG ref = m_pOutgoingQueue->FindMappedJob(handset, Reference.sText);
    if (ref < 0 && Reference.bNumericFallback)
      ref = m_pOutgoingQueue->FindMappedJobByNumericForm(handset, NumericForms(Reference.sText));
    if (ref < 0) return -1;
    return m_pOutgoingQueue->FindJobAwaitingConfirmation(handset, ref);
  }
  // The newest job awaiting the number: should an older one still have it,
  // the report belongs to the message sent last with it.
  return m_pOutgoingQueue->FindNewestWaitingForNumber(handset, Reference.nNumber);
}

void CDeliveryReportMatcher::Track(LONG nJobId, LONG nMessageRef, Clock::time_point Sent) {
  Untrack(nJobId);
  m_Waiting[nJobId] = CWait{Sent, nMessageRef};
  m_ByTime.emplace(Sent, nJobId);
}

void CDeliveryReportMatcher::Untrack(LONG nJobId) {
  const auto it = m_Waiting.find(nJobId);
  if (it == m_Waiting.end()) return;
  m_ByTime.erase({it->second.Sent, nJobId});
  m_Waiting.erase(it);
}

void CDeliveryReportMatcher::TrackWaiting(int nHandset, Clock::time_point Now) {
  for (LONG last = 0;;) {
    const auto job = m_pOutgoingQueue->NextWaitingJob(static_cast<Handsets>(nHandset), last);
    if (!job) break;
    last = job->nJobId;
    if (job->nMessageRef && m_Waiting.find(last) == m_Waiting.end()) Track(last, *job->nMessageRef, Now);
  }
}

void CDeliveryReportMatcher::ExpireReferences(Clock::time_point Now) {
  while (!m_ByTime.empty() && m_ByTime.begin()->first + m_ReportExpiry <= Now) {
    const LONG id = m_ByTime.begin()->second;
    const LONG ref = m_Waiting.at(id).nMessageRef;
    m_pOutgoingQueue->EndWait(id, ref);
    // A text reference's job holds its own identifier.
    if (ref == id) m_pOutgoingQueue->DropMapping(id);
    Untrack(id);
  }
}

CDeliveryReportMatcher::Clock::time_point CDeliveryReportMatcher::NextExpiry() const {
  return m_ByTime.empty() ? Clock::time_point::max() : m_ByTime.begin()->first + m_ReportExpiry;
}

}  // namespace Norvale
