#include "server/drivers/modem/at_channel.h"

#include <gtest/gtest.h>

#include "platform/error_info.h"
#include "scripted_modem.h"

using namespace Norvale;
using namespace std::chrono_literals;

namespace {

// A channel on a pty whose far end the test writes by hand.
struct Channel {
  ModemTest::CPty pty;
  CSerialPort port;
  CWakeup wakeup;
  std::atomic<bool> stop{false};
  CAtChannel at{port, wakeup, stop};
  Channel() { port.Open({pty.Path(), 115200, false}); }
  // Answers the next command with `text` once it has arrived.
  std::thread Answer(std::string text) {
    return std::thread([this, text] {
      char buffer[256];
      std::string got;
      while (got.find_first_of("\r\x1a") == std::string::npos) {
        pollfd fd{pty.Master(), POLLIN, 0};
        if (poll(&fd, 1, 5000) <= 0) return;
        const ssize_t n = read(pty.Master(), buffer, sizeof buffer);
        if (n <= 0) return;
        got.append(buffer, static_cast<size_t>(n));
      }
      (void)!write(pty.Master(), text.data(), text.size());
    });
  }
};

}  // namespace

TEST(CAtChannel, FinalResultsInformationEchoAndUnsolicitedCodesInTheMiddle) {
  Channel c;
  auto t = c.Answer("AT+CSQ\r\r\n+CMTI: \"SM\",4\r\n\r\n+CSQ: 17,99\r\n+CDS: 6\r\n0006230000\r\n\r\nOK\r\n");
  const CAtResponse r = c.at.Command("AT+CSQ", 5s);
  t.join();
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.Value("+CSQ:"), "17,99");
  ASSERT_EQ(r.Lines.size(), 1u);  // the echo and the unsolicited codes are not part of the answer
  const auto u = c.at.TakeUnsolicited();
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[0].sLine, "+CMTI: \"SM\",4");
  EXPECT_EQ(u[1].sLine, "+CDS: 6");
  EXPECT_EQ(u[1].sPdu, "0006230000");

  t = c.Answer("\r\n+CMS ERROR: 500\r\n");
  const CAtResponse e = c.at.Command("AT+CMGD=1", 5s);
  t.join();
  EXPECT_EQ(e.eFinal, CAtResponse::EFinal::CmsError);
  EXPECT_EQ(e.nCode, 500);
  t = c.Answer("\r\n+CME ERROR: SIM busy\r\n");
  const CAtResponse text = c.at.Command("AT+CPIN?", 5s);
  t.join();
  EXPECT_EQ(text.eFinal, CAtResponse::EFinal::CmeError);
  EXPECT_EQ(text.nCode, -1);
  // +CREG: during AT+CREG? is the answer, not an unsolicited code.
  t = c.Answer("\r\n+CREG: 0,5\r\n\r\nOK\r\n");
  EXPECT_EQ(c.at.Command("AT+CREG?", 5s).Value("+CREG:"), "0,5");
  t.join();
  EXPECT_FALSE(c.at.HasUnsolicited());
}

TEST(CAtChannel, ThePromptThenThePduAndCtrlZ) {
  Channel c;
  for (const std::string prompt : {"\r\n> ", ">\r\n"}) {
    std::string received;
    std::thread peer([&] {
      char buffer[256];
      std::string got;
      auto readUntil = [&](char end) {
        while (got.find(end) == std::string::npos) {
          pollfd fd{c.pty.Master(), POLLIN, 0};
          if (poll(&fd, 1, 5000) <= 0) return;
          const ssize_t n = read(c.pty.Master(), buffer, sizeof buffer);
          if (n <= 0) return;
          got.append(buffer, static_cast<size_t>(n));
        }
      };
      readUntil('\r');
      (void)!write(c.pty.Master(), prompt.data(), prompt.size());
      readUntil('\x1a');
      received = got;
      (void)!write(c.pty.Master(), "\r\n+CMGS: 42\r\n\r\nOK\r\n", 19);
    });
    const CAtResponse r = c.at.SendWithPdu("AT+CMGS=5", "0011000000", 5s, 5s);
    peer.join();
    EXPECT_EQ(received, "AT+CMGS=5\r0011000000\x1a");
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Value("+CMGS:"), "42");
  }
}

TEST(CAtChannel, NoAnswerTimesOutGarbageIsDroppedAndStopInterrupts) {
  Channel c;
  try {
    c.at.Command("AT", 100ms);
    FAIL();
  } catch (const OS::_com_error& e) {
    EXPECT_EQ(e.Error(), OS::HRESULT_FROM_WIN32(OS::ERROR_TIMEOUT));
  }
  // No prompt: ESC cancels the command.
  EXPECT_THROW(c.at.SendWithPdu("AT+CMGS=5", "00", 100ms, 100ms), OS::_com_error);
  std::string sent;
  for (pollfd fd{c.pty.Master(), POLLIN, 0}; poll(&fd, 1, 200) > 0;) {
    char buffer[64];
    const ssize_t n = read(c.pty.Master(), buffer, sizeof buffer);
    if (n <= 0) break;
    sent.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(sent, "AT\rAT+CMGS=5\r\x1b");

  const std::string garbage = "\x01\x02zz\xff\r\n+XYZ: 1\r\n\r\n+CMTI: \"ME\",9\r\n";
  ASSERT_EQ(write(c.pty.Master(), garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
  EXPECT_TRUE(c.at.Idle(CAtChannel::Clock::now() + 5s));
  const auto u = c.at.TakeUnsolicited();
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].sLine, "+CMTI: \"ME\",9");
  EXPECT_EQ(c.at.GarbageLines(), 2);

  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    c.stop = true;
    c.wakeup.Signal();
  });
  try {
    c.at.Command("AT", 30s);
    FAIL();
  } catch (const OS::_com_error& e) {
    EXPECT_EQ(e.Error(), OS::E_ABORT);
  }
  stopper.join();
}

// A storm during one command: every storage indication is queued once, a
// few of them at most before they turn into "read the store", and other
// codes beyond the bound are dropped and counted, so memory stays bounded.
TEST(CAtChannel, AStormOfIndicationsIsCoalescedAndTheQueueBounded) {
  Channel c;
  std::thread peer([&] {
    char buffer[256];
    pollfd fd{c.pty.Master(), POLLIN, 0};
    if (poll(&fd, 1, 5000) <= 0 || read(c.pty.Master(), buffer, sizeof buffer) <= 0) return;
    std::string storm;
    for (int i = 0; i < 3000; ++i) storm += "\r\n+CMTI: \"SM\"," + std::to_string(i % 5) + "\r\nRING\r\n";
    for (int i = 0; i < 3000; ++i) storm += "\r\n+CMTI: \"SM\"," + std::to_string(i) + "\r\n";
    storm += "\r\nOK\r\n";
    for (size_t done = 0; done < storm.size();) {
      const ssize_t n = write(c.pty.Master(), storm.data() + done, storm.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  });
  const CAtResponse r = c.at.Command("AT", 10s);
  peer.join();
  EXPECT_TRUE(r.Ok());
  const auto queued = c.at.TakeUnsolicited();
  size_t indications = 0, rings = 0;
  for (const auto& u : queued) (u.sLine == "RING" ? rings : indications) += 1;
  EXPECT_EQ(rings + indications, queued.size());
  EXPECT_LE(queued.size(), CAtChannel::kMaxQueued + CAtChannel::kMaxStorageIndications);
  EXPECT_EQ(indications, CAtChannel::kMaxStorageIndications);  // 5 slots, then 11 more of the second run
  EXPECT_EQ(c.at.TakeDropped(), static_cast<long>(3000 - rings));
  EXPECT_TRUE(c.at.TakeStoreChanged());
  EXPECT_FALSE(c.at.TakeStoreChanged());
  EXPECT_EQ(c.at.TakeDropped(), 0);
}
