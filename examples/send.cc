// Sends a text message and waits up to 30 seconds for its outcome.
//
//   velquor-example-send +4915112345678 "Hello from Velquor"
//
// Exit codes: 0 sent or still on its way, 1 failure (also a message that
// failed to go), 2 usage error.
#include <norvale/norvale.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 3 || argv[1][0] == '\0') {
    std::cerr << "usage: " << argv[0] << " PHONE-NUMBER TEXT\n";
    return 2;
  }
  try {
    Norvale::Velquor velquor;
    const std::int32_t id = velquor.SendMsg(argv[1], argv[2], 30000);
    const Norvale::EnumJobStatus status = velquor.GetSendStatus(id);
    std::cout << "message " << id << ": status " << status << "\n";
    return status == Norvale::jsSent || status == Norvale::jsPending || status == Norvale::jsProcessing ? 0 : 1;
  } catch (const Norvale::_com_error& e) {
    std::cerr << "failed: " << e.DescriptionA() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "failed: " << e.what() << "\n";
  }
  return 1;
}
