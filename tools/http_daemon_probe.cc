#include "http_daemon_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "config/config_reg.h"

namespace VelquorTool {
namespace {

// The value as the daemon reads it: unset or empty gives the fallback.
std::string Value(const std::string& name, const std::string& fallback, bool* set = nullptr) {
  const std::string value = Norvale::RUProductValue(name);
  if (set != nullptr) *set = !value.empty();
  return value.empty() ? fallback : value;
}

bool InRange(const std::string& text, long least, long most) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= least && value <= most;
}

constexpr struct {
  const char* name;
  const char* fallback;
  long least, most;
} kNumbers[] = {{"HttpPort", "8080", 0, 65535},
                {"HttpMaxConnections", "20000", 1, 1000000},
                {"HttpMaxConnectionsPerAddress", "0", 0, 1000000},
                {"HttpTimeoutSeconds", "30", 1, 3600},
                {"HttpAccessLog", "1", 0, 1}};

}  // namespace

bool HttpDaemonInUse() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
  if (access((self / "velquor-http").c_str(), X_OK) == 0 || access("/usr/bin/velquor-http", X_OK) == 0) return true;
  bool set = false;
  for (const char* name : {"HttpListen", "HttpTlsCertificate", "HttpTlsKey"}) {
    Value(name, "", &set);
    if (set) return true;
  }
  for (const auto& n : kNumbers) {
    Value(n.name, "", &set);
    if (set) return true;
  }
  return false;
}

std::vector<HttpValueCheck> CheckHttpValues() {
  std::vector<HttpValueCheck> checks;
  bool set = false;
  const std::string listen = Value("HttpListen", "127.0.0.1", &set);
  in_addr address{};
  checks.push_back({"HttpListen", set ? listen : "not set: 127.0.0.1",
                    inet_pton(AF_INET, listen.c_str(), &address) == 1 ? "" : "not an IPv4 address: " + listen});
  for (const auto& n : kNumbers) {
    const std::string text = Value(n.name, n.fallback, &set);
    checks.push_back({n.name, set ? text : std::string("not set: ") + n.fallback,
                      InRange(text, n.least, n.most) ? ""
                                                     : "not a number from " + std::to_string(n.least) + " to " +
                                                           std::to_string(n.most) + ": " + text});
  }
  const std::string certificate = Value("HttpTlsCertificate", "");
  const std::string key = Value("HttpTlsKey", "");
  auto file = [](const std::string& name, const std::string& path) {
    HttpValueCheck check{name, path.empty() ? "not set: plain HTTP" : path, ""};
    if (path.empty()) return check;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
      check.problem = path + ": " + std::strerror(errno);
    else if (name == "HttpTlsKey" && (status.st_mode & S_IROTH) != 0)
      check.problem = path + " is readable by every user; velquor-http refuses it (chmod o-r)";
    else if (std::ifstream in(path); !in)
      check.problem = path + " cannot be read by this user";
    return check;
  };
  checks.push_back(file("HttpTlsCertificate", certificate));
  checks.push_back(file("HttpTlsKey", key));
  if (certificate.empty() != key.empty()) checks.back().problem = "HTTPS needs both HttpTlsCertificate and HttpTlsKey";
  return checks;
}

std::string ProbeHttpDaemon(bool* listening) {
  *listening = false;
  const std::string host = Value("HttpListen", "127.0.0.1");
  const std::string port = Value("HttpPort", "8080");
  const bool tls = !Value("HttpTlsKey", "").empty();
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
