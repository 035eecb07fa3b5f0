// The web console in a real browser: velquor-server with the demo's
// simulator handset 1, velquor-http serving the console, and a webhook
// receiver of the test's own that answers 500 until it is fixed. The script
// tests/console/console_browser.js drives Debian's chromium through them
// with playwright-core (the keyboard login, the overview, a message sent from
// the form until delivered, the message list, the failing receiver retried,
// the overview without JavaScript) and writes screenshots of the main pages
// into console-screenshots/ of the build tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "accounts/api_account_store.h"
#include "child_process.h"
#include "http_server.h"
#include "platform/service_control.h"
#include "queue_test_support.h"
#include "server_test_support.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The account's webhook receiver. POST /reports records the call and answers
// 500 until POST /fix, then 204; GET /state tells the script, per event id,
// how many calls failed and whether one got through.
class FailingReceiver {
 public:
  struct Call {
    std::int64_t eventId = -1;
    Clock::time_point at;
    bool answeredOk = false;
  };

  FailingReceiver() {
    VelquorHttp::HttpServerOptions options;
    options.port = 0;
    options.threads = 4;
    m_pServer = std::make_unique<VelquorHttp::HttpServer>(
        options, [this](const VelquorHttp::HttpRequest& request) { return Answer(request); });
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_pServer->Port()) + path;
  }
  std::vector<Call> Calls() const {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Calls;
  }
  // When /fix was called; nothing before.
  std::optional<Clock::time_point> FixedAt() const {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    return m_FixedAt;
  }

 private:
  VelquorHttp::HttpResponse Answer(const VelquorHttp::HttpRequest& request) {
    VelquorHttp::HttpResponse response;
    response.contentType = "application/json";
    const std::lock_guard<std::mutex> lock(m_Mutex);
    if (request.path == "/fix") {
      if (!m_FixedAt) m_FixedAt = Clock::now();
      response.body = "{}";
    } else if (request.path == "/state") {
      nlohmann::json events = nlohmann::json::object();
      for (const Call& call : m_Calls) {
        nlohmann::json& event = events[std::to_string(call.eventId)];
        if (!event.contains("failures")) event = {{"failures", 0}, {"delivered", false}};
        if (call.answeredOk)
          event["delivered"] = true;
        else
          event["failures"] = event["failures"].get<int>() + 1;
      }
      response.body = nlohmann::json{{"events", events}, {"fixed", m_FixedAt.has_value()}}.dump();
    } else if (request.path == "/reports") {
      Call call;
      const std::string id = request.Header("x-velquor-event-id");
      call.eventId = id.empty() ? -1 : std::stoll(id);
      call.at = Clock::now();
      call.answeredOk = m_FixedAt.has_value();
      m_Calls.push_back(call);
      response.status = call.answeredOk ? 204 : 500;
      response.body = call.answeredOk ? "" : R"({"error": "the receiver is down"})";
    } else {
      response.status = 404;
    }
    return response;
  }

  mutable std::mutex m_Mutex;
  std::vector<Call> m_Calls;
  std::optional<Clock::time_point> m_FixedAt;
  std::unique_ptr<VelquorHttp::HttpServer> m_pServer;
};

std::string AddAccount(const std::string& name, bool console, const std::string& reportUrl) {
  Norvale::CApiAccount account;
  account.sName = name;
  account.bConsole = console;
  account.sReportUrl = reportUrl;
  return Norvale::CApiAccountStore().Add(account);
}

TEST(ConsoleBrowser, OperatorSeesSendsFindsAndRetriesInChromium) {
  ASSERT_TRUE(std::filesystem::exists(CHROMIUM))
      << CHROMIUM << " is missing: bash scripts/setup.sh installs Debian's chromium";
  ASSERT_TRUE(std::filesystem::exists(VELQUOR_SOURCE_DIR "/tests/console/node_modules/playwright-core"))
      << "tests/console has no playwright-core: bash scripts/setup.sh installs it";

  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  TestSupport::EngineRoot root(db.Dsn());
  // Handset 1 as scripts/demo.sh configures it: 0.3 s per message, the
  // report 1.5 s later, every message echoed back.
  root.AddSimulator(
      1, {{"Latency", "300"}, {"ReportDelay", "1500"}, {"AutoReply", "echo"}, {"ReplyDelay", "800"}, {"Seed", "1"}});
  Norvale::OS::ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
  TestSupport::ServerProcess engine(root);
  ASSERT_TRUE(engine.StartAndWait()) << engine.Errors();

  FailingReceiver receiver;
  const std::string key = AddAccount("operator", true, receiver.Url("/reports"));
  // An account without the console flag: its right key does not log in.
  const std::string otherKey = AddAccount("shop", false, "");

  TestSupport::ChildProcess daemon({VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
  const std::string marker = "listening on 127.0.0.1:";
  ASSERT_TRUE(daemon.WaitForOutput(marker, 20s)) << daemon.Output();
  const std::string output = daemon.Output();
  const int port = std::stoi(output.substr(output.find(marker) + marker.size()));

  const std::string screenshots = VELQUOR_CONSOLE_SCREENSHOTS;
  std::filesystem::create_directories(screenshots);
  for (const auto& [name, value] :
       std::map<std::string, std::string>{{"CONSOLE_URL", "http://127.0.0.1:" + std::to_string(port)},
                                          {"CONSOLE_ACCOUNT", "operator"},
                                          {"CONSOLE_KEY", key},
                                          {"OTHER_ACCOUNT", "shop"},
                                          {"OTHER_KEY", otherKey},
                                          {"RECEIVER_URL", receiver.Url("")},
                                          {"SEND_TO", "+4915112345678"},
                                          {"SCREENSHOT_DIR", screenshots},
                                          {"CHROMIUM", CHROMIUM}})
    setenv(name.c_str(), value.c_str(), 1);
  TestSupport::ChildProcess browser({"/usr/bin/env", "node", VELQUOR_SOURCE_DIR "/tests/console/console_browser.js"});
  // The script bounds each of its waits; this bounds the whole.
  const int status = browser.Wait(300s);
  const std::string said = browser.Output();
  std::cout << said;
  ASSERT_EQ(status, 0) << said << "\nvelquor-http:\n" << daemon.Output() << "\nengine:\n" << engine.Errors();
  EXPECT_NE(said.find("console browser test: every scenario passed"), std::string::npos);
  std::cout << "screenshots of the console in " << screenshots << "\n";

  // The retry came from the button, not from the back-off: each report got
  // through after the receiver was fixed, sooner after its last failure than
  // the pause that failure set (at least 0.5 s doubled for each failure
  // after the first).
  const std::optional<Clock::time_point> fixed = receiver.FixedAt();
  ASSERT_TRUE(fixed.has_value());
  std::map<std::int64_t, std::vector<FailingReceiver::Call>> byEvent;
  for (const FailingReceiver::Call& call : receiver.Calls()) byEvent[call.eventId].push_back(call);
  ASSERT_FALSE(byEvent.empty());
  for (const auto& [event, calls] : byEvent) {
    const auto success =
        std::find_if(calls.begin(), calls.end(), [](const FailingReceiver::Call& c) { return c.answeredOk; });
    ASSERT_NE(success, calls.end()) << "event " << event << " never got through";
    const auto failures = static_cast<int>(success - calls.begin());
    ASSERT_GE(failures, 5) << "event " << event;
    EXPECT_GE(success->at, *fixed);
    const auto gap = success->at - (success - 1)->at;
    EXPECT_LT(gap, 500ms * (1 << (failures - 1)))
        << "event " << event << ": called " << std::chrono::duration<double>(gap).count()
        << " s after its last failure, as the back-off would have";
  }
}

}  // namespace
