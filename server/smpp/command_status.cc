#include "smpp/command_status.h"

#include <cstdio>

namespace Norvale::Smpp {

namespace {

struct StatusInfo {
  uint32_t nStatus;
  const char* sName;
  const char* sText;
};

constexpr StatusInfo kStatuses[] = {
    {ESME_ROK, "ESME_ROK", "no error"},
    {ESME_RINVMSGLEN, "ESME_RINVMSGLEN", "message length is invalid"},
    {ESME_RINVCMDLEN, "ESME_RINVCMDLEN", "command length is invalid"},
    {ESME_RINVCMDID, "ESME_RINVCMDID", "invalid command id"},
    {ESME_RINVBNDSTS, "ESME_RINVBNDSTS", "incorrect bind status for the command"},
    {ESME_RALYBND, "ESME_RALYBND", "already bound"},
    {ESME_RINVPRTFLG, "ESME_RINVPRTFLG", "invalid priority flag"},
    {ESME_RINVREGDLVFLG, "ESME_RINVREGDLVFLG", "invalid registered delivery flag"},
    {ESME_RSYSERR, "ESME_RSYSERR", "system error"},
    {ESME_RINVSRCADR, "ESME_RINVSRCADR", "invalid source address"},
    {ESME_RINVDSTADR, "ESME_RINVDSTADR", "invalid destination address"},
    {ESME_RINVMSGID, "ESME_RINVMSGID", "message id is invalid"},
    {ESME_RBINDFAIL, "ESME_RBINDFAIL", "bind failed"},
    {ESME_RINVPASWD, "ESME_RINVPASWD", "invalid password"},
    {ESME_RINVSYSID, "ESME_RINVSYSID", "invalid system id"},
    {ESME_RCANCELFAIL, "ESME_RCANCELFAIL", "cancel failed"},
    {ESME_RREPLACEFAIL, "ESME_RREPLACEFAIL", "replace failed"},
    {ESME_RMSGQFUL, "ESME_RMSGQFUL", "message queue full"},
    {ESME_RINVSERTYP, "ESME_RINVSERTYP", "invalid service type"},
    {ESME_RINVNUMDESTS, "ESME_RINVNUMDESTS", "invalid number of destinations"},
    {ESME_RINVDLNAME, "ESME_RINVDLNAME", "invalid distribution list name"},
    {ESME_RINVDESTFLAG, "ESME_RINVDESTFLAG", "invalid destination flag"},
    {ESME_RINVSUBREP, "ESME_RINVSUBREP", "invalid submit with replace request"},
    {ESME_RINVESMCLASS, "ESME_RINVESMCLASS", "invalid esm_class"},
    {ESME_RCNTSUBDL, "ESME_RCNTSUBDL", "cannot submit to distribution list"},
    {ESME_RSUBMITFAIL, "ESME_RSUBMITFAIL", "submit failed"},
    {ESME_RINVSRCTON, "ESME_RINVSRCTON", "invalid source address TON"},
    {ESME_RINVSRCNPI, "ESME_RINVSRCNPI", "invalid source address NPI"},
    {ESME_RINVDSTTON, "ESME_RINVDSTTON", "invalid destination address TON"},
    {ESME_RINVDSTNPI, "ESME_RINVDSTNPI", "invalid destination address NPI"},
    {ESME_RINVSYSTYP, "ESME_RINVSYSTYP", "invalid system type"},
    {ESME_RINVREPFLAG, "ESME_RINVREPFLAG", "invalid replace_if_present flag"},
    {ESME_RINVNUMMSGS, "ESME_RINVNUMMSGS", "invalid number of messages"},
    {ESME_RTHROTTLED, "ESME_RTHROTTLED", "throttling error"},
    {ESME_RINVSCHED, "ESME_RINVSCHED", "invalid scheduled delivery time"},
    {ESME_RINVEXPIRY, "ESME_RINVEXPIRY", "invalid validity period"},
    {ESME_RINVDFTMSGID, "ESME_RINVDFTMSGID", "predefined message invalid or not found"},
    {ESME_RX_T_APPN, "ESME_RX_T_APPN", "receiver temporary application error"},
    {ESME_RX_P_APPN, "ESME_RX_P_APPN", "receiver permanent application error"},
    {ESME_RX_R_APPN, "ESME_RX_R_APPN", "receiver reject message error"},
    {ESME_RQUERYFAIL, "ESME_RQUERYFAIL", "query failed"},
    {ESME_RINVOPTPARSTREAM, "ESME_RINVOPTPARSTREAM", "error in the optional part of the PDU"},
    {ESME_ROPTPARNOTALLWD, "ESME_ROPTPARNOTALLWD", "optional parameter not allowed"},
    {ESME_RINVPARLEN, "ESME_RINVPARLEN", "invalid parameter length"},
    {ESME_RMISSINGOPTPARAM, "ESME_RMISSINGOPTPARAM", "expected optional parameter missing"},
    {ESME_RINVOPTPARAMVAL, "ESME_RINVOPTPARAMVAL", "invalid optional parameter value"},
    {ESME_RDELIVERYFAILURE, "ESME_RDELIVERYFAILURE", "delivery failure"},
    {ESME_RUNKNOWNERR, "ESME_RUNKNOWNERR", "unknown error"},
};

const StatusInfo* Find(uint32_t nStatus) {
  for (const auto& Info : kStatuses) {
    if (Info.nStatus == nStatus) return &Info;
  }
  return nullptr;
}

}  // namespace

const char* StatusName(uint32_t nStatus) {
  const StatusInfo* p = Find(nStatus);
  return p ? p->sName : nullptr;
}

std::string DescribeStatus(uint32_t nStatus) {
  char sHex[16];
  std::snprintf(sHex, sizeof sHex, "0x%08X", nStatus);
  const StatusInfo* p = Find(nStatus);
  if (!p) return std::string(sHex) + " (no SMPP 3.4 name)";
  return std::string(p->sName) + " (" + sHex + "): " + p->sText;
}

StatusClass ClassifySubmitStatus(uint32_t nStatus) {
  using E = EFailureClass;
  switch (nStatus) {
    case ESME_RINVDSTADR:
    case ESME_RINVDSTTON:
    case ESME_RINVDSTNPI:
    case ESME_RINVNUMDESTS: return {E::InvalidNumber, false, false};
    case ESME_RTHROTTLED:
    case ESME_RMSGQFUL: return {E::NetworkFailure, true, true};
    case ESME_RSUBMITFAIL:
    case ESME_RDELIVERYFAILURE: return {E::NetworkFailure, true, false};
    case ESME_RINVSRCADR:
    case ESME_RINVSRCTON:
    case ESME_RINVSRCNPI:
    case ESME_RINVCMDLEN:
    case ESME_RINVCMDID:
    case ESME_RX_P_APPN:
    case ESME_RX_R_APPN: return {E::SystemFailure, false, false};
    case ESME_RINVMSGLEN:
    case ESME_RINVPRTFLG:
    case ESME_RINVREGDLVFLG:
    case ESME_RINVSERTYP:
    case ESME_RINVSUBREP:
    case ESME_RINVESMCLASS:
    case ESME_RINVREPFLAG:
    case ESME_RINVNUMMSGS:
    case ESME_RINVSCHED:
    case ESME_RINVEXPIRY:
    case ESME_RINVDFTMSGID:
    case ESME_RINVOPTPARSTREAM:
    case ESME_ROPTPARNOTALLWD:
    case ESME_RINVPARLEN:
    case ESME_RMISSINGOPTPARAM:
    case ESME_RINVOPTPARAMVAL: return {E::InvalidMessage, false, false};
    default:
      // ESME_RSYSERR, ESME_RINVBNDSTS, ESME_RX_T_APPN, ESME_RUNKNOWNERR and
      // the codes SMSC vendors define for themselves: nothing says the job
      // itself is at fault, so it gets another attempt.
      return {E::SystemFailure, true, false};
  }
}

StatusClass UnansweredSubmitClass() { return {EFailureClass::Timeout, true, false}; }

EBindFailure ClassifyBindStatus(uint32_t nStatus) {
  switch (nStatus) {
    case ESME_RINVPASWD:
    case ESME_RINVSYSID:
    case ESME_RINVSYSTYP:
    case ESME_RBINDFAIL:
    case ESME_RALYBND: return EBindFailure::Rejected;
    default: return EBindFailure::Temporary;
  }
}

}  // namespace Norvale::Smpp
