#include "server/drivers/simulator/simulator_driver.h"
#include "driver_events_recorder.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

using namespace Norvale;
using namespace std::chrono_literals;

namespace {

using Events = TestSupport::CDriverEventsRecorder;

COutgoingSms Message(long job, const std::string& number, const std::string& text, int part = 1, int parts = 1) {
  const auto p = Sms::SplitText(text, 1);
  return {static_cast<OS::LONG>(job), part, parts, Sms::PhoneNumber::FromText(number), p[0], true, {}};
}

std::vector<int> Outcomes(const CSettingValues& values, int n) {
  CSimulatorDriver driver(1, values);
  Events events;
  driver.Start(&events);
  std::vector<int> outcomes;
  for (int i = 0; i < n; ++i) outcomes.push_back(static_cast<int>(driver.Submit(Message(i, "+1", "x")).eOutcome));
  return outcomes;
}

}  // namespace

TEST(CSimulatorDriver, RepeatsEveryDecisionForOneSeed) {
  const CSettingValues values = {{"Seed", "42"}, {"FailureRate", "50"}};
  const auto first = Outcomes(values, 40);
  EXPECT_EQ(first, Outcomes(values, 40));
  const auto failures = std::count(first.begin(), first.end(), static_cast<int>(ESubmitOutcome::NetworkFailure));
  EXPECT_GT(failures, 5);
  EXPECT_LT(failures, 35);
  CSettingValues other = values;
  other["Seed"] = "43";
  EXPECT_NE(first, Outcomes(other, 40));
}

TEST(CSimulatorDriver, ReportsRepliesAndRefusesInvalidNumbers) {
  CSimulatorDriver driver(2, {{"InvalidNumbers", "^\\+999\\d+$"},
                              {"ReportDelay", "0"},
                              {"ReportFailureRate", "100"},
                              {"ReferenceKind", "text"},
                              {"AutoReply", "echo"},
                              {"ReplyDelay", "0"}});
  Events events;
  driver.Start(&events);
  EXPECT_TRUE(driver.CanReport());
  // The pattern and the reply see the parsed number, without separators.
  const auto invalid = driver.Submit(Message(1, "+999 (12)", "x"));
  EXPECT_EQ(invalid.eOutcome, ESubmitOutcome::InvalidNumber);
  EXPECT_FALSE(invalid.bTemporary);
  const std::string text = std::string(170, 'e');
  const auto parts = Sms::SplitText(text, 9);
  ASSERT_EQ(parts.size(), 2u);
  const auto first = driver.Submit({2, 1, 2, Sms::PhoneNumber::FromText("+44 20"), parts[0], false, {}});
  const auto last = driver.Submit({2, 2, 2, Sms::PhoneNumber::FromText("+44 20"), parts[1], true, {}});
  EXPECT_EQ(first.eOutcome, ESubmitOutcome::Accepted);
  EXPECT_FALSE(first.Reference.bValid);  // no report asked for this part
  ASSERT_TRUE(last.Reference.bValid);
  EXPECT_TRUE(last.Reference.bText);
  ASSERT_TRUE(events.WaitFor(2, 1));
  EXPECT_EQ(events.reports[0].Reference.sText, last.Reference.sText);
  EXPECT_FALSE(events.reports[0].bDelivered);
  EXPECT_EQ(events.messages[0].sSender, "+4420");  // the whole text comes back in two parts
  EXPECT_EQ(Sms::PartsToUtf8(std::vector{events.messages[0].Part, events.messages[1].Part}), text);
  const CDriverState state = driver.GetState();
  EXPECT_TRUE(state.bConnected);
  EXPECT_EQ(state.nSignal, 80);
  driver.Stop();
  EXPECT_FALSE(driver.GetState().bConnected);
  EXPECT_TRUE(driver.Submit(Message(3, "+1", "x")).bTemporary);
}

TEST(CSimulatorDriver, StopEndsASubmissionThatWaitsForItsLatency) {
  CSimulatorDriver driver(1, {{"Latency", "600000"}});
  Events events;
  driver.Start(&events);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    driver.Stop();
  });
  const auto result = driver.Submit(Message(1, "+1", "x"));
  stopper.join();
  EXPECT_EQ(result.eOutcome, ESubmitOutcome::NetworkFailure);
  EXPECT_TRUE(result.bTemporary);
}

TEST(CSimulatorDriver, RejectsMalformedSettingsByName) {
  const std::pair<CSettingValues, const char*> bad[] = {
      {{{"Latency", "fast"}}, "Handsets\\1\\Latency: 'fast' is not a whole number"},
      {{{"FailureRate", "101"}}, "FailureRate: 101 is out of range"},
      {{{"InvalidNumbers", "(("}}, "InvalidNumbers: '((' is not a valid pattern"},
      {{{"ReferenceKind", "emoji"}}, "ReferenceKind: 'emoji' is neither number nor text"},
      {{{"Reports", "yes"}}, "Reports: 'yes' is neither 1 nor 0"},
      {{{"SubmitLog", "/nonexistent/dir/log"}}, "SubmitLog: cannot open"},
  };
  for (const auto& [values, text] : bad) {
    try {
      CSimulatorDriver driver(1, values);
      ADD_FAILURE() << text;
    } catch (const OS::_com_error& e) {
      EXPECT_NE(e.DescriptionA().find(text), std::string::npos) << e.DescriptionA();
    }
  }
}

TEST(CSimulatorDriver, KeepsToItsThroughputLimit) {
  CSimulatorDriver driver(1, {{"MaxPerSecond", "20"}});
  Events events;
  driver.Start(&events);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(driver.Submit(Message(i, "+1", "x")).eOutcome, ESubmitOutcome::Accepted);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);  // four gaps of 50 ms at least
}

// With a window the simulator answers from its own thread after its latency;
// what is still in flight when it stops ends as a lost connection, once.
TEST(CSimulatorDriver, AnswersAWindowOfPartsFromItsOwnThread) {
  struct Answers {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<CSubmitResult> results;
    std::vector<std::thread::id> threads;
    SubmitCompletion Completion() {
      return [this](CSubmitResult r) {
        std::lock_guard guard(lock);
        results.push_back(std::move(r));
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
      };
    }
    bool WaitFor(size_t n) {
      std::unique_lock l(lock);
      return changed.wait_for(l, 10s, [&] { return results.size() >= n; });
    }
  };
  {
    CSimulatorDriver driver(1, {{"Window", "3"}, {"Latency", "50"}, {"Reports", "0"}});
    EXPECT_EQ(driver.Window(), 3);
    Events events;
    driver.Start(&events);
    Answers answers;
    for (int i = 0; i < 3; ++i) driver.SubmitAsync(Message(i, "+1", "x"), answers.Completion());
    ASSERT_TRUE(answers.WaitFor(3));
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(answers.results[i].eOutcome, ESubmitOutcome::Accepted);
      EXPECT_NE(answers.threads[i], std::this_thread::get_id());
    }
  }
  CSimulatorDriver driver(1, {{"Window", "3"}, {"Latency", "600000"}});
  Events events;
  driver.Start(&events);
  Answers answers;
  for (int i = 0; i < 3; ++i) driver.SubmitAsync(Message(i, "+1", "x"), answers.Completion());
  driver.Stop();
  ASSERT_EQ(answers.results.size(), 3u);  // all of them, before Stop returned
  for (const auto& r : answers.results) EXPECT_TRUE(r.bLinkLost);
  driver.SubmitAsync(Message(4, "+1", "x"), answers.Completion());  // stopped: answered at once
  ASSERT_EQ(answers.results.size(), 4u);
  EXPECT_TRUE(answers.results[3].bTemporary);
}
