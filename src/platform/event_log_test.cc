#include "platform/event_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "skip_support.h"
#include "test_support.h"

using namespace Norvale::OS;

namespace {

// A stand-in for the syslog daemon: a datagram socket bound at
// $NORVALE_ROOT/dev/log.
class FakeSyslog {
 public:
  FakeSyslog() {
    m_dir = TestSupport::FreshDir("dev");
    const std::string path = m_dir + "/log";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(m_fd);
      m_fd = -1;
    }
  }
  ~FakeSyslog() {
    if (m_fd >= 0) close(m_fd);
  }
  bool Ready() const { return m_fd >= 0; }
  const std::string& Directory() const { return m_dir; }

  // The next datagram, or "" when none comes within a second.
  std::string Next() {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return "";
    std::vector<char> buf(256 * 1024);
    const ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
    return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : "";
  }

 private:
  std::string m_dir;
  int m_fd = -1;
};

void Report(const char* source, WORD type, std::vector<LPCSTR> strings) {
  const HANDLE h = RegisterEventSourceA(nullptr, source);
  ReportEventA(h, type, 0, 7, nullptr, static_cast<WORD>(strings.size()), 0, strings.data(), nullptr);
  DeregisterEventSource(h);
}

class SyslogSink : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("NORVALE_EVENTLOG");
    m_oldChoice = old ? old : "";
    setenv("NORVALE_EVENTLOG", "syslog", 1);
  }
  void TearDown() override { setenv("NORVALE_EVENTLOG", m_oldChoice.c_str(), 1); }
  std::string m_oldChoice;
};

}  // namespace

TEST_F(SyslogSink, WritesOneRfc3164DatagramPerRecordToTheLocalSocket) {
  FakeSyslog daemon;
  ASSERT_TRUE(daemon.Ready());
  const std::string pid = std::to_string(getpid());
  Report("VelquorServer", EVENTLOG_ERROR_TYPE, {"first line", "second line"});
  Report("VelquorServer", EVENTLOG_WARNING_TYPE, {"careful"});
  Report("My Source: x", EVENTLOG_INFORMATION_TYPE, {"fine"});
  const std::regex head(R"(<(\d+)>[A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d ([\s\S]*))");
  std::smatch m;
  std::string record = daemon.Next();
  ASSERT_TRUE(std::regex_match(record, m, head)) << record;
  EXPECT_EQ(m[1], std::to_string(LOG_USER | LOG_ERR));
  EXPECT_EQ(m[2], "VelquorServer[" + pid + "]: first line\nsecond line");
  record = daemon.Next();
  ASSERT_TRUE(std::regex_match(record, m, head)) << record;
  EXPECT_EQ(m[1], std::to_string(LOG_USER | LOG_WARNING));
  EXPECT_EQ(m[2], "VelquorServer[" + pid + "]: careful");
  record = daemon.Next();
  ASSERT_TRUE(std::regex_match(record, m, head)) << record;
  EXPECT_EQ(m[1], std::to_string(LOG_USER | LOG_INFO));
  EXPECT_EQ(m[2], "My_Source__x[" + pid + "]: fine");  // blanks and colons would end the tag early
}

TEST_F(SyslogSink, SurvivesARestartedDaemonAndCutsATextTooLongForADatagram) {
  {
    FakeSyslog daemon;
    ASSERT_TRUE(daemon.Ready());
    Report("VelquorServer", EVENTLOG_INFORMATION_TYPE, {"one"});
    EXPECT_NE(daemon.Next().find("one"), std::string::npos);
  }
  Report("VelquorServer", EVENTLOG_INFORMATION_TYPE, {"lost while no daemon runs"});
  FakeSyslog restarted;
  ASSERT_TRUE(restarted.Ready());
  Report("VelquorServer", EVENTLOG_INFORMATION_TYPE, {"two"});
  EXPECT_NE(restarted.Next().find("]: two"), std::string::npos);

  std::string huge(1 << 20, 'x');
  huge.replace(16 * 1024 - 1, 2, "\xC3\xA9");  // an "é" across the cut
  Report("VelquorServer", EVENTLOG_INFORMATION_TYPE, {huge.c_str()});
  const std::string record = restarted.Next();
  const size_t text = record.find("]: ");
  ASSERT_NE(text, std::string::npos) << record.substr(0, 80);
  EXPECT_EQ(record.substr(text + 3), std::string(16 * 1024 - 1, 'x') + "...");
}

// The host application's own openlog settings (identity, facility, options)
// are the application's: the library's records must not change them. Both
// syslog(3) and the library write to /dev/log here, which a private mount
// namespace points at the fake daemon.
// What a record written in `body` left on standard error (of this child).
std::string StandardErrorOf(const std::function<void()>& body) {
  const std::string path = TestSupport::FreshDir("stderr") + "/err";
  fflush(stderr);
  const int saved = dup(2);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 2);
  close(fd);
  body();
  dup2(saved, 2);
  close(saved);
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Without a journal and a syslog daemon records go to standard error, not
// nowhere; and a root of its own (NORVALE_ROOT) without a syslog socket of
// its own uses the system's /dev/log.
TEST(EventLogFallback, RecordsNoDaemonTakesGoToStandardError) {
  {
    FakeSyslog gone;  // leaves its socket file, which nobody reads any more
    ASSERT_TRUE(gone.Ready());
  }
  setenv("NORVALE_EVENTLOG", "syslog", 1);
  const std::string dead = StandardErrorOf([] { Report("VelquorServer", EVENTLOG_WARNING_TYPE, {"no daemon"}); });
  EXPECT_EQ(dead, "VelquorServer [warning]: no daemon\n");
  setenv("NORVALE_EVENTLOG", "none", 1);

  FakeSyslog daemon;
  ASSERT_TRUE(daemon.Ready());
  const std::string other = TestSupport::FreshDir("other-root");
  const std::string result = TestSupport::RunInChild([&]() -> std::string {
    const std::string empty = TestSupport::FreshDir("empty");
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(empty.c_str(), "/run", nullptr, MS_BIND, nullptr) != 0 ||
        mount(empty.c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0)
      return std::string("skip: no private mount namespace: ") + std::strerror(errno);
    unsetenv("NORVALE_EVENTLOG");
    setenv("NORVALE_ROOT", other.c_str(), 1);
    std::string faults;
    if (EventLogDestination() != "standard error (no journal or syslog socket on this machine)")
      faults += "destination: " + EventLogDestination() + "\n";
    const std::string err = StandardErrorOf([] { Report("VelquorServer", EVENTLOG_ERROR_TYPE, {"nowhere else"}); });
    if (err != "VelquorServer [error]: nowhere else\n") faults += "standard error: " + err + "\n";
    // The system's /dev/log, though NORVALE_ROOT is set.
    if (mount(daemon.Directory().c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0) return "cannot mount /dev";
    if (EventLogDestination() != "syslog at /dev/log, else standard error")
      faults += "destination: " + EventLogDestination() + "\n";
    Report("VelquorServer", EVENTLOG_ERROR_TYPE, {"to syslog"});
    const std::string record = daemon.Next();
    if (record.find(" VelquorServer[" + std::to_string(getpid()) + "]: to syslog") == std::string::npos)
      faults += "syslog: " + record + "\n";
    return faults;
  });
  if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
  EXPECT_EQ(result, "");
}

TEST_F(SyslogSink, LeavesTheHostApplicationsOpenlogSettingsAlone) {
  FakeSyslog daemon;
  ASSERT_TRUE(daemon.Ready());
  const std::string result = TestSupport::RunInChild([&]() -> std::string {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(daemon.Directory().c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0)
      return std::string("skip: no private mount namespace: ") + std::strerror(errno);
    const std::string pid = std::to_string(getpid());
    openlog("host-app", LOG_PID, LOG_LOCAL3);
    syslog(LOG_NOTICE, "before");
    Report("VelquorServer", EVENTLOG_ERROR_TYPE, {"library record"});
    syslog(LOG_NOTICE, "after");
    closelog();
    const std::string host = "<" + std::to_string(LOG_LOCAL3 | LOG_NOTICE) + ">";
    const std::string records[] = {daemon.Next(), daemon.Next(), daemon.Next()};
    std::string faults;
    if (records[0].rfind(host, 0) != 0 || records[0].find(" host-app[" + pid + "]: before") == std::string::npos)
      faults += "first host record: " + records[0] + "\n";
    if (records[1].rfind("<" + std::to_string(LOG_USER | LOG_ERR) + ">", 0) != 0 ||
        records[1].find(" VelquorServer[" + pid + "]: library record") == std::string::npos)
      faults += "library record: " + records[1] + "\n";
    if (records[2].rfind(host, 0) != 0 || records[2].find(" host-app[" + pid + "]: after") == std::string::npos)
      faults += "host record after the library's: " + records[2] + "\n";
    return faults;
  });
  if (result.rfind("skip:", 0) == 0) SKIP_UNLESS_CI() << result;
  EXPECT_EQ(result, "");
}

namespace {

// A stand-in for journald: a datagram socket that a private mount namespace
// puts at /run/systemd/journal/socket, where sd_journal_sendv writes.
class FakeJournal {
 public:
  FakeJournal() {
    m_run = TestSupport::FreshDir("journal-run");
    std::filesystem::create_directories(m_run + "/systemd/journal");
    const std::string path = m_run + "/systemd/journal/socket";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(m_fd);
      m_fd = -1;
    }
  }
  ~FakeJournal() {
    if (m_fd >= 0) close(m_fd);
  }
  bool Ready() const { return m_fd >= 0; }
  // What the child mounts over /run.
  const std::string& RunDirectory() const { return m_run; }

  // The fields of the next record in the native protocol (NAME=value lines,
  // or NAME, a 64-bit little-endian length and the bytes for a value with a
  // line feed); empty when none comes within a second. A field given twice
  // is kept as "first\x1fsecond".
  std::map<std::string, std::string> Next() {
    std::map<std::string, std::string> fields;
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return fields;
    std::vector<char> buf(256 * 1024);
    const ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
    if (n <= 0) return fields;
    const std::string d(buf.data(), static_cast<size_t>(n));
    for (size_t at = 0; at < d.size();) {
      const size_t eol = d.find('\n', at);
      if (eol == std::string::npos) break;
      const std::string line = d.substr(at, eol - at);
      std::string name, value;
      if (const size_t eq = line.find('='); eq != std::string::npos) {
        name = line.substr(0, eq);
        value = line.substr(eq + 1);
        at = eol + 1;
      } else {
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(d[eol + 1 + i]);
        name = line;
        value = d.substr(eol + 9, size);
        at = eol + 9 + size + 1;
      }
      auto [it, fresh] = fields.emplace(name, value);
      if (!fresh) it->second += "\x1f" + value;
    }
    return fields;
  }

 private:
  std::string m_run;
  int m_fd = -1;
};

}  // namespace

// Every record carries the identifier, the priority, a MESSAGE_ID for its
// kind of event and the library's own fields, byte for byte; none carries
// the location of the logging function itself.
TEST(JournalSink, WritesTheFieldsOfEachRecordAndNoCodeLocation) {
  FakeJournal journal;
  ASSERT_TRUE(journal.Ready());
  const std::string result = TestSupport::RunInChild([&]() -> std::string {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(journal.RunDirectory().c_str(), "/run", nullptr, MS_BIND, nullptr) != 0)
      return std::string("skip: no private mount namespace: ") + std::strerror(errno);
    setenv("NORVALE_EVENTLOG", "journal", 1);
    std::string faults;
    auto expect = [&](const std::map<std::string, std::string>& f, const std::string& name, const std::string& value) {
      const auto it = f.find(name);
      if (it == f.end())
        faults += name + " missing\n";
      else if (it->second != value)
        faults += name + "=" + it->second + ", not " + value + "\n";
    };
    const HANDLE h = RegisterEventSourceA(nullptr, "VelquorServer");
    LPCSTR two[] = {"first line", "100% sure"};
    ReportEventA(h, EVENTLOG_ERROR_TYPE, 3, EVENT_SERVICE_FAILED, nullptr, 2, 0, two, nullptr);
    auto f = journal.Next();
    expect(f, "MESSAGE", "first line\n100% sure");
    expect(f, "PRIORITY", std::to_string(LOG_ERR));
    expect(f, "SYSLOG_IDENTIFIER", "VelquorServer");
    expect(f, "MESSAGE_ID", "e70567a86d754c68bbbe5c7e3b4e9dc5");
    expect(f, "NORVALE_EVENT_TYPE", "1");
    expect(f, "NORVALE_EVENT_CATEGORY", "3");
    expect(f, "NORVALE_EVENT_ID", std::to_string(EVENT_SERVICE_FAILED));
    for (const char* location : {"CODE_FILE", "CODE_LINE", "CODE_FUNC"})
      if (f.count(location)) faults += std::string(location) + "=" + f[location] + " names the logging function\n";
    if (f.size() != 7) faults += std::to_string(f.size()) + " fields, not 7\n";

    LPCSTR one[] = {"serving"};
    ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 0, EVENT_SERVICE_STARTED, nullptr, 1, 0, one, nullptr);
    f = journal.Next();
    expect(f, "PRIORITY", std::to_string(LOG_INFO));
    expect(f, "MESSAGE_ID", "12611d24fa944ccaa5eedc6ca73ac753");
    ReportEventA(h, EVENTLOG_WARNING_TYPE, 0, 4242, nullptr, 1, 0, one, nullptr);
    f = journal.Next();
    expect(f, "PRIORITY", std::to_string(LOG_WARNING));
    expect(f, "MESSAGE_ID", JournalMessageId(EVENT_GENERAL));  // an id of no kind of its own
    expect(f, "NORVALE_EVENT_ID", "4242");
    DeregisterEventSource(h);
    return faults;
  });
  if (result.rfind("skip:", 0) == 0) SKIP_UNLESS_CI() << result;
  EXPECT_EQ(result, "");
}

TEST(JournalSink, EveryKindOfEventHasAMessageIdOfItsOwn) {
  std::set<std::string> seen;
  for (DWORD id = EVENT_GENERAL; id <= EVENT_HTTP_ACCESS; ++id) {
    const std::string messageId = JournalMessageId(id);
    EXPECT_TRUE(std::regex_match(messageId, std::regex("[0-9a-f]{32}"))) << messageId;
    EXPECT_TRUE(seen.insert(messageId).second) << "event " << id << " shares " << messageId;
  }
  EXPECT_STREQ(JournalMessageId(EVENT_HTTP_ACCESS + 1), JournalMessageId(EVENT_GENERAL));
}
