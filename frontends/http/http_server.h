// HttpServer: an HTTP/1.1 server on GNU libmicrohttpd for velquor-http. The
// library parses the requests and keeps the connections (an epoll loop and a
// small pool of threads, so an idle keep-alive connection holds no thread);
// this class collects a request's body up to a limit and hands the whole
// request to one handler, whose answer it sends as JSON.
//
// Slow clients: a connection that has not delivered a whole request within
// the connection time-out of its opening or of its last answer (headers sent
// a byte at a time, a body held half-sent, an idle keep-alive connection) is
// cut, however steadily it trickles bytes; the time a handler takes does not
// count. The number of connections is limited in all and per peer address.
// With a certificate and key it serves HTTPS only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

struct MHD_Daemon;

namespace VelquorHttp {

struct HttpRequest {
  std::string method;
  std::string path;  // decoded, without the query
  // The header fields, names in lower case ("authorization"); a field sent
  // twice keeps its last value.
  std::map<std::string, std::string> headers;
  // The cookies of the Cookie field, as the library splits them.
  std::map<std::string, std::string> cookies;
  // The query's arguments, decoded, in the order sent (a name may repeat).
  std::vector<std::pair<std::string, std::string>> query;
  std::string remoteAddress;  // the peer's address, "127.0.0.1"
  std::string body;
  bool bodyTooLarge = false;  // the body passed the limit; `body` holds its start only
  // The fields of an HTML form's body (application/x-www-form-urlencoded or
  // multipart/form-data), decoded by the library, in the order sent.
  std::vector<std::pair<std::string, std::string>> form;

  // A header's value, or empty.
  std::string Header(const std::string& lowerCaseName) const;
  // The first value of a query argument, or nothing.
  const std::string* QueryValue(const std::string& name) const;
  // The first value of a form field, or nothing.
  const std::string* FormValue(const std::string& name) const;
};

struct HttpResponse;
struct ParkedConnections;

// An answer that is not ready yet (a long poll). The server parks the
// connection, so that it holds no thread while it waits, and calls Arm with
// a wake-up that any thread may call, once or more (later calls do nothing);
// after the wake-up it asks Answer, on one of its threads, for the answer,
// which may be deferred again. Arm must see to it that the wake-up comes,
// in a bounded time; a server that stops wakes every parked connection.
class DeferredAnswer {
 public:
  virtual ~DeferredAnswer() = default;
  virtual void Arm(std::function<void()> wake) = 0;
  virtual HttpResponse Answer() = 0;
};

struct HttpResponse {
  unsigned status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // more fields, e.g. Retry-After
  // Set: the answer comes later (the rest of this one is not sent).
  std::shared_ptr<DeferredAnswer> later;
};

struct HttpServerOptions {
  std::string address = "127.0.0.1";  // an IPv4 address; 0.0.0.0 for any
  std::uint16_t port = 0;             // 0: a free port, see Port()
  unsigned threads = 4;
  unsigned connectionTimeoutSeconds = 30;
  std::size_t bodyLimit = 64 * 1024;
  unsigned maxConnections = 20000;
  unsigned maxConnectionsPerAddress = 0;  // 0: no limit but maxConnections
  // PEM texts (not paths); both set: HTTPS.
  std::string tlsCertificatePem;
  std::string tlsKeyPem;
};

struct ConnectionClock;

class HttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;

  // Listens at once; raises std::runtime_error when it cannot. The handler
  // runs on the server's threads, several at a time.
  HttpServer(const HttpServerOptions& options, Handler handler);
  // Stops listening and waits for the running handlers.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // The port it listens on.
  std::uint16_t Port() const { return m_port; }
  // Whether this build of libmicrohttpd can serve HTTPS.
  static bool TlsSupported();

 private:
  // Cuts the connections whose request is overdue, until the server stops.
  void CutOverdueConnections();
  void StopReaper();

  HttpServerOptions m_Options;
  Handler m_Handler;
  MHD_Daemon* m_pDaemon = nullptr;
  std::uint16_t m_port = 0;
  // The parked connections, shared with their wake-ups, which may outlive
  // the server.
  std::shared_ptr<ParkedConnections> m_pParked;

  std::mutex m_ClocksMutex;
  std::unordered_set<ConnectionClock*> m_Clocks;  // of the open connections
  std::condition_variable m_StopReaper;
  bool m_stopping = false;
  std::thread m_Reaper;

  friend struct HttpServerCallbacks;
};

}  // namespace VelquorHttp
