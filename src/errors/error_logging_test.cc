#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "errors/handler_ladder.h"
#include "platform/com_ptr.h"
#include "platform/error_info.h"
#include "platform/event_log.h"
#include "util/mutex.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

std::vector<std::string> Texts(const EventLogCapture& c) {
  std::vector<std::string> out;
  for (const auto& r : c.Records()) out.push_back(r.text);
  return out;
}

}  // namespace

TEST(ErrorLogging, SourceDefaultsToVelquorServer) {
  EXPECT_EQ(GetErrorLogModule(), "VelquorServer");
  SetErrorLogModule("Other");
  EXPECT_EQ(GetErrorLogModule(), "Other");
  SetErrorLogModule("");
  EXPECT_EQ(GetErrorLogModule(), "VelquorServer");
}

TEST(ErrorLogging, RecordTextsAreExact) {
  EventLogCapture capture;
  LogComError(_com_error(E_FAIL), "F1");
  try {
    RAISE_COM_ERROR(E_ACCESSDENIED, "denied");
  } catch (const _com_error& e) {
    LogComError(e, "F2");
  }
  LogCommsException(CCommsException("line down", E_FAIL), "F3");
  LogGeneralException(CGeneralException("", E_POINTER), "F4");
  LogTAPIException(CTAPIException("Line busy", 26, 72), "F5");
  LogSTLException(std::runtime_error("boom"), "F6");
  LogUnrecogniedException("F7");
  LoggingDisabled("F8");
  LoggingReEnabled("F9");
  LogEvent(EVENTLOG_WARNING_TYPE, "F10", "text");
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 10u);
  const std::vector<std::string> expected = {
      "COM Exception raised\nFunction: F1\nDescription: No description available\nHResult: -2147467259",
      "COM Exception raised\nFunction: F2\nDescription: denied\nHResult: -2147024891",
      "Comms  Exception raised\nFunction: F3\nDescription: line down\nHResult: -2147467259",
      "General  Exception raised\nFunction: F4\nDescription: No description available\nHResult: -2147467261",
      "TAPI  Exception raised\nFunction: F5\nDescription: Line busy (TAPI Result Code: 0x48, TAPI Error: "
      "1a)\nHResult: -2147467259",
      "Standard Exception raised\nFunction: F6\nDescription: boom",
      "Unrecognised Exception raised\nFunction: F7",
      "Too many repeated errors - Logging from this function temporarily disabled\nFunction: F8",
      "Logging from this function has been re-enabled\nFunction: F9",
      "Function: F10\nDescription: text",
  };
  EXPECT_EQ(Texts(capture), expected);
  // Each kind of record has its own event id, hence its own MESSAGE_ID in
  // the journal.
  const std::vector<DWORD> kinds = {
      EVENT_COM_ERROR, EVENT_COM_ERROR, EVENT_EXCEPTION,          EVENT_EXCEPTION,       EVENT_EXCEPTION,
      EVENT_EXCEPTION, EVENT_EXCEPTION, EVENT_LOGGING_SUPPRESSED, EVENT_LOGGING_RESUMED, EVENT_FUNCTION_REPORT};
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].source, "VelquorServer");
    EXPECT_EQ(records[i].category, 0);
    EXPECT_EQ(records[i].eventId, kinds[i]) << i;
    EXPECT_EQ(records[i].type, i >= 7 ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE) << i;
  }
}

TEST(ErrorLogging, LogEventWithErrorInfoAppendsTheThreadsDescription) {
  EventLogCapture capture;
  CEventLogger::LogEventWithErrorInfo(EVENTLOG_ERROR_TYPE, "ctx", "Src");
  _com_ptr_t<ICreateErrorInfo> create;
  CreateErrorInfo(create.ReleaseAndGetAddressOf());
  create->SetDescription(u"thread error");
  _com_ptr_t<IErrorInfo> info(create);
  SetErrorInfo(0, info.GetInterfacePtr());
  CEventLogger::LogEventWithErrorInfo(EVENTLOG_ERROR_TYPE, "ctx", "Src");
  EXPECT_EQ(Texts(capture),
            (std::vector<std::string>{"ctx - Error information was not available", "ctx - thread error"}));
  EXPECT_EQ(capture.Records()[0].source, "Src");
}

TEST(ErrorLogging, RethrowFunctionsRaiseComErrorsWithContext) {
  try {
    try {
      RAISE_COM_ERROR(E_INVALIDARG, "inner");
    } catch (const _com_error& e) {
      RethrowComError(e, "Ctx");
    }
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_INVALIDARG);
    EXPECT_EQ(e.DescriptionA(), "COM exception thrown (Context:Ctx) - inner");
  }
  try {
    RethrowSTLException(std::logic_error("bad"), "Ctx");
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.DescriptionA(), "Standard exception thrown (Context:Ctx, Description:bad)");
  }
  try {
    RethrowUnrecognizedException("Ctx");
  } catch (const _com_error& e) {
    EXPECT_EQ(e.DescriptionA(), "Unknown exception thrown (Context:Ctx)");
  }
}

TEST(HandlerLadder, LogsEachFailureUnderItsMostSpecificType) {
  EventLogCapture capture;
  RunGuarded("S", [] { RAISE_COM_ERROR(E_FAIL, "c"); });
  RunGuarded("S", [] { throw CCommsException("x", E_FAIL); });
  RunGuarded("S", [] { throw CProtocolException("x", E_FAIL, 1); });
  RunGuarded("S", [] { throw CTAPIException("x", 0, 0); });
  RunGuarded("S", [] { throw CHTTPException("x", E_FAIL); });
  RunGuarded("S", [] { throw std::out_of_range("x"); });
  RunGuarded("S", [] { throw 42; });
  RunGuarded("S", [] {});
  std::vector<std::string> starts;
  for (const auto& t : Texts(capture)) starts.push_back(t.substr(0, t.find('\n')));
  EXPECT_EQ(starts,
            (std::vector<std::string>{"COM Exception raised", "Comms  Exception raised", "Protocol  Exception raised",
                                      "TAPI  Exception raised", "General  Exception raised",
                                      "Standard Exception raised", "Unrecognised Exception raised"}));
}

TEST(CRepeatThrottle, TenRecordsOneWarningSilenceAndOneReenabledWarning) {
  EventLogCapture capture;
  CRepeatThrottle throttle;
  auto fail = [] { throw std::runtime_error("db down"); };
  for (int i = 0; i < 10; ++i) throttle.Run("Poll", fail);
  EXPECT_EQ(capture.Records().size(), 10u);
  throttle.Run("Poll", fail);
  ASSERT_EQ(capture.Records().size(), 11u);
  EXPECT_EQ(capture.Records()[10].type, EVENTLOG_WARNING_TYPE);
  for (int i = 0; i < 5; ++i) throttle.Run("Poll", fail);
  EXPECT_EQ(capture.Records().size(), 11u);
  throttle.Run("Poll", [] {});
  ASSERT_EQ(capture.Records().size(), 12u);
  EXPECT_EQ(capture.Records()[11].text, "Logging from this function has been re-enabled\nFunction: Poll");
  throttle.Run("Poll", [] {});
  EXPECT_EQ(capture.Records().size(), 12u);

  capture.Clear();
  for (int i = 0; i < 5; ++i) throttle.Run("Poll", fail);
  throttle.Run("Poll", [] {});
  EXPECT_EQ(capture.Records().size(), 5u);  // no warning after five
  EXPECT_EQ(throttle.Count(), 0);
}

TEST(EventLog, FileSinkWritesOneJsonObjectPerRecord) {
  const std::string path = std::string(getenv("NORVALE_ROOT")) + "/events.jsonl";
  setenv("NORVALE_EVENTLOG", ("file:" + path).c_str(), 1);
  LogComError(_com_error(E_FAIL), "Velquor::SendMsg");
  std::thread([] { LoggingDisabled("other thread \xC3\xA9"); }).join();
  setenv("NORVALE_EVENTLOG", "none", 1);
  std::ifstream in(path);
  std::string line;
  std::vector<nlohmann::json> lines;
  while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["source"], "VelquorServer");
  EXPECT_EQ(lines[0]["type"], 1);
  EXPECT_EQ(lines[0]["category"], 0);
  EXPECT_EQ(lines[0]["event_id"], EVENT_COM_ERROR);
  EXPECT_EQ(lines[0]["text"],
            "COM Exception raised\nFunction: Velquor::SendMsg\nDescription: No description available\nHResult: "
            "-2147467259");
  EXPECT_TRUE(lines[0]["time"].is_string());
  EXPECT_EQ(lines[1]["type"], 2);
}

TEST(EventLog, HandlesFollowWin32Results) {
  EXPECT_EQ(RegisterEventSourceA("remote", "S"), nullptr);
  EXPECT_EQ(RegisterEventSourceA(nullptr, nullptr), nullptr);
  const HANDLE h = RegisterEventSourceA(nullptr, "S");
  ASSERT_NE(h, nullptr);
  LPCSTR strings[2] = {"a", "b"};
  EventLogCapture capture;
  EXPECT_TRUE(ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 3, 7, nullptr, 2, 0, strings, nullptr));
  EXPECT_TRUE(DeregisterEventSource(h));
  EXPECT_FALSE(DeregisterEventSource(h));
  EXPECT_FALSE(ReportEventA(h, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr));
  ASSERT_EQ(capture.Records().size(), 1u);
  EXPECT_EQ(capture.Records()[0].text, "a\nb");
  EXPECT_EQ(capture.Records()[0].category, 3);
  EXPECT_EQ(capture.Records()[0].eventId, 7u);
}

TEST(CMutexLock, LogsAFailedWaitAndTheNeedlessRelease) {
  CMutex mutex;
  EventLogCapture capture;
  std::thread holder;
  std::promise<void> taken, release;
  holder = std::thread([&] {
    CMutexLock lock(&mutex, nullptr, "", INFINITE, false);
    taken.set_value();
    release.get_future().wait();
  });
  taken.get_future().wait();
  {
    CMutexLock lock(&mutex, nullptr, "Ctx", 0, true);
    EXPECT_FALSE(lock.Obtained());
  }
  release.set_value();
  holder.join();
  EXPECT_EQ(Texts(capture),
            (std::vector<std::string>{
                "Ctx - CMutexLock::CMutexLock - Unable to obtain mutex in the given timeout",
                "Ctx - CMutexLock::~CMutexLock - Mutex release was unnecessary as was mutex was never obtained"}));
}
