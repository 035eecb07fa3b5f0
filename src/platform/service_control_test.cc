#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "holder_process.h"
#include "platform/service_control.h"
#include "test_support.h"

using namespace Norvale::OS;

namespace {

// The service's state as the service manager reports it; 0 when the query
// fails, with the error in *error.
DWORD QueryState(const char* name, DWORD* error = nullptr) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const BOOL ok = service && QueryServiceStatus(service, &status);
  if (error) *error = ok ? 0 : GetLastError();
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok ? status.dwCurrentState : 0;
}

std::string StateAsNobody(const char* name) {
  return TestSupport::RunUnprivileged([name] {
    DWORD error = 0;
    const DWORD state = QueryState(name, &error);
    return state ? std::to_string(state) : "error " + std::to_string(error);
  });
}

}  // namespace

TEST(ServiceControl, AnotherUserCannotKeepTheServiceFromStarting) {
  chmod(TestSupport::Root().c_str(), 0755);
  const std::string lock = ServiceHost::RunDirectory() + "/Guarded.lock";
  // A lock file as an older version left it, open to every user, who takes
  // a shared lock on it.
  const int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  fchmod(fd, 0644);
  close(fd);
  TestSupport::HolderProcess other(true, [lock] {
    const int f = open(lock.c_str(), O_RDONLY);
    struct flock shared {};
    shared.l_type = F_RDLCK;
    shared.l_whence = SEEK_SET;
    return f >= 0 && fcntl(f, F_SETLK, &shared) == 0 ? 'S' : '-';
  });
  ASSERT_EQ(other.Took(), 'S');
  {
    ServiceHost host("Guarded");
    EXPECT_TRUE(host.Lock());
    struct stat st {};
    ASSERT_EQ(stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    const std::string failure = TestSupport::RunUnprivileged([lock] {
      return open(lock.c_str(), O_RDONLY) < 0 && errno == EACCES ? std::string() : std::string("lock file opened");
    });
    EXPECT_EQ(failure, "");
  }
  EXPECT_TRUE(other.Release());
  // A service that really runs keeps its lock: a second one does not start.
  TestSupport::HolderProcess running(false, [] {
    auto* host = new ServiceHost("Guarded");  // held until the process ends
    return host->Lock() ? 'L' : '-';
  });
  ASSERT_EQ(running.Took(), 'L');
  ServiceHost second("Guarded");
  EXPECT_FALSE(second.Lock());
}

TEST(ServiceControl, AUserWhoCannotOpenTheLockGoesByThePublishedState) {
  chmod(TestSupport::Root().c_str(), 0755);
  ASSERT_EQ(ServiceHost::Register("Published", "/bin/true", "Published service"), ERROR_SUCCESS);
  TestSupport::HolderProcess service(false, [] {
    auto* host = new ServiceHost("Published");  // held until the process ends
    if (!host->Lock()) return '-';
    host->ReportStatus(SERVICE_RUNNING);
    return 'R';
  });
  ASSERT_EQ(service.Took(), 'R');
  EXPECT_EQ(QueryState("Published"), SERVICE_RUNNING);
  EXPECT_EQ(StateAsNobody("Published"), std::to_string(SERVICE_RUNNING));
  service.Kill();  // its state file still says running
  EXPECT_EQ(QueryState("Published"), SERVICE_STOPPED);
  EXPECT_EQ(StateAsNobody("Published"), std::to_string(SERVICE_STOPPED));
  // Neither the lock nor the state readable: the query fails.
  chmod((ServiceHost::RunDirectory() + "/Published.state").c_str(), 0600);
  EXPECT_EQ(StateAsNobody("Published"), "error " + std::to_string(ERROR_ACCESS_DENIED));
}

// The engine registers its address at every start, also where it may not
// write the registry (a read-only /etc under systemd): the same address
// again succeeds without a write, a new one still needs the rights.
TEST(ServiceControl, RegisteringTheSameAddressAgainNeedsNoWrite) {
  const CLSID clsid{0x5a1e0c3b, 0x77d2, 0x4c1a, {0x9e, 0x41, 0x2b, 0x6d, 0x0f, 0x83, 0xc5, 0x17}};
  chmod(TestSupport::Root().c_str(), 0755);  // the unprivileged child reads the registry below it
  ASSERT_EQ(ServiceHost::RegisterLocalServer(clsid, "unix:path=/run/norvale/a.sock"), ERROR_SUCCESS);
  const std::string result = TestSupport::RunUnprivileged([clsid] {
    std::string faults;
    if (const LONG rc = ServiceHost::RegisterLocalServer(clsid, "unix:path=/run/norvale/a.sock"); rc != ERROR_SUCCESS)
      faults += "same address: " + std::to_string(rc) + "\n";
    if (const LONG rc = ServiceHost::RegisterLocalServer(clsid, "unix:path=/run/norvale/b.sock");
        rc != ERROR_ACCESS_DENIED)
      faults += "new address: " + std::to_string(rc) + "\n";
    return faults;
  });
  EXPECT_EQ(result, "");
  EXPECT_EQ(LocalServerAddress(clsid), "unix:path=/run/norvale/a.sock");
}
