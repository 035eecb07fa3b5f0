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
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "client_configuration.h"
#include "commands.h"
#include "norvale/norvale.h"
#include "queues/database_access.h"
#include "queues/outgoing_queue.h"
#include "signal_descriptor.h"

namespace VelquorTool {
namespace {

const char* StatusName(Norvale::EnumJobStatus status) {
  static const char* const names[] = {"pending",
                                      "processing",
                                      "sent",
                                      "number invalid",
                                      "network failure",
                                      "phone communication error",
                                      "system failure",
                                      "timeout",
                                      "invalid job type",
                                      "sent, not confirmed",
                                      "delivery failed"};
  return status >= 0 && status <= 10 ? names[status] : "unknown";
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
};

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

// Whether SMSOutgoing holds a row for the job. The library counts a missing
// row as sent, since the engine clears rows once they are sent; only the
// command line tells that apart from an identifier that never existed.
bool OutgoingRowExists(Norvale::CConfigVelquorClientOnly& config, std::int32_t id) {
  Norvale::CDBConnectionDispensor connection(&config);
  Norvale::COutgoingQueue outgoing(&config, &connection);
  Norvale::OS::LONG affected = 0;
  const auto rs = outgoing.ExecuteCommand("SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Id=" + std::to_string(id),
                                          affected, Norvale::OS::adCmdText, -1, Norvale::CJobQueue::kAttempts);
  const bool exists = rs->GetFieldValue("N").ToLong() > 0;
  rs->Close();
  return exists;
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
  send->callback([o, &exitCode] {
    if (o->hex && (!IsHex(o->text) || o->text.size() % 4 != 0))
      throw CLI::ValidationError("TEXT",
                                 "with --hex give groups of four hexadecimal digits, one per UTF-16 code unit "
                                 "(Hi is 00480069), not '" +
                                     o->text + "'");
    Guarded(exitCode, [&] {
      std::string ignored;
      Norvale::CConfigVelquorClientOnly config(&ignored);
      if (!ReadClientConfiguration(config, exitCode)) return;
      Norvale::Velquor velquor;
      velquor.SetActiveHandset(static_cast<Norvale::Handsets>(o->handset));
      const std::int32_t id = o->hex       ? velquor.SendMsgUnicodeMessageHex(o->number, o->text, o->wait)
                              : o->unicode ? velquor.SendMsgUnicodeMessage(o->number, o->text, o->wait)
                                           : velquor.SendMsg(o->number, o->text, o->wait);
      std::cout << id << "\n";
    });
  });

  auto* sendData = app.add_subcommand("send-data", "Send a data message and print its identifier");
  numberArgument(sendData);
  sendData->add_option("USERDATA", o->text, "User data in hexadecimal")->required()->check(kHexBytes);
  sendData->add_option("--udh", o->udh, "User-data header in hexadecimal")->check(kHexBytes);
  sendData->add_option("--dcs", o->dcs, "Data coding scheme")->check(CLI::Range(0, 255));
  waitOption(sendData, "Wait up to this many milliseconds for the outcome (-1: no limit)");
  handsetOption(sendData);
  sendData->callback([o, &exitCode] {
    Guarded(exitCode, [&] {
      std::string ignored;
      Norvale::CConfigVelquorClientOnly config(&ignored);
      if (!ReadClientConfiguration(config, exitCode)) return;
      Norvale::Velquor velquor;
      velquor.SetActiveHandset(static_cast<Norvale::Handsets>(o->handset));
      std::cout << velquor.SendDataMessage(o->number, o->dcs, o->text, o->udh, o->wait) << "\n";
    });
  });

  auto* status = app.add_subcommand("status", "Print the state of a sent message");
  status->add_option("ID", o->id, "Identifier that send or send-data printed")->required();
  status->callback([o, &exitCode] {
    Guarded(exitCode, [&] {
      std::string ignored;
      Norvale::CConfigVelquorClientOnly config(&ignored);
      if (!ReadClientConfiguration(config, exitCode)) return;
      const Norvale::EnumJobStatus s = Norvale::Velquor().GetSendStatus(o->id);
      if (s == Norvale::jsSent && config.GetOutgoingQueueEnabled() && !OutgoingRowExists(config, o->id)) {
        std::cout << o->id << ": no such row in SMSOutgoing (unknown, or cleared after it was sent)\n";
        return;
      }
      std::cout << s << " " << StatusName(s) << "\n";
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
      ->check(CLI::NonNegativeNumber);
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
