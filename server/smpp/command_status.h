// SMPP 3.4 command_status values, and what they mean for a job and for the
// session.
//
// A submit_sm_resp or generic_nack with a status other than ESME_ROK ends a
// submission; ClassifySubmitStatus tells which final job status it becomes
// (the numbers are the queue's job statuses), whether the job may be tried
// again later and whether the SMS centre asks us to slow down:
//
//   destination address, its TON or NPI invalid        3 invalid number
//   throttled, message queue full                      4, again later, slow down
//   submit failed at the SMSC, delivery failure        4 network, again later
//   system error, not bound, unknown or vendor codes   6 system, again later
//   source address, TON, NPI invalid; command length
//     or id refused (a fault on our side)              6 system, final
//   message length, esm_class, flags, times, TLVs      8 invalid message, final
//   no answer in time, connection lost (ours, no
//     status)                                          7 time-out, again later
//
// A refused bind is classified apart (ClassifyBindStatus): wrong password,
// system_id or system_type and a plain "bind failed" will not get better by
// binding again at once, so the reconnect waits long instead of looping.
#pragma once

#include <cstdint>
#include <string>

namespace Norvale::Smpp {

inline constexpr uint32_t ESME_ROK = 0x00000000;
inline constexpr uint32_t ESME_RINVMSGLEN = 0x00000001;
inline constexpr uint32_t ESME_RINVCMDLEN = 0x00000002;
inline constexpr uint32_t ESME_RINVCMDID = 0x00000003;
inline constexpr uint32_t ESME_RINVBNDSTS = 0x00000004;
inline constexpr uint32_t ESME_RALYBND = 0x00000005;
inline constexpr uint32_t ESME_RINVPRTFLG = 0x00000006;
inline constexpr uint32_t ESME_RINVREGDLVFLG = 0x00000007;
inline constexpr uint32_t ESME_RSYSERR = 0x00000008;
inline constexpr uint32_t ESME_RINVSRCADR = 0x0000000A;
inline constexpr uint32_t ESME_RINVDSTADR = 0x0000000B;
inline constexpr uint32_t ESME_RINVMSGID = 0x0000000C;
inline constexpr uint32_t ESME_RBINDFAIL = 0x0000000D;
inline constexpr uint32_t ESME_RINVPASWD = 0x0000000E;
inline constexpr uint32_t ESME_RINVSYSID = 0x0000000F;
inline constexpr uint32_t ESME_RCANCELFAIL = 0x00000011;
inline constexpr uint32_t ESME_RREPLACEFAIL = 0x00000013;
inline constexpr uint32_t ESME_RMSGQFUL = 0x00000014;
inline constexpr uint32_t ESME_RINVSERTYP = 0x00000015;
inline constexpr uint32_t ESME_RINVNUMDESTS = 0x00000033;
inline constexpr uint32_t ESME_RINVDLNAME = 0x00000034;
inline constexpr uint32_t ESME_RINVDESTFLAG = 0x00000040;
inline constexpr uint32_t ESME_RINVSUBREP = 0x00000042;
inline constexpr uint32_t ESME_RINVESMCLASS = 0x00000043;
inline constexpr uint32_t ESME_RCNTSUBDL = 0x00000044;
inline constexpr uint32_t ESME_RSUBMITFAIL = 0x00000045;
inline constexpr uint32_t ESME_RINVSRCTON = 0x00000048;
inline constexpr uint32_t ESME_RINVSRCNPI = 0x00000049;
inline constexpr uint32_t ESME_RINVDSTTON = 0x00000050;
inline constexpr uint32_t ESME_RINVDSTNPI = 0x00000051;
inline constexpr uint32_t ESME_RINVSYSTYP = 0x00000053;
inline constexpr uint32_t ESME_RINVREPFLAG = 0x00000054;
inline constexpr uint32_t ESME_RINVNUMMSGS = 0x00000055;
inline constexpr uint32_t ESME_RTHROTTLED = 0x00000058;
inline constexpr uint32_t ESME_RINVSCHED = 0x00000061;
inline constexpr uint32_t ESME_RINVEXPIRY = 0x00000062;
inline constexpr uint32_t ESME_RINVDFTMSGID = 0x00000063;
inline constexpr uint32_t ESME_RX_T_APPN = 0x00000064;
inline constexpr uint32_t ESME_RX_P_APPN = 0x00000065;
inline constexpr uint32_t ESME_RX_R_APPN = 0x00000066;
inline constexpr uint32_t ESME_RQUERYFAIL = 0x00000067;
inline constexpr uint32_t ESME_RINVOPTPARSTREAM = 0x000000C0;
inline constexpr uint32_t ESME_ROPTPARNOTALLWD = 0x000000C1;
inline constexpr uint32_t ESME_RINVPARLEN = 0x000000C2;
inline constexpr uint32_t ESME_RMISSINGOPTPARAM = 0x000000C3;
inline constexpr uint32_t ESME_RINVOPTPARAMVAL = 0x000000C4;
inline constexpr uint32_t ESME_RDELIVERYFAILURE = 0x000000FE;
inline constexpr uint32_t ESME_RUNKNOWNERR = 0x000000FF;

// "ESME_RTHROTTLED"; nullptr for a value without a name (reserved or an
// SMSC vendor's own code).
const char* StatusName(uint32_t nStatus);
// "ESME_RTHROTTLED (0x00000058): throttling error" or "0x00000403 (no
// SMPP 3.4 name)", for logs and the failure notification's text.
std::string DescribeStatus(uint32_t nStatus);

// Final job statuses of the queue a failed submission becomes.
enum class EFailureClass : int {
  InvalidNumber = 3,
  NetworkFailure = 4,
  SystemFailure = 6,
  Timeout = 7,
  InvalidMessage = 8,
};

struct StatusClass {
  EFailureClass eClass = EFailureClass::SystemFailure;
  bool bTemporary = false;  // the job may be tried again later
  bool bThrottle = false;   // the SMSC asks us to send more slowly
  bool operator==(const StatusClass&) const = default;
};

// For a submit_sm answered with nStatus (not ESME_ROK).
StatusClass ClassifySubmitStatus(uint32_t nStatus);
// For a submission that got no answer: response time-out or connection lost.
// The SMSC may or may not have taken it; SMPP cannot tell.
StatusClass UnansweredSubmitClass();

enum class EBindFailure {
  Rejected,   // credentials or account refused: reconnect only after a long pause
  Temporary,  // the SMSC's trouble or no answer: usual reconnect back-off
};
EBindFailure ClassifyBindStatus(uint32_t nStatus);

}  // namespace Norvale::Smpp
