// A test SMS centre as a child process: smsc.js (the npm package smpp) or
// smsc.pl (Perl's Net::SMPP), commands on its stdin, one JSON event per line
// from its stdout. The process ends when the object goes. Used by the tests
// and the benchmark.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace SmscTest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// Makes `dir` and a key and a self-signed certificate for 127.0.0.1 in it
// (key.pem, cert.pem), for an SMS centre that speaks TLS. Returns "" or, when
// openssl failed, what it said.
inline std::string MakeTlsCertificate(const std::string& dir) {
  std::filesystem::create_directories(dir);
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
      "-keyout " +
      dir + "/key.pem -out " + dir + "/cert.pem 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "cannot run openssl";
  std::string out;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  return status == 0 ? std::string() : "openssl failed (" + std::to_string(status) + "): " + out;
}

class CSmscProcess {
 public:
  explicit CSmscProcess(std::vector<std::string> Argv) {
    int In[2], Out[2];
    if (pipe2(In, O_CLOEXEC) != 0 || pipe2(Out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    // Its standard error goes to a file of its own, read when it does not start.
    m_pErrors = std::tmpfile();
    if (!m_pErrors) throw std::runtime_error("no file for the SMS centre's standard error");
    m_nPid = fork();
    if (m_nPid == 0) {
      dup2(In[0], 0);
      dup2(Out[1], 1);
      dup2(fileno(m_pErrors), 2);
      if (chdir(VELQUOR_SMSC_DIR) != 0) _exit(126);
      std::vector<char*> Args;
      for (auto& s : Argv) Args.push_back(s.data());
      Args.push_back(nullptr);
      execvp(Args[0], Args.data());
      const std::string Failed = "cannot run " + Argv[0] + ": " + std::strerror(errno) + "\n";
      (void)!write(2, Failed.data(), Failed.size());
      _exit(127);
    }
    close(In[0]);
    close(Out[1]);
    m_nIn = In[1];
    m_nOut = Out[0];
    Json Listening = WaitFor("listening", 10s);
    if (Listening.is_null()) {
      // Node, its package or Perl's Net::SMPP missing: say so, not a JSON error.
      std::string Command;
      for (const auto& a : Argv) Command += (Command.empty() ? "" : " ") + a;
      Stop();
      const std::string Text = Errors();
      std::fclose(m_pErrors);
      throw std::runtime_error("SMS centre did not start (" + Command + "): " + Text);
    }
    m_nPort = Listening.value("port", 0);
  }

  ~CSmscProcess() {
    Stop();
    std::fclose(m_pErrors);
  }
  CSmscProcess(const CSmscProcess&) = delete;
  CSmscProcess& operator=(const CSmscProcess&) = delete;

  // What the process wrote to its standard error so far.
  std::string Errors() const {
    std::string s;
    char Buffer[4096];
    for (off_t At = 0;;) {
      const ssize_t n = pread(fileno(m_pErrors), Buffer, sizeof Buffer, At);
      if (n <= 0) break;
      s.append(Buffer, static_cast<size_t>(n));
      At += n;
    }
    return s.empty() ? "(nothing on its standard error)" : s;
  }

  uint16_t Port() const { return static_cast<uint16_t>(m_nPort); }
  // Keeps a client going while waiting for the SMSC's events.
  void SetPump(std::function<void()> Pump) { m_Pump = std::move(Pump); }

  // Sends a command and waits for the SMSC to have carried it out; false
  // when it did not say so in time.
  bool Command(const std::string& sLine) {
    const std::string s = sLine + "\n";
    if (write(m_nIn, s.data(), s.size()) != static_cast<ssize_t>(s.size())) return false;
    const Json Done = WaitFor("done", 5s);
    return !Done.is_null() && Done.value("command", "") == sLine.substr(0, sLine.find(' '));
  }

  // The next event of that name (any name: empty); earlier ones of other
  // names are kept for later calls. A null object when none came in time.
  Json WaitFor(const std::string& sEvent, Clock::duration Timeout) {
    auto Deadline = Clock::now() + Timeout;
    for (;;) {
      for (auto It = m_Events.begin(); It != m_Events.end(); ++It) {
        if (sEvent.empty() || It->value("event", "") == sEvent) {
          Json e = *It;
          m_Events.erase(It);
          return e;
        }
      }
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
      if (Left <= 0) return Json();
      pollfd Fd{m_nOut, POLLIN, 0};
      int nReady = poll(&Fd, 1, static_cast<int>(m_Pump ? std::min<int64_t>(Left, 10) : Left));
      if (m_Pump) m_Pump();
      if (nReady <= 0) continue;
      char Buffer[4096];
      ssize_t n = read(m_nOut, Buffer, sizeof Buffer);
      if (n <= 0) return Json();
      m_sPartial.append(Buffer, static_cast<size_t>(n));
      size_t nEnd;
      while ((nEnd = m_sPartial.find('\n')) != std::string::npos) {
        m_Events.push_back(Json::parse(m_sPartial.substr(0, nEnd), nullptr, false));
        m_sPartial.erase(0, nEnd + 1);
      }
    }
  }

 private:
  void Stop() {
    if (m_nPid < 0) return;
    close(m_nIn);  // end of input stops it
    bool Ended = false;
    for (int i = 0; i < 100 && !Ended; ++i) {
      Ended = waitpid(m_nPid, nullptr, WNOHANG) == m_nPid;
      if (!Ended) usleep(20000);
    }
    if (!Ended) {
      kill(m_nPid, SIGKILL);
      waitpid(m_nPid, nullptr, 0);
    }
    close(m_nOut);
    m_nPid = -1;
  }

  std::FILE* m_pErrors = nullptr;
  pid_t m_nPid = -1;
  int m_nIn = -1;
  int m_nOut = -1;
  int m_nPort = 0;
  std::string m_sPartial;
  std::vector<Json> m_Events;
  std::function<void()> m_Pump;
};

// Extra arguments go after the port (--tls-key/--tls-cert for smsc.js).
inline std::unique_ptr<CSmscProcess> NodeSmsc(std::vector<std::string> Extra = {}) {
  std::vector<std::string> Argv{"node", "smsc.js", "--port", "0"};
  Argv.insert(Argv.end(), Extra.begin(), Extra.end());
  return std::make_unique<CSmscProcess>(std::move(Argv));
}
inline std::unique_ptr<CSmscProcess> PerlSmsc() {
  return std::make_unique<CSmscProcess>(std::vector<std::string>{"perl", "smsc.pl", "--port", "0"});
}

}  // namespace SmscTest
