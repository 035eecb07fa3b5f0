#include "http_daemon_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace VelquorTool {
namespace {

constexpr DaemonNumber kNumbers[] = {{"HttpPort", "8080", 0, 65535},
                                     {"HttpMaxConnections", "20000", 1, 1000000},
                                     {"HttpMaxConnectionsPerAddress", "0", 0, 1000000},
                                     {"HttpTimeoutSeconds", "30", 1, 3600},
                                     {"HttpAccessLog", "1", 0, 1}};

constexpr const char* kTexts[] = {"HttpListen", "HttpTlsCertificate", "HttpTlsKey"};

}  // namespace

bool HttpDaemonInUse() { return DaemonInUse("velquor-http", kTexts, kNumbers); }

std::vector<DaemonValueCheck> CheckHttpValues() {
  std::vector<DaemonValueCheck> checks;
  CheckListenAndNumbers("HttpListen", kNumbers, checks);
  const std::string certificate = DaemonValue("HttpTlsCertificate", "");
  const std::string key = DaemonValue("HttpTlsKey", "");
  checks.push_back(CheckTlsFile("HttpTlsCertificate", certificate, false, "not set: plain HTTP"));
  checks.push_back(CheckTlsFile("HttpTlsKey", key, true, "not set: plain HTTP"));
  if (certificate.empty() != key.empty()) checks.back().problem = "HTTPS needs both HttpTlsCertificate and HttpTlsKey";
  return checks;
}

std::string ProbeHttpDaemon(bool* listening) {
  *listening = false;
  const std::string host = DaemonValue("HttpListen", "127.0.0.1");
  const std::string port = DaemonValue("HttpPort", "8080");
  const bool tls = !DaemonValue("HttpTlsKey", "").empty();
  if (!InRange(port, 1, 65535)) return "HttpPort " + port + " cannot be probed";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
  // Listening on every address: ask on the loopback one.
  if (inet_pton(AF_INET, host == "0.0.0.0" ? "127.0.0.1" : host.c_str(), &address.sin_addr) != 1)
    return "HttpListen " + host + " is not an IPv4 address";
  const std::string where = host + ":" + port;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return "no socket to probe " + where;
  auto wait = [fd](short events) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, 1000) == 1;
  };
  std::string result = "nothing listens on " + where;
  if ((connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 || errno == EINPROGRESS) &&
      wait(POLLOUT)) {
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error == 0) {
      *listening = true;
      result = "listening on " + where;
      if (tls) {
        result += " (HTTPS)";
      } else {
        const std::string request = "GET /health HTTP/1.0\r\n\r\n";
        char reply[64] = {};
        ssize_t n = -1;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()) &&
            wait(POLLIN))
          n = recv(fd, reply, sizeof reply - 1, 0);
        const std::string line(reply, n > 0 ? static_cast<std::size_t>(n) : 0);
        result += line.rfind("HTTP/1.", 0) == 0 && line.size() >= 12 ? ", /health answers " + line.substr(9, 3)
                                                                     : ", /health does not answer";
      }
    }
  }
  close(fd);
  return result;
}

}  // namespace VelquorTool
