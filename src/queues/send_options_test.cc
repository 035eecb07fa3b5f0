// The checks and the text forms of a message's options.
#include "queues/send_options.h"

#include <gtest/gtest.h>

#include "codec/gsm_alphabet.h"

using namespace Norvale;

namespace {

constexpr std::int64_t kNow = 1'800'000'000'000;  // 2027-01-15T08:00:00Z

std::string FieldOf(const CSendOptions& options) {
  const auto error = CheckSendOptions(options, kNow);
  return error ? error->sField : "";
}

TEST(SendOptions, SendersAlphanumericUpTo11GsmCharactersOrNumbersUpTo20Digits) {
  for (const char* good :
       {"Velquor", "ACME Shop", "ABCDEFGHIJK", "+4915112345678", "12345678901234567890", "Info-24/7", "a@b_c.d!?"})
    EXPECT_EQ(SenderProblem(good), "") << good;
  EXPECT_NE(SenderProblem("ABCDEFGHIJKL"), "");           // 12 characters
  EXPECT_NE(SenderProblem("123456789012345678901"), "");  // 21 digits
  EXPECT_NE(SenderProblem("Shop[1]"), "");                // extension characters: two septets each
  EXPECT_NE(SenderProblem("Caf\xC3\xA9"), "");            // é: not among the characters taken
  EXPECT_NE(SenderProblem("tick`"), "");
  EXPECT_NE(SenderProblem("A\tB"), "");
  EXPECT_NE(SenderProblem(" Shop"), "");
  EXPECT_NE(SenderProblem(""), "");
  CSendOptions options;
  options.sSender = "ThisIsTooLong";
  EXPECT_EQ(FieldOf(options), "sender");
}

// The characters a sender may hold are a rule, not a copy of the codec's
// table: each of them must be one septet of the default alphabet.
TEST(SendOptions, EverySenderCharacterIsOneSeptetOfTheGsmDefaultAlphabet) {
  int taken = 0;
  for (int c = 0; c < 256; ++c) {
    if (!IsSenderCharacter(static_cast<char>(c))) continue;
    ++taken;
    EXPECT_EQ(Sms::Gsm7Length(static_cast<char32_t>(c)), 1u) << "character " << c;
  }
  EXPECT_EQ(taken, 95 - 9);  // printable ASCII less [ \ ] ^ { | } ~ `
}

TEST(SendOptions, PriorityTimesAndValidityAreCheckedAndNamed) {
  CSendOptions options;
  EXPECT_EQ(FieldOf(options), "");
  options.nPriority = 2;
  EXPECT_EQ(FieldOf(options), "priority");
  options.nPriority = -1;
  EXPECT_EQ(FieldOf(options), "priority");
  options.nPriority = 1;
  EXPECT_EQ(FieldOf(options), "");

  options.nNotBefore = kNow - SendOptionLimits::kPastGraceMs - 1;
  EXPECT_EQ(FieldOf(options), "not_before");
  options.nNotBefore = kNow - 5000;  // within the grace
  EXPECT_EQ(FieldOf(options), "");
  options.nNotBefore = kNow + 3600 * 1000;

  // The validity counts from the not-before time when there is one.
  options.nValidUntil = kNow + 3600 * 1000;
  EXPECT_EQ(FieldOf(options), "validity");
  options.nValidUntil = *options.nNotBefore + SendOptionLimits::kMaxValiditySeconds * 1000;
  EXPECT_EQ(FieldOf(options), "");
  *options.nValidUntil += 1;
  EXPECT_EQ(FieldOf(options), "validity");
  options.nNotBefore.reset();
  options.nValidUntil = kNow;
  EXPECT_EQ(FieldOf(options), "validity");
  options.nValidUntil = kNow + 1000;
  EXPECT_EQ(FieldOf(options), "");

  options.sClientRef = std::string(65, 'r');
  EXPECT_EQ(FieldOf(options), "client_ref");
  options.sClientRef = "order\n1";
  EXPECT_EQ(FieldOf(options), "client_ref");
}

TEST(SendOptions, TimesNeedTheirOffset) {
  EXPECT_EQ(ParseSendTime("2027-01-15T08:00:00Z"), kNow);
  EXPECT_EQ(ParseSendTime("2027-01-15T09:00:00+01:00"), kNow);
  EXPECT_EQ(ParseSendTime("2027-01-15 03:30:00-0430"), kNow);
  EXPECT_EQ(ParseSendTime("2027-01-15T08:00Z"), kNow);
  EXPECT_EQ(ParseSendTime("2027-01-15T08:00:00.250Z"), kNow + 250);
  EXPECT_EQ(ParseSendTime("1970-01-01T00:00:00Z"), 0);
  for (const char* bad : {"2027-01-15T08:00:00", "2027-02-29T08:00:00Z", "2027-01-15T24:00:00Z",
                          "2027-01-15T08:00:00+1", "2027-1-15T08:00:00Z", "tomorrow", "", "2027-01-15T08:00:00Zx",
                          "2027-01-15T08:00:60Z", "2027-01-15T08:00:00.Z"})
    EXPECT_FALSE(ParseSendTime(bad)) << bad;
}

TEST(SendOptions, DurationsInSecondsOrWithAUnit) {
  EXPECT_EQ(ParseDuration("90"), 90);
  EXPECT_EQ(ParseDuration("90s"), 90);
  EXPECT_EQ(ParseDuration("30m"), 1800);
  EXPECT_EQ(ParseDuration("2h"), 7200);
  EXPECT_EQ(ParseDuration("1d"), 86400);
  EXPECT_EQ(ParseDuration("1w"), 604800);
  EXPECT_EQ(ParseDuration("0"), 0);  // parsed; the check refuses it
  for (const char* bad : {"", "s", "-5", "1.5h", "2 h", "5y", "99999999999999", "1e3"})
    EXPECT_FALSE(ParseDuration(bad)) << bad;
}

}  // namespace
