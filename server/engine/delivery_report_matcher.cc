#include "server/engine/delivery_report_matcher.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

namespace Norvale {
using namespace OS;

namespace {

std::string N(long v) { return std::to_string(v); }

// Lower case, no leading zeros: the form both sides of a numeric comparison
// are brought to (the SQL side with lower(ltrim(Reference, '0'))).
std::string Trimmed(std::string s) {
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
    for (auto f : {Trimmed(std::to_string(n)), Trimmed(HexOf(n))})
      if (std::find(forms.begin(), forms.end(), f) == forms.end()) forms.push_back(f);
  };
  if (s.empty()) return forms;
  const std::string digits = Trimmed(s);  // leading zeros do not count towards the size
  const bool decimal = std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
  const bool hex = std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c); });
  if (decimal && digits.size() <= 19) add(digits.empty() ? 0 : std::stoull(digits, nullptr, 10));
  if (hex && digits.size() <= 16) add(digits.empty() ? 0 : std::stoull(digits, nullptr, 16));
  return forms;
}

}  // namespace

LONG CDeliveryReportMatcher::RecordReference(LONG nJobId, int nHandset, const CNetworkReference& Reference,
                                             Clock::time_point Sent) {
  LONG affected = 0;
  if (!Reference.bText) {
    // A number handed out again (a modem's 0..255 wraps) ends the wait of
    // the older job that had it: its report can no longer be told apart.
    ExecuteCommand("UPDATE SMSOutgoing SET MessageRef=NULL WHERE Status=" + N(jsSentNotConfirmed) + " AND Handset=" +
                       N(nHandset) + " AND MessageRef=" + N(Reference.nNumber) + " AND Id<>" + N(nJobId),
                   affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
    Track(nJobId, Reference.nNumber, Sent);
    return Reference.nNumber;
  }
  const std::string handset = N(nHandset), text = EncodeSQLLiteralString(Reference.sText);
  // A job sent again (after a crash) replaces its earlier reference.
  ExecuteCommand("DELETE FROM SMSMessageRefs WHERE MessageRef=" + N(nJobId), affected, adCmdText | adExecuteNoRecords,
                 -1, CJobQueue::kAttempts);
  // A text the SMSC hands out again ends the wait of the older job that had
  // it, as a number does.
  ExecuteCommand(
      "UPDATE SMSOutgoing SET MessageRef=NULL WHERE Status=" + N(jsSentNotConfirmed) + " AND Handset=" + handset +
          " AND Id IN (SELECT MessageRef FROM SMSMessageRefs WHERE Handset=" + handset + " AND Reference=" + text + ")",
      affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
  ExecuteCommand("DELETE FROM SMSMessageRefs WHERE Handset=" + handset + " AND Reference=" + text, affected,
                 adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
  ExecuteCommand("INSERT INTO SMSMessageRefs (MessageRef, Handset, Reference) VALUES ( " + N(nJobId) + ", " + handset +
                     ", " + text + " )",
                 affected, adCmdText | adExecuteNoRecords, 1, CJobQueue::kAttempts);
  Track(nJobId, nJobId, Sent);
  return nJobId;
}

LONG CDeliveryReportMatcher::FindMapping(const std::string& sWhere) {
  LONG affected = 0;
  // The newest mapping: should an older one still be there (written by an
  // older engine), the report belongs to the message sent last.
  const auto rs = ExecuteCommand("SELECT MAX(MessageRef) AS MessageRef FROM SMSMessageRefs WHERE " + sWhere, affected,
                                 adCmdText, -1, CJobQueue::kAttempts);
  const _variant_t mapped = rs->GetFieldValue("MessageRef");
  rs->Close();
  return mapped.vt == VT_NULL ? -1 : mapped.ToLong();
}

LONG CDeliveryReportMatcher::FindJob(int nHandset, const CNetworkReference& Reference) {
  if (!Reference.bValid) return -1;
  if (Reference.bText) {
    const std::string handset = "Handset=" + N(nHandset);
    LONG ref = FindMapping(handset + " AND Reference=" + EncodeSQLLiteralString(Reference.sText));
    if (ref < 0 && Reference.bNumericFallback) {
      const auto forms = NumericForms(Reference.sText);
      std::string in;
      for (const auto& f : forms) in += (in.empty() ? "" : ", ") + EncodeSQLLiteralString(f);
      if (!in.empty()) ref = FindMapping(handset + " AND lower(ltrim(Reference, '0')) IN (" + in + ")");
    }
    if (ref < 0) return -1;
    return m_pOutgoingQueue->FindJobAwaitingConfirmation(static_cast<Handsets>(nHandset), ref);
  }
  // The newest job awaiting the number: should an older one still have it,
  // the report belongs to the message sent last with it.
  LONG affected = 0;
  const auto rs = ExecuteCommand("SELECT MAX(Id) AS JobId FROM SMSOutgoing WHERE Status=" + N(jsSentNotConfirmed) +
                                     " AND Handset=" + N(nHandset) + " AND MessageRef=" + N(Reference.nNumber),
                                 affected, adCmdText, -1, CJobQueue::kAttempts);
  const _variant_t id = rs->GetFieldValue("JobId");
  rs->Close();
  return id.vt == VT_NULL ? -1 : id.ToLong();
}

void CDeliveryReportMatcher::Forget(LONG nJobId, const CNetworkReference& Reference) {
  if (Reference.bText) {
    LONG affected = 0;
    ExecuteCommand("DELETE FROM SMSMessageRefs WHERE MessageRef=" + N(nJobId), affected, adCmdText | adExecuteNoRecords,
                   -1, CJobQueue::kAttempts);
  }
  Untrack(nJobId);
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
  LONG last = 0;
  while (true) {
    LONG affected = 0;
    const auto rs = ExecuteCommand(
        "SELECT Id, MessageRef FROM SMSOutgoing WHERE Id=(SELECT MIN(Id) FROM SMSOutgoing WHERE Status=" +
            N(jsSentNotConfirmed) + " AND Handset=" + N(nHandset) + " AND MessageRef IS NOT NULL AND Id>" + N(last) +
            ")",
        affected, adCmdText, -1, CJobQueue::kAttempts);
    if (rs->adoEOF()) break;
    last = rs->GetFieldValue("Id").ToLong();
    const _variant_t ref = rs->GetFieldValue("MessageRef");
    if (ref.vt != VT_NULL && m_Waiting.find(last) == m_Waiting.end()) Track(last, ref.ToLong(), Now);
  }
}

void CDeliveryReportMatcher::ExpireReferences(Clock::time_point Now) {
  while (!m_ByTime.empty() && m_ByTime.begin()->first + m_ReportExpiry <= Now) {
    const LONG id = m_ByTime.begin()->second;
    const LONG ref = m_Waiting.at(id).nMessageRef;
    LONG affected = 0;
    ExecuteCommand("UPDATE SMSOutgoing SET MessageRef=NULL WHERE Id=" + N(id) + " AND Status=" + N(jsSentNotConfirmed) +
                       " AND MessageRef=" + N(ref),
                   affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
    // A text reference's job holds its own identifier.
    if (ref == id)
      ExecuteCommand("DELETE FROM SMSMessageRefs WHERE MessageRef=" + N(id), affected, adCmdText | adExecuteNoRecords,
                     -1, CJobQueue::kAttempts);
    Untrack(id);
  }
}

CDeliveryReportMatcher::Clock::time_point CDeliveryReportMatcher::NextExpiry() const {
  return m_ByTime.empty() ? Clock::time_point::max() : m_ByTime.begin()->first + m_ReportExpiry;
}

}  // namespace Norvale
