// A scripted AT peer for the modem tests: the far end of a real
// pseudo-terminal, answering the driver's commands on a thread of its own
// like a GSM modem with a SIM and a small message store. It can need a PIN,
// be off the network, refuse a send with +CMS ERROR, fall silent, and
// raise unsolicited codes (Inject). Test code only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ModemTest {

// A pseudo-terminal pair. The peer keeps a descriptor of the terminal side
// open, so the device stays while the driver closes and reopens it.
class CPty {
 public:
  CPty() {
    m_nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_nMaster < 0 || grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0) throw std::runtime_error("no pty");
    m_sPath = ptsname(m_nMaster);
    m_nHeld = open(m_sPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_nHeld < 0) throw std::runtime_error("cannot open " + m_sPath);
    termios tio{};
    tcgetattr(m_nHeld, &tio);
    cfmakeraw(&tio);  // no echo before the driver sets its own mode
    tcsetattr(m_nHeld, TCSANOW, &tio);
  }
  ~CPty() { Close(); }
  void Close() {
    if (m_nHeld >= 0) close(m_nHeld);
    if (m_nMaster >= 0) close(m_nMaster);
    m_nHeld = m_nMaster = -1;
  }
  int Master() const { return m_nMaster; }
  const std::string& Path() const { return m_sPath; }

 private:
  int m_nMaster = -1, m_nHeld = -1;
  std::string m_sPath;
};

class CScriptedModem {
 public:
  // What the modem is like; change it under Lock() while running.
  bool bPinNeeded = false;
  std::string sPin = "1234";
  int nPinAttempts = 0;
  bool bRegistered = true;
  int nSignal = 20;            // +CSQ rssi
  int nCmsError = 0;           // answer AT+CMGS with +CMS ERROR: n
  int nDeleteRefusals = 0;     // the next n AT+CMGD get +CMS ERROR: 322
  bool bMute = false;          // answer nothing
  bool bMuteAfterPdu = false;  // take the PDU, then answer nothing
  bool bMuteOnPin = false;     // take a PIN, then answer nothing
  int nNextReference = 0;
  std::map<int, std::string> Store;   // index -> PDU (with SMSC prefix), "SM"
  std::vector<std::string> Commands;  // every command line, in order
  std::vector<std::string> Pdus;      // every PDU given after a prompt

  explicit CScriptedModem(int nMaster) : m_nMaster(nMaster) {
    if (pipe2(m_Stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    m_Thread = std::thread([this] { Run(); });
  }
  ~CScriptedModem() {
    (void)!write(m_Stop[1], "x", 1);
    m_Thread.join();
    close(m_Stop[0]);
    close(m_Stop[1]);
  }

  std::unique_lock<std::mutex> Lock() { return std::unique_lock(m_Lock); }
  // Raw text to the driver, as an unsolicited code ("\r\n+CMTI: \"SM\",3\r\n").
  void Inject(const std::string& sText) {
    std::lock_guard g(m_Lock);
    Write(sText);
  }
  size_t Count(const std::string& sCommand) {
    std::lock_guard g(m_Lock);
    return CountLocked(sCommand);
  }
  // The same, for WaitFor's condition (which runs under the lock).
  size_t CountLocked(const std::string& sCommand) const {
    size_t n = 0;
    for (const auto& c : Commands) n += c == sCommand;
    return n;
  }
  // Waits up to 10 s for `done` (checked under the lock).
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock l(m_Lock);
    return m_Changed.wait_for(l, timeout, done);
  }

 private:
  void Write(const std::string& s) { (void)!write(m_nMaster, s.data(), s.size()); }
  void Line(const std::string& s) { Write("\r\n" + s + "\r\n"); }

  void Answer(const std::string& c) {
    auto ok = [&] { Line("OK"); };
    if (c == "AT" || c == "ATE0" || c == "AT+CMEE=1" || c == "AT+CMGF=0" || c.rfind("AT+CNMI=", 0) == 0 ||
        c.rfind("AT+CSCA=", 0) == 0) {
      ok();
    } else if (c == "AT+CPIN?") {
      Line(bPinNeeded ? "+CPIN: SIM PIN" : "+CPIN: READY");
      ok();
    } else if (c.rfind("AT+CPIN=", 0) == 0) {
      ++nPinAttempts;
      if (bMuteOnPin) return;
      if (c == "AT+CPIN=\"" + sPin + "\"") {
        bPinNeeded = false;
        ok();
      } else {
        Line("+CME ERROR: 16");
      }
    } else if (c == "AT+CPMS?") {
      const std::string n = std::to_string(Store.size());
      Line("+CPMS: \"SM\"," + n + ",30,\"SM\"," + n + ",30,\"SM\"," + n + ",30");
      ok();
    } else if (c.rfind("AT+CPMS=", 0) == 0) {
      Line("+CPMS: " + std::to_string(Store.size()) + ",30," + std::to_string(Store.size()) + ",30");
      ok();
    } else if (c == "AT+CREG?") {
      Line(bRegistered ? "+CREG: 0,1" : "+CREG: 0,2");
      ok();
    } else if (c == "AT+CEREG?") {
      Line("+CEREG: 0,0");
      ok();
    } else if (c == "AT+CSQ") {
      Line("+CSQ: " + std::to_string(nSignal) + ",99");
      ok();
    } else if (c == "AT+CMGL=4") {
      for (const auto& [index, pdu] : Store) {
        Line("+CMGL: " + std::to_string(index) + ",0,," + std::to_string(pdu.size() / 2 - 1));
        Write(pdu + "\r\n");
      }
      ok();
    } else if (c.rfind("AT+CMGR=", 0) == 0) {
      const auto it = Store.find(std::atoi(c.c_str() + 8));
      if (it == Store.end()) return Line("+CMS ERROR: 321");
      Line("+CMGR: 0,," + std::to_string(it->second.size() / 2 - 1));
      Write(it->second + "\r\n");
      ok();
    } else if (c.rfind("AT+CMGD=", 0) == 0) {
      if (nDeleteRefusals > 0) {
        --nDeleteRefusals;
        return Line("+CMS ERROR: 322");
      }
      Store.erase(std::atoi(c.c_str() + 8));
      ok();
    } else if (c.rfind("AT+CMGS=", 0) == 0) {
      Write("\r\n> ");
      m_bPdu = true;
    } else {
      Line("ERROR");
    }
  }

  void TakePdu(const std::string& sPdu) {
    Pdus.push_back(sPdu);
    if (bMuteAfterPdu) return;
    if (nCmsError) return Line("+CMS ERROR: " + std::to_string(nCmsError));
    Line("+CMGS: " + std::to_string(nNextReference));
    nNextReference = (nNextReference + 1) & 0xFF;
    Line("OK");
  }

  void Run() {
    std::string input;
    while (true) {
      pollfd fds[2] = {{m_nMaster, POLLIN, 0}, {m_Stop[0], POLLIN, 0}};
      if (poll(fds, 2, 1000) < 0) continue;
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      char buffer[512];
      const ssize_t n = read(m_nMaster, buffer, sizeof buffer);
      if (n <= 0) return;  // the terminal side is gone for good
      input.append(buffer, static_cast<size_t>(n));
      std::lock_guard g(m_Lock);
      while (true) {
        const size_t end = input.find_first_of(m_bPdu ? "\x1a\x1b" : "\r");
        if (end == std::string::npos) break;
        const std::string item = input.substr(0, end);
        const bool cancelled = input[end] == '\x1b';
        input.erase(0, end + 1);
        if (m_bPdu) {
          m_bPdu = false;
          if (!cancelled && !bMute) TakePdu(item);
        } else {
          const size_t begin = item.find_first_not_of("\r\n");
          if (begin == std::string::npos) continue;
          Commands.push_back(item.substr(begin));
          if (!bMute) Answer(Commands.back());
        }
      }
      m_Changed.notify_all();
    }
  }

  int m_nMaster;
  int m_Stop[2] = {-1, -1};
  bool m_bPdu = false;
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::thread m_Thread;
};

}  // namespace ModemTest
