// CSimulatorDriver: a mobile network inside the engine, for demos and tests.
// It accepts messages after a configurable latency, fails some of them (a
// share at random, temporarily; numbers matching a pattern as invalid),
// sends delivery reports after a delay (delivered, or failed at a given
// rate), answers a message with an echo or a fixed reply (split into
// concatenated parts when long), and limits its throughput. With a seed
// every decision repeats from run to run.
//
// Values of its Handsets\<n> key (docs/engine.md):
//   Latency            ms each submission takes (0)
//   FailureRate        percent of submissions failing temporarily (0)
//   InvalidNumbers     ECMAScript pattern; matching numbers are invalid ("")
//   Reports            1: the network gives delivery reports (1)
//   ReportDelay        ms from acceptance to the report (1000)
//   ReportFailureRate  percent of reports saying "not delivered" (0)
//   ReferenceKind      number | text: the kind of network reference (number)
//   AutoReply          "" none, "echo" the message back, else this text ("")
//   ReplyDelay         ms from acceptance to the reply (500)
//   LoseReplyPart      n > 0: part n of every multi-part reply is lost (0)
//   MaxPerSecond       submissions per second at most, 0 no limit (0)
//   Window             submissions in flight at once (1): above 1,
//                      SubmitAsync decides at once and completes after
//                      Latency from the simulator's own thread
//   Seed               seed of the decisions (random)
//   Signal             the signal strength reported, percent (80)
//   SubmitLog          a file to which every submission appends a line:
//                      "<job> <part> <parts> <outcome> <reference> <number>
//                      <time>", the time in seconds since the epoch
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <regex>
#include <thread>
#include <variant>
#include <vector>

#include "server/drivers/driver_settings.h"
#include "server/drivers/sms_driver.h"

namespace Norvale {

// How the simulator is named wherever its state is shown: whatever it
// "delivers" never reaches a telephone.
inline constexpr const char* kTestNetwork = "test network: nothing leaves this machine";

class CSimulatorDriver final : public CSMSDriver {
 public:
  // Raises _com_error naming the value when a setting is malformed.
  CSimulatorDriver(int nHandset, const CSettingValues& Values);
  ~CSimulatorDriver() override;

  void Start(IDriverEvents* pEvents) override;
  void Stop() override;
  CSubmitResult Submit(const COutgoingSms& Message) override;
  void SubmitAsync(const COutgoingSms& Message, SubmitCompletion Done) override;
  int Window() const override { return m_nWindow; }
  CDriverState GetState() override;
  bool CanReport() const override { return m_bReports; }
  std::chrono::milliseconds SubmitLimit() const override;

 private:
  using Clock = std::chrono::steady_clock;
  // The answer to a part in flight, given when it is due.
  struct Completion {
    SubmitCompletion done;
    CSubmitResult result;
  };
  using EventKind = std::variant<CDeliveryReport, CIncomingSms, Completion>;
  struct Event {
    Clock::time_point due;
    std::uint64_t nOrder;  // keeps events of one instant in the order made
    EventKind what;
    // Of one instant, a part's answer comes before its report or reply.
    bool operator>(const Event& o) const {
      if (due != o.due) return due > o.due;
      const bool answer = std::holds_alternative<Completion>(what), other = std::holds_alternative<Completion>(o.what);
      return answer != other ? other : nOrder > o.nOrder;
    }
  };

  // Waits until `until` or Stop; false when stopped.
  bool SleepUntil(Clock::time_point until);
  // False when stopped (nothing is scheduled).
  bool Schedule(Clock::time_point due, EventKind what);
  // Waits for the throughput cap's slot; false when stopped.
  bool WaitForSlot();
  // The network's answer to a part it takes at `accepted`; schedules its
  // report and reply.
  CSubmitResult Answer(const COutgoingSms& Message, Clock::time_point accepted);
  void ScheduleReply(const COutgoingSms& Message, Clock::time_point due);
  void Log(const COutgoingSms& Message, const char* szOutcome, const std::string& sReference);
  void RunTimer();

  int m_nHandset;
  std::uint32_t m_dwLatency, m_dwReportDelay, m_dwReplyDelay;
  int m_nFailureRate, m_nReportFailureRate, m_nLoseReplyPart, m_nMaxPerSecond, m_nSignal, m_nWindow;
  bool m_bReports, m_bTextReferences;
  std::string m_sInvalidPattern;
  std::regex m_InvalidNumbers;
  std::string m_sAutoReply;
  int m_nLogFd = -1;

  std::mutex m_Lock;
  std::condition_variable m_Changed;
  bool m_bStarted = false, m_bStopping = false;
  IDriverEvents* m_pEvents = nullptr;
  std::priority_queue<Event, std::vector<Event>, std::greater<>> m_Events;
  std::uint64_t m_nEventOrder = 0;
  std::thread m_Timer;

  // Used by the submitting thread only.
  std::mt19937_64 m_Random;
  std::uint32_t m_nNextReference;
  std::uint8_t m_nReplyReference;
  Clock::time_point m_NextSlot{};
  std::map<OS::LONG, std::vector<Sms::UserDataPart>> m_EchoParts;  // parts of a job seen so far
};

}  // namespace Norvale
