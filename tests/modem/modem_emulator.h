// A GSM modem on a pseudo-terminal for tests: runs tests/modem/emulator.js
// (Node.js, PDUs through the npm package node-pdu) on the master side of a
// fresh pty and gives the path of a link to the slave, which the modem
// driver opens like /dev/ttyUSB0. The test plays the network and the SIM
// through the emulator's control socket. emulator.js lists the AT commands
// and control messages.
//
//   target_link_libraries(my_tests PRIVATE velquor_modem_emulator)
//
//   TestSupport::ModemEmulatorOptions Options;
//   Options.sPin = "1234";                          // the SIM asks for it
//   TestSupport::CModemEmulator Modem(Options);
//   OpenDriverOn(Modem.DevicePath());
//   Modem.Deliver({{"from", "+4915550001"}, {"text", "hello"}});      // +CMTI
//   Modem.Deliver({{"from", "Bank"}, {"alphabet", "ucs2"}, {"text", "…"},
//                  {"concat", {{"ref", 7}, {"total", 3}, {"seq", 2}}}});
//   auto Sent = Modem.WaitForSubmissions(1, 5s);  // node-pdu's reading of each
//   Sent[0]["decoded"]["destination"]["number"], ["text"], ["udh"], ["srr"]
//   Modem.Report(Sent[0]["mr"], 0x00);            // +CDS, or stored (+CDSI)
//   Modem.Set({{"creg", 0}});                     // no network
//   Modem.Misbehave("silent-on-send");            // stops answering mid-send
//   Modem.Fail("CMGD", 322);                      // the next AT+CMGD: +CMS ERROR: 322
//   Modem.Storm(5000);                            // +CMTI after +CMTI
//   Modem.Disconnect(); Modem.Restart();          // pulled and plugged again
//
// Each instance has its own temporary directory (device link, control
// socket, state file, log); the destructor stops the process and removes
// it. Every wait is bounded; failures throw std::runtime_error with the
// emulator's log attached. Needs node on PATH and tests/modem/node_modules
// (scripts/setup.sh installs it).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef VELQUOR_MODEM_EMULATOR_DIR
#error "link the target with velquor_modem_emulator (it defines VELQUOR_MODEM_EMULATOR_DIR)"
#endif

extern char** environ;

namespace TestSupport {

struct ModemEmulatorOptions {
  std::string sPin;         // "" = no PIN asked
  int nRegistration = 1;    // +CREG stat: 1 home, 5 roaming, 0/2/3 not registered
  int nFirstReference = 0;  // TP-MR of the first +CMGS
  bool bEcho = true;        // ATE1 after power-on, as real modems
  std::string sSmsc = "+4917000000";
  int nStoreSize = 20;
  int nCsmsService = 0;  // 1: +CMT/+CDS must be acknowledged (AT+CNMA)
};

class CModemEmulator {
 public:
  using Json = nlohmann::json;
  using Milliseconds = std::chrono::milliseconds;

  using Options = ModemEmulatorOptions;

  CModemEmulator() : CModemEmulator(Options()) {}
  explicit CModemEmulator(Options Opts) : m_Options(std::move(Opts)) {
    std::string sTemplate = (std::filesystem::temp_directory_path() / "velquor-modem-XXXXXX").string();
    if (mkdtemp(sTemplate.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_Dir = sTemplate;
    m_sDevice = (m_Dir / "ttyModem").string();
    m_sControl = (m_Dir / "control.sock").string();
    try {
      Start(true);
    } catch (...) {
      Stop();
      std::filesystem::remove_all(m_Dir);
      throw;
    }
  }

  ~CModemEmulator() {
    Stop();
    std::error_code Ignored;
    std::filesystem::remove_all(m_Dir, Ignored);
  }

  CModemEmulator(const CModemEmulator&) = delete;
  CModemEmulator& operator=(const CModemEmulator&) = delete;

  // The device to open: a link to the pty slave.
  const std::string& DevicePath() const { return m_sDevice; }
  const std::filesystem::path& Directory() const { return m_Dir; }

  // One control message; the answer without "ok". Throws when the emulator
  // refuses it or does not answer within the bound.
  Json Control(const Json& Request, Milliseconds Limit = Milliseconds(5000)) {
    if (m_nControl < 0) throw Failure("the emulator is not running");
    const std::string sLine = Request.dump() + "\n";
    const auto End = std::chrono::steady_clock::now() + Limit;
    for (size_t nDone = 0; nDone < sLine.size();) {
      const ssize_t n = send(m_nControl, sLine.data() + nDone, sLine.size() - nDone, MSG_NOSIGNAL);
      if (n <= 0) throw Failure("control socket closed");
      nDone += static_cast<size_t>(n);
    }
    std::string sAnswer;
    for (;;) {
      const size_t nNewline = m_sControlBuffer.find('\n');
      if (nNewline != std::string::npos) {
        sAnswer = m_sControlBuffer.substr(0, nNewline);
        m_sControlBuffer.erase(0, nNewline + 1);
        break;
      }
      const auto Left = std::chrono::duration_cast<Milliseconds>(End - std::chrono::steady_clock::now());
      pollfd Poll{m_nControl, POLLIN, 0};
      if (Left.count() <= 0 || poll(&Poll, 1, static_cast<int>(Left.count())) <= 0)
        throw Failure("no answer to " + Request.dump());
      char Buffer[4096];
      const ssize_t n = recv(m_nControl, Buffer, sizeof Buffer, 0);
      if (n <= 0) throw Failure("control socket closed during " + Request.dump());
      m_sControlBuffer.append(Buffer, static_cast<size_t>(n));
    }
    Json Answer = Json::parse(sAnswer);
    if (!Answer.value("ok", false)) throw Failure("refused " + Request.dump() + ": " + Answer.value("error", ""));
    Answer.erase("ok");
    return Answer;
  }

  Json Status() { return Control({{"cmd", "status"}}); }

  // An SMS-DELIVER arrives; fields as emulator.js "deliver". {index, pdu}.
  Json Deliver(Json Fields) {
    Fields["cmd"] = "deliver";
    return Control(Fields);
  }
  Json DeliverRaw(const std::string& sPduHex) { return Control({{"cmd", "deliver"}, {"raw", sPduHex}}); }

  // A status report for reference nMr with TP-ST nStatus.
  Json Report(int nMr, int nStatus, Json Fields = Json::object()) {
    Fields["cmd"] = "report";
    Fields["mr"] = nMr;
    Fields["status"] = nStatus;
    return Control(Fields);
  }

  // pin, puk, creg, csq, smsc, mr, autoReport, delayMs.
  Json Set(Json Fields) {
    Fields["cmd"] = "set";
    return Control(Fields);
  }

  Json Misbehave(const std::string& sMode, int nCode = 500, int nCount = 1) {
    return Control({{"cmd", "misbehave"}, {"mode", sMode}, {"code", nCode}, {"count", nCount}});
  }

  // The next nCount commands named sCommand ("CMGD") fail with +CMS ERROR
  // nCode (+CME ERROR when bCme).
  Json Fail(const std::string& sCommand, int nCode, int nCount = 1, bool bCme = false) {
    return Control(
        {{"cmd", "fail"}, {"command", sCommand}, {"code", nCode}, {"count", nCount}, {"kind", bCme ? "CME" : "CMS"}});
  }

  // nCount +CMTI indications, all for slot nIndex (0: every slot in turn).
  Json Storm(int nCount, int nIndex = 0) { return Control({{"cmd", "storm"}, {"count", nCount}, {"index", nIndex}}); }

  // The SMS-SUBMITs taken so far: [{mr, pdu, length, decoded}].
  Json Submissions(bool bClear = false) { return Control({{"cmd", "submissions"}, {"clear", bClear}})["submissions"]; }

  // Waits until at least nCount submissions were taken.
  Json WaitForSubmissions(size_t nCount, Milliseconds Limit) {
    const auto End = std::chrono::steady_clock::now() + Limit;
    for (;;) {
      Json List = Submissions();
      if (List.size() >= nCount) return List;
      if (std::chrono::steady_clock::now() >= End)
        throw Failure("expected " + std::to_string(nCount) + " submissions, got " + std::to_string(List.size()));
      std::this_thread::sleep_for(Milliseconds(20));
    }
  }

  Json Store() { return Control({{"cmd", "store"}})["store"]; }
  // Every AT command line received, in order.
  Json Commands(bool bClear = false) { return Control({{"cmd", "commands"}, {"clear", bClear}})["commands"]; }

  // The device goes away: the pty closes and the device link is removed.
  void Disconnect() {
    Control({{"cmd", "disconnect"}});
    WaitForExit(Milliseconds(5000));
  }

  // The device comes back (a new pty at the same path) with the SIM store,
  // references and settings it had; the SIM asks for its PIN again.
  void Restart() {
    Stop();
    Start(false);
  }

  bool Running() {
    if (m_nPid <= 0) return false;
    if (waitpid(m_nPid, nullptr, WNOHANG) == 0) return true;
    m_nPid = -1;  // reaped (or not ours): never signal that number again
    return false;
  }

  // The AT traffic and control messages the emulator logged.
  std::string Log() const {
    std::ifstream In(m_Dir / "emulator.log");
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
  }

 private:
  std::runtime_error Failure(const std::string& sWhat) const {
    return std::runtime_error("modem emulator: " + sWhat + "\n--- emulator log ---\n" + Log());
  }

  void Start(bool bFresh) {
    const int nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (nMaster < 0 || grantpt(nMaster) != 0 || unlockpt(nMaster) != 0) {
      if (nMaster >= 0) close(nMaster);
      throw std::runtime_error("cannot open a pseudo-terminal");
    }
    char Name[128];
    if (ptsname_r(nMaster, Name, sizeof Name) != 0) {
      close(nMaster);
      throw std::runtime_error("ptsname failed");
    }
    // The emulator keeps this slave descriptor open (as its fd 3) so that
    // the master does not fail with EIO while no client has the device open.
    const int nSlave = open(Name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (nSlave < 0) {
      close(nMaster);
      throw std::runtime_error("cannot open the pty slave");
    }
    termios Mode{};
    tcgetattr(nSlave, &Mode);
    cfmakeraw(&Mode);  // no echo or line editing until a client sets its own
    tcsetattr(nSlave, TCSANOW, &Mode);
    std::filesystem::remove(m_sDevice);
    std::filesystem::create_symlink(Name, m_sDevice);

    std::vector<std::string> Argv = {"node",      std::string(VELQUOR_MODEM_EMULATOR_DIR) + "/emulator.js",
                                     "--control", m_sControl,
                                     "--state",   (m_Dir / "state.json").string()};
    if (bFresh) {
      const std::vector<std::string> Extra = {"--creg",       std::to_string(m_Options.nRegistration),
                                              "--mr",         std::to_string(m_Options.nFirstReference),
                                              "--echo",       m_Options.bEcho ? "1" : "0",
                                              "--smsc",       m_Options.sSmsc,
                                              "--store-size", std::to_string(m_Options.nStoreSize),
                                              "--csms",       std::to_string(m_Options.nCsmsService)};
      Argv.insert(Argv.end(), Extra.begin(), Extra.end());
      if (!m_Options.sPin.empty()) {
        Argv.push_back("--pin");
        Argv.push_back(m_Options.sPin);
      }
    }
    const std::string sLog = (m_Dir / "emulator.log").string();
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, nMaster, 0);
    posix_spawn_file_actions_adddup2(&Actions, nMaster, 1);
    posix_spawn_file_actions_addopen(&Actions, 2, sLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&Actions, nSlave, 3);
    std::vector<char*> Args;
    for (std::string& s : Argv) Args.push_back(s.data());
    Args.push_back(nullptr);
    const int nError = posix_spawnp(&m_nPid, "node", &Actions, nullptr, Args.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    close(nMaster);
    close(nSlave);
    if (nError != 0) {
      m_nPid = -1;
      throw std::runtime_error("cannot start node: " + std::string(strerror(nError)));
    }
    ConnectControl();
  }

  // Bounded: the emulator listens within a few hundred milliseconds.
  void ConnectControl() {
    const auto End = std::chrono::steady_clock::now() + Milliseconds(15000);
    for (;;) {
      const int nSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un Address{};
      Address.sun_family = AF_UNIX;
      std::snprintf(Address.sun_path, sizeof Address.sun_path, "%s", m_sControl.c_str());
      if (connect(nSocket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0) {
        m_nControl = nSocket;
        m_sControlBuffer.clear();
        return;
      }
      close(nSocket);
      if (!Running()) throw Failure("the emulator ended before it was ready");
      if (std::chrono::steady_clock::now() >= End) throw Failure("the emulator was not ready in time");
      std::this_thread::sleep_for(Milliseconds(20));
    }
  }

  void WaitForExit(Milliseconds Limit) {
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (m_nPid > 0) {
      if (waitpid(m_nPid, nullptr, WNOHANG) != 0) {
        m_nPid = -1;
        break;
      }
      if (std::chrono::steady_clock::now() >= End) {
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
        m_nPid = -1;
        break;
      }
      std::this_thread::sleep_for(Milliseconds(10));
    }
    if (m_nControl >= 0) close(m_nControl);
    m_nControl = -1;
    std::error_code Ignored;
    std::filesystem::remove(m_sDevice, Ignored);
  }

  void Stop() {
    if (m_nPid > 0) kill(m_nPid, SIGTERM);
    WaitForExit(Milliseconds(3000));
  }

  Options m_Options;
  std::filesystem::path m_Dir;
  std::string m_sDevice;
  std::string m_sControl;
  pid_t m_nPid = -1;
  int m_nControl = -1;
  std::string m_sControlBuffer;
};

}  // namespace TestSupport
