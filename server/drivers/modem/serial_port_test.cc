#include "server/drivers/modem/serial_port.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/error_info.h"
#include "scripted_modem.h"

using namespace Norvale;
using namespace std::chrono_literals;

namespace {

std::string Describe(const OS::_com_error& e) { return e.DescriptionA(); }

}  // namespace

TEST(CSerialPort, ASecondOpenerIsRefusedUntilTheFirstCloses) {
  ModemTest::CPty pty;
  CSerialPort first, second;
  first.Open({pty.Path(), 115200, false});
  try {
    second.Open({pty.Path(), 115200, false});
    FAIL() << "opened twice";
  } catch (const OS::_com_error& e) {
    EXPECT_NE(Describe(e).find("in use"), std::string::npos) << Describe(e);
    EXPECT_EQ(e.Error(), OS::HRESULT_FROM_WIN32(32));
  }
  // Another process (another gateway) is refused too, root or not, with the
  // same refusal: exit status 0 only for "in use", 1 when it opened, 2 for
  // another error, 3 for anything else thrown.
  const pid_t child = fork();
  if (child == 0) {
    CSerialPort other;
    try {
      other.Open({pty.Path(), 115200, false});
      _exit(1);
    } catch (const OS::_com_error& e) {
      const bool inUse = e.Error() == OS::HRESULT_FROM_WIN32(32) && Describe(e).find("in use") != std::string::npos;
      _exit(inUse ? 0 : 2);
    } catch (...) {
      _exit(3);
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened, 2: another error, 3: not an error of the port";
  first.Close();
  second.Open({pty.Path(), 115200, false});
  EXPECT_TRUE(second.IsOpen());
}

TEST(CSerialPort, ClearErrorsForAMissingDeviceAndABadSpeed) {
  CSerialPort port;
  try {
    port.Open({"/nonexistent/ttyUSB9", 115200, false});
    FAIL();
  } catch (const OS::_com_error& e) {
    EXPECT_EQ(e.Error(), OS::HRESULT_FROM_WIN32(OS::ERROR_FILE_NOT_FOUND));
    EXPECT_NE(Describe(e).find("/nonexistent/ttyUSB9"), std::string::npos);
  }
  ModemTest::CPty pty;
  EXPECT_THROW(port.Open({pty.Path(), 12345, false}), OS::_com_error);
  EXPECT_THROW(port.Open({"/dev/null", 115200, false}), OS::_com_error);  // not a terminal
  EXPECT_FALSE(port.IsOpen());
}

TEST(CSerialPort, ReadsWaitForDataATimeOutOrAWakeupAndReportAHangUp) {
  auto pty = std::make_unique<ModemTest::CPty>();
  CSerialPort port;
  port.Open({pty->Path(), 9600, true});
  CWakeup wakeup;
  char buffer[16];
  size_t got = 0;
  EXPECT_EQ(port.Read(buffer, sizeof buffer, &got, 50ms, &wakeup), CSerialPort::EWait::Timeout);
  wakeup.Signal();
  EXPECT_EQ(port.Read(buffer, sizeof buffer, &got, 5s, &wakeup), CSerialPort::EWait::Woken);
  ASSERT_EQ(write(pty->Master(), "OK\r\n", 4), 4);
  ASSERT_EQ(port.Read(buffer, sizeof buffer, &got, 5s, &wakeup), CSerialPort::EWait::Data);
  EXPECT_EQ(std::string(buffer, got), "OK\r\n");
  port.Write("AT\r", 1s);
  ASSERT_EQ(read(pty->Master(), buffer, sizeof buffer), 3);
  pty.reset();  // the device goes away
  EXPECT_THROW(port.Read(buffer, sizeof buffer, &got, 5s, &wakeup), OS::_com_error);
}
