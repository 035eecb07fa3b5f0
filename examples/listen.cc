// Prints every message and notification as it arrives, for SECONDS seconds
// (default: until interrupted).
//
//   velquor-example-listen [SECONDS]
#include <norvale/norvale.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>

namespace {
volatile std::sig_atomic_t g_interrupted = 0;  // all a signal handler may touch
}

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 0;
  std::signal(SIGINT, [](int) { g_interrupted = 1; });

  Norvale::VelquorListener listener;
  listener.OnMessageReceived.Add([](const std::shared_ptr<Norvale::SMSMessage>& message) {
    std::cout << "message from " << message->GetPhoneNumber() << ": " << message->GetMessage() << std::endl;
  });
  listener.OnNotificationReceived.Add([](const std::shared_ptr<Norvale::SMSNotification>& notification) {
    std::cout << "notification " << notification->GetType() << " for message " << notification->GetMessageId()
              << std::endl;
  });
  listener.SetEnabled(true);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!g_interrupted && (seconds == 0 || std::chrono::steady_clock::now() < end))
    Norvale::MessageLoop::RunFor(std::chrono::milliseconds(100));
  return 0;
}
