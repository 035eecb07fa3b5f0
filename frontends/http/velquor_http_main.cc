// velquor-http: the gateway's HTTP API, a client of the queues through the
// client library. It listens on the address and port of the configuration
// (HttpListen, default 127.0.0.1; HttpPort, default 8080), or of --listen and
// --port, and runs until SIGINT or SIGTERM. server_config.h lists the
// server's other values (connections, time-out, TLS, access log).
#include <signal.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <iostream>
#include <string>

#include <memory>
#include <vector>

#include "accounts/api_account_store.h"
#include "api_module.h"
#include "authenticator.h"
#include "config/config_reg.h"
#include "console_api.h"
#include "event_pump.h"
#include "event_signal.h"
#include "http_database.h"
#include "http_server.h"
#include "inbox_api.h"
#include "json_answer.h"
#include "kannel_api.h"
#include "metrics.h"
#include "openapi_api.h"
#include "operations_api.h"
#include "request_log.h"
#include "send_api.h"
#include "server_config.h"
#include "status_api.h"
#include "webhook_sender.h"

namespace {

// A value of the product's configuration, or `fallback` where it is unset.
std::string ConfiguredValue(const std::string& name, const std::string& fallback) {
  return Norvale::RUProductValue(name, fallback);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velquor-http: the HTTP API of the SMS gateway"};
  app.set_version_flag("--version", std::string("velquor-http ") + VELQUOR_VERSION);
  VelquorHttp::ServerConfiguration configuration;
  VelquorHttp::HttpServerOptions& options = configuration.options;
  int port = 0;
  CLI::Option* listenOption =
      app.add_option("--listen", options.address, "IPv4 address to listen on (0.0.0.0 for any)");
  CLI::Option* portOption =
      app.add_option("--port", port, "port to listen on (0: a free one)")->check(CLI::Range(0, 65535));
  CLI11_PARSE(app, argc, argv);
  if (listenOption->count() == 0) options.address = ConfiguredValue("HttpListen", "127.0.0.1");
  if (portOption->count() == 0) {
    const std::string configured = ConfiguredValue("HttpPort", "8080");
    const auto [end, error] = std::from_chars(configured.data(), configured.data() + configured.size(), port);
    if (error != std::errc() || end != configured.data() + configured.size() || port < 0 || port > 65535) {
      std::cerr << "velquor-http: HttpPort in the configuration is not a port: " << configured << "\n";
      return 1;
    }
  }
  options.port = static_cast<std::uint16_t>(port);
  try {
    VelquorHttp::ReadServerConfiguration(ConfiguredValue, configuration);
  } catch (const std::exception& e) {
    std::cerr << "velquor-http: " << e.what() << "\n";
    return 1;
  }
  // Every connection is a descriptor: as many as the hard limit allows.
  if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // The server's threads inherit the mask, so only this thread takes the
  // signals that end the program.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    Norvale::CApiAccountStore accounts;
    VelquorHttp::Metrics metrics;
    VelquorHttp::Authenticator auth(accounts, metrics);
    VelquorHttp::HttpDatabase database;
    try {
      database.CreateSchema();
    } catch (const Norvale::_com_error& e) {
      // Served all the same: /ready says why it is not ready and makes the
      // tables once the database answers.
      std::cerr << "velquor-http: the database does not answer: " << e.DescriptionA() << "\n";
    }
    VelquorHttp::RequestLog requestLog(metrics, configuration.accessLog);
    VelquorHttp::HttpContext context{auth, database, metrics};
    VelquorHttp::WebhookSender webhooks(database, accounts, metrics,
                                        VelquorHttp::WebhookSenderOptions::FromConfiguration());
    VelquorHttp::EventSignal inboxSignal;
    VelquorHttp::EventPumpOptions pumpOptions;
    pumpOptions.receive = ConfiguredValue("HttpReceive", "0") == "1";
    pumpOptions.outboxWritten = [&webhooks] { webhooks.Wake(); };
    VelquorHttp::EventPump pump(context, inboxSignal, pumpOptions);
    std::vector<std::unique_ptr<VelquorHttp::ApiModule>> modules;
    modules.push_back(std::make_unique<VelquorHttp::OperationsApi>(context));
    auto send = std::make_unique<VelquorHttp::SendApi>(context);
    VelquorHttp::ConsoleOptions consoleOptions;
    consoleOptions.secureCookie = !options.tlsKeyPem.empty();
    consoleOptions.outboxWritten = [&webhooks] { webhooks.Wake(); };
    auto console = std::make_unique<VelquorHttp::ConsoleApi>(context, *send, consoleOptions);
    modules.push_back(std::move(send));
    modules.push_back(std::make_unique<VelquorHttp::StatusApi>(context));
    modules.push_back(std::make_unique<VelquorHttp::KannelApi>(context));
    modules.push_back(std::make_unique<VelquorHttp::OpenApiApi>());
    modules.push_back(std::make_unique<VelquorHttp::InboxApi>(context, inboxSignal));
    modules.push_back(std::move(console));
    auto handle = [&modules](const VelquorHttp::HttpRequest& request) {
      for (const auto& module : modules)
        if (auto answer = module->Handle(request)) return *answer;
      return VelquorHttp::Refuse(404, "no such resource");
    };
    VelquorHttp::HttpServer server(options, requestLog.Wrap(handle));
    pump.Start();
    std::cout << "velquor-http: listening on " << options.address << ":" << server.Port()
              << (options.tlsKeyPem.empty() ? "" : " (HTTPS)") << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    pump.Stop();
  } catch (const std::exception& e) {
    std::cerr << "velquor-http: " << e.what() << "\n";
    return 1;
  } catch (const Norvale::_com_error& e) {
    std::cerr << "velquor-http: " << e.DescriptionA() << "\n";
    return 1;
  }
  return 0;
}
