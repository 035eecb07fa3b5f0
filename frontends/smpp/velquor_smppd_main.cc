// velquor-smppd: the gateway's SMPP 3.4 server for applications, a client
// of the queues. It listens on SmppServerListen:SmppServerPort (default
// 127.0.0.1:2775) and, when SmppServerTlsPort is set, on a TLS port too, or
// on those of --listen, --port and --tls-port; it runs until SIGINT or
// SIGTERM. smpp_server.h tells what a bind may do; the state it shows goes
// to $NORVALE_ROOT/run/norvale/velquor-smppd.json (state_file.h).
#include <signal.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "accounts/api_account_store.h"
#include "config/config_reg.h"
#include "delivery_pump.h"
#include "errors/error_logging.h"
#include "outbox_deliverer.h"
#include "platform/event_log.h"
#include "smpp_database.h"
#include "smpp_server.h"
#include "state_file.h"
#include "submit_committer.h"

namespace {

constexpr const char* kName = "velquor-smppd";

// A whole number of the configuration within [low, high], or nothing.
std::optional<int> ConfiguredNumber(const std::string& name, const std::string& fallback, int low, int high) {
  const std::string text = Norvale::RUProductValue(name, fallback);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    std::cerr << kName << ": " << name << " in the configuration is not a number from " << low << " to " << high << ": "
              << text << "\n";
    return std::nullopt;
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velquor-smppd: the SMPP server of the SMS gateway for applications"};
  app.set_version_flag("--version", std::string(kName) + " " + VELQUOR_VERSION);
  VelquorSmpp::SmppServerOptions options;
  CLI::Option* listenOption =
      app.add_option("--listen", options.sListen, "IPv4 address to listen on (0.0.0.0 for any)");
  CLI::Option* portOption =
      app.add_option("--port", options.nPort, "port to listen on (0: a free one)")->check(CLI::Range(0, 65535));
  CLI::Option* tlsPortOption = app.add_option("--tls-port", options.nTlsPort, "TLS port to listen on (0: a free one)")
                                   ->check(CLI::Range(0, 65535));
  CLI11_PARSE(app, argc, argv);

  // The configuration, after the options (so --version and --help read
  // none of it).
  if (listenOption->count() == 0) options.sListen = Norvale::RUProductValue("SmppServerListen", "127.0.0.1");
  if (portOption->count() == 0) {
    const auto port = ConfiguredNumber("SmppServerPort", "2775", 0, 65535);
    if (!port) return 1;
    options.nPort = *port;
  }
  if (tlsPortOption->count() == 0) {
    const auto port = ConfiguredNumber("SmppServerTlsPort", "0", 0, 65535);
    if (!port) return 1;
    options.nTlsPort = *port > 0 ? *port : -1;  // 0 in the configuration: no TLS listener
  }
  options.sTlsCertificate = Norvale::RUProductValue("SmppServerTlsCertificate", "");
  options.sTlsKey = Norvale::RUProductValue("SmppServerTlsKey", "");
  options.sSystemId = Norvale::RUProductValue("SmppServerSystemId", "velquor");
  if (options.sSystemId.empty() || options.sSystemId.size() >= Norvale::Smpp::kMaxSystemId) {
    std::cerr << kName << ": SmppServerSystemId must be 1 to 15 characters\n";
    return 1;
  }
  const auto enquireLink = ConfiguredNumber("SmppServerEnquireLinkSeconds", "30", 1, 86400);
  const auto response = ConfiguredNumber("SmppServerResponseSeconds", "10", 1, 3600);
  const auto bindTime = ConfiguredNumber("SmppServerBindSeconds", "10", 1, 3600);
  if (!enquireLink || !response || !bindTime) return 1;
  options.enquireLink = std::chrono::seconds(*enquireLink);
  options.response = std::chrono::seconds(*response);
  options.bind = std::chrono::seconds(*bindTime);
  if (options.nTlsPort >= 0 && (options.sTlsCertificate.empty() || options.sTlsKey.empty())) {
    std::cerr << kName << ": a TLS port needs SmppServerTlsCertificate and SmppServerTlsKey\n";
    return 1;
  }
  // Every connection is a descriptor: as many as the hard limit allows.
  if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // The threads inherit the mask, so only this thread takes the signals
  // that end the program.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    Norvale::CApiAccountStore accounts;
    VelquorSmpp::SmppDatabase database;
    bool schemaMade = false;
    try {
      database.CreateSchema();
      schemaMade = true;
    } catch (const Norvale::_com_error& e) {
      // Served all the same: submits fail (ESME_RSYSERR) until the database
      // answers, and the tables are made then.
      const std::string text = std::string("The database does not answer: ") + e.DescriptionA() +
                               ". The tables of velquor-smppd are made once it does.";
      std::cerr << kName << ": " << text << "\n";
      Norvale::CEventLogger::LogEvent(Norvale::OS::EVENTLOG_WARNING_TYPE, text, kName);
    }
    VelquorSmpp::SubmitCommitter committer(database);
    VelquorSmpp::SmppServer server(options, accounts, committer);
    VelquorSmpp::OutboxDeliverer deliverer(database, server);
    server.SetAnswers(&deliverer);
    VelquorSmpp::DeliveryPump pump(database, accounts, [&deliverer] { deliverer.Wake(); });

    std::vector<std::string> listen{options.sListen + ":" + std::to_string(server.Port())};
    std::cout << "listening on " << listen.back() << std::endl;
    if (options.nTlsPort >= 0) {
      listen.push_back(options.sListen + ":" + std::to_string(server.TlsPort()) + " tls");
      std::cout << "listening (TLS) on " << options.sListen << ":" << server.TlsPort() << std::endl;
    }
    VelquorSmpp::StateFile state(listen, [&deliverer](const std::string& name) { return deliverer.Depth(name); });
    state.Update(server.State());
    // Once a second: the state file, and the tables while they are missing.
    const timespec second{1, 0};
    while (sigtimedwait(&stop, nullptr, &second) < 0) {
      if (!schemaMade) {
        try {
          database.CreateSchema();
          schemaMade = true;
        } catch (const Norvale::_com_error&) {
        }
      }
      state.Update(server.State());
    }
    // The binds first (their answers still reach the outbox), then the
    // outbox and the committer (which commits what it holds).
    server.Stop();
  } catch (const std::exception& e) {
    std::cerr << kName << ": " << e.what() << "\n";
    return 1;
  } catch (const Norvale::_com_error& e) {
    std::cerr << kName << ": " << e.DescriptionA() << "\n";
    return 1;
  }
  return 0;
}
