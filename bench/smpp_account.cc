// Creates an account of velquor-smppd for a benchmark, in the configuration
// NORVALE_ROOT names:
//
//   NORVALE_ROOT=... build/bench/smpp_account NAME PASSWORD [MAX_BINDS [WINDOW]]
//
// PASSWORD (at most 8 characters) becomes its SMPP password; MAX_BINDS its
// simultaneous binds (default 8), WINDOW its unanswered submit_sm per bind
// (default 100). No rate limit, all handsets.
#include <iostream>
#include <string>

#include "accounts/api_account_store.h"
#include "accounts/secret_hash.h"
#include "norvale/com.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::cerr << "usage: smpp_account NAME PASSWORD [MAX_BINDS [WINDOW]]\n";
    return 2;
  }
  try {
    Norvale::CApiAccount account;
    account.sName = argv[1];
    account.sSmppPasswordHash = Norvale::HashSecret(argv[2]);
    account.nSmppMaxBinds = argc > 3 ? static_cast<unsigned>(std::stoul(argv[3])) : 8;
    account.nSmppWindow = argc > 4 ? static_cast<unsigned>(std::stoul(argv[4])) : 100;
    Norvale::CApiAccountStore().Add(account);
  } catch (const Norvale::_com_error& e) {
    std::cerr << "smpp_account: " << e.DescriptionA() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "smpp_account: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
