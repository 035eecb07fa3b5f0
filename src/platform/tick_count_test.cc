#include <gtest/gtest.h>

#include "platform/tick_count.h"

using namespace Norvale::OS;

TEST(TickCount, VirtualTimeMeasuresAcrossTheWrap) {
  VirtualTime::Enable(0xFFFFFFFFu - 1500u);
  const DWORD start = GetTickCount();
  Sleep(1000);
  EXPECT_EQ(GetTickCount() - start, 1000u);
  Sleep(1000);  // the counter wraps here
  EXPECT_LT(GetTickCount(), start);
  EXPECT_EQ(GetTickCount() - start, 2000u);  // the unsigned difference does not care
  VirtualTime::Disable();
  EXPECT_FALSE(VirtualTime::IsEnabled());
}

TEST(TickCount, RealSleepTakesAtLeastItsTime) {
  const DWORD start = GetTickCount();
  Sleep(20);
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 19u);
  EXPECT_LT(elapsed, 5000u);
}
