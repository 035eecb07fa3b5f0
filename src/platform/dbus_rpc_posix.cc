// D-Bus peer-to-peer calls with sd-bus. Every sd-bus failure becomes an
// HRESULT here.
#include "platform/dbus_rpc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/bstr.h"
#include "platform/com_ptr.h"
#include "platform/error_info.h"
#include "platform/event_log.h"

namespace Norvale::OS {
namespace {

constexpr const char* kErrorPrefix = "com.norvale.HRESULT.x";

// Owners of what sd-bus hands out: one alias per type.
struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// sd_bus_error is a value with owned strings inside.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&m_error); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  sd_bus_error* get() { return &m_error; }
  const sd_bus_error* operator->() const { return &m_error; }
  bool IsSet() const { return sd_bus_error_is_set(&m_error); }

 private:
  sd_bus_error m_error = SD_BUS_ERROR_NULL;
};

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  int release() { return std::exchange(m_fd, -1); }
  void reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

// libsystemd seeds its hash tables lazily from process-wide state on first
// use; setting connections up one at a time keeps that first use from racing
// between threads.
std::mutex g_setupLock;

std::uint64_t CallTimeoutUsec() {
  const char* env = std::getenv("NORVALE_RPC_TIMEOUT_MS");
  const long ms = env ? std::atol(env) : 0;
  return static_cast<std::uint64_t>(ms > 0 ? ms : 30000) * 1000u;
}

// The one place where sd-bus failures become HRESULTs.
HRESULT HResultFromNegativeErrno(int negErrno) {
  switch (-negErrno) {
    case ETIMEDOUT: return RPC_E_TIMEOUT;
    case ECONNRESET:
    case ENOTCONN:
    case EPIPE:
    case ECONNREFUSED:
    case ESHUTDOWN:
    case ENOENT: return RPC_E_DISCONNECTED;
    case ENOMEM: return E_OUTOFMEMORY;
    case EINVAL: return E_INVALIDARG;
    default: return E_FAIL;
  }
}

void SetThreadError(const std::string& description) {
  _com_ptr_t<IErrorInfo> info;
  info.Attach(MakeErrorInfo(AnsiToWide(description)));
  if (info) SetErrorInfo(0, info.GetInterfacePtr());
}

int Append(sd_bus_message* m, const char* sig, const DBusValues& values) {
  if (std::strlen(sig) != values.size()) return -EINVAL;
  for (size_t i = 0; i < values.size(); ++i) {
    int r;
    if (sig[i] == 'i') {
      if (!std::holds_alternative<std::int32_t>(values[i])) return -EINVAL;
      r = sd_bus_message_append_basic(m, 'i', &std::get<std::int32_t>(values[i]));
    } else {
      if (!std::holds_alternative<std::string>(values[i])) return -EINVAL;
      r = sd_bus_message_append_basic(m, 's', std::get<std::string>(values[i]).c_str());
    }
    if (r < 0) return r;
  }
  return 0;
}

int Read(sd_bus_message* m, const char* sig, DBusValues* values) {
  values->clear();
  for (const char* p = sig; *p; ++p) {
    int r;
    if (*p == 'i') {
      std::int32_t v = 0;
      r = sd_bus_message_read_basic(m, 'i', &v);
      values->emplace_back(v);
    } else {
      const char* s = nullptr;
      r = sd_bus_message_read_basic(m, 's', &s);
      values->emplace_back(std::string(s ? s : ""));
    }
    if (r <= 0) return r < 0 ? r : -EBADMSG;
  }
  return 0;
}

std::string Valid(const std::string& s) { return WideToAnsi(AnsiToWide(s)); }  // D-Bus wants valid UTF-8

}  // namespace

HRESULT HResultFromDBusErrorName(const char* name) {
  const size_t n = std::strlen(kErrorPrefix);
  if (!name || std::strncmp(name, kErrorPrefix, n) != 0) return E_FAIL;
  return static_cast<HRESULT>(std::strtoul(name + n, nullptr, 16));
}

// --- client ----------------------------------------------------------------

struct DBusClient::Impl {
  std::mutex lock;
  BusPtr bus;
};

DBusClient::DBusClient(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
DBusClient::~DBusClient() = default;

HRESULT DBusClient::Connect(const std::string& address, std::shared_ptr<DBusClient>* client) {
  const std::string full = address.rfind("unix:", 0) == 0 ? address : "unix:path=" + address;
  std::lock_guard setup(g_setupLock);
  auto impl = std::make_unique<Impl>();
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) return HResultFromNegativeErrno(r);
  impl->bus.reset(bus);
  if (sd_bus_set_address(bus, full.c_str()) < 0) return E_INVALIDARG;
  if ((r = sd_bus_set_bus_client(bus, 0)) < 0) return HResultFromNegativeErrno(r);  // peer-to-peer: no Hello, no names
  if (sd_bus_start(bus) < 0) return CO_E_SERVER_EXEC_FAILURE;
  client->reset(new DBusClient(std::move(impl)));
  return S_OK;
}

HRESULT DBusClient::Call(const char* path, const char* interface, const char* method, const char* inSig,
                         const DBusValues& in, const char* outSig, DBusValues* out) {
  std::lock_guard guard(m_impl->lock);
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(m_impl->bus.get(), &raw, nullptr, path, interface, method);
  if (r < 0) return HResultFromNegativeErrno(r);
  const MessagePtr call(raw);
  DBusValues valid = in;
  for (auto& v : valid)
    if (auto* s = std::get_if<std::string>(&v)) *s = Valid(*s);
  if ((r = Append(call.get(), inSig, valid)) < 0) return HResultFromNegativeErrno(r);
  BusError error;
  raw = nullptr;
  r = sd_bus_call(m_impl->bus.get(), call.get(), CallTimeoutUsec(), error.get(), &raw);
  const MessagePtr reply(raw);
  if (r < 0) {
    HRESULT hr;
    std::string description;
    if (error.IsSet() && std::strncmp(error->name, kErrorPrefix, std::strlen(kErrorPrefix)) == 0) {
      hr = HResultFromDBusErrorName(error->name);
      description = error->message ? error->message : "";
    } else {
      hr = HResultFromNegativeErrno(r);
      description = std::string("Call of ") + method +
                    " failed: " + (error.IsSet() && error->message ? error->message : std::strerror(-r));
    }
    SetThreadError(description);
    return hr;
  }
  if (out && (r = Read(reply.get(), outSig, out)) < 0) {
    SetThreadError(std::string("Malformed reply to ") + method);
    return E_UNEXPECTED;
  }
  return S_OK;
}

// --- server ----------------------------------------------------------------

namespace {
thread_local PeerCredentials t_peer;
}  // namespace

struct DBusServer::Impl {
  struct Interface {
    std::string path, name;
    std::vector<Method> methods;
    std::vector<sd_bus_vtable> vtable;
  };
  struct Client {
    int fd;             // owned by the connection's thread
    bool done = false;  // under `lock`; set before the descriptor is closed
    std::thread thread;
  };

  // A failing accept leaves the connection queued, so poll reports it again
  // at once: wait between tries, growing to the maximum.
  static constexpr int kFirstBackoffMs = 10;
  static constexpr int kMaxBackoffMs = 500;

  explicit Impl(std::string source) : eventSource(std::move(source)) {}

  const std::string eventSource;
  std::list<Interface> interfaces;
  UniqueFd listenFd;
  UniqueFd wakeRead, wakeWrite;  // written once by Stop; never drained, so every thread sees it
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::mutex lock;
  std::list<Client> clients;
  std::string socketPath;
  std::string errorText;  // of the last failed Listen
  sd_id128_t serverId{};  // the server's GUID, the same for every client

  void Report(WORD type, const std::string& text) const {
    const HANDLE source = RegisterEventSourceA(nullptr, eventSource.c_str());
    if (!source) return;
    LPCSTR strings[1] = {text.c_str()};
    ReportEventA(source, type, 0, EVENT_IPC, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
  }

  // Adds the Hello answer and every interface to `bus`. On failure `what`
  // names the object that could not be added.
  int AddObjects(sd_bus* bus, std::string* what) {
    static const sd_bus_vtable helloVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Hello", "", "s", Hello, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    int r =
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/DBus", "org.freedesktop.DBus", helloVtable, nullptr);
    if (r < 0) {
      *what = "org.freedesktop.DBus";
      return r;
    }
    for (auto& iface : interfaces) {
      r = sd_bus_add_object_vtable(bus, nullptr, iface.path.c_str(), iface.name.c_str(), iface.vtable.data(), &iface);
      if (r < 0) {
        *what = "interface " + iface.name + " at " + iface.path;
        return r;
      }
    }
    return 0;
  }

  // Makes the server side of one connection in `*bus`. The bus owns `fd`
  // once `*fdTaken` is set.
  int NewConnection(int fd, BusPtr* bus, bool* fdTaken, std::string* what) {
    std::lock_guard setup(g_setupLock);
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    *what = "sd_bus_new";
    if (r < 0) return r;
    bus->reset(raw);
    if ((r = sd_bus_set_fd(raw, fd, fd)) < 0) return r;
    *fdTaken = true;
    *what = "the server mode";
    if ((r = sd_bus_set_server(raw, 1, serverId)) < 0 || (r = sd_bus_set_anonymous(raw, 0)) < 0) return r;
    if ((r = AddObjects(raw, what)) < 0) return r;
    *what = "sd_bus_start";
    return sd_bus_start(raw);
  }

  // Serves one connection until the peer leaves, a failure or Stop.
  int Run(sd_bus* bus, int fd) {
    while (!stopping) {
      int r = sd_bus_process(bus, nullptr);
      if (r < 0) return r;
      if (r > 0) continue;
      const int events = sd_bus_get_events(bus);
      if (events < 0) return events;
      std::uint64_t until = 0;
      if ((r = sd_bus_get_timeout(bus, &until)) < 0) return r;
      int timeoutMs = -1;  // sd-bus sets a deadline while the peer authenticates
      if (until != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u + now.tv_nsec / 1000;
        timeoutMs =
            until > nowUsec ? static_cast<int>(std::min<std::uint64_t>((until - nowUsec + 999) / 1000, 60000)) : 0;
      }
      pollfd p[2] = {{fd, static_cast<short>(events), 0}, {wakeRead.get(), POLLIN, 0}};
      if (poll(p, 2, timeoutMs) < 0 && errno != EINTR) return -errno;
      if (p[1].revents) return 0;
      if (p[0].revents & (POLLHUP | POLLERR) && !(p[0].revents & POLLIN)) return -ECONNRESET;
    }
    return 0;
  }

  void Serve(Client* client) {
    const int fd = client->fd;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) t_peer = {cred.pid, cred.uid, cred.gid};
    BusPtr bus;
    bool fdTaken = false;
    std::string what;
    const int r = NewConnection(fd, &bus, &fdTaken, &what);
    if (r < 0)
      Report(EVENTLOG_ERROR_TYPE, "Could not set up a D-Bus connection on " + socketPath + " (" + what +
                                      "): " + std::strerror(-r) + "; the client was disconnected");
    else
      Run(bus.get(), fd);  // a peer that leaves or breaks the protocol ends its own connection only
    {
      std::lock_guard guard(lock);
      client->done = true;
    }
    bus.reset();  // closes fd when the bus took it
    if (!fdTaken) close(fd);
  }

  // Joins the threads of clients that have gone, so a long-running server
  // keeps no more threads than it has clients.
  void ReapFinished() {
    std::list<Client> finished;
    {
      std::lock_guard guard(lock);
      for (auto it = clients.begin(); it != clients.end();) {
        auto next = std::next(it);
        if (it->done) finished.splice(finished.end(), clients, it);
        it = next;
      }
    }
    for (auto& c : finished) c.thread.join();
  }

  // Starts the connection's thread; false (the descriptor closed) when no
  // thread can be made.
  bool StartClient(UniqueFd fd) {
    std::lock_guard guard(lock);
    Client& client = clients.emplace_back();
    client.fd = fd.get();
    try {
      client.thread = std::thread([this, &client] { Serve(&client); });
    } catch (const std::system_error&) {
      clients.pop_back();
      return false;
    }
    fd.release();
    return true;
  }

  // Waits up to `ms` for Stop.
  void Pause(int ms) {
    pollfd p{wakeRead.get(), POLLIN, 0};
    poll(&p, 1, ms);
  }

  void Accept() {
    int backoffMs = 0;
    bool failing = false;
    auto failed = [&](const std::string& text) {
      backoffMs = backoffMs ? std::min(backoffMs * 2, kMaxBackoffMs) : kFirstBackoffMs;
      if (!failing) Report(EVENTLOG_ERROR_TYPE, text + "; retrying");  // once, not on every try
      failing = true;
    };
    while (!stopping) {
      if (backoffMs > 0) Pause(backoffMs);
      if (stopping) break;
      pollfd p[2] = {{listenFd.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
      if (poll(p, 2, -1) < 0) {
        if (errno != EINTR) failed(std::string("Could not wait for connections: ") + std::strerror(errno));
        continue;
      }
      if (p[1].revents || stopping) break;
      UniqueFd fd(accept4(listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd) {
        const int e = errno;
        // These concern the one connection, which is gone; out of descriptors
        // or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM) and anything unforeseen
        // back off.
        if (e == EINTR || e == EAGAIN || e == EWOULDBLOCK || e == ECONNABORTED || e == EPROTO) continue;
        failed("Could not accept a connection on " + socketPath + ": " + std::strerror(e));
        continue;
      }
      ReapFinished();
      if (!StartClient(std::move(fd))) {
        failed("Could not start a thread for a connection on " + socketPath + "; the client was disconnected");
        continue;
      }
      if (failing) Report(EVENTLOG_INFORMATION_TYPE, "Accepting connections on " + socketPath + " again");
      failing = false;
      backoffMs = 0;
    }
  }

  // Refuses interfaces that sd-bus would refuse on every connection.
  bool CheckInterfaces() {
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    const BusPtr probe(raw);
    std::string what = "sd_bus_new";
    if (r >= 0) r = AddObjects(probe.get(), &what);
    if (r >= 0) return true;
    errorText = "Could not register " + what + ": " + std::strerror(-r);
    errno = -r;
    return false;
  }

  static int Dispatch(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* iface = static_cast<Interface*>(userdata);
    const char* member = sd_bus_message_get_member(m);
    if (!member) return -EBADMSG;
    for (const auto& method : iface->methods) {
      if (method.name != member) continue;
      DBusValues in, out;
      int r = Read(m, method.inSig.c_str(), &in);
      if (r < 0) return r;
      HRESULT hr = E_FAIL;
      std::string description;
      try {
        hr = method.handler(in, &out, &description);
      } catch (const _com_error& e) {
        hr = e.Error();
        description = e.DescriptionA();
      } catch (const std::exception& e) {
        hr = E_FAIL;
        description = e.what();
      } catch (...) {
        hr = E_FAIL;
        description = "Unknown exception";
      }
      if (FAILED(hr)) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%08X", kErrorPrefix, static_cast<unsigned>(hr));
        return sd_bus_error_set(error, name, Valid(description).c_str());
      }
      sd_bus_message* raw = nullptr;
      if ((r = sd_bus_message_new_method_return(m, &raw)) < 0) return r;
      const MessagePtr reply(raw);
      for (auto& v : out)
        if (auto* s = std::get_if<std::string>(&v)) *s = Valid(*s);
      if ((r = Append(reply.get(), method.outSig.c_str(), out)) < 0) return r;
      if ((r = sd_bus_send(nullptr, reply.get(), nullptr)) < 0) return r;
      return 1;
    }
    return sd_bus_error_set(error, SD_BUS_ERROR_UNKNOWN_METHOD, "No such method");
  }

  // What a bus would answer first, so that busctl can talk to this peer.
  static int Hello(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, "s", ":1.1"); }
};

DBusServer::DBusServer(std::string eventSource) : m_impl(std::make_unique<Impl>(std::move(eventSource))) {}
DBusServer::~DBusServer() { Stop(); }

void DBusServer::AddInterface(const std::string& path, const std::string& interface, std::vector<Method> methods) {
  auto& iface = m_impl->interfaces.emplace_back();
  iface.path = path;
  iface.name = interface;
  iface.methods = std::move(methods);
  iface.vtable.push_back(SD_BUS_VTABLE_START(0));
  for (const auto& m : iface.methods) {
    iface.vtable.push_back(
        SD_BUS_METHOD(m.name.c_str(), m.inSig.c_str(), m.outSig.c_str(), Impl::Dispatch, SD_BUS_VTABLE_UNPRIVILEGED));
  }
  iface.vtable.push_back(SD_BUS_VTABLE_END);
}

bool DBusServer::Listen(const std::string& socketPath) {
  Impl& impl = *m_impl;
  auto fail = [&](int e, const std::string& text) {
    impl.errorText = text + ": " + std::strerror(e);
    errno = e;
    return false;
  };
  if (impl.listenFd) return fail(EBUSY, "Already listening on " + impl.socketPath);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) return fail(ENAMETOOLONG, "Socket path " + socketPath);
  std::strcpy(addr.sun_path, socketPath.c_str());
  if (!impl.CheckInterfaces()) return false;
  sd_id128_t id{};
  if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id))
    return fail(errno, "Could not make the server's identifier");
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return fail(errno, "Could not make the wake-up pipe");
  UniqueFd wakeRead(pipeFds[0]), wakeWrite(pipeFds[1]);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(errno, "Could not make a socket");
  unlink(socketPath.c_str());
  const mode_t old = umask(0117);  // the socket is born 0660: owner and group only
  const int bound = bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (bound != 0) return fail(errno, "Could not bind " + socketPath);
  if (listen(fd.get(), 64) != 0 || chmod(socketPath.c_str(), 0660) != 0) {
    const int e = errno;
    unlink(socketPath.c_str());
    return fail(e, "Could not listen on " + socketPath);
  }
  impl.serverId = id;
  impl.socketPath = socketPath;
  impl.listenFd = std::move(fd);
  impl.wakeRead = std::move(wakeRead);
  impl.wakeWrite = std::move(wakeWrite);
  impl.stopping = false;
  try {
    impl.acceptor = std::thread([&impl] { impl.Accept(); });
  } catch (const std::system_error& e) {
    impl.listenFd.reset();
    impl.wakeRead.reset();
    impl.wakeWrite.reset();
    unlink(socketPath.c_str());
    return fail(e.code().value(), "Could not start the accepting thread");
  }
  impl.errorText.clear();
  return true;
}

const std::string& DBusServer::ErrorText() const { return m_impl->errorText; }

void DBusServer::Stop() {
  Impl& impl = *m_impl;
  if (!impl.listenFd) return;
  impl.stopping = true;
  (void)!write(impl.wakeWrite.get(), "x", 1);
  impl.acceptor.join();
  {
    std::lock_guard guard(impl.lock);
    for (const auto& c : impl.clients)
      if (!c.done) shutdown(c.fd, SHUT_RDWR);
  }
  for (auto& c : impl.clients) c.thread.join();
  impl.clients.clear();
  impl.listenFd.reset();
  impl.wakeRead.reset();
  impl.wakeWrite.reset();
  unlink(impl.socketPath.c_str());
}

PeerCredentials DBusServer::CurrentPeer() { return t_peer; }

}  // namespace Norvale::OS
