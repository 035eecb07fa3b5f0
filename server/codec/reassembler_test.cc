#include "codec/reassembler.h"

#include <gtest/gtest.h>

#include "codec/udh.h"

namespace Norvale::Sms {
namespace {

using namespace std::chrono_literals;
using Clock = CReassembler::Clock;

// The parts of a long text as a sender's modem would split it.
std::vector<UserDataPart> Parts(const std::string& text, uint8_t ref) { return SplitText(text, ref); }

Concatenation ConcatOf(const UserDataPart& part) { return *FindConcatenation(ParseUdh(part.Udh)); }

TEST(SmsReassembler, JoinsPartsInAnyOrderAndIgnoresDuplicates) {
  const std::string text = std::string(300, 'x') + "€ and more";
  const auto parts = Parts(text, 42);
  ASSERT_EQ(parts.size(), 3u);
  CReassembler r(60s, 16);
  const auto t = Clock::now();
  EXPECT_TRUE(r.Add("+4911", ConcatOf(parts[2]), parts[2], t).empty());
  EXPECT_TRUE(r.Add("+4911", ConcatOf(parts[0]), parts[0], t).empty());
  EXPECT_TRUE(r.Add("+4911", ConcatOf(parts[0]), parts[0], t).empty());  // the same part again
  // Same reference from another sender, and another total, are other messages.
  EXPECT_TRUE(r.Add("+4922", ConcatOf(parts[1]), parts[1], t).empty());
  EXPECT_TRUE(r.Add("+4911", {42, 4, 2, false}, parts[1], t).empty());
  EXPECT_EQ(r.Pending(), 3u);

  const auto done = r.Add("+4911", ConcatOf(parts[1]), parts[1], t + 1s);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(done[0].bComplete);
  EXPECT_EQ(done[0].sSender, "+4911");
  EXPECT_EQ(done[0].nReference, 42);
  EXPECT_EQ(done[0].Sequences, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(PartsToUtf8(done[0].Parts), text);
  EXPECT_EQ(r.Pending(), 2u);

  const auto single = r.Add("+4933", {7, 1, 1, false}, parts[0], t);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_TRUE(single[0].bComplete);
  EXPECT_THROW(r.Add("+4933", {7, 2, 3, false}, parts[0], t), std::invalid_argument);
}

TEST(SmsReassembler, AReusedReferenceStartsANewMessageNeverAMixture) {
  // A phone that always uses reference 9: its first message loses part 3,
  // the second comes whole. Each part is tagged with its arrival number.
  const std::string first = std::string(320, 'a') + "first";
  const std::string second = std::string(320, 'b') + "second";
  const auto old = Parts(first, 9), fresh = Parts(second, 9);
  ASSERT_EQ(old.size(), 3u);
  ASSERT_EQ(fresh.size(), 3u);
  CReassembler r(1h, 16);
  const auto t = Clock::now();
  EXPECT_TRUE(r.Add("+4955", ConcatOf(old[0]), old[0], t, 1).empty());
  EXPECT_TRUE(r.Add("+4955", ConcatOf(old[1]), old[1], t, 2).empty());
  EXPECT_TRUE(r.Add("+4955", ConcatOf(old[1]), old[1], t, 3).empty());  // a repeat, not a new message

  const auto given = r.Add("+4955", ConcatOf(fresh[0]), fresh[0], t + 1s, 4);
  ASSERT_EQ(given.size(), 1u);  // the old one goes out at once, as it is
  EXPECT_FALSE(given[0].bComplete);
  EXPECT_EQ(given[0].Sequences, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(given[0].Parts[0], old[0]);
  EXPECT_EQ(given[0].Parts[1], old[1]);
  EXPECT_EQ(given[0].Tags, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(r.Pending(), 1u);

  EXPECT_TRUE(r.Add("+4955", ConcatOf(fresh[2]), fresh[2], t + 2s, 5).empty());
  const auto whole = r.Add("+4955", ConcatOf(fresh[1]), fresh[1], t + 2s, 6);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_TRUE(whole[0].bComplete);
  EXPECT_EQ(PartsToUtf8(whole[0].Parts), second);
  EXPECT_EQ(whole[0].Tags, (std::vector<uint64_t>{4, 5, 6}));
  EXPECT_EQ(r.Pending(), 0u);

  // The new message's time-out counts from its own first part.
  EXPECT_TRUE(r.Add("+4955", ConcatOf(old[2]), old[2], t + 3s, 7).empty());
  EXPECT_EQ(r.NextExpiry(), t + 3s + 1h);
}

TEST(SmsReassembler, TimeOutGivesBackTheIncompleteParts) {
  const auto parts = Parts(std::string(400, 'z'), 5);
  ASSERT_EQ(parts.size(), 3u);
  CReassembler r(30s, 16);
  const auto t = Clock::now();
  r.Add("Bank", ConcatOf(parts[2]), parts[2], t);
  r.Add("Bank", ConcatOf(parts[0]), parts[0], t + 10s);
  r.Add("+4944", {9, 2, 1, false}, parts[0], t + 20s);
  EXPECT_EQ(r.NextExpiry(), t + 30s);

  EXPECT_TRUE(r.Expire(t + 29s).empty());
  const auto expired = r.Expire(t + 30s);
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_FALSE(expired[0].bComplete);
  EXPECT_EQ(expired[0].sSender, "Bank");
  EXPECT_EQ(expired[0].nTotal, 3);
  EXPECT_EQ(expired[0].Sequences, (std::vector<uint8_t>{1, 3}));
  EXPECT_EQ(expired[0].Parts[0], parts[0]);
  EXPECT_EQ(expired[0].Parts[1], parts[2]);
  EXPECT_EQ(r.NextExpiry(), t + 50s);
  EXPECT_EQ(r.Expire(t + 1h).size(), 1u);
  EXPECT_EQ(r.Pending(), 0u);
  EXPECT_EQ(r.NextExpiry(), Clock::time_point::max());
}

TEST(SmsReassembler, CapGivesBackTheOldestMessageFirst) {
  const auto parts = Parts(std::string(200, 'q'), 1);
  CReassembler r(1h, 2);
  const auto t = Clock::now();
  EXPECT_TRUE(r.Add("A", {1, 2, 1, false}, parts[0], t).empty());
  EXPECT_TRUE(r.Add("B", {1, 2, 1, false}, parts[0], t).empty());
  EXPECT_TRUE(r.Add("A", {1, 2, 1, false}, parts[0], t).empty());  // a duplicate takes no room
  const auto out = r.Add("C", {1, 2, 2, false}, parts[1], t);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].sSender, "A");
  EXPECT_FALSE(out[0].bComplete);
  EXPECT_EQ(r.Pending(), 2u);
  EXPECT_THROW(CReassembler(1s, 0), std::invalid_argument);
}

}  // namespace
}  // namespace Norvale::Sms
