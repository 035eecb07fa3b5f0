// CDeliveryReportMatcher: finds the job a delivery report is about.
//
// A job sent with a report requested waits in status 9 (jsSentNotConfirmed)
// with the network's reference in MessageRef, and FindJobAwaitingConfirmation
// of the outgoing queue finds it by handset and reference. Some networks give
// references as texts; for them the job's own identifier goes into MessageRef
// and the engine's table SMSMessageRefs (created by `velquor db init`) maps
// the text to it:
//   SMSMessageRefs (MessageRef INTEGER PRIMARY KEY, Handset INTEGER,
//                   Reference TEXT)
// A row lives from the send until the report, the expiry of the reference,
// or the end of its job (final or deleted: CQueueMaintenance).
//
// References may come round again: a modem's message reference has 8 bits,
// and an SMSC may hand out a message_id again. A job recorded with a
// reference ends the wait of an older job of the same handset holding that
// reference (its MessageRef is cleared, as at expiry, and its mapping row
// deleted), and a report goes to the newest job awaiting its reference.
//
// A text reference may ask for numeric equivalence
// (CNetworkReference::bNumericFallback): when no mapping holds the text as
// it is, a mapping whose text names the same number, read as decimal or as
// hexadecimal on either side (letter case and leading zeros aside), matches.
// That lookup reads every mapping row of the handset, so a handset whose
// SMSC is known to mix the forms says which (the SMPP driver's
// MessageIdFormat) and its references match as they are.
//
// The statements that record a reference belong to the job's outcome
// (CJobOutcomeWriter, filled by SetReference), written with its status and
// notification; once written, Track notes the job here.
//
// Expiry. A reference stops waiting ReportExpiry after the job was sent:
// Track notes the time of the send, and ExpireReferences clears the
// MessageRef (and deletes the mapping row) of the jobs whose time is up and
// whose report has not come (Forget). The jobs that were waiting when
// the handset started (sent by an earlier run of the engine) are noted by
// TrackWaiting with the time of the start, so their wait ends at the
// earliest ReportExpiry after it. What is noted is held in memory, one entry
// per job still waiting.
//
// One owner, one thread (the handset's worker); times are the caller's.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <utility>

#include "queues/engine_outgoing_queue.h"
#include "queues/job_outcome_writer.h"
#include "server/drivers/sms_driver.h"

namespace Norvale {

class CDeliveryReportMatcher {
 public:
  using Clock = std::chrono::steady_clock;

  CDeliveryReportMatcher(CEngineOutgoingQueue* pOutgoingQueue, Clock::duration ReportExpiry)
      : m_pOutgoingQueue(pOutgoingQueue), m_ReportExpiry(ReportExpiry) {}

  // Fills the outcome's MessageRef and reference fields for the network's
  // reference (none: MessageRef 0): a number is stored as it is and ends
  // the wait of the handset's other jobs for it; a text is mapped to the
  // job, whose MessageRef holds its own Id.
  static void SetReference(CJobOutcome& Outcome, const CNetworkReference& Reference);
  // Notes the job, its outcome written with MessageRef `nMessageRef`, as
  // sent at `Sent`.
  void Track(OS::LONG nJobId, OS::LONG nMessageRef, Clock::time_point Sent);
  // The job awaiting this report, or -1.
  OS::LONG FindJob(int nHandset, const CNetworkReference& Reference);
  // The report of the job came (its outcome dropped the mapping row of a
  // text reference): drops the job's expiry.
  void Forget(OS::LONG nJobId) { Untrack(nJobId); }

  // Notes the jobs of the handset already waiting for a report, as sent at
  // `Now` (at start).
  void TrackWaiting(int nHandset, Clock::time_point Now);
  // Ends the wait of the jobs sent at or before Now - ReportExpiry; raises
  // database failures (what is left is done at the next call).
  void ExpireReferences(Clock::time_point Now);
  // When ExpireReferences has something to do next; max() when nothing waits.
  Clock::time_point NextExpiry() const;
  size_t Waiting() const { return m_Waiting.size(); }

 private:
  struct CWait {
    Clock::time_point Sent;
    OS::LONG nMessageRef;
  };
  void Untrack(OS::LONG nJobId);

  CEngineOutgoingQueue* m_pOutgoingQueue;
  Clock::duration m_ReportExpiry;
  std::map<OS::LONG, CWait> m_Waiting;                        // by job
  std::set<std::pair<Clock::time_point, OS::LONG>> m_ByTime;  // (sent, job), oldest first
};

}  // namespace Norvale
