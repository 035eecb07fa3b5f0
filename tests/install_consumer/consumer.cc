// A program as an application developer writes it against an installed
// library: public headers and the shared library only.
#include <norvale/norvale.h>

#include <iostream>

int main() {
  Norvale::Velquor velquor;  // without a configuration it goes to the engine; constructing never throws
  std::cout << "active handset " << static_cast<int>(velquor.GetActiveHandset()) << "\n";
  return velquor.GetActiveHandset() == Norvale::hsAll ? 0 : 1;
}
