#include "server_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace VelquorHttp {
namespace {

unsigned Number(const ConfigurationLookup& lookup, const std::string& name, unsigned fallback, unsigned least,
                unsigned most) {
  const std::string text = lookup(name, std::to_string(fallback));
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < least || value > most)
    throw std::runtime_error(name + " in the configuration is not a number from " + std::to_string(least) + " to " +
                             std::to_string(most) + ": " + text);
  return value;
}

std::string ReadFile(const std::string& value, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error(value + " " + path + " cannot be read: " + std::strerror(errno) +
                             " (velquor-http runs as the user velquor, which must be able to read it)");
  std::ostringstream text;
  text << in.rdbuf();
  if (text.str().find("-----BEGIN ") == std::string::npos)
    throw std::runtime_error(value + " " + path + " is not a PEM file");
  return text.str();
}

}  // namespace

void LoadTlsFiles(const std::string& certificatePath, const std::string& keyPath, HttpServerOptions& options) {
  if (certificatePath.empty() != keyPath.empty())
    throw std::runtime_error("HTTPS needs both HttpTlsCertificate and HttpTlsKey; only " +
                             std::string(certificatePath.empty() ? "HttpTlsKey" : "HttpTlsCertificate") + " is set");
  if (certificatePath.empty()) return;
  struct stat status {};
  if (stat(keyPath.c_str(), &status) == 0 && (status.st_mode & S_IROTH) != 0)
    throw std::runtime_error("HttpTlsKey " + keyPath +
                             " is readable by every user; refusing to use it (chmod o-r, and give it to root:velquor "
                             "with mode 0640)");
  options.tlsCertificatePem = ReadFile("HttpTlsCertificate", certificatePath);
  options.tlsKeyPem = ReadFile("HttpTlsKey", keyPath);
}

void ReadServerConfiguration(const ConfigurationLookup& lookup, ServerConfiguration& configuration) {
  HttpServerOptions& options = configuration.options;
  options.maxConnections = Number(lookup, "HttpMaxConnections", 20000, 1, 1000000);
  options.maxConnectionsPerAddress = Number(lookup, "HttpMaxConnectionsPerAddress", 0, 0, 1000000);
  options.connectionTimeoutSeconds = Number(lookup, "HttpTimeoutSeconds", 30, 1, 3600);
  configuration.accessLog = Number(lookup, "HttpAccessLog", 1, 0, 1) == 1;
  LoadTlsFiles(lookup("HttpTlsCertificate", ""), lookup("HttpTlsKey", ""), options);
}

}  // namespace VelquorHttp
