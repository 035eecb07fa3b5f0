#include <gtest/gtest.h>

#include "util/string_utils.h"

using namespace Norvale;

TEST(SplitString, DropsEmptyPiecesAndSplitsAtAnySeparator) {
  std::vector<std::string> out{"stale"};
  SplitString("a~~b~", "~", out);
  EXPECT_EQ(out, (std::vector<std::string>{"a", "b"}));
  SplitString("x,y;z", ",;", out);
  EXPECT_EQ(out, (std::vector<std::string>{"x", "y", "z"}));
  SplitString("", "~", out);
  EXPECT_TRUE(out.empty());
  SplitString("~~~", "~", out);
  EXPECT_TRUE(out.empty());
  SplitString("whole", "", out);
  EXPECT_EQ(out, (std::vector<std::string>{"whole"}));
}

TEST(ExtractParam, FindsValuesAnywhereInTheList) {
  const std::string list = "DCS=0;UDH=;UD=abc";
  EXPECT_EQ(ExtractParam("DCS", list, false), "0");
  EXPECT_EQ(ExtractParam("UDH", list, false), "");
  EXPECT_EQ(ExtractParam("UD", list, true), "abc");
  EXPECT_EQ(ExtractParam("UD", "UD=a;b=c", true), "a;b=c");
  EXPECT_EQ(ExtractParam("UD", "X=1;UD=last", false), "last");
  EXPECT_EQ(ExtractParam("MISSING", list, false), "");
  EXPECT_EQ(ExtractParam("D", list, false), "abc");  // plain-text match inside "UD="
  EXPECT_EQ(ExtractParam("dcs", list, false), "");   // case-sensitive
}

TEST(WideStrings, ConvertUnitByUnitWithoutCodePage) {
  EXPECT_EQ(wstring2string(u"\u263A"), ":");
  EXPECT_EQ(string2wstring("\xE9"), u"\u00E9");
  const std::string bytes("\x00\x7F\x80\xFF", 4);
  EXPECT_EQ(wstring2string(string2wstring(bytes)), bytes);
}
