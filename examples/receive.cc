// Prints every received message and notification waiting now, then exits.
//
//   velquor-example-receive
//
// Exit codes: 0 done, 1 failure, 2 usage error.
#include <norvale/norvale.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 1) {
    std::cerr << "usage: " << argv[0] << "\n";
    return 2;
  }
  try {
    Norvale::Velquor velquor;
    while (auto message = velquor.GetMsg(0))
      std::cout << "message from " << message->GetPhoneNumber() << ": " << message->GetMessage() << "\n";
    while (auto notification = velquor.GetNotification(0))
      std::cout << "notification " << notification->GetType() << " for message " << notification->GetMessageId()
                << "\n";
    return 0;
  } catch (const Norvale::_com_error& e) {
    std::cerr << "failed: " << e.DescriptionA() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "failed: " << e.what() << "\n";
  }
  return 1;
}
