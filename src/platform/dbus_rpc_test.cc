#include "platform/dbus_rpc.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/event_log.h"
#include "skip_support.h"
#include "test_support.h"

using namespace Norvale::OS;

namespace {

std::vector<DBusServer::Method> EchoMethods() {
  return {{"Echo", "s", "s", [](const DBusValues& in, DBusValues* out, std::string*) {
             out->push_back(in.at(0));
             return S_OK;
           }}};
}

std::string SocketPath(const char* name) { return TestSupport::FreshDir("dbus") + "/" + name; }

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

std::string Echo(const std::string& socket, const std::string& text) {
  std::shared_ptr<DBusClient> client;
  if (FAILED(DBusClient::Connect(socket, &client))) return "(no connection)";
  DBusValues out;
  if (FAILED(client->Call("/t", "com.norvale.Test", "Echo", "s", {text}, "s", &out))) return "(call failed)";
  return std::get<std::string>(out.at(0));
}

}  // namespace

TEST(DBusServer, RefusesToListenWithAnInterfaceSdBusWouldRefuse) {
  struct Case {
    const char *path, *interface, *signature;
  } cases[] = {
      {"/t", "not a valid name", "s"},
      {"no/leading/slash", "com.norvale.Test", "s"},
      {"/t", "com.norvale.Test", "(s"},
  };
  for (const auto& c : cases) {
    DBusServer server;
    auto methods = EchoMethods();
    methods[0].inSig = c.signature;
    server.AddInterface(c.path, c.interface, methods);
    const std::string socket = SocketPath("refused.sock");
    errno = 0;
    EXPECT_FALSE(server.Listen(socket)) << c.interface << " " << c.path << " " << c.signature;
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(server.ErrorText().find(c.interface), std::string::npos) << server.ErrorText();
    EXPECT_NE(access(socket.c_str(), F_OK), 0);  // nothing left behind
  }
  DBusServer server;
  server.AddInterface("/t", "com.norvale.Test", EchoMethods());
  const std::string socket = SocketPath("fine.sock");
  ASSERT_TRUE(server.Listen(socket)) << server.ErrorText();
  EXPECT_FALSE(server.Listen(socket));
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(Echo(socket, "still serving"), "still serving");
  server.Stop();
  ASSERT_TRUE(server.Listen(socket)) << server.ErrorText();  // again after Stop
  EXPECT_EQ(Echo(socket, "h\xC3\xA9"), "h\xC3\xA9");
}

// Out of descriptors, accept fails while the connection stays queued: the
// server must wait instead of polling the queue at full speed, say so once,
// and serve again when descriptors are free.
TEST(DBusServer, BacksOffWhileOutOfDescriptorsAndRecovers) {
  const std::string path = SocketPath("emfile.sock");
  const std::string result = TestSupport::RunInChild([&]() -> std::string {
    EventLogCapture log;
    DBusServer server("TestServer");
    server.AddInterface("/t", "com.norvale.Test", EchoMethods());
    if (!server.Listen(path)) return "listen: " + server.ErrorText();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    const int pending = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const rlimit limit{128, 128};
    if (pending < 0 || setrlimit(RLIMIT_NOFILE, &limit) != 0) return "no socket or limit";
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fillers.size() < 1000;) fillers.push_back(fd);
    if (errno != EMFILE) return std::string("filling descriptors: ") + std::strerror(errno);
    if (connect(pending, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "connect failed";

    const double before = ProcessCpuSeconds();
    const timespec second{1, 0};
    nanosleep(&second, nullptr);
    const double busy = ProcessCpuSeconds() - before;
    for (int fd : fillers) close(fd);

    std::string faults;
    // A server that retries at once burns the whole second.
    if (busy > 0.1) faults += "CPU time while out of descriptors: " + std::to_string(busy) + " s\n";
    const std::string answer = Echo(path, "back");
    if (answer != "back") faults += "after descriptors were freed: " + answer + "\n";
    close(pending);
    server.Stop();
    const auto records = log.Records();
    int failures = 0, recoveries = 0;
    for (const auto& r : records) {
      if (r.source != "TestServer") continue;
      if (r.type == EVENTLOG_ERROR_TYPE && r.text.find("Too many open files") != std::string::npos) ++failures;
      if (r.type == EVENTLOG_INFORMATION_TYPE && r.text.find("again") != std::string::npos) ++recoveries;
    }
    if (failures != 1 || recoveries != 1)
      faults += "records: " + std::to_string(failures) + " failures, " + std::to_string(recoveries) + " recoveries\n";
    return faults;
  });
  EXPECT_EQ(result, "");
}

// getrandom is made to fail (ENOSYS through a seccomp filter in a child):
// Listen fails and leaves no descriptor and no socket file behind.
TEST(DBusServer, FailedListenLeavesNothingBehind) {
  const std::string path = SocketPath("norandom.sock");
  const std::string result = TestSupport::RunInChild([&]() -> std::string {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
      return std::string("skip: no seccomp filter: ") + std::strerror(errno);
    DBusServer server;
    server.AddInterface("/t", "com.norvale.Test", EchoMethods());
    const int open = OpenDescriptors();
    errno = 0;
    if (server.Listen(path)) return "listened without an identifier";
    std::string faults;
    if (errno != ENOSYS) faults += std::string("errno: ") + std::strerror(errno) + "\n";
    if (server.ErrorText().find("identifier") == std::string::npos) faults += "text: " + server.ErrorText() + "\n";
    if (OpenDescriptors() != open) faults += "descriptors leaked: " + std::to_string(OpenDescriptors() - open) + "\n";
    if (access(path.c_str(), F_OK) == 0) faults += "socket file left behind\n";
    return faults;
  });
  if (result.rfind("skip:", 0) == 0) SKIP_UNLESS_CI() << result;
  EXPECT_EQ(result, "");
}
