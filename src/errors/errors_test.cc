#include <gtest/gtest.h>

#include "errors/com_error_raise.h"
#include "errors/general_exception.h"
#include "errors/managed_boundary.h"
#include "platform/bstr.h"
#include "platform/error_info.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

_com_error Caught(void (*raise)()) {
  try {
    raise();
  } catch (const _com_error& e) {
    return e;
  }
  ADD_FAILURE() << "nothing raised";
  return _com_error(S_OK);
}

}  // namespace

TEST(CTAPIException, DescribesItselfWithHexadecimalCodes) {
  const CTAPIException busy("Line busy", 26, 72);
  EXPECT_EQ(busy.GetDescription(), "Line busy (TAPI Result Code: 0x48, TAPI Error: 1a)");
  EXPECT_STREQ(busy.what(), "Line busy");  // only GetDescription adds detail
  EXPECT_EQ(busy.GetHResult(), static_cast<HRESULT>(0x80004005u));
  EXPECT_EQ(CTAPIException("x", 0, 0).GetDescription(), "x (TAPI Result Code: 0x0, TAPI Error: 0)");
  EXPECT_EQ(CTAPIException("n", 0, -1).GetDescription(), "n (TAPI Result Code: 0xffffffff, TAPI Error: 0)");
  const CGeneralException& base = busy;  // virtual through the base
  EXPECT_EQ(base.GetDescription(), busy.GetDescription());
}

TEST(CGeneralException, SubclassesKeepThePlainDescription) {
  const CProtocolException p("proto", E_INVALIDARG, 7);
  const CCommsException c("comms", E_FAIL);
  const CHTTPException h("http", E_POINTER);
  for (const CGeneralException* e : std::initializer_list<const CGeneralException*>{&p, &c, &h}) {
    EXPECT_EQ(e->GetDescription(), e->what());
  }
  EXPECT_EQ(p.GetProtocolError(), 7u);
  EXPECT_EQ(p.GetHResult(), E_INVALIDARG);
}

TEST(RaiseComError, CarriesDescriptionWithoutTouchingThreadErrorInfo) {
  const _com_error e = Caught([] { RAISE_COM_ERROR(E_INVALIDARG, "bad \xC3\xA9 thing"); });
  EXPECT_EQ(e.Error(), E_INVALIDARG);
  EXPECT_EQ(e.DescriptionA(), "bad \xC3\xA9 thing");
  IErrorInfo* thread = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &thread), S_FALSE);
}

TEST(RaiseComError, WithoutErrorObjectRaisesTheBareHresult) {
  SetCreateErrorInfoFailureForTesting(E_OUTOFMEMORY);
  const _com_error e = Caught([] { RAISE_COM_ERROR(E_ACCESSDENIED, "lost"); });
  SetCreateErrorInfoFailureForTesting(S_OK);
  EXPECT_EQ(e.Error(), E_ACCESSDENIED);
  EXPECT_FALSE(e.Description().has_value());
}

TEST(RethrowComError, PutsTheContextInFront) {
  const _com_error joined = Caught([] {
    try {
      RAISE_COM_ERROR(E_ACCESSDENIED, "inner");
    } catch (const _com_error& e) {
      RETHROW_COM_ERROR(e, u"outer");
    }
  });
  EXPECT_EQ(joined.Error(), E_ACCESSDENIED);
  EXPECT_EQ(joined.DescriptionA(), "outer - inner");
  EXPECT_EQ(Caught([] { RETHROW_COM_ERROR(_com_error(E_FAIL), u"ctx"); }).DescriptionA(),
            "ctx - Error description was not available");
  EXPECT_EQ(Caught([] {
              try {
                RAISE_COM_ERROR(E_FAIL, "old");
              } catch (const _com_error& e) {
                RETHROW_COM_ERROR(e, u"");
              }
            }).DescriptionA(),
            " - old");
}

TEST(ManagedBoundary, TranslatesBothNativeFamiliesAndPassesComErrors) {
  try {
    TranslateNativeFailures([] { throw CGeneralException("x", E_FAIL); });
    FAIL();
  } catch (const Norvale::Exception& e) {
    EXPECT_STREQ(e.what(), "CGeneralException(Description:x,HRESULT=-2147467259)");
  }
  try {
    TranslateNativeFailures([] { throw CTAPIException("Line busy", 26, 72); });
    FAIL();
  } catch (const Norvale::Exception& e) {
    EXPECT_STREQ(
        e.what(),
        "CGeneralException(Description:Line busy (TAPI Result Code: 0x48, TAPI Error: 1a),HRESULT=-2147467259)");
  }
  try {
    TranslateNativeFailures([] { throw std::length_error("T"); });
    FAIL();
  } catch (const Norvale::Exception& e) {
    EXPECT_STREQ(e.what(), "STL exception (Description:T)");
  }
  EXPECT_THROW(TranslateNativeFailures([] { RAISE_COM_ERROR(E_FAIL, "com"); }), _com_error);
  EXPECT_EQ(TranslateNativeFailures([] { return 5; }), 5);
}
