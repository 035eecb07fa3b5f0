#include "server/engine/sms_engine_object.h"

#include <gtest/gtest.h>

using namespace Norvale;

TEST(CVelquorCoreObject, ServesOnlyThePathsBelowTheProductKey) {
  for (const char* good : {"", "\\Handsets", "\\Handsets\\1", "\\a.b", "\\..x"})
    EXPECT_TRUE(CVelquorCoreObject::IsProductPath(good)) << good;
  for (const char* bad : {"Handsets", "\\", "\\\\", "\\Handsets\\", "\\..", "\\Handsets\\..\\..\\Other", "\\.",
                          "\\a\\.\\b", "\\a/b", "/etc"})
    EXPECT_FALSE(CVelquorCoreObject::IsProductPath(bad)) << bad;
}
