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

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>

#include "platform/bstr.h"
#include "platform/com_ptr.h"
#include "platform/error_info.h"

namespace Norvale::OS {
namespace {

constexpr const char* kErrorPrefix = "com.norvale.HRESULT.x";

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
HRESULT FromErrno(int negErrno) {
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
  sd_bus* bus = nullptr;
  ~Impl() { sd_bus_flush_close_unref(bus); }
};

DBusClient::DBusClient(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
DBusClient::~DBusClient() = default;

HRESULT DBusClient::Connect(const std::string& address, std::shared_ptr<DBusClient>* client) {
  const std::string full = address.rfind("unix:", 0) == 0 ? address : "unix:path=" + address;
  std::lock_guard setup(g_setupLock);
  auto impl = std::make_unique<Impl>();
  if (sd_bus_new(&impl->bus) < 0) return E_OUTOFMEMORY;
  if (sd_bus_set_address(impl->bus, full.c_str()) < 0) return E_INVALIDARG;
  sd_bus_set_bus_client(impl->bus, 0);  // peer-to-peer: no Hello, no names
  if (sd_bus_start(impl->bus) < 0) return CO_E_SERVER_EXEC_FAILURE;
  client->reset(new DBusClient(std::move(impl)));
  return S_OK;
}

HRESULT DBusClient::Call(const char* path, const char* interface, const char* method, const char* inSig,
                         const DBusValues& in, const char* outSig, DBusValues* out) {
  std::lock_guard guard(m_impl->lock);
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(m_impl->bus, &call, nullptr, path, interface, method);
  if (r < 0) return FromErrno(r);
  std::unique_ptr<sd_bus_message, sd_bus_message* (*)(sd_bus_message*)> callGuard(call, sd_bus_message_unref);
  DBusValues valid = in;
  for (auto& v : valid)
    if (auto* s = std::get_if<std::string>(&v)) *s = Valid(*s);
  if ((r = Append(call, inSig, valid)) < 0) return FromErrno(r);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(m_impl->bus, call, CallTimeoutUsec(), &error, &reply);
  std::unique_ptr<sd_bus_message, sd_bus_message* (*)(sd_bus_message*)> replyGuard(reply, sd_bus_message_unref);
  if (r < 0) {
    HRESULT hr;
    std::string description;
    if (sd_bus_error_is_set(&error) && std::strncmp(error.name, kErrorPrefix, std::strlen(kErrorPrefix)) == 0) {
      hr = HResultFromDBusErrorName(error.name);
      description = error.message ? error.message : "";
    } else {
      hr = FromErrno(r);
      description = std::string("Call of ") + method +
                    " failed: " + (sd_bus_error_is_set(&error) && error.message ? error.message : std::strerror(-r));
    }
    sd_bus_error_free(&error);
    SetThreadError(description);
    return hr;
  }
  sd_bus_error_free(&error);
  if (out && (r = Read(reply, outSig, out)) < 0) {
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
  std::list<Interface> interfaces;
  int listenFd = -1;
  int wakeFds[2] = {-1, -1};
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  struct Client {
    int fd;
    bool done = false;  // under `lock`; set before the descriptor is closed
    std::thread thread;
  };
  std::mutex lock;
  std::list<Client> clients;
  std::string socketPath;
  sd_id128_t serverId{};  // the server's GUID, the same for every client

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

  static int Dispatch(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* iface = static_cast<Interface*>(userdata);
    const char* member = sd_bus_message_get_member(m);
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
      sd_bus_message* reply = nullptr;
      if ((r = sd_bus_message_new_method_return(m, &reply)) < 0) return r;
      for (auto& v : out)
        if (auto* s = std::get_if<std::string>(&v)) *s = Valid(*s);
      r = Append(reply, method.outSig.c_str(), out);
      if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
      sd_bus_message_unref(reply);
      return r < 0 ? r : 1;
    }
    return sd_bus_error_set(error, SD_BUS_ERROR_UNKNOWN_METHOD, "No such method");
  }

  // What a bus would answer first, so that busctl can talk to this peer.
  static int Hello(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, "s", ":1.1"); }

  void Serve(Client* client) {
    const int fd = client->fd;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) t_peer = {cred.pid, cred.uid, cred.gid};
    sd_bus* bus = nullptr;
    auto finish = [&] {
      std::lock_guard guard(lock);
      client->done = true;
    };
    std::unique_lock setup(g_setupLock);
    if (sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, fd, fd) < 0 || sd_bus_set_server(bus, 1, serverId) < 0 ||
        sd_bus_set_anonymous(bus, 0) < 0) {
      finish();
      sd_bus_unref(bus);
      close(fd);
      return;
    }
    static const sd_bus_vtable helloVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Hello", "", "s", Hello, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/DBus", "org.freedesktop.DBus", helloVtable, nullptr);
    for (auto& iface : interfaces)
      sd_bus_add_object_vtable(bus, nullptr, iface.path.c_str(), iface.name.c_str(), iface.vtable.data(), &iface);
    const bool started = sd_bus_start(bus) >= 0;
    setup.unlock();
    if (started) {
      while (!stopping) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        pollfd p[2] = {{fd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[0].revents & (POLLHUP | POLLERR) && !(p[0].revents & POLLIN)) break;
        if (p[1].revents) break;
      }
    }
    finish();
    sd_bus_flush_close_unref(bus);  // closes fd
  }

  void Accept() {
    while (!stopping) {
      pollfd p[2] = {{listenFd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (p[1].revents || stopping) break;
      const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ReapFinished();
      std::lock_guard guard(lock);
      Client& client = clients.emplace_back();
      client.fd = fd;
      client.thread = std::thread([this, &client] { Serve(&client); });
    }
  }
};

DBusServer::DBusServer() : m_impl(std::make_unique<Impl>()) {}
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
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::strcpy(addr.sun_path, socketPath.c_str());
  unlink(socketPath.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const mode_t old = umask(0117);  // the socket is born 0660: owner and group only
  const int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (bound != 0 || listen(fd, 64) != 0 || pipe2(m_impl->wakeFds, O_CLOEXEC) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return false;
  }
  chmod(socketPath.c_str(), 0660);
  if (getrandom(&m_impl->serverId, sizeof m_impl->serverId, 0) != sizeof m_impl->serverId) {
    close(fd);
    return false;
  }
  m_impl->listenFd = fd;
  m_impl->socketPath = socketPath;
  m_impl->acceptor = std::thread([this] { m_impl->Accept(); });
  return true;
}

void DBusServer::Stop() {
  if (m_impl->listenFd < 0) return;
  m_impl->stopping = true;
  (void)!write(m_impl->wakeFds[1], "x", 1);
  m_impl->acceptor.join();
  {
    std::lock_guard guard(m_impl->lock);
    for (const auto& c : m_impl->clients)
      if (!c.done) shutdown(c.fd, SHUT_RDWR);
  }
  for (auto& c : m_impl->clients) c.thread.join();
  m_impl->clients.clear();
  close(m_impl->listenFd);
  close(m_impl->wakeFds[0]);
  close(m_impl->wakeFds[1]);
  unlink(m_impl->socketPath.c_str());
  m_impl->listenFd = -1;
}

PeerCredentials DBusServer::CurrentPeer() { return t_peer; }

}  // namespace Norvale::OS
