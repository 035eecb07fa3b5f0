#include "server/engine/send_limits.h"

#include <gtest/gtest.h>

namespace Norvale {
namespace {

using namespace std::chrono_literals;
using Clock = CTokenBucket::Clock;

TEST(CTokenBucket, StartsFullThenPacesAtItsRate) {
  const Clock::time_point t0 = Clock::time_point() + 1h;
  CTokenBucket bucket(50);  // holds 5: a tenth of a second's worth
  EXPECT_TRUE(bucket.Limited());
  EXPECT_EQ(bucket.Available(t0), 5);
  bucket.Take(5, t0);
  EXPECT_EQ(bucket.Available(t0), 0);
  // One token every 20 ms; the worker is told when the next one is there.
  const Clock::time_point next = bucket.NextToken(t0);
  EXPECT_GE(next - t0, 19ms);
  EXPECT_LE(next - t0, 21ms);
  EXPECT_EQ(bucket.Available(next), 1);
  EXPECT_EQ(bucket.Available(t0 + 59ms), 2);
  // Never more than the bucket holds, however long it was idle.
  EXPECT_EQ(bucket.Available(t0 + 1h), 5);
  // Over ten seconds of steady taking, the rate and no more.
  long taken = 0;
  Clock::time_point t = t0 + 1h;
  bucket.Take(bucket.Available(t), t);
  for (int i = 0; i < 1000; ++i) {
    t += 10ms;
    const long n = bucket.Available(t);
    bucket.Take(n, t);
    taken += n;
  }
  EXPECT_GE(taken, 499);
  EXPECT_LE(taken, 500);
}

TEST(CTokenBucket, ASlowRateHoldsOneAndNoRateNoLimit) {
  const Clock::time_point t0 = Clock::time_point() + 1h;
  CTokenBucket slow(2);
  EXPECT_EQ(slow.Available(t0), 1);
  slow.Take(1, t0);
  EXPECT_EQ(slow.Available(t0 + 499ms), 0);
  EXPECT_EQ(slow.NextToken(t0 + 499ms) > t0 + 499ms, true);
  EXPECT_EQ(slow.Available(t0 + 501ms), 1);
  EXPECT_EQ(slow.NextToken(t0 + 501ms), t0 + 501ms);
  // A clock that seems to go back (another thread's reading) takes nothing.
  slow.Take(1, t0 + 501ms);
  EXPECT_EQ(slow.Available(t0), 0);

  CTokenBucket none(0);
  EXPECT_FALSE(none.Limited());
  none.Take(1000000, t0);
  EXPECT_GT(none.Available(t0), 1000000);
  EXPECT_EQ(none.NextToken(t0), Clock::time_point::max());
}

TEST(CDayQuota, CountsTheUtcDayWithWhatIsInHand) {
  constexpr std::int64_t kDay = 86400000;
  const std::int64_t midnight = 20432 * kDay;  // 2025-12-10T00:00:00Z
  EXPECT_EQ(CDayQuota::DayStart(midnight), midnight);
  EXPECT_EQ(CDayQuota::DayStart(midnight + kDay - 1), midnight);
  EXPECT_EQ(CDayQuota::DayStart(midnight - 1), midnight - kDay);

  CDayQuota quota(100);
  const std::int64_t noon = midnight + kDay / 2;
  EXPECT_TRUE(quota.NeedsCount(noon, 0));  // never read
  quota.SetCount(noon, 40);
  EXPECT_FALSE(quota.NeedsCount(noon + 1000, 0));
  EXPECT_EQ(quota.Remaining(noon, 0), 60);
  EXPECT_EQ(quota.Remaining(noon, 25), 35);  // claimed, not decided yet
  quota.AddSent(25);
  EXPECT_EQ(quota.Remaining(noon, 0), 35);
  // Old enough: read again (other engines may have sent with the number).
  EXPECT_TRUE(quota.NeedsCount(noon + CDayQuota::kRefresh, 0));
  // Close to the limit: read before every claim.
  quota.SetCount(noon, 92);
  EXPECT_TRUE(quota.NeedsCount(noon + 1, 0));
  EXPECT_EQ(quota.Remaining(noon, 0), 8);
  // Reached: nothing more, whatever is in hand; not read at every claim.
  quota.SetCount(noon, 100);
  EXPECT_EQ(quota.Remaining(noon, 0), 0);
  EXPECT_EQ(quota.Remaining(noon, 3), 0);
  EXPECT_FALSE(quota.NeedsCount(noon + 1, 0));
  // The day turns: the old count is no longer counted, and it is read again.
  EXPECT_EQ(quota.Remaining(midnight + kDay, 0), 100);
  EXPECT_TRUE(quota.NeedsCount(midnight + kDay, 0));

  CDayQuota none;
  EXPECT_FALSE(none.Limited());
  EXPECT_FALSE(none.NeedsCount(noon, 0));
  EXPECT_GT(none.Remaining(noon, 1000000), 1000000);
}

}  // namespace
}  // namespace Norvale
