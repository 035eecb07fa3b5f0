#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

namespace VelquorHttp {

// The clock of one open connection: since when the request awaited on it
// counts (the connection's opening or its last answer), and whether a
// handler works for it now.
struct ConnectionClock {
  int fd = -1;
  std::atomic<std::int64_t> since{0};  // steady clock, nanoseconds
  std::atomic<bool> busy{false};
  bool cut = false;  // shut down already (under the server's mutex)
};

// The request being read on one connection, between the library's calls.
struct PendingRequest {
  HttpRequest request;
  std::shared_ptr<DeferredAnswer> later;  // the answer that the parked connection waits for
  MHD_PostProcessor* form = nullptr;      // decodes an HTML form's body into request.form
  std::string formKey;                    // the field whose value the decoder gives in pieces

  PendingRequest() = default;
  PendingRequest(const PendingRequest&) = delete;
  PendingRequest& operator=(const PendingRequest&) = delete;
  ~PendingRequest() {
    if (form != nullptr) MHD_destroy_post_processor(form);
  }
};

// The connections parked by a deferred answer. A wake-up resumes its
// connection only while it is parked here, so that the library is never
// asked to resume one that is not suspended, and none after the server
// stopped.
struct ParkedConnections {
  std::mutex mutex;
  std::set<MHD_Connection*> parked;
  bool stopped = false;

  // False once the server stops: the connection is then answered at once.
  bool Park(MHD_Connection* connection) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (stopped) return false;
    MHD_suspend_connection(connection);
    parked.insert(connection);
    return true;
  }
  void Wake(MHD_Connection* connection) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (stopped || parked.erase(connection) == 0) return;
    MHD_resume_connection(connection);
  }
  // The library must not stop with a connection suspended.
  void WakeAllAndStop() {
    const std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    for (MHD_Connection* connection : parked) MHD_resume_connection(connection);
    parked.clear();
  }
};

namespace {

MHD_Result CollectHeader(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
  std::string name = key;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static_cast<HttpRequest*>(cls)->headers[name] = value != nullptr ? value : "";
  return MHD_YES;
}

MHD_Result CollectCookie(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
  static_cast<HttpRequest*>(cls)->cookies[key] = value != nullptr ? value : "";
  return MHD_YES;
}

// With the value's length, so that a decoded %00 (binary UDH in Kannel's
// sendsms) does not cut the value short.
MHD_Result CollectArgument(void* cls, MHD_ValueKind /*kind*/, const char* key, size_t /*keySize*/, const char* value,
                           size_t valueSize) {
  static_cast<HttpRequest*>(cls)->query.emplace_back(key, value != nullptr ? std::string(value, valueSize) : "");
  return MHD_YES;
}

// A form field's value, given by the library in pieces: the first (offset
// 0) starts a field, the others continue it.
MHD_Result CollectFormField(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* /*filename*/,
                            const char* /*contentType*/, const char* /*transferEncoding*/, const char* data,
                            uint64_t offset, size_t size) {
  auto* pending = static_cast<PendingRequest*>(cls);
  auto& form = pending->request.form;
  const std::string name = key != nullptr ? key : "";
  if (offset == 0 || form.empty() || pending->formKey != name) {
    form.emplace_back(name, "");
    pending->formKey = name;
  }
  if (data != nullptr) form.back().second.append(data, size);
  return MHD_YES;
}

bool IsFormBody(const char* contentType) {
  if (contentType == nullptr) return false;
  std::string type = contentType;
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type.rfind(MHD_HTTP_POST_ENCODING_FORM_URLENCODED, 0) == 0 ||
         type.rfind(MHD_HTTP_POST_ENCODING_MULTIPART_FORMDATA, 0) == 0;
}

std::string PeerAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  if (info->client_addr->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, text, sizeof text);
  else if (info->client_addr->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr, text, sizeof text);
  return text;
}

std::int64_t SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ConnectionClock* ClockOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<ConnectionClock*>(info->socket_context) : nullptr;
}

}  // namespace

std::string HttpRequest::Header(const std::string& lowerCaseName) const {
  const auto found = headers.find(lowerCaseName);
  return found == headers.end() ? std::string() : found->second;
}

const std::string* HttpRequest::QueryValue(const std::string& name) const {
  for (const auto& [key, value] : query)
    if (key == name) return &value;
  return nullptr;
}

const std::string* HttpRequest::FormValue(const std::string& name) const {
  for (const auto& [key, value] : form)
    if (key == name) return &value;
  return nullptr;
}

struct HttpServerCallbacks {
  static MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                           const char* /*version*/, const char* uploadData, size_t* uploadDataSize, void** state) {
    auto* server = static_cast<HttpServer*>(cls);
    auto* pending = static_cast<PendingRequest*>(*state);
    if (pending == nullptr) {
      // The headers have come; the body follows in further calls.
      pending = new PendingRequest;
      pending->request.method = method;
      pending->request.path = url;
      MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &pending->request);
      MHD_get_connection_values(connection, MHD_COOKIE_KIND, &CollectCookie, &pending->request);
      MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &CollectArgument, &pending->request);
      pending->request.remoteAddress = PeerAddress(connection);
      if (IsFormBody(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE)))
        pending->form = MHD_create_post_processor(connection, 4096, &CollectFormField, pending);
      *state = pending;
      // A body announced over the limit is refused before it is read (and
      // before a client that expects "100 Continue" sends it).
      const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length == nullptr || std::strtoull(length, nullptr, 10) <= server->m_Options.bodyLimit) return MHD_YES;
      pending->request.bodyTooLarge = true;
      return Respond(*server, connection, *pending);
    }
    if (*uploadDataSize != 0) {
      std::string& body = pending->request.body;
      const std::size_t room = server->m_Options.bodyLimit - body.size();
      if (*uploadDataSize > room) pending->request.bodyTooLarge = true;
      const std::size_t taken = std::min(room, *uploadDataSize);
      body.append(uploadData, taken);
      // A form's fields only from a whole body: a cut one is refused anyway.
      if (pending->form != nullptr && !pending->request.bodyTooLarge &&
          MHD_post_process(pending->form, uploadData, taken) != MHD_YES) {
        // Not a form after all: no fields rather than some.
        MHD_destroy_post_processor(pending->form);
        pending->form = nullptr;
        pending->request.form.clear();
      }
      *uploadDataSize = 0;
      return MHD_YES;
    }
    return Respond(*server, connection, *pending);
  }

  static MHD_Result Respond(HttpServer& server, MHD_Connection* connection, PendingRequest& pending) {
    HttpResponse answer;
    ConnectionClock* clock = ClockOf(connection);
    if (clock != nullptr) clock->busy = true;
    try {
      // A parked connection woken: its deferred answer is asked again.
      std::shared_ptr<DeferredAnswer> later = std::move(pending.later);
      answer = later ? later->Answer() : server.m_Handler(pending.request);
    } catch (const std::exception&) {
      answer = HttpResponse();
      answer.status = 500;
      answer.body = R"({"error":"internal error"})";
    }
    if (answer.later && !server.m_pParked->Park(connection)) {
      answer = HttpResponse();
      answer.status = 503;
      answer.body = R"({"error":"the server is stopping"})";
    }
    if (answer.later) {
      pending.later = answer.later;
      std::weak_ptr<ParkedConnections> parked = server.m_pParked;
      try {
        pending.later->Arm([parked, connection] {
          if (const auto p = parked.lock()) p->Wake(connection);
        });
      } catch (const std::exception&) {
        server.m_pParked->Wake(connection);
      }
      return MHD_YES;
    }
    // A parked connection's clock stays busy until its answer goes.
    if (clock != nullptr) {
      // Sending the answer counts against the time-out again.
      clock->since = SteadyNow();
      clock->busy = false;
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(answer.body.size(), answer.body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", answer.contentType.c_str());
    for (const auto& [name, value] : answer.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
  }

  static void Completed(void* /*cls*/, MHD_Connection* connection, void** state, MHD_RequestTerminationCode /*code*/) {
    delete static_cast<PendingRequest*>(*state);
    *state = nullptr;
    // The next request on a kept-alive connection counts from here.
    if (ConnectionClock* clock = ClockOf(connection)) clock->since = SteadyNow();
  }

  // Called before the library closes the socket, so the clock never names a
  // socket number that may already be reused.
  static void Connection(void* cls, MHD_Connection* connection, void** socketContext,
                         MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      auto clock = std::make_unique<ConnectionClock>();
      clock->fd = info != nullptr ? info->connect_fd : -1;
      clock->since = SteadyNow();
      const std::lock_guard lock(server->m_ClocksMutex);
      server->m_Clocks.insert(clock.get());
      *socketContext = clock.release();
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      auto* clock = static_cast<ConnectionClock*>(*socketContext);
      {
        const std::lock_guard lock(server->m_ClocksMutex);
        server->m_Clocks.erase(clock);
      }
      delete clock;
      *socketContext = nullptr;
    }
  }
};

bool HttpServer::TlsSupported() { return MHD_is_feature_supported(MHD_FEATURE_TLS) == MHD_YES; }

HttpServer::HttpServer(const HttpServerOptions& options, Handler handler)
    : m_Options(options), m_Handler(std::move(handler)), m_pParked(std::make_shared<ParkedConnections>()) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options.port);
  if (inet_pton(AF_INET, options.address.c_str(), &address.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + options.address);
  // Suspend and resume: a long poll parks its connection instead of
  // holding one of the pool's threads.
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME;
  auto option = [](MHD_OPTION name, intptr_t value, void* pointer = nullptr) {
    return MHD_OptionItem{name, value, pointer};
  };
  std::vector<MHD_OptionItem> items = {
      option(MHD_OPTION_SOCK_ADDR, 0, &address),
      option(MHD_OPTION_THREAD_POOL_SIZE, options.threads),
      option(MHD_OPTION_CONNECTION_TIMEOUT, options.connectionTimeoutSeconds),
      option(MHD_OPTION_CONNECTION_LIMIT, options.maxConnections),
      option(MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpServerCallbacks::Completed)),
      option(MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&HttpServerCallbacks::Connection), this),
  };
  if (options.maxConnectionsPerAddress != 0)
    items.push_back(option(MHD_OPTION_PER_IP_CONNECTION_LIMIT, options.maxConnectionsPerAddress));
  const bool tls = !options.tlsCertificatePem.empty() || !options.tlsKeyPem.empty();
  if (tls) {
    if (!TlsSupported()) throw std::runtime_error("this libmicrohttpd cannot serve HTTPS");
    if (options.tlsCertificatePem.empty() || options.tlsKeyPem.empty())
      throw std::runtime_error("HTTPS needs both a certificate and its key");
    flags |= MHD_USE_TLS;
    items.push_back(option(MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(m_Options.tlsCertificatePem.c_str())));
    items.push_back(option(MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(m_Options.tlsKeyPem.c_str())));
  }
  items.push_back(option(MHD_OPTION_END, 0));
  m_Reaper = std::thread([this] { CutOverdueConnections(); });
  m_pDaemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &HttpServerCallbacks::Answer, this, MHD_OPTION_ARRAY,
                               items.data(), MHD_OPTION_END);
  if (m_pDaemon == nullptr) {
    StopReaper();
    throw std::runtime_error("cannot " + std::string(tls ? "serve HTTPS (is the key the certificate's?) " : "listen ") +
                             "on " + options.address + ":" + std::to_string(options.port));
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(m_pDaemon, MHD_DAEMON_INFO_BIND_PORT);
  m_port = info != nullptr ? info->port : options.port;
}

HttpServer::~HttpServer() {
  StopReaper();
  if (m_pDaemon == nullptr) return;
  m_pParked->WakeAllAndStop();
  MHD_stop_daemon(m_pDaemon);
}

void HttpServer::StopReaper() {
  {
    const std::lock_guard lock(m_ClocksMutex);
    m_stopping = true;
  }
  m_StopReaper.notify_all();
  if (m_Reaper.joinable()) m_Reaper.join();
}

void HttpServer::CutOverdueConnections() {
  const std::int64_t limit = std::int64_t{m_Options.connectionTimeoutSeconds} * 1'000'000'000;
  // A quarter of the time-out between looks, between 0.1 and 1 s.
  const auto period = std::chrono::milliseconds(std::clamp<std::int64_t>(limit / 4'000'000, 100, 1000));
  std::unique_lock lock(m_ClocksMutex);
  while (!m_stopping) {
    m_StopReaper.wait_for(lock, period, [this] { return m_stopping; });
    const std::int64_t now = SteadyNow();
    for (ConnectionClock* clock : m_Clocks) {
      if (clock->cut || clock->busy || now - clock->since < limit) continue;
      // The library sees the end of the stream and closes the connection
      // on its own thread.
      if (clock->fd >= 0) shutdown(clock->fd, SHUT_RDWR);
      clock->cut = true;
    }
  }
}

}  // namespace VelquorHttp
