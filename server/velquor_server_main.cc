// velquor-server: the gateway engine, the service "VelquorServer".
//
// It takes the service's lock (one engine per root), reads its settings,
// starts its handsets, serves ISMSEngine and IVelquorCore on
// $NORVALE_ROOT/run/norvale/VelquorServer.sock (mode 0660: its user and
// group) and runs until SIGTERM or SIGINT. Under systemd (Type=notify) it
// reports READY, STATUS, STOPPING and WATCHDOG. On SIGTERM it stops claiming
// jobs, finishes or returns those in flight and exits with 0. A
// configuration it cannot use ends it with 1 and a message on standard
// error and in the event log. Records go to the event log under the source
// "VelquorServer".
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/engine_marshal.h"
#include "errors/error_logging.h"
#include "norvale/version.h"
#include "platform/event_log.h"
#include "platform/service_control.h"
#include "server/engine/engine_state_file.h"
#include "server/engine/sms_engine.h"
#include "server/engine/sms_engine_object.h"
#include "server/engine/systemd_notifier.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

constexpr const char* kServiceName = "VelquorServer";

void Info(DWORD event, const std::string& text) {
  CEventLogger::LogEvent(EVENTLOG_INFORMATION_TYPE, text, kServiceName, event);
}

int Fail(const std::string& text) {
  CEventLogger::LogEvent(EVENTLOG_ERROR_TYPE, text, kServiceName, EVENT_SERVICE_FAILED);
  std::fprintf(stderr, "velquor-server: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf(
          "usage: velquor-server [--help|--version]\n"
          "The Velquor gateway engine (service VelquorServer). Settings come from the registry key\n"
          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvale\\Velquor below $NORVALE_ROOT/etc/norvale/registry;\n"
          "velquor-registry(5) describes every value, velquor-server(8) the engine.\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("velquor-server %s\n", kVersionString);
      return 0;
    }
    std::fprintf(stderr, "velquor-server: unknown argument '%s' (see --help)\n", argv[i]);
    return 2;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // every thread started below inherits the mask
  signal(SIGPIPE, SIG_IGN);

  ServiceHost host(kServiceName);
  if (!host.Lock())
    return Fail("the service " + std::string(kServiceName) + " already runs (or " + ServiceHost::RunDirectory() +
                " cannot be written)");
  host.ReportStatus(SERVICE_START_PENDING);
  CSystemdNotifier notifier;
  notifier.Status("starting");

  CSMSEngine engine;
  try {
    engine.Initialise();
  } catch (const _com_error& e) {
    return Fail("cannot use the configuration: " + e.DescriptionA());
  }
  engine.Run();

  const std::string socket = ServiceHost::SocketPath(kServiceName);
  for (const auto& clsid : {SMSServer::ISMSEngine::kCLSID, VELQUORCORESERVICESLib::IVelquorCore::kCLSID})
    if (ServiceHost::RegisterLocalServer(clsid, "unix:path=" + socket) != ERROR_SUCCESS)
      LogEvent(EVENTLOG_WARNING_TYPE, "main",
               "Cannot register the engine's address in HKEY_CLASSES_ROOT (run 'velquor service install')");

  CEngineStateFile state;
  {
    DBusServer server;
    auto* engineObject = CSMSEngineObject::Create(engine);
    auto* coreObject = CVelquorCoreObject::Create();
    PublishEngineObjects(server, engineObject, coreObject);
    engineObject->Release();
    coreObject->Release();
    if (!server.Listen(socket)) {
      const std::string error = std::strerror(errno);
      engine.Shutdown();
      return Fail("cannot listen on " + socket + ": " + error);
    }
    host.ReportStatus(SERVICE_RUNNING);
    std::string summary;
    state.Update(engine, &summary);
    notifier.Ready(summary);
    Info(EVENT_SERVICE_STARTED, "VelquorServer started: " + summary);

    // The loop looks at the state once a second while it changes, so that
    // `velquor service status` follows it; after kQuietTicks looks without
    // a change it looks every kIdleTick, so that an idle engine is not woken
    // for nothing. The watchdog, when there is one, is pinged at least twice
    // per its interval.
    const auto watchdog = CSystemdNotifier::WatchdogInterval();
    constexpr std::chrono::microseconds kBusyTick = std::chrono::seconds(1), kIdleTick = std::chrono::seconds(5);
    constexpr int kQuietTicks = 10;
    auto tickFor = [&](int nUnchanged) {
      const auto tick = nUnchanged >= kQuietTicks ? kIdleTick : kBusyTick;
      return watchdog.count() > 0 ? std::min<std::chrono::microseconds>(watchdog / 2, tick) : tick;
    };
    int unchanged = 0;
    // The ping says that this loop runs and that every worker makes
    // progress. Between two steps a worker waits at most a poll interval or
    // a database statement (bounded by DatabaseOperationTimeout); a
    // submission counts as progress for as long as its driver's own limit
    // (a modem's AT+CMGS may take a minute and more), so no time-out of a
    // driver or of the database stops the ping while the engine is healthy.
    const auto alive = std::chrono::milliseconds(2 * std::int64_t{engine.Settings().dwPollInterval} +
                                                 2 * std::int64_t{engine.Settings().dwDatabaseOperationTimeout} + 1000);
    while (true) {
      const auto tick = tickFor(unchanged);
      const timespec timeout{static_cast<time_t>(tick.count() / 1000000),
                             static_cast<long>(tick.count() % 1000000) * 1000};
      const int signal = sigtimedwait(&signals, nullptr, &timeout);
      if (signal == SIGTERM || signal == SIGINT) break;
      if (watchdog.count() > 0 && engine.WorkersAlive(alive)) notifier.Watchdog();
      if (state.Update(engine, &summary)) {
        notifier.Status(summary);
        unchanged = 0;
      } else if (unchanged < kQuietTicks) {
        ++unchanged;
      }
    }
    notifier.Stopping("stopping");
    host.ReportStatus(SERVICE_STOP_PENDING);
    Info(EVENT_SERVICE_STOPPING, "VelquorServer stopping");
    server.Stop();  // no call comes in while the handsets finish
  }
  engine.Shutdown();
  state.Remove();
  Info(EVENT_SERVICE_STOPPED, "VelquorServer stopped");
  return 0;
}
