// What an AT+CMGS refusal means for the job: the code of +CMS ERROR: <n>
// (3GPP TS 27.005 section 3.2.5) onto ESubmitOutcome, with the code kept as
// the failure's error code.
//
//   0..127    the network's cause (24.011 annex E): a number nobody has or
//             that is malformed, barring, or a network fault (temporary)
//   128..255  the SMS centre's TP-FCS (23.040 9.2.3.22): a PDU it cannot
//             take, or a busy or failing centre (temporary)
//   300..     the phone itself: SIM, memory, no network service, time-out
//   500       unknown error; 512 and above, the maker's own
// Device errors are temporary: a modem that recovers, a SIM that comes back
// or a configuration put right lets the retry succeed.
#pragma once

#include <string>

#include "server/drivers/sms_driver.h"

namespace Norvale {

CSubmitResult SubmitFailureFromCms(int nCode);
// +CME ERROR (27.007 9.2) answering AT+CMGS, which some modems use for SIM
// and network trouble.
CSubmitResult SubmitFailureFromCme(int nCode);

}  // namespace Norvale
