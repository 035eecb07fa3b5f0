// The connection to an SMS centre tries each address of its name in turn.
#include "server/drivers/smpp/smpp_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "norvale/com.h"

namespace Norvale {
namespace {

// A TCP socket bound to a free loopback port; listening or, when not,
// a port that refuses connections once closed.
class LoopbackPort {
 public:
  explicit LoopbackPort(bool bListen) {
    m_nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(m_nFd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t size = sizeof a;
    getsockname(m_nFd, reinterpret_cast<sockaddr*>(&a), &size);
    m_Address.nLength = sizeof a;
    std::memcpy(&m_Address.Storage, &a, sizeof a);
    if (bListen) {
      EXPECT_EQ(listen(m_nFd, 4), 0);
    } else {
      close(m_nFd);  // nothing listens there now: a connect is refused
      m_nFd = -1;
    }
  }
  ~LoopbackPort() {
    if (m_nFd >= 0) close(m_nFd);
  }
  const CSmppConnection::SocketAddress& Address() const { return m_Address; }
  int Fd() const { return m_nFd; }

 private:
  int m_nFd = -1;
  CSmppConnection::SocketAddress m_Address;
};

CSmppConnection::SocketAddress Ipv6Loopback(const CSmppConnection::SocketAddress& Port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  a.sin6_port = reinterpret_cast<const sockaddr_in*>(&Port.Storage)->sin_port;
  CSmppConnection::SocketAddress address;
  address.nLength = sizeof a;
  std::memcpy(&address.Storage, &a, sizeof a);
  return address;
}

// Advances the connect as the driver's loop does, for at most 10 s; the
// state reached, or the failure raised.
std::string ConnectOutcome(CSmppConnection& Connection) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  try {
    while (Connection.State() == CSmppConnection::EState::Connecting && std::chrono::steady_clock::now() < end) {
      pollfd fd{Connection.Fd(), Connection.Events(false), 0};
      poll(&fd, 1, 100);
      Connection.Advance();
    }
  } catch (const OS::_com_error& e) {
    return e.DescriptionA();
  }
  return Connection.State() == CSmppConnection::EState::Open ? "open" : "still connecting";
}

TEST(SmppConnection, TriesEveryAddressUntilOneConnects) {
  const LoopbackPort refusing(false), open(true);
  // A refused IPv4 address, an IPv6 one (refused, or unusable where the
  // machine has no IPv6), then the one that listens.
  CSmppConnection connection;
  connection.ConnectTo({refusing.Address(), Ipv6Loopback(refusing.Address()), open.Address()}, "smsc.example", nullptr);
  EXPECT_EQ(ConnectOutcome(connection), "open");
  pollfd fd{open.Fd(), POLLIN, 0};
  EXPECT_EQ(poll(&fd, 1, 5000), 1);  // the listener has the connection to accept
}

TEST(SmppConnection, FailsNamingEachAddressWhenNoneConnects) {
  const LoopbackPort first(false), second(false);
  CSmppConnection connection;
  std::string outcome;
  try {
    connection.ConnectTo({first.Address(), second.Address()}, "smsc.example", nullptr);
    outcome = ConnectOutcome(connection);
  } catch (const OS::_com_error& e) {
    outcome = e.DescriptionA();
  }
  EXPECT_EQ(outcome, "smsc.example: cannot connect: 127.0.0.1: Connection refused; 127.0.0.1: Connection refused");
  EXPECT_EQ(connection.State(), CSmppConnection::EState::Closed);
}

}  // namespace
}  // namespace Norvale
