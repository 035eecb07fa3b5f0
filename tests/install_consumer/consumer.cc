// A program as an application developer writes it against an installed
// library: public headers and the shared library only.
#include <norvale/norvale.h>

#include <iostream>
#include <utility>

int main() {
  Norvale::Velquor velquor;  // without a configuration it goes to the engine; constructing never throws
  std::cout << "active handset " << static_cast<int>(velquor.GetActiveHandset()) << "\n";
  if (velquor.GetActiveHandset() != Norvale::hsAll) return 1;

  // The listener's handler lists and moving, through the exported symbols;
  // the library's exception is caught here by its type.
  Norvale::VelquorListener listener;
  const auto token = listener.OnMessageReceived.Add([](const std::shared_ptr<Norvale::SMSMessage>&) {});
  Norvale::VelquorListener moved(std::move(listener));
  if (!moved.OnMessageReceived.Remove(token) || !moved.OnMessageReceived.Empty()) return 1;
  try {
    listener.GetEnabled();
    return 1;
  } catch (const Norvale::Exception& e) {
    std::cout << "moved-from listener: " << e.what() << "\n";
  }
  return 0;
}
