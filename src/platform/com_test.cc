#include <gtest/gtest.h>

#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/com_ptr.h"
#include "platform/com_runtime.h"
#include "platform/error_info.h"
#include "platform/guid.h"

using namespace Norvale::OS;

namespace {

struct ICounter : IUnknown {
  static constexpr IID kIID = MakeGuid("{6B1E0A52-3C1D-4E0F-9A8B-7C6D5E4F3A21}");
  virtual int Next() = 0;
};

int g_destroyed = 0;

class CCounter : public ComObject<CCounter, ICounter> {
 public:
  int Next() override { return ++m_n; }
  ~CCounter() override { ++g_destroyed; }

 private:
  int m_n = 0;
};

class CCounterFactory : public ComObject<CCounterFactory, IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    ICounter* c = CCounter::Create();
    const HRESULT hr = c->QueryInterface(riid, ppv);
    c->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

constexpr CLSID kCounterClass = MakeGuid("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");

}  // namespace

TEST(Guid, TextRoundTripsAndRejectsMalformedText) {
  constexpr GUID g = MakeGuid("{ae9f03bf-4d34-4b2b-b461-1e02e5850451}");
  EXPECT_EQ(GuidToString(g), "{AE9F03BF-4D34-4B2B-B461-1E02E5850451}");
  GUID parsed{};
  ASSERT_EQ(GuidFromString(GuidToString(g), &parsed), S_OK);
  EXPECT_EQ(parsed, g);
  EXPECT_EQ(parsed.Data4[7], 0x51);
  GUID untouched = g;
  for (const char* bad : {"", "AE9F03BF-4D34-4B2B-B461-1E02E5850451", "{AE9F03BF-4D34-4B2B-B461-1E02E585045}",
                          "{AE9F03BF-4D34-4B2B-B461+1E02E5850451}", "{AE9F03BG-4D34-4B2B-B461-1E02E5850451}"}) {
    EXPECT_EQ(GuidFromString(bad, &untouched), E_INVALIDARG) << bad;
    EXPECT_EQ(untouched, g);
  }
}

TEST(ComObject, CountReachesZeroExactlyOnce) {
  g_destroyed = 0;
  ICounter* raw = CCounter::Create();
  {
    _com_ptr_t<ICounter> a(raw, false);
    _com_ptr_t<ICounter> b = a;
    _com_ptr_t<IUnknown> unk(a);  // QueryInterface
    ASSERT_TRUE(unk);
    _com_ptr_t<ICounter> back(unk);
    EXPECT_EQ(back->Next(), 1);
    EXPECT_EQ(b->Next(), 2);
    _com_ptr_t<IErrorInfo> none(a);
    EXPECT_FALSE(none);
    EXPECT_EQ(g_destroyed, 0);
  }
  EXPECT_EQ(g_destroyed, 1);
}

TEST(ComRuntime, CreatesRegisteredClassesAndReportsUnregisteredOnes) {
  _com_ptr_t<ICounter> c;
  EXPECT_EQ(c.CreateInstance(kCounterClass), REGDB_E_CLASSNOTREG);
  IClassFactory* factory = CCounterFactory::Create();
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kCounterClass, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  factory->Release();
  ASSERT_EQ(c.CreateInstance(kCounterClass), S_OK);
  EXPECT_EQ(c->Next(), 1);
  _com_ptr_t<IErrorInfo> wrong;
  EXPECT_EQ(wrong.CreateInstance(kCounterClass), E_NOINTERFACE);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  EXPECT_EQ(c.CreateInstance(kCounterClass), REGDB_E_CLASSNOTREG);
}

TEST(Bstr, ConvertsNonAsciiNonBmpAndInvalidText) {
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80";  // Grüße € 😀
  const std::u16string wide = AnsiToWide(text);
  EXPECT_EQ(wide, u"Grüße € \U0001F600");
  EXPECT_EQ(wide.size(), 10u);  // the emoji is a surrogate pair
  EXPECT_EQ(WideToAnsi(wide), text);
  // Invalid UTF-8 is replaced, not refused: a stray continuation byte, a
  // truncated sequence, an overlong form and an encoded surrogate.
  EXPECT_EQ(AnsiToWide("a\x80"
                       "b"),
            u"a\uFFFDb");
  EXPECT_EQ(AnsiToWide("a\xE2\x82"), u"a\uFFFD");
  EXPECT_EQ(AnsiToWide("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(AnsiToWide("\xED\xA0\x80z"), u"\uFFFDz");
  EXPECT_EQ(WideToAnsi(std::u16string(1, char16_t(0xD83D)) + u"x"), "\xEF\xBF\xBDx");

  _bstr_t b(text);
  EXPECT_EQ(SysStringLen(b), 10u);
  EXPECT_EQ(b.narrow(), text);
  BSTR embedded = SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(SysStringLen(embedded), 3u);
  SysFreeString(embedded);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_TRUE(_bstr_t().IsNull());
  EXPECT_FALSE(_bstr_t(u"").IsNull());
}

TEST(ComError, ErrorInformationSurvivesThrowAndCopy) {
  _com_ptr_t<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.ReleaseAndGetAddressOf()), S_OK);
  create->SetDescription(u"disk on fire");
  IErrorInfo* info = nullptr;
  ASSERT_EQ(create->QueryInterface(IErrorInfo::kIID, reinterpret_cast<void**>(&info)), S_OK);
  create = nullptr;
  try {
    try {
      throw _com_error(E_FAIL, info);
    } catch (const _com_error& e) {
      _com_error copy = e;
      _com_error assigned(S_OK);
      assigned = copy;
      throw assigned;
    }
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.Description(), std::u16string(u"disk on fire"));
    EXPECT_EQ(e.DescriptionA(), "disk on fire");
    EXPECT_STREQ(e.ErrorMessage(), "Unspecified error");
    IErrorInfo* again = e.ErrorInfo();
    EXPECT_EQ(again, info);
    again->Release();
  }
  // Absent and empty descriptions differ.
  EXPECT_FALSE(_com_error(E_FAIL).Description().has_value());
  ASSERT_EQ(CreateErrorInfo(create.ReleaseAndGetAddressOf()), S_OK);
  create->SetDescription(u"");
  _com_ptr_t<IErrorInfo> emptyInfo(create);
  const _com_error withEmpty(E_FAIL, emptyInfo.GetInterfacePtr(), true);
  ASSERT_TRUE(withEmpty.Description().has_value());
  EXPECT_TRUE(withEmpty.Description()->empty());
  ASSERT_EQ(CreateErrorInfo(create.ReleaseAndGetAddressOf()), S_OK);
  _com_ptr_t<IErrorInfo> unset(create);
  EXPECT_FALSE(_com_error(E_FAIL, unset.GetInterfacePtr(), true).Description().has_value());
}

TEST(ErrorInfo, ThreadErrorInformationIsHandedOverOnce) {
  IErrorInfo* out = reinterpret_cast<IErrorInfo*>(1);
  EXPECT_EQ(GetErrorInfo(0, &out), S_FALSE);
  EXPECT_EQ(out, nullptr);
  _com_ptr_t<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.ReleaseAndGetAddressOf()), S_OK);
  _com_ptr_t<IErrorInfo> info(create);
  ASSERT_EQ(SetErrorInfo(0, info.GetInterfacePtr()), S_OK);
  ASSERT_EQ(GetErrorInfo(0, &out), S_OK);
  EXPECT_EQ(out, info.GetInterfacePtr());
  out->Release();
  EXPECT_EQ(GetErrorInfo(0, &out), S_FALSE);
}
