// The modem emulator against clients nobody here wrote (Gammu), and the
// parts of its dialogue the driver's scenarios lean on, spoken through its
// pseudo-terminal like a serial port.
#include "modem/modem_emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "codec/hex.h"
#include "codec/sms_status_report.h"

namespace TestSupport {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// A bare AT client on the device: what a serial driver does, without one.
class CAtPort {
 public:
  explicit CAtPort(const std::string& sDevice) {
    m_nFd = open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_nFd < 0) throw std::runtime_error("cannot open " + sDevice);
    termios Mode{};
    tcgetattr(m_nFd, &Mode);
    cfmakeraw(&Mode);
    tcsetattr(m_nFd, TCSANOW, &Mode);
  }
  ~CAtPort() { close(m_nFd); }
  CAtPort(const CAtPort&) = delete;
  CAtPort& operator=(const CAtPort&) = delete;

  void Write(const std::string& s) {
    if (write(m_nFd, s.data(), s.size()) != static_cast<ssize_t>(s.size())) throw std::runtime_error("write");
  }

  // Reads until the text holds sEnd, or the bound passes; what was read.
  // bHangup tells whether the device went away.
  std::string ReadUntil(const std::string& sEnd, std::chrono::milliseconds Limit, bool* bHangup = nullptr) {
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (m_sBuffer.find(sEnd) == std::string::npos) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now());
      if (Left.count() <= 0) break;
      pollfd Poll{m_nFd, POLLIN, 0};
      if (poll(&Poll, 1, static_cast<int>(Left.count())) <= 0) break;
      char Buffer[512];
      const ssize_t n = read(m_nFd, Buffer, sizeof Buffer);
      if (n <= 0) {
        if (bHangup) *bHangup = true;
        break;
      }
      m_sBuffer.append(Buffer, static_cast<size_t>(n));
    }
    const size_t nAt = m_sBuffer.find(sEnd);
    const size_t nTake = nAt == std::string::npos ? m_sBuffer.size() : nAt + sEnd.size();
    std::string sOut = m_sBuffer.substr(0, nTake);
    m_sBuffer.erase(0, nTake);
    return sOut;
  }

  // The next nCount lines (each up to its CR LF), in order.
  std::string ReadLines(int nCount, std::chrono::milliseconds Limit = 2s) {
    std::string s;
    for (int i = 0; i < nCount; ++i) s += ReadUntil("\r\n", Limit);
    return s;
  }

  // A command and its answer up to the final result code (or the prompt).
  std::string Command(const std::string& sCommand, std::chrono::milliseconds Limit = 3s) {
    Write(sCommand + "\r");
    const auto Complete = [](const std::string& s) {
      return s.ends_with("\r\nOK\r\n") || s.ends_with("\r\n> ") ||
             (s.find("ERROR") != std::string::npos && s.ends_with("\r\n"));
    };
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (!Complete(m_sBuffer)) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now());
      pollfd Poll{m_nFd, POLLIN, 0};
      if (Left.count() <= 0 || poll(&Poll, 1, static_cast<int>(Left.count())) <= 0) break;
      char Buffer[512];
      const ssize_t n = read(m_nFd, Buffer, sizeof Buffer);
      if (n <= 0) break;
      m_sBuffer.append(Buffer, static_cast<size_t>(n));
    }
    return std::exchange(m_sBuffer, std::string());
  }

 private:
  int m_nFd = -1;
  std::string m_sBuffer;
};

ModemEmulatorOptions Quiet() {
  ModemEmulatorOptions Options;
  Options.bEcho = false;
  return Options;
}

bool HaveGammu() { return std::system("command -v gammu >/dev/null 2>&1") == 0; }

// Gammu speaks the dialogue its authors met on real phones and modems:
// identification, SMS centre, PDU mode, AT+CMGS with the prompt. What it
// sends must read back (through node-pdu) as the number and text given.
TEST(ModemEmulator, GammuIdentifiesAndSendsThroughIt) {
  if (!HaveGammu()) GTEST_FAIL() << "gammu is missing: run scripts/setup.sh";
  CModemEmulator Modem;
  const auto Rc = Modem.Directory() / "gammurc";
  std::ofstream(Rc) << "[gammu]\ndevice = " << Modem.DevicePath()
                    << "\nconnection = at\nlogfile = " << (Modem.Directory() / "gammu.log").string()
                    << "\nlogformat = textall\nuse_locking = no\n";  // no lock file in /var/lock
  const std::string sGammu = "gammu -c " + Rc.string();
  const auto Run = [&](const std::string& sArgs) {
    const std::string sOut = (Modem.Directory() / "gammu.out").string();
    const int nRc = std::system(("timeout 60 " + sGammu + " " + sArgs + " >" + sOut + " 2>&1").c_str());
    std::ifstream In(sOut);
    std::string sText((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    return std::make_pair(nRc, sText);
  };

  const auto [nIdentify, sIdentify] = Run("identify");
  EXPECT_EQ(nIdentify, 0) << sIdentify << Modem.Log();
  EXPECT_NE(sIdentify.find("356938035643809"), std::string::npos) << sIdentify;
  EXPECT_NE(sIdentify.find("001010123456789"), std::string::npos) << sIdentify;

  const auto [nSend, sSend] = Run("sendsms TEXT +4915551234 -text 'Gammu says hi: [x] ^ {y} 5€'");
  EXPECT_EQ(nSend, 0) << sSend << Modem.Log();
  const Json Sent = Modem.Submissions();
  ASSERT_EQ(Sent.size(), 1u) << Modem.Log();
  const Json& Decoded = Sent[0]["decoded"];
  EXPECT_EQ(Decoded["destination"]["number"], "+4915551234");
  EXPECT_EQ(Decoded["destination"]["toa"], 0x91);
  EXPECT_EQ(Decoded["alphabet"], "gsm7");
  EXPECT_EQ(Decoded["text"], "Gammu says hi: [x] ^ {y} 5€");
  EXPECT_EQ(Sent[0]["mr"], 0);
  EXPECT_NE(sSend.find("reference=0"), std::string::npos) << sSend;
}

// The SIM: a wrong PIN is refused and counted, never unlocks; the third
// wrong one asks for the PUK; SMS commands wait for the SIM.
TEST(ModemEmulator, PinIsCountedAndNeverUnlockedByAWrongOne) {
  ModemEmulatorOptions Options;
  Options.sPin = "1234";
  CModemEmulator Modem(Options);
  CAtPort Port(Modem.DevicePath());
  EXPECT_NE(Port.Command("ATE0").find("OK"), std::string::npos);
  EXPECT_EQ(Port.Command("AT+CMEE=1"), "\r\nOK\r\n");
  EXPECT_EQ(Port.Command("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
  EXPECT_EQ(Port.Command("AT+CMGL=4"), "\r\n+CMS ERROR: 311\r\n");
  EXPECT_EQ(Port.Command("AT+CPIN=\"0000\""), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(Port.Command("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
  EXPECT_EQ(Modem.Status()["pinTries"], 2);
  EXPECT_EQ(Port.Command("AT+CPIN=\"1234\""), "\r\nOK\r\n");
  EXPECT_EQ(Port.Command("AT+CPIN?"), "\r\n+CPIN: READY\r\n\r\nOK\r\n");

  Modem.Set({{"pin", "4321"}});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Port.Command("AT+CPIN=\"1111\""), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(Port.Command("AT+CPIN=\"4321\""), "\r\n+CME ERROR: 16\r\n") << "blocked: the PIN no longer works";
  EXPECT_EQ(Port.Command("AT+CPIN?"), "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n");
  EXPECT_EQ(Port.Command("AT+CMEE=2"), "\r\nOK\r\n");
  EXPECT_EQ(Port.Command("AT+CPIN=\"12345678\",\"9999\""), "\r\nOK\r\n");
  EXPECT_EQ(Port.Command("AT+CPIN?"), "\r\n+CPIN: READY\r\n\r\nOK\r\n");
  EXPECT_EQ(Port.Command("AT+CPIN=\"9999\""), "\r\n+CME ERROR: operation not allowed\r\n");
}

// Sending: the prompt, the length check, references that wrap past 255,
// no service without registration, an injected +CMS ERROR 500, cancel.
TEST(ModemEmulator, SendsWithWrappingReferencesAndErrors) {
  ModemEmulatorOptions Options;
  Options.nFirstReference = 254;
  Options.bEcho = false;
  CModemEmulator Modem(Options);
  CAtPort Port(Modem.DevicePath());
  ASSERT_EQ(Port.Command("AT+CMEE=1"), "\r\nOK\r\n");
  const std::string sPdu = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";  // 23 octets after the 00
  const auto Send = [&](const std::string& sLength, const std::string& sHex) {
    if (Port.Command("AT+CMGS=" + sLength) != "\r\n> ") return std::string("no prompt");
    Port.Write(sHex + "\x1a");
    return Port.Command("", 3s);
  };
  EXPECT_EQ(Send("23", sPdu), "\r\n+CMGS: 254\r\n\r\nOK\r\n");
  EXPECT_EQ(Send("23", sPdu), "\r\n+CMGS: 255\r\n\r\nOK\r\n");
  EXPECT_EQ(Send("23", sPdu), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
  EXPECT_EQ(Send("22", sPdu), "\r\n+CMS ERROR: 304\r\n");
  EXPECT_EQ(Send("23", sPdu.substr(0, 40)), "\r\n+CMS ERROR: 304\r\n");
  Modem.Misbehave("cms-error", 500, 1);
  EXPECT_EQ(Send("23", sPdu), "\r\n+CMS ERROR: 500\r\n");
  Modem.Set({{"creg", 2}});
  EXPECT_EQ(Port.Command("AT+CREG?"), "\r\n+CREG: 0,2\r\n\r\nOK\r\n");
  EXPECT_EQ(Send("23", sPdu), "\r\n+CMS ERROR: 331\r\n");
  Modem.Set({{"creg", 5}});
  ASSERT_EQ(Port.Command("AT+CMGS=23"), "\r\n> ");
  Port.Write("0011\x1b");
  EXPECT_EQ(Port.Command("", 3s), "\r\nOK\r\n") << "Esc cancels";
  EXPECT_EQ(Send("23", sPdu), "\r\n+CMGS: 1\r\n\r\nOK\r\n");

  const Json Sent = Modem.Submissions();
  ASSERT_EQ(Sent.size(), 4u);
  EXPECT_EQ(Sent[2]["mr"], 0);
  EXPECT_EQ(Sent[3]["decoded"]["text"], "hellohello");
  EXPECT_EQ(Sent[3]["decoded"]["validitySeconds"], 4 * 24 * 3600);
}

// Receiving: +CMTI for a stored message, +CMGR/+CMGL/+CMGD on the store, a
// status report as +CDS; the store outlives a pulled device.
TEST(ModemEmulator, StoresIndicatesAndSurvivesADisconnect) {
  CModemEmulator Modem(Quiet());
  {
    CAtPort Port(Modem.DevicePath());
    ASSERT_EQ(Port.Command("AT+CMEE=1;+CMGF=0"), "\r\nOK\r\n");
    ASSERT_EQ(Port.Command("AT+CNMI=2,1,0,1,0"), "\r\nOK\r\n");
    const Json Got = Modem.Deliver({{"from", "+4915550001"}, {"text", "first"}});
    EXPECT_EQ(Got["index"], 1);
    EXPECT_EQ(Port.ReadLines(2), "\r\n+CMTI: \"SM\",1\r\n");
    const std::string sRead = Port.Command("AT+CMGR=1");
    EXPECT_EQ(sRead, "\r\n+CMGR: 0,,23\r\n" + Got["pdu"].get<std::string>() + "\r\n\r\nOK\r\n");
    EXPECT_NE(Port.Command("AT+CMGR=1").find("+CMGR: 1,,23"), std::string::npos) << "read now";
    EXPECT_EQ(Port.Command("AT+CMGR=2"), "\r\n+CMS ERROR: 321\r\n");

    Modem.Report(77, 0x00, {{"recipient", "+4915551234"}});
    const std::string sReport = Port.ReadLines(3);
    EXPECT_EQ(sReport.rfind("\r\n+CDS: 24\r\n", 0), 0u) << sReport;
    const size_t nPdu = sReport.find("\r\n", 2) + 2;
    const std::string sPdu = sReport.substr(nPdu, sReport.size() - 2 - nPdu);
    EXPECT_EQ(Norvale::Sms::DecodeStatusReport(Norvale::Sms::FromHex(sPdu)).nMessageReference, 77);

    ASSERT_EQ(Port.Command("AT+CNMI=2,1,0,2,0"), "\r\nOK\r\n");
    Modem.Report(78, 0x46);
    EXPECT_EQ(Port.ReadLines(2), "\r\n+CDSI: \"SM\",2\r\n");
    const std::string sList = Port.Command("AT+CMGL=4");
    EXPECT_NE(sList.find("+CMGL: 1,1,,23"), std::string::npos) << sList;
    EXPECT_NE(sList.find("+CMGL: 2,0,,23"), std::string::npos) << sList;
    EXPECT_EQ(Port.Command("AT+CMGD=2"), "\r\nOK\r\n");

    Modem.Disconnect();
    bool bHangup = false;
    Port.ReadUntil("never", 2s, &bHangup);
    EXPECT_TRUE(bHangup);
    EXPECT_FALSE(std::filesystem::exists(Modem.DevicePath()));
  }
  Modem.Restart();
  CAtPort Port(Modem.DevicePath());
  EXPECT_NE(Port.Command("AT+CMGL=4").find("+CMGL: 1,1,,23"), std::string::npos);
  ASSERT_EQ(Modem.Store().size(), 1u);
}

// Misbehaviour: silence from the PDU on (the modem hangs mid-send), noise
// instead of answers, late answers.
TEST(ModemEmulator, StopsAnsweringMidSendAndAnswersGarbage) {
  CModemEmulator Modem(Quiet());
  CAtPort Port(Modem.DevicePath());
  Modem.Misbehave("silent-on-send");
  ASSERT_EQ(Port.Command("AT+CMGS=23"), "\r\n> ");
  Port.Write("0011000B916407281553F80000AA0AE8329BFD4697D9EC37\x1a");
  EXPECT_EQ(Port.Command("", 500ms), "");
  EXPECT_EQ(Port.Command("AT", 500ms), "");
  EXPECT_TRUE(Modem.Submissions().empty()) << "nothing was sent";
  Modem.Misbehave("garbage");
  const std::string sNoise = Port.Command("AT", 1s);
  EXPECT_EQ(sNoise.find("OK"), std::string::npos);
  EXPECT_FALSE(sNoise.empty());
  Modem.Misbehave("none");
  EXPECT_EQ(Port.Command("AT"), "\r\nOK\r\n");

  // A slow modem: the answer comes, late; odd unsolicited lines come as given.
  Modem.Set({{"delayMs", 400}});
  EXPECT_EQ(Port.Command("AT+CSQ", 100ms), "");
  EXPECT_EQ(Port.Command("", 3s), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
  Modem.Set({{"delayMs", 0}});
  Modem.Control({{"cmd", "raw"}, {"text", "\r\nRING\r\n"}});
  EXPECT_EQ(Port.ReadLines(2), "\r\nRING\r\n");
  const Json Commands = Modem.Commands();
  EXPECT_EQ(Commands.front(), "AT+CMGS=23");
}

}  // namespace
}  // namespace TestSupport
