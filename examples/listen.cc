// Prints every message and notification as it arrives, for SECONDS seconds
// (default: until interrupted).
//
//   velquor-example-listen [SECONDS]
#include <norvale/norvale.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 0;
  static std::uint32_t loopThread = Norvale::MessageLoop::CurrentThreadId();
  std::signal(SIGINT, [](int) { Norvale::MessageLoop::Quit(loopThread); });

  Norvale::VelquorListener listener;
  listener.OnMessageReceived.Add([](const std::shared_ptr<Norvale::SMSMessage>& message) {
    std::cout << "message from " << message->GetPhoneNumber() << ": " << message->GetMessage() << std::endl;
  });
  listener.OnNotificationReceived.Add([](const std::shared_ptr<Norvale::SMSNotification>& notification) {
    std::cout << "notification " << notification->GetType() << " for message " << notification->GetMessageId()
              << std::endl;
  });
  listener.SetEnabled(true);
  if (seconds > 0)
    Norvale::MessageLoop::RunFor(std::chrono::seconds(seconds));
  else
    Norvale::MessageLoop::Run();
  return 0;
}
