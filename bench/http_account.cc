// Creates an account of velquor-http for a benchmark and prints its API key
// (the only place it is shown), in the configuration NORVALE_ROOT names:
//
//   NORVALE_ROOT=... build/bench/http_account NAME [REPORT_URL]
//
// REPORT_URL, when given, becomes the account's default webhook for delivery
// reports and failures. No rate limit, all handsets.
#include <iostream>
#include <string>

#include "accounts/api_account_store.h"
#include "norvale/com.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: http_account NAME [REPORT_URL]\n";
    return 2;
  }
  try {
    Norvale::CApiAccount account;
    account.sName = argv[1];
    if (argc == 3) account.sReportUrl = argv[2];
    std::cout << Norvale::CApiAccountStore().Add(account) << std::endl;
  } catch (const Norvale::_com_error& e) {
    std::cerr << "http_account: " << e.DescriptionA() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "http_account: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
