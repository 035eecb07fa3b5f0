// What a client's submit_sm becomes in the queue: a job row and the record
// a receipt needs later, or the command_status that refuses it (nothing is
// then queued).
//
// data_coding and esm_class decide the job's kind: text (0 the default
// alphabet, 1 IA5/ASCII, 3 Latin-1) without UDH becomes a text job, UCS-2 (8)
// without UDH a Unicode job, anything with a UDH (esm_class 0x40, or the
// SAR TLVs, turned into a concatenation UDH) or another coding a data job
// with its dcs, udh and ud. message_payload stands for short_message (both:
// ESME_RINVMSGLEN...). Each part of a concatenated message is a job of its
// own, queued as it comes, with its own message_id.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "accounts/api_account_store.h"
#include "queues/outgoing_batch.h"
#include "smpp/pdu.h"

namespace VelquorSmpp {

// A row of SmppJobs (smpp_schema.h) without its Id.
struct SmppJobRecord {
  std::string sSystemId;
  std::string sSourceAddr;
  std::string sDestAddr;
  uint8_t nRegisteredDelivery = 0;
  std::int64_t nSubmitTimeMs = 0;
  std::string sTextStart;
};

struct SubmitJob {
  Norvale::COutgoingJobRow row;
  SmppJobRecord record;
};

// SMPP 3.4 has no command_status for a data_coding that cannot be sent or a
// message that does not match its data_coding; this is the value later
// versions of SMPP give it (ESME_RINVDCS). A 3.4 client sees an error it
// does not name and fails the message.
inline constexpr uint32_t kEsmeRInvDcs = 0x00000104;

// The job, or the refusal's command_status (ESME_RINVDSTADR,
// ESME_RINVSRCADR, ESME_RINVMSGLEN, ESME_RINVESMCLASS, ESME_RINVREGDLVFLG,
// ESME_RINVPRTFLG, ESME_RINVSCHED, ESME_RINVEXPIRY, kEsmeRInvDcs, ESME_RMISSINGOPTPARAM, ESME_RINVOPTPARAMVAL;
// the rules are in the .cc). nNowMs (UTC) is the moment relative times
// count from. The sender, priority, times and report request go into the
// row's Options. The handset is never a reason to refuse: an
// account limited to handsets sends through its first allowed one.
std::variant<SubmitJob, uint32_t> MapSubmit(const Norvale::Smpp::ShortMessageBody& body,
                                            const Norvale::CApiAccount& account, std::int64_t nNowMs);

}  // namespace VelquorSmpp
