#include <gtest/gtest.h>

#include "expect_com_error.h"
#include "platform/variant.h"

using namespace Norvale::OS;

namespace {

HRESULT Convert(const _variant_t& in, VARTYPE vt, _variant_t* out) { return VariantChangeType(out, &in, 0, vt); }

}  // namespace

TEST(Variant, NullConvertsOnlyToNullAndEmpty) {
  const _variant_t null = _variant_t::Null();
  _variant_t out(LONG{7});
  for (VARTYPE vt : {VT_I2, VT_I4, VT_I8, VT_R8, VT_BOOL, VT_BSTR}) {
    EXPECT_EQ(Convert(null, vt, &out), DISP_E_TYPEMISMATCH) << vt;
    EXPECT_EQ(out.vt, VT_I4);  // the destination is left alone on failure
    EXPECT_EQ(out.lVal, 7);
  }
  EXPECT_EQ(Convert(null, VT_NULL, &out), S_OK);
  EXPECT_EQ(out.vt, VT_NULL);
}

TEST(Variant, NumbersHeldAsTextConvert) {
  EXPECT_EQ(_variant_t(" 42 ").ToLong(), 42);
  EXPECT_EQ(_variant_t("-17").ToLong(), -17);
  EXPECT_EQ(_variant_t("2.5").ToLong(), 2);  // half to even
  EXPECT_EQ(_variant_t("3.5").ToLong(), 4);
  EXPECT_EQ(_variant_t("-2.5").ToLong(), -2);
  EXPECT_EQ(_variant_t("1e3").ToLong(), 1000);
  EXPECT_DOUBLE_EQ(_variant_t("0.25").ToDouble(), 0.25);
  EXPECT_EQ(_variant_t("9223372036854775807").ToLongLong(), INT64_MAX);
  EXPECT_EQ(_variant_t(LONG{42}).ToString(), "42");
  EXPECT_EQ(_variant_t(LONGLONG{-5000000000}).ToString(), "-5000000000");
  EXPECT_EQ(_variant_t(0.1).ToString(), "0.1");
  EXPECT_EQ(_variant_t(1e20).ToString(), "1E+20");
  EXPECT_EQ(_variant_t(true).ToString(), "-1");
  EXPECT_EQ(_variant_t(true).ToLong(), -1);
  EXPECT_EQ(_variant_t().ToLong(), 0);
  EXPECT_EQ(_variant_t().ToString(), "");
  _variant_t b;
  const _variant_t t(true);
  ASSERT_EQ(VariantChangeType(&b, &t, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(_variant_t(b).ToString(), "True");
}

TEST(Variant, TextThatIsNoNumberIsATypeMismatch) {
  _variant_t out;
  for (const char* text : {"", "abc", "12abc", "1.2.3", "--1", "0x10", "1e"}) {
    EXPECT_EQ(Convert(_variant_t(text), VT_I4, &out), DISP_E_TYPEMISMATCH) << text;
  }
  EXPECT_COM_ERROR((void)_variant_t("seven").ToLong(), DISP_E_TYPEMISMATCH);
}

TEST(Variant, OutOfRangeValuesOverflow) {
  _variant_t out;
  EXPECT_EQ(Convert(_variant_t(LONGLONG{2147483648}), VT_I4, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(_variant_t(LONGLONG{-2147483649}), VT_I4, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(_variant_t(LONGLONG{2147483647}), VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 2147483647);
  EXPECT_EQ(Convert(_variant_t(LONG{40000}), VT_I2, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(_variant_t("99999999999999999999"), VT_I8, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(_variant_t(1e300), VT_I8, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(_variant_t("1e999"), VT_R8, &out), DISP_E_OVERFLOW);
}

TEST(Variant, CopyAndClearOwnTheirText) {
  _variant_t a("text");
  _variant_t b = a;
  EXPECT_NE(a.bstrVal, b.bstrVal);
  EXPECT_EQ(b.ToString(), "text");
  VariantClear(&a);
  EXPECT_EQ(a.vt, VT_EMPTY);
  EXPECT_EQ(b.ToString(), "text");
  b.ChangeType(VT_BSTR);  // in place, same type
  EXPECT_EQ(b.ToString(), "text");
  _variant_t n("12");
  n.ChangeType(VT_I4);  // in place: the old text is freed
  EXPECT_EQ(n.vt, VT_I4);
  EXPECT_EQ(n.lVal, 12);
}
