#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "client_test_support.h"
#include "engine_test_support.h"
#include "expect_com_error.h"
#include "norvale/velquor.h"
#include "platform/event_log.h"
#include "platform/tick_count.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

std::string Outbox(std::int32_t id) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\TestEngine\\Outbox", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return "";
  char data[1000];
  DWORD size = sizeof data;
  const LONG rc =
      RegQueryValueExA(key, std::to_string(id).c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? std::string(data, size) : "";
}

class VelquorEnginePath : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(RegistryRootDirectory());
    std::filesystem::remove_all(TestSupport::Root() + "/run");
    TestSupport::WriteClientConfig("sqlite:/nonexistent/never-opened.db", false, false);
  }
  void TearDown() override { VirtualTime::Disable(); }
};

}  // namespace

TEST_F(VelquorEnginePath, SendsAndStatusGoToTheEngine) {
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  Velquor velquor;
  velquor.SetActiveHandset(hsHandset2);
  const std::int32_t id = velquor.SendMsg(std::string(55, '1'), "Hello", 0);
  EXPECT_EQ(Outbox(id), std::string(50, '1') + "\tHello\t1\t2");
  const std::int32_t unicode = velquor.SendMsgUnicodeMessage("+1", "\xC3\xA9", 0);
  EXPECT_EQ(Outbox(unicode), "+1\t00E9\t2\t2");
  const std::int32_t data = velquor.SendDataMessage("+1", 4, "AB", "01", 0);
  EXPECT_EQ(Outbox(data), "+1\tDCS=04;UDH=01;UD=AB\t3\t2");
  TestSupport::SetScript("SendStatus", "7");
  EXPECT_EQ(velquor.GetSendStatus(id), jsErrTimeout);
  EXPECT_EQ(velquor.SendMsg("+1", "final at once", -1), id + 3);  // a final status ends the wait at once
  TestSupport::SetScript("FailHResult", "80004005");
  TestSupport::SetScript("FailDescription", "modem on fire");
  EXPECT_COM_ERROR(velquor.SendMsg("+1", "x", 0), E_FAIL, "modem on fire");
}

TEST_F(VelquorEnginePath, GetMsgWaitsAtLeastFifteenSecondsForTheEngine) {
  TestSupport::EngineProcess engine;
  Velquor velquor;
  TestSupport::HoldMessage("0001", "+44\tDCS=F5;UDH=;UD=0102\t3\t4\tstamp");
  TestSupport::HoldMessage("0002", "+45\tplain LOUD=3\t1\t4\tstamp");
  auto m = velquor.GetMsg(0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->GetMessage(), "0102");
  EXPECT_EQ(m->GetDataCodingScheme(), 245);
  EXPECT_EQ(m->GetHandset(), 4);
  m = velquor.GetMsg(0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->GetMessage(), "plain LOUD=3");
  VirtualTime::Enable(0xFFFFFFFFu - 5000u);  // wraps during the wait
  const DWORD start = GetTickCount();
  EXPECT_EQ(velquor.GetMsg(0), nullptr);
  const DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 15000u);
  EXPECT_LT(waited, 17000u);
}

TEST_F(VelquorEnginePath, EngineDownTextsReachTheCaller) {
  TestSupport::RegisterTestEngine();  // installed, not running
  Velquor velquor;
  auto description = [](auto&& f) {
    try {
      f();
    } catch (const _com_error& e) {
      return e.DescriptionA();
    }
    return std::string("nothing raised");
  };
  EXPECT_EQ(description([&] { velquor.SendMsg("+1", "x", 0); }),
            "Cannot send non-queued message (Velquor Engine not running)");
  EXPECT_EQ(description([&] { velquor.SendDataMessage("+1", 0, "AA", "", 0); }),
            "Cannot send non-queued message (Velquor Engine not running)");
  EXPECT_EQ(description([&] { velquor.GetSendStatus(3); }),
            "Cannot get status non-queued message (Velquor Engine not running)");
  VirtualTime::Enable(0);
  EXPECT_EQ(velquor.GetMsg(0), nullptr);  // not running: nothing, after the minimum wait
  EXPECT_GE(GetTickCount(), 15000u);
  const DWORD before = GetTickCount();
  EXPECT_EQ(velquor.GetNotification(0), nullptr);  // never asks the engine
  EXPECT_EQ(GetTickCount(), before);
}

// The engine accepted the message, then went away during the wait for its
// outcome: the caller gets the identifier, and the log says what happened.
TEST_F(VelquorEnginePath, EngineLostDuringTheStatusWaitKeepsTheIdentifier) {
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  TestSupport::SetScript("SendStatus", "0");  // pending: the send goes on waiting
  Velquor velquor;
  EventLogCapture capture;
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // after the first status query
    engine.Kill();
  });
  std::int32_t id = 0;
  EXPECT_NO_THROW(id = velquor.SendMsg("+1", "accepted", 20000));
  killer.join();
  EXPECT_EQ(Outbox(id), "+1\taccepted\t1\t0");
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_NE(records[0].text.find("Function: CVelquorClientCore::SendSMS"), std::string::npos) << records[0].text;
  EXPECT_NE(records[1].text.find("Message " + std::to_string(id) + " was accepted"), std::string::npos)
      << records[1].text;
}

// The engine gets whole characters, and broken text never reaches it: the
// same error as on the queue path.
TEST_F(VelquorEnginePath, NumbersAreCutAtCharactersAndBrokenTextIsRefusedByName) {
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  Velquor velquor;
  const std::string number = std::string(49, '1') + "\xE2\x82\xAC";
  const std::int32_t id = velquor.SendMsg(number + "22", "x", 0);
  EXPECT_EQ(Outbox(id), number + "\tx\t1\t0");
  EXPECT_COM_ERROR(velquor.SendMsg("+1", "caf\xC3", 0), E_INVALIDARG, "The message text is not valid UTF-8");
  EXPECT_COM_ERROR(velquor.SendDataMessage(std::string("+1\0002", 4), 0, "AB", "", 0), E_INVALIDARG,
                   "The phone number contains a NUL character");
  EXPECT_EQ(Outbox(id + 1), "");  // nothing more reached the engine
}
