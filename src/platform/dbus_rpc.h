// Out-of-process objects: method calls over the D-Bus wire protocol,
// peer-to-peer on a Unix socket, with sd-bus and no bus daemon.
//
// Values travel as 32-bit integers ("i") and UTF-8 strings ("s"). A failed
// HRESULT travels as the error name "com.norvale.HRESULT.x%08X" with the
// description as message; the client turns it back into the HRESULT and sets
// the thread's error information to the description, so the interface
// wrappers raise _com_error with both. A broken connection gives
// RPC_E_DISCONNECTED, a call that gets no answer within the call time-out
// RPC_E_TIMEOUT; neither hangs nor crashes.
//
// The call time-out is 30 s, or NORVALE_RPC_TIMEOUT_MS milliseconds.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/types.h"

namespace Norvale::OS {

using DBusValue = std::variant<std::int32_t, std::string>;
using DBusValues = std::vector<DBusValue>;

// One client connection to a server's socket. Calls are serialised; the
// object may be shared between threads.
class DBusClient {
 public:
  // Connects to "unix:path=..." (or a bare path). Fails with
  // CO_E_SERVER_EXEC_FAILURE when nothing listens there.
  static HRESULT Connect(const std::string& address, std::shared_ptr<DBusClient>* client);
  ~DBusClient();

  // Calls `method`; `out` receives the reply's values (signature `outSig`).
  HRESULT Call(const char* path, const char* interface, const char* method, const char* inSig, const DBusValues& in,
               const char* outSig, DBusValues* out);

  struct Impl;

 private:
  explicit DBusClient(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

// The credentials of the peer whose call is being served (SO_PEERCRED).
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Serves methods on a Unix socket: one thread per connection. Handlers run on
// the connection's thread, so they must be thread-safe when several clients
// call at once. A handler returns an HRESULT; a failed one (or a thrown
// _com_error or standard exception) becomes a D-Bus error reply.
//
// Failures while serving go to the event log under the server's event
// source: a connection that cannot be set up is closed and logged; when
// connections cannot be accepted (out of descriptors or memory) the server
// logs it once and tries again after a pause that grows to half a second,
// and logs again when it accepts once more.
class DBusServer {
 public:
  using Handler = std::function<HRESULT(const DBusValues& in, DBusValues* out, std::string* errorDescription)>;
  struct Method {
    std::string name, inSig, outSig;
    Handler handler;
  };

  explicit DBusServer(std::string eventSource = "VelquorServer");
  ~DBusServer();
  DBusServer(const DBusServer&) = delete;
  DBusServer& operator=(const DBusServer&) = delete;

  // Registers an interface at a path; call before Listen.
  void AddInterface(const std::string& path, const std::string& interface, std::vector<Method> methods);
  // Creates the socket (mode 0660: owner and group only) and starts
  // accepting. Returns false with errno set, and ErrorText() saying what
  // failed, when the socket cannot be made or an interface cannot be
  // registered (an invalid path, interface, method name or signature:
  // EINVAL). Listening again needs a Stop first (EBUSY).
  bool Listen(const std::string& socketPath);
  const std::string& ErrorText() const;
  // Stops accepting, disconnects every client and joins the threads.
  void Stop();

  // The credentials of the peer of the call being served on this thread.
  static PeerCredentials CurrentPeer();

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

// Reads an HRESULT back from a D-Bus error name; E_FAIL for a foreign name.
HRESULT HResultFromDBusErrorName(const char* name);

}  // namespace Norvale::OS
