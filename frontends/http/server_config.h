// The configuration values of velquor-http's server (product key
// SOFTWARE\Norvale\Velquor), beside HttpListen and HttpPort:
//   HttpMaxConnections            open connections in all (default 20000)
//   HttpMaxConnectionsPerAddress  open connections per peer address
//                                 (default 0: no limit of its own)
//   HttpTimeoutSeconds            time a client has to deliver a whole
//                                 request, and the longest idle time of a
//                                 kept-alive connection (default 30)
//   HttpTlsCertificate            a PEM certificate (chain) file: with
//   HttpTlsKey                    its PEM private key file, HTTPS only. The
//                                 key must not be readable by every user.
//   HttpAccessLog                 1 (default): a journal line per request;
//                                 0: none
#pragma once

#include <functional>
#include <string>

#include "http_server.h"

namespace VelquorHttp {

// A value of the configuration, or the fallback where it is unset.
using ConfigurationLookup = std::function<std::string(const std::string& name, const std::string& fallback)>;

struct ServerConfiguration {
  HttpServerOptions options;
  bool accessLog = true;
};

// Reads the values above into `configuration` (whose address and port stay
// as they are); raises std::runtime_error naming the value and what is
// wrong with it: a number out of range, a file it cannot read, a key file
// that every user may read, one of certificate and key without the other.
void ReadServerConfiguration(const ConfigurationLookup& lookup, ServerConfiguration& configuration);

// The PEM texts of a certificate and its key; raises std::runtime_error as
// above.
void LoadTlsFiles(const std::string& certificatePath, const std::string& keyPath, HttpServerOptions& options);

}  // namespace VelquorHttp
