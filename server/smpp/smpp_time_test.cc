#include "smpp/smpp_time.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace Norvale::Smpp {
namespace {

using std::chrono::seconds;

// 2026-03-10 13:30:00 UTC in milliseconds.
constexpr std::int64_t kMarch10 = 1773149400000;

std::int64_t Absolute(const char* szText) {
  const auto time = ParseSmppTime(szText);
  EXPECT_TRUE(time && !time->bRelative) << szText;
  return time ? time->nUtcMs : 0;
}

TEST(SmppTime, AbsoluteTimesAreLocalTimeWithTheirQuarterHourOffset) {
  EXPECT_EQ(Absolute("260310133000000+"), kMarch10);
  // 14:30 one hour ahead of UTC, 08:30 five hours behind it: both 13:30 UTC.
  EXPECT_EQ(Absolute("260310143000004+"), kMarch10);
  EXPECT_EQ(Absolute("260310083000020-"), kMarch10);
  // India, UTC+5:30 (22 quarter hours), and the tenths of a second.
  EXPECT_EQ(Absolute("260310190000722+"), kMarch10 + 700);
  // Across midnight and a leap day.
  EXPECT_EQ(Absolute("280229233000004-"), Absolute("280301003000000+"));
}

TEST(SmppTime, RelativeTimesCountFromNow) {
  const auto time = ParseSmppTime("000001023004000R");
  ASSERT_TRUE(time && time->bRelative);
  EXPECT_EQ(time->period, seconds(86400 + 2 * 3600 + 30 * 60 + 4));
  EXPECT_EQ(ResolveSmppTime(*time, kMarch10), kMarch10 + time->period.count() * 1000);
  // Fields beyond their calendar range are a period all the same.
  EXPECT_EQ(ParseSmppTime("000000480000000R")->period, seconds(2 * 86400));
  EXPECT_EQ(ParseSmppTime("010200000000000R")->period, seconds((365 + 60) * 86400));
  EXPECT_EQ(ResolveSmppTime(*ParseSmppTime("260310133000000+"), 0), kMarch10);
}

TEST(SmppTime, MalformedTimesAreRefusedAndEmptyIsNone) {
  EXPECT_FALSE(ParseSmppTime(""));
  for (const char* szBad : {"2603101330000+", "2603101330000000+", "26031013300000a+", "260310133000000Z",
                            "261310133000000+", "260431133000000+", "270229133000000+", "260310243000000+",
                            "260310136000000+", "260310133060000+", "260310133000049+", "26031013300 000+"}) {
    EXPECT_THROW(ParseSmppTime(szBad), std::invalid_argument) << szBad;
  }
}

TEST(SmppTime, RelativePeriodsAreWrittenInDaysOrYearsAndReadBackTheSame) {
  EXPECT_EQ(RelativeSmppTime(seconds(3600)), "000000010000000R");
  EXPECT_EQ(RelativeSmppTime(seconds(2 * 86400 + 3 * 3600 + 4 * 60 + 5)), "000002030405000R");
  EXPECT_EQ(RelativeSmppTime(seconds(99 * 86400)), "000099000000000R");
  EXPECT_EQ(RelativeSmppTime(seconds(0)), "000000000001000R");
  // 364 days: 11 months of 30 days and 34 days.
  EXPECT_EQ(RelativeSmppTime(seconds(364 * 86400)), "001134000000000R");
  for (const std::int64_t s : {1LL, 59LL, 86399LL, 100 * 86400LL + 7, 400 * 86400LL + 3661, 99 * 365 * 86400LL + 1}) {
    EXPECT_EQ(ParseSmppTime(RelativeSmppTime(seconds(s)))->period, seconds(s)) << s;
  }
  EXPECT_THROW(RelativeSmppTime(seconds(100 * 365 * 86400LL)), std::out_of_range);
}

}  // namespace
}  // namespace Norvale::Smpp
