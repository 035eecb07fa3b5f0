#include "smpp/command_status.h"

#include <gtest/gtest.h>

namespace Norvale::Smpp {
namespace {

TEST(CommandStatus, SubmitAnswersBecomeJobStatuses) {
  using E = EFailureClass;
  struct Case {
    uint32_t nStatus;
    StatusClass Expected;
  };
  const Case Cases[] = {
      {ESME_RINVDSTADR, {E::InvalidNumber, false, false}},  {ESME_RINVDSTTON, {E::InvalidNumber, false, false}},
      {ESME_RINVDSTNPI, {E::InvalidNumber, false, false}},  {ESME_RTHROTTLED, {E::NetworkFailure, true, true}},
      {ESME_RMSGQFUL, {E::NetworkFailure, true, true}},     {ESME_RSUBMITFAIL, {E::NetworkFailure, true, false}},
      {ESME_RSYSERR, {E::SystemFailure, true, false}},      {ESME_RINVBNDSTS, {E::SystemFailure, true, false}},
      {0x00000401, {E::SystemFailure, true, false}},  // a vendor's own code
      {ESME_RINVSRCADR, {E::SystemFailure, false, false}},  {ESME_RINVCMDID, {E::SystemFailure, false, false}},
      {ESME_RINVMSGLEN, {E::InvalidMessage, false, false}}, {ESME_RINVESMCLASS, {E::InvalidMessage, false, false}},
      {ESME_RINVEXPIRY, {E::InvalidMessage, false, false}}, {ESME_RINVOPTPARSTREAM, {E::InvalidMessage, false, false}},
  };
  for (const Case& c : Cases) {
    EXPECT_EQ(ClassifySubmitStatus(c.nStatus), c.Expected) << DescribeStatus(c.nStatus);
  }
  EXPECT_EQ(UnansweredSubmitClass(), (StatusClass{E::Timeout, true, false}));
}

TEST(CommandStatus, CredentialFaultsAreNotRetriedAtOnce) {
  for (uint32_t n : {ESME_RINVPASWD, ESME_RINVSYSID, ESME_RBINDFAIL, ESME_RINVSYSTYP, ESME_RALYBND}) {
    EXPECT_EQ(ClassifyBindStatus(n), EBindFailure::Rejected) << DescribeStatus(n);
  }
  for (uint32_t n : {ESME_RSYSERR, ESME_RTHROTTLED, ESME_RUNKNOWNERR}) {
    EXPECT_EQ(ClassifyBindStatus(n), EBindFailure::Temporary) << DescribeStatus(n);
  }
}

TEST(CommandStatus, NamesForLogs) {
  EXPECT_STREQ(StatusName(ESME_RTHROTTLED), "ESME_RTHROTTLED");
  EXPECT_EQ(StatusName(0x09), nullptr);
  EXPECT_EQ(DescribeStatus(ESME_RINVPASWD), "ESME_RINVPASWD (0x0000000E): invalid password");
  EXPECT_EQ(DescribeStatus(0x403), "0x00000403 (no SMPP 3.4 name)");
}

}  // namespace
}  // namespace Norvale::Smpp
