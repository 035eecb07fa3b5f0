// velquor-server with routes across handsets, as real processes: an SMPP
// handset whose SMS centre is down (nothing listens on its port) passes the
// messages routed to it to the next handset of the route, a temporary
// network failure passes a routed message on at once, and a message whose
// route has no handset up waits, even with another handset idle, until its
// validity runs out, then fails with a notification.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/routes.h"
#include "queues/message_history.h"
#include "server_test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Count;
using TestSupport::EngineRoot;
using TestSupport::ServerProcess;
using TestSupport::WaitUntil;

namespace {

// A loopback port that is bound but never listens: connecting is refused,
// as with an SMS centre that is down, and no other test takes the port.
class DeadPort {
 public:
  DeadPort() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &n);
    m_port = ntohs(a.sin_port);
  }
  ~DeadPort() { close(m_fd); }
  std::string Port() const { return std::to_string(m_port); }

 private:
  int m_fd = -1;
  int m_port = 0;
};

void AddDownSmpp(const EngineRoot& root, int n, const DeadPort& port) {
  root.SetHandset(n, "Driver", "smpp");
  root.SetHandset(n, "Host", "127.0.0.1");
  root.SetHandset(n, "Port", port.Port());
  root.SetHandset(n, "SystemId", "gw");
  root.SetHandset(n, "ReconnectDelay", "100");
  root.SetHandset(n, "ReconnectDelayMax", "200");
}

CRoute Route(const std::string& name, long order, const std::string& match, const std::string& handsets) {
  CRoute r;
  r.sName = name;
  r.nOrder = order;
  r.sMatch = match;
  EXPECT_EQ(ParseHandsetList(handsets, &r.handsets, &r.bWeighted), "");
  return r;
}

std::string Job(LONG id) { return "Id=" + std::to_string(id); }

}  // namespace

TEST(EngineRoutes, ABindDownOrATemporaryFailurePassesRoutedMessagesToTheNextHandset) {
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.Set("RetryBackoff", "600000");  // a retry in place would take ten minutes
  DeadPort down;
  AddDownSmpp(root, 1, down);
  root.AddSimulator(2);
  root.AddSimulator(3, {{"FailureRate", "100"}});  // every submission fails for now
  WriteRoute(Route("uk", 10, "+4478", "1,2"));
  WriteRoute(Route("flaky", 20, "+4479", "3,2"));
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "Test");
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();

  // A message that names its handset is not routed. Handset 3 claiming it
  // also shows that handset 3 is running, and so ready for its route.
  const LONG named = client.outgoing.InsertJob("+447800000002", jtTextMessage, "named", hsHandset3, me);
  ASSERT_TRUE(WaitUntil([&] { return Count(db, Job(named) + " AND Status=1") == 1; })) << server.Errors();
  const LONG bindDown = client.outgoing.InsertJob("+447800000001", jtTextMessage, "uk", hsAll, me);
  const LONG failing = client.outgoing.InsertJob("+447900000001", jtTextMessage, "flaky", hsAll, me);
  // The SMPP handset never binds: handset 2 sends it, at the first attempt.
  ASSERT_TRUE(WaitUntil([&] { return Count(db, Job(bindDown) + " AND Status IN (2, 9) AND Handset=2") == 1; }))
      << server.Errors();
  EXPECT_EQ(Count(db, Job(bindDown) + " AND COALESCE(RetryCount, 0)=0"), 1);
  // Handset 3 tried (one attempt counted), then handset 2 sent it at once.
  ASSERT_TRUE(WaitUntil([&] { return Count(db, Job(failing) + " AND Status IN (2, 9) AND Handset=2") == 1; }));
  EXPECT_EQ(Count(db, Job(failing) + " AND RetryCount=1"), 1);
  // The named one waits with handset 3 for its retry (ten minutes away).
  EXPECT_EQ(Count(db, Job(named) + " AND Handset=3 AND Status IN (0, 1)"), 1);
  EXPECT_EQ(server.Stop(), 0);
}

TEST(EngineRoutes, WithEveryHandsetOfItsRouteDownAMessageWaitsUntilItsValidityEndsThenFails) {
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  DeadPort downA, downB;
  AddDownSmpp(root, 1, downA);
  AddDownSmpp(root, 2, downB);
  root.AddSimulator(3);  // up, but not on the route
  WriteRoute(Route("uk", 10, "+4478", "1,2"));
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "Test");
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();

  CSendOptions options;
  options.nValidUntil = HistoryNow() + 3000;
  const LONG routed = client.outgoing.InsertJob("+447800000001", jtTextMessage, "uk", hsAll, me, options);
  const LONG other = client.outgoing.InsertJob("+447700000001", jtTextMessage, "other", hsAll, me);
  ASSERT_TRUE(WaitUntil([&] { return Count(db, Job(other) + " AND Status IN (2, 9) AND Handset=3") == 1; }));
  EXPECT_EQ(Count(db, Job(routed) + " AND Status=0"), 1);  // handset 3 was free, and left it
  ASSERT_TRUE(
      WaitUntil([&] { return Count(db, Job(routed) + " AND Status=" + std::to_string(jsErrTimeout)) == 1; }, 30000));
  EXPECT_EQ(Count(db, "Type=3 AND OriginalId=" + std::to_string(routed), "SMSNotifications"), 1);
  EXPECT_EQ(server.Stop(), 0);
}
