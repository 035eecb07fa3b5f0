// velquor send | send-data | status | receive | listen: the client's
// operations from the command line, through the public API. Each first reads
// the configuration as the library will, so that a missing value is reported
// rather than logged where nobody looks.
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "client_configuration.h"
#include "commands.h"
#include "norvale/norvale.h"
#include "queues/database_access.h"
#include "queues/message_history.h"
#include "queues/outgoing_queue.h"
#include "queues/send_options.h"
#include "signal_descriptor.h"

namespace VelquorTool {
namespace {

// What a job's number means for the user. 2 and 9 depend on whether a
// delivery report was asked for: the engine records the network's reference
// in the row's MessageRef exactly when the handset asked for a report and the
// network gave a reference to match it by (status 9); the report then sets 2
// or 10 and keeps the reference. So a row whose MessageRef is neither NULL
// nor 0 was sent with a report asked for, and a 9 whose MessageRef was
// cleared is one whose report can no longer come (ReportExpiry).
struct JobRow {
  Norvale::EnumJobStatus status = Norvale::jsPending;
  bool referenceRecorded = false;  // MessageRef holds the network's reference
  bool referenceCleared = false;   // MessageRef is NULL
};

std::string StatusText(Norvale::EnumJobStatus status, const std::optional<JobRow>& row) {
  static const char* const failures[] = {
      "failed: invalid number", "failed: network failure", "failed: phone or device error",
      "failed: system failure", "failed: time-out",        "failed: invalid job"};
  const bool report = row && row->referenceRecorded;
  switch (status) {
    case Norvale::jsPending: return "pending";
    case Norvale::jsProcessing: return "processing";
    case Norvale::jsSent:
      if (!row) return "sent or delivered";
      return report ? "delivered (a delivery report was asked for)" : "sent (no delivery report was asked for)";
    case Norvale::jsSentNotConfirmed:
      return row && row->referenceCleared ? "sent, its delivery report did not come in time"
                                          : "sent, awaiting its delivery report";
    case Norvale::jsDeliveryFailed: return "not delivered (the delivery report said so)";
    default:
      return status >= Norvale::jsErrNumberInvalid && status <= Norvale::jsInvalidJobType
                 ? failures[status - Norvale::jsErrNumberInvalid]
                 : "unknown";
  }
}

const char* NotificationName(Norvale::NotificationTypes type) {
  static const char* const names[] = {"delivery report", "delivery failure", "message sent", "send failure"};
  return type >= 0 && type <= 3 ? names[type] : "unknown";
}

// Runs `work`, reporting the library's failures in one line.
template <class F>
void Guarded(int& exitCode, F&& work) {
  try {
    work();
  } catch (const Norvale::_com_error& e) {
    std::cerr << "velquor: " << (e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA()) << "\n";
    exitCode = kExitFailure;
  } catch (const std::exception& e) {
    std::cerr << "velquor: " << e.what() << "\n";
    exitCode = kExitFailure;
  }
}

void Print(const Norvale::SMSMessage& m) {
  std::cout << "message from " << m.GetPhoneNumber() << " (handset " << m.GetHandset() << "): ";
  try {
    std::cout << m.GetMessage();
  } catch (const std::invalid_argument&) {
    std::cout << "[undecodable Unicode text " << m.GetUserData() << "]";
  }
  if (m.GetMessageType() == Norvale::mtDataMessage)
    std::cout << " [DCS " << m.GetDataCodingScheme() << ", UDH " << m.GetUserDataHeader() << "]";
  std::cout << std::endl;
}

void Print(const Norvale::SMSNotification& n) {
  std::cout << NotificationName(n.GetType()) << " for message " << n.GetMessageId();
  if (n.GetErrorCode() != 0) std::cout << " (error " << n.GetErrorCode() << ")";
  std::cout << std::endl;
}

struct Options {
  std::string number, text, udh;
  int dcs = 0, wait = 0, handset = 0, seconds = 0;
  bool unicode = false, hex = false;
  std::int32_t id = 0;
  // The message's options as given: --from, --priority, --at, --validity,
  // --report / --no-report, --client-ref.
  std::string from, at, validity, clientRef;
  std::optional<int> priority;
  bool report = false, noReport = false;
};

// The message's options of the command line, checked as every send checks
// them (CheckSendOptions), a refusal naming the option.
Norvale::SendOptions MessageOptions(const Options& o) {
  Norvale::CSendOptions checked;
  Norvale::SendOptions out;
  const std::int64_t now = Norvale::SendOptionsNowMs();
  checked.sSender = out.From = o.from;
  checked.nPriority = out.Priority = o.priority;
  if (!o.at.empty()) {
    checked.nNotBefore = Norvale::ParseSendTime(o.at);
    if (!checked.nNotBefore)
      throw CLI::ValidationError("--at", "'" + o.at +
                                             "' is no ISO 8601 time with its offset "
                                             "(2026-12-10T15:30:00Z, 2026-12-10T16:30:00+01:00)");
    out.SendAt = std::chrono::system_clock::time_point(std::chrono::milliseconds(*checked.nNotBefore));
  }
  if (!o.validity.empty()) {
    const auto seconds = Norvale::ParseDuration(o.validity);
    if (!seconds)
      throw CLI::ValidationError("--validity",
                                 "'" + o.validity + "' is no duration (seconds, or 90s, 30m, 2h, 1d, 1w)");
    if (*seconds <= 0) throw CLI::ValidationError("--validity", "is more than 0");
    out.Validity = std::chrono::seconds(*seconds);
    const std::int64_t start = checked.nNotBefore && *checked.nNotBefore > now ? *checked.nNotBefore : now;
    checked.nValidUntil = start + *seconds * 1000;
  }
  if (o.report || o.noReport) checked.bReportRequest = out.DeliveryReport = o.report;
  checked.sClientRef = out.ClientRef = o.clientRef;
  if (const auto error = Norvale::CheckSendOptions(checked, now)) {
    static const std::map<std::string, std::string> kOptions = {{"sender", "--from"},
                                                                {"priority", "--priority"},
                                                                {"not_before", "--at"},
                                                                {"validity", "--validity"},
                                                                {"client_ref", "--client-ref"}};
    const auto option = kOptions.find(error->sField);
    throw CLI::ValidationError(option == kOptions.end() ? error->sField : option->second, error->sProblem);
  }
  return out;
}

// The options of a message, on the sends.
void AddMessageOptions(CLI::App* sub, const std::shared_ptr<Options>& o) {
  sub->add_option("--from", o->from,
                  "Sender: up to 11 letters, digits, spaces or punctuation, or a number (where the handset lets a "
                  "message name its sender)");
  sub->add_option("--priority", o->priority, "0 normal (default), 1 high: sent before normal messages");
  sub->add_option("--at", o->at, "Not sent before this time, ISO 8601 with offset: 2026-12-10T15:30:00Z");
  sub->add_option("--validity", o->validity,
                  "Worth trying for this long from its time to send (seconds, or 90s, 30m, 2h, 1d, 1w; at most 63 "
                  "weeks), then failed");
  auto* report = sub->add_flag("--report", o->report, "Ask for a delivery report");
  sub->add_flag("--no-report", o->noReport, "Ask for no delivery report (default: the handset's setting)")
      ->excludes(report);
  sub->add_option("--client-ref", o->clientRef, "Your reference, returned in the message's notifications");
}

bool IsHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

const CLI::Validator kPhoneNumber(
    [](std::string& number) {
      const bool blank = std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isspace(c); });
      return blank ? std::string("the phone number is empty") : std::string();
    },
    "", "PHONE");

const CLI::Validator kHexBytes(
    [](std::string& text) {
      if (!IsHex(text) || text.size() % 2 != 0) return "'" + text + "' is not hexadecimal bytes (pairs of 0-9, A-F)";
      return std::string();
    },
    "HEX", "HEX");

// The job's row in SMSOutgoing, if there is one. The library counts a
// missing row as sent, since the engine clears rows once they are sent; only
// the command line tells that apart from an identifier that never existed.
std::optional<JobRow> ReadJobRow(Norvale::CConfigVelquorClientOnly& config, std::int32_t id) {
  Norvale::CDBConnectionDispensor connection(&config);
  Norvale::COutgoingQueue outgoing(&config, &connection);
  Norvale::OS::LONG affected = 0;
  const auto rs = outgoing.ExecuteCommand("SELECT Status, MessageRef FROM SMSOutgoing WHERE Id=" + std::to_string(id),
                                          affected, Norvale::OS::adCmdText, -1, Norvale::CJobQueue::kAttempts);
  std::optional<JobRow> row;
  if (!rs->BOF() && !rs->adoEOF()) {
    const Norvale::OS::_variant_t ref = rs->GetFieldValue("MessageRef");
    row = JobRow{static_cast<Norvale::EnumJobStatus>(rs->GetFieldValue("Status").ToLong()),
                 ref.vt != Norvale::OS::VT_NULL && ref.ToLong() != 0, ref.vt == Norvale::OS::VT_NULL};
  }
  rs->Close();
  return row;
}

// The line `status` prints, and `send --wait` after the identifier.
std::string StatusLine(Norvale::EnumJobStatus status, const std::optional<JobRow>& row) {
  return std::to_string(status) + " " + StatusText(status, row);
}

// The row when the messages to send go through the queue, else nothing: the
// engine then holds the state and the row does not tell more.
std::optional<JobRow> ReadRowIfQueued(Norvale::CConfigVelquorClientOnly& config, std::int32_t id) {
  return config.GetOutgoingQueueEnabled() ? ReadJobRow(config, id) : std::nullopt;
}

// A job whose row was cleared, as its last event in the message history
// tells it: "2 delivered at <time>", "2 sent at <time> (no delivery report was
// asked for)"; nothing when the history holds nothing of it (or the database
// has no history).
std::optional<std::string> HistoryLine(Norvale::CConfigVelquorClientOnly& config, std::int32_t id) {
  Norvale::CDBConnectionDispensor connection(&config);
  std::vector<Norvale::CHistoryEvent> events;
  try {
    events = Norvale::CMessageHistory(&connection).Read(id);
  } catch (const Norvale::_com_error&) {
    return std::nullopt;
  }
  const Norvale::CHistoryEvent* last = nullptr;
  // Only an outcome tells what became of it (a job queued and claimed whose
  // row is gone was cleared by someone else).
  for (const auto& e : events)
    if ((e.sEvent == Norvale::kHistorySent || e.sEvent == Norvale::kHistoryDelivered ||
         e.sEvent == Norvale::kHistoryFailed) &&
        e.nStatus)
      last = &e;
  if (!last) return std::nullopt;
  const auto status = static_cast<Norvale::EnumJobStatus>(*last->nStatus);
  const std::string at = " at " + Norvale::HistoryTimeText(last->nAt);
  std::string text;
  if (last->sEvent == Norvale::kHistoryDelivered) {
    text = "delivered" + at;
  } else if (last->sEvent == Norvale::kHistorySent) {
    text = "sent" + at +
           (status == Norvale::jsSent ? " (no delivery report was asked for)" : ", its delivery report never came");
  } else {
    text = StatusText(status, std::nullopt) + at;
    if (last->nErrorCode) text += " (error " + std::to_string(*last->nErrorCode) + ")";
  }
  return std::to_string(status) + " " + text + " (from the history; its row was cleared)";
}

// After a send that waited: the state reached on a second line, and the exit
// code of its outcome (a failure is 1; a message still on its way when the
// wait ran out is kExitStillOnItsWay).
void ReportOutcome(Norvale::CConfigVelquorClientOnly& config, Norvale::Velquor& velquor, std::int32_t id,
                   int& exitCode) {
  const Norvale::EnumJobStatus s = velquor.GetSendStatus(id);
  std::cout << StatusLine(s, ReadRowIfQueued(config, id)) << "\n";
  if (s == Norvale::jsPending || s == Norvale::jsProcessing) {
    std::cout.flush();  // the identifier and state first, then why
    std::cerr << "velquor: message " << id << " is still " << StatusText(s, std::nullopt)
              << " where the wait ended; velquor status " << id << " follows it\n";
    exitCode = kExitStillOnItsWay;
  } else if (s != Norvale::jsSent && s != Norvale::jsSentNotConfirmed) {
    exitCode = kExitFailure;
  }
}

// Raises the listener's events as they come, until SIGINT or SIGTERM or
// until `end`. Sleeps in poll(2) on the message loop's descriptor and the
// signal descriptor in between, so an idle listener does not wake up.
void RunUntilSignalled(SignalDescriptor& signals, std::optional<std::chrono::steady_clock::time_point> end) {
  pollfd fds[2] = {{signals.Descriptor(), POLLIN, 0}, {Norvale::MessageLoop::Descriptor(), POLLIN, 0}};
  while (true) {
    int timeout = -1;
    if (end) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - std::chrono::steady_clock::now()).count();
      if (left <= 0) return;
      timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
    }
    if (poll(fds, 2, timeout) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if ((fds[0].revents & POLLIN) && signals.Take() != 0) return;
    if (fds[1].revents & POLLIN) Norvale::MessageLoop::PumpPending();
  }
}

}  // namespace

void AddMessageCommands(CLI::App& app, int& exitCode) {
  auto o = std::make_shared<Options>();
  auto handsetOption = [o](CLI::App* sub) {
    sub->add_option("--handset", o->handset, "Handset 1 to 8 (default 0: any)")->check(CLI::Range(0, 8));
  };
  auto waitOption = [o](CLI::App* sub, const char* what) {
    sub->add_option("--wait", o->wait, what)->check(CLI::Range(-1, INT_MAX));
  };
  auto numberArgument = [o](CLI::App* sub) {
    sub->add_option("NUMBER", o->number, "Phone number to send to, e.g. +4915112345678")
        ->required()
        ->check(kPhoneNumber);
  };

  auto* send = app.add_subcommand("send", "Send a text message and print its identifier");
  numberArgument(send);
  send->add_option("TEXT", o->text, "The message; with --hex its UTF-16 code units as hexadecimal (Hi: 00480069)")
      ->required();
  auto* unicode = send->add_flag("--unicode", o->unicode, "Send as a Unicode message");
  send->add_flag("--hex", o->hex, "TEXT is already hexadecimal UTF-16")->excludes(unicode);
  waitOption(send, "Wait up to this many milliseconds for the outcome (-1: no limit)");
  handsetOption(send);
  AddMessageOptions(send, o);
  send->callback([o, &exitCode] {
    if (o->hex && (!IsHex(o->text) || o->text.size() % 4 != 0))
      throw CLI::ValidationError("TEXT",
                                 "with --hex give groups of four hexadecimal digits, one per UTF-16 code unit "
                                 "(Hi is 00480069), not '" +
                                     o->text + "'");
    const Norvale::SendOptions options = MessageOptions(*o);
    Guarded(exitCode, [&] {
      std::string ignored;
      Norvale::CConfigVelquorClientOnly config(&ignored);
      if (!ReadClientConfiguration(config, exitCode)) return;
      Norvale::Velquor velquor;
      velquor.SetActiveHandset(static_cast<Norvale::Handsets>(o->handset));
      const std::int32_t id = o->hex       ? velquor.SendMsgUnicodeMessageHex(o->number, o->text, options, o->wait)
                              : o->unicode ? velquor.SendMsgUnicodeMessage(o->number, o->text, options, o->wait)
                                           : velquor.SendMsg(o->number, o->text, options, o->wait);
      std::cout << id << "\n";
      if (o->wait != 0) ReportOutcome(config, velquor, id, exitCode);
    });
  });

  auto* sendData = app.add_subcommand("send-data", "Send a data message and print its identifier");
  numberArgument(sendData);
  sendData->add_option("USERDATA", o->text, "User data in hexadecimal")->required()->check(kHexBytes);
  sendData->add_option("--udh", o->udh, "User-data header in hexadecimal")->check(kHexBytes);
  sendData->add_option("--dcs", o->dcs, "Data coding scheme")->check(CLI::Range(0, 255));
  waitOption(sendData, "Wait up to this many milliseconds for the outcome (-1: no limit)");
  handsetOption(sendData);
  AddMessageOptions(sendData, o);
  sendData->callback([o, &exitCode] {
    const Norvale::SendOptions options = MessageOptions(*o);
    Guarded(exitCode, [&] {
      std::string ignored;
      Norvale::CConfigVelquorClientOnly config(&ignored);
      if (!ReadClientConfiguration(config, exitCode)) return;
      Norvale::Velquor velquor;
      velquor.SetActiveHandset(static_cast<Norvale::Handsets>(o->handset));
      const std::int32_t id = velquor.SendDataMessage(o->number, o->dcs, o->text, o->udh, options, o->wait);
      std::cout << id << "\n";
      if (o->wait != 0) ReportOutcome(config, velquor, id, exitCode);
    });
  });

  auto* status = app.add_subcommand("status", "Print the state of a sent message");
  status->add_option("ID", o->id, "Identifier that send or send-data printed")
      ->required()
      ->check(CLI::Range(1, INT32_MAX).description(""));
  status->callback([o, &exitCode] {
    Guarded(exitCode, [&] {
      std::string ignored;
      Norvale::CConfigVelquorClientOnly config(&ignored);
      if (!ReadClientConfiguration(config, exitCode)) return;
      const Norvale::EnumJobStatus s = Norvale::Velquor().GetSendStatus(o->id);
      const std::optional<JobRow> row = ReadRowIfQueued(config, o->id);
      if (s == Norvale::jsSent && config.GetOutgoingQueueEnabled() && !row) {
        if (const auto line = HistoryLine(config, o->id)) {
          std::cout << *line << "\n";
          return;
        }
        std::cout << o->id << ": no such row in SMSOutgoing (unknown, or cleared after it was sent)\n";
        return;
      }
      std::cout << StatusLine(s, row) << "\n";
    });
  });

  auto* receive = app.add_subcommand("receive", "Print the waiting messages and notifications");
  waitOption(receive, "Wait up to this many milliseconds for a first message (-1: no limit)");
  handsetOption(receive);
  receive->callback([o, &exitCode] {
    Guarded(exitCode, [&] {
      std::string ignored;
      Norvale::CConfigVelquorClientOnly config(&ignored);
      if (!ReadClientConfiguration(config, exitCode)) return;
      Norvale::Velquor velquor;
      velquor.SetActiveHandset(static_cast<Norvale::Handsets>(o->handset));
      for (auto m = velquor.GetMsg(o->wait); m; m = velquor.GetMsg(0)) Print(*m);
      while (auto n = velquor.GetNotification(0)) Print(*n);
    });
  });

  auto* listen = app.add_subcommand("listen", "Print messages and notifications as they arrive");
  listen->add_option("--seconds", o->seconds, "Stop after this many seconds (default: at Ctrl-C or SIGTERM)")
      ->check(CLI::Validator(
          [](std::string& text) {
            int seconds = 0;
            if (CLI::detail::lexical_cast(text, seconds) && seconds >= 0) return std::string();
            return "a whole number of seconds from 0 to " + std::to_string(INT_MAX) + ", not '" + text + "'";
          },
          "SECONDS", "SECONDS"));
  handsetOption(listen);
  listen->callback([o, &exitCode] {
    Guarded(exitCode, [&] {
      SignalDescriptor signals;  // before anything that might start a thread
      std::string ignored;
      Norvale::CConfigVelquorClientOnly config(&ignored);
      if (!ReadClientConfiguration(config, exitCode)) return;
      Norvale::VelquorListener listener;
      listener.SetActiveHandset(static_cast<Norvale::Handsets>(o->handset));
      listener.OnMessageReceived.Add([](const auto& m) { Print(*m); });
      listener.OnNotificationReceived.Add([](const auto& n) { Print(*n); });
      listener.SetEnabled(true);
      std::optional<std::chrono::steady_clock::time_point> end;
      if (o->seconds > 0) end = std::chrono::steady_clock::now() + std::chrono::seconds(o->seconds);
      RunUntilSignalled(signals, end);
    });
  });
}

}  // namespace VelquorTool
