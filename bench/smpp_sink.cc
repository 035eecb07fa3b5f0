// An SMPP 3.4 SMS centre for benchmarks: it accepts binds, answers every
// submit_sm after a fixed delay and counts what arrives, on loopback.
//
//   build/bench/smpp_sink [--port=N] [--delay-ms=N] [--receipts]
//                         [--system-id=S --password=P] [--exit-after=N]
//                         [--dump=FILE] [--drop-every=N]
//                         [--times=FILE] [--progress=N]
//
// --port        the port to listen on, 0 (default) for a free one; the first
//               line on standard output is "port N" once it listens.
// --delay-ms    each submit_sm_resp is sent this long after its submit_sm
//               arrived (default 0). The answers are scheduled, not slept
//               for: a client with a window of 10 and a delay of 50 ms gets
//               about 200 answers a second.
// --receipts    a delivery receipt (deliver_sm, DELIVRD) follows the answer
//               of every submit_sm that asks for one, on a transceiver or
//               receiver bind.
// --system-id, --password   binds must carry these (default: any).
// --exit-after  exit once N submit_sm have been answered (default: only on
//               SIGTERM or SIGINT).
// --dump        append the short_message of every submit_sm that arrives to
//               FILE, one line each, written at once (bytes outside printable
//               ASCII as \xNN), for tests that count what reached the SMSC.
// --times       like --dump, each line led by the arrival time of its
//               submit_sm (seconds since the epoch, CLOCK_REALTIME) and a
//               space: with texts of their own, the time each took to come.
// --progress    a line "submits K" on standard output (flushed) whenever K,
//               the submit_sm so far, reaches a multiple of N.
// --drop-every  every Nth submit_sm closes its connection at once: neither it
//               nor any other submit_sm of that connection still waiting for
//               its answer is answered (a bind lost with its window full).
//
// On exit it prints one line of JSON: submits, binds, enquire_links,
// receipts, first and last arrival of a submit_sm (seconds since the epoch),
// the seconds between them, the rate (submits - 1) / seconds, the
// connections dropped and, with --dump, the submits whose text had come
// before ("repeats").
//
// One thread, one poll(): it wakes for a socket, a signal or the next
// scheduled answer, never otherwise. At most kMaxConnections clients; a
// client with kMaxPending answers not yet written is not read from until
// they are.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "smpp/command_status.h"
#include "smpp/pdu.h"
#include "smpp/pdu_codec.h"
#include "smpp/pdu_framer.h"

namespace Smpp = Norvale::Smpp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxPending = 100000;

struct Options {
  uint16_t nPort = 0;
  int nDelayMs = 0;
  bool bReceipts = false;
  std::optional<std::string> sSystemId;
  std::optional<std::string> sPassword;
  long nExitAfter = 0;
  std::string sDump;
  long nDropEvery = 0;
  std::string sTimes;
  long nProgress = 0;
};

bool ParseNumber(std::string_view sText, long nMax, long& nValue) {
  if (sText.empty() || sText.size() > 10) return false;
  long value = 0;
  for (const char c : sText) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > nMax) return false;
  nValue = value;
  return true;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view sName) -> std::optional<std::string_view> {
      if (arg.substr(0, sName.size()) == sName && arg.size() > sName.size() && arg[sName.size()] == '=')
        return arg.substr(sName.size() + 1);
      return std::nullopt;
    };
    long number = 0;
    if (auto v = value("--port"); v && ParseNumber(*v, 65535, number))
      options.nPort = static_cast<uint16_t>(number);
    else if (auto d = value("--delay-ms"); d && ParseNumber(*d, 600000, number))
      options.nDelayMs = static_cast<int>(number);
    else if (auto n = value("--exit-after"); n && ParseNumber(*n, 1000000000, number))
      options.nExitAfter = number;
    else if (auto e = value("--drop-every"); e && ParseNumber(*e, 1000000000, number))
      options.nDropEvery = number;
    else if (auto f = value("--dump"); f && !f->empty())
      options.sDump = std::string(*f);
    else if (auto t = value("--times"); t && !t->empty())
      options.sTimes = std::string(*t);
    else if (auto g = value("--progress"); g && ParseNumber(*g, 1000000000, number))
      options.nProgress = number;
    else if (auto s = value("--system-id"))
      options.sSystemId = std::string(*s);
    else if (auto p = value("--password"))
      options.sPassword = std::string(*p);
    else if (arg == "--receipts")
      options.bReceipts = true;
    else {
      std::fprintf(stderr,
                   "smpp_sink: unknown or malformed option '%s'\n"
                   "usage: smpp_sink [--port=N] [--delay-ms=N] [--receipts] [--system-id=S] [--password=P] "
                   "[--exit-after=N] [--dump=FILE] [--drop-every=N] [--times=FILE] [--progress=N]\n",
                   argv[i]);
      return std::nullopt;
    }
  }
  return options;
}

double EpochSeconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string ReceiptTime(double dEpoch) {
  const time_t seconds = static_cast<time_t>(dEpoch);
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[16];
  std::strftime(text, sizeof text, "%y%m%d%H%M", &parts);
  return text;
}

struct Connection {
  int nFd = -1;
  Smpp::CPduFramer framer;
  std::vector<uint8_t> out;  // octets not yet written
  size_t nPending = 0;       // answers scheduled, not yet in `out`
  bool bBound = false;
  bool bReceives = false;  // transceiver or receiver: receipts go here
  bool bClosing = false;   // close once every answer is written
  bool bGone = false;      // the peer closed or failed: close now
  uint32_t nSequence = 0;  // of the sink's own requests (deliver_sm)
};

struct Scheduled {
  Clock::time_point due;
  uint64_t nConnection = 0;
  std::vector<uint8_t> octets;
};

class CSink {
 public:
  explicit CSink(Options options) : m_options(std::move(options)) {}

  // Listens; false with a message on standard error when it cannot.
  bool Listen() {
    if (!m_options.sDump.empty() && !(m_pDump = std::fopen(m_options.sDump.c_str(), "a"))) {
      std::fprintf(stderr, "smpp_sink: cannot write %s: %s\n", m_options.sDump.c_str(), std::strerror(errno));
      return false;
    }
    if (!m_options.sTimes.empty() && !(m_pTimes = std::fopen(m_options.sTimes.c_str(), "a"))) {
      std::fprintf(stderr, "smpp_sink: cannot write %s: %s\n", m_options.sTimes.c_str(), std::strerror(errno));
      return false;
    }
    m_nListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(m_nListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_options.nPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_nListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_nListenFd, 16) != 0 ||
        getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&address), &length)) {
      std::fprintf(stderr, "smpp_sink: cannot listen on 127.0.0.1:%u: %s\n", m_options.nPort, std::strerror(errno));
      return false;
    }
    std::printf("port %u\n", ntohs(address.sin_port));
    std::fflush(stdout);
    return true;
  }

  // Serves until a signal arrives on `nSignalFd` or --exit-after is met.
  void Run(int nSignalFd) {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    for (;;) {
      if (Done()) return;
      fds.assign({{nSignalFd, POLLIN, 0}, {m_nListenFd, POLLIN, 0}});
      ids.assign({0, 0});
      for (auto& [id, c] : m_connections) {
        short events = 0;
        if (c->nPending + c->out.size() / 16 < kMaxPending && !c->bClosing) events |= POLLIN;
        if (!c->out.empty()) events |= POLLOUT;
        fds.push_back({c->nFd, events, 0});
        ids.push_back(id);
      }
      int timeout = -1;
      if (!m_scheduled.empty()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_scheduled.front().due - Clock::now());
        timeout = static_cast<int>(std::max<long>(0, wait.count()));
      }
      if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
      if (fds[0].revents & POLLIN) return;
      if (fds[1].revents & POLLIN) Accept();
      for (size_t i = 2; i < fds.size(); ++i) {
        auto it = m_connections.find(ids[i]);
        if (it == m_connections.end()) continue;
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) Read(ids[i], *it->second);
        if (fds[i].revents & POLLNVAL) it->second->bGone = true;
      }
      Release();
      for (auto& [id, c] : m_connections)
        if (!c->bGone) Flush(*c);
      Reap();
    }
  }

  void PrintSummary() const {
    const double seconds = m_nSubmits > 0 ? m_dLast - m_dFirst : 0;
    std::printf(
        "{\"submits\":%ld,\"binds\":%ld,\"enquire_links\":%ld,\"receipts\":%ld,\"first_submit\":%.6f,"
        "\"last_submit\":%.6f,\"seconds\":%.6f,\"rate\":%.1f,\"drops\":%ld,\"repeats\":%ld}\n",
        m_nSubmits, m_nBinds, m_nEnquireLinks, m_nReceipts, m_dFirst, m_dLast, seconds,
        seconds > 0 ? static_cast<double>(m_nSubmits - 1) / seconds : 0.0, m_nDrops, m_nRepeats);
    std::fflush(stdout);
  }

  ~CSink() {
    for (auto& [id, c] : m_connections) close(c->nFd);
    if (m_nListenFd >= 0) close(m_nListenFd);
    if (m_pDump) std::fclose(m_pDump);
    if (m_pTimes) std::fclose(m_pTimes);
  }
  CSink(const CSink&) = delete;
  CSink& operator=(const CSink&) = delete;

 private:
  bool Done() const {
    if (m_options.nExitAfter <= 0 || m_nSubmits < m_options.nExitAfter || !m_scheduled.empty()) return false;
    for (const auto& [id, c] : m_connections)
      if (!c->out.empty() && !c->bGone) return false;
    return true;
  }

  void Accept() {
    const int fd = accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (m_connections.size() >= kMaxConnections) {
      close(fd);
      return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Connection>();
    c->nFd = fd;
    m_connections.emplace(++m_nNextId, std::move(c));
  }

  void Read(uint64_t nId, Connection& c) {
    uint8_t buffer[65536];
    const ssize_t n = read(c.nFd, buffer, sizeof buffer);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) c.bGone = true;
      return;
    }
    c.framer.Append(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    while (!c.bGone)
      if (auto octets = c.framer.Next())
        Handle(nId, c, *octets);
      else
        break;
    if (c.bGone) return;
    if (c.framer.Broken()) {
      const auto header = c.framer.BrokenHeader();
      Answer(c,
             Smpp::Pdu{
                 Smpp::Id(Smpp::ECommandId::GenericNack), Smpp::ESME_RINVCMDLEN, header ? header->nSequence : 0, {}});
      c.bClosing = true;
    }
  }

  // A response with the body its command needs to be encoded.
  static Smpp::Pdu Response(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence) {
    Smpp::Pdu pdu{nCommandId, nStatus, nSequence, {}};
    switch (pdu.Command()) {
      case Smpp::ECommandId::BindReceiverResp:
      case Smpp::ECommandId::BindTransmitterResp:
      case Smpp::ECommandId::BindTransceiverResp: pdu.Body = Smpp::BindRespBody{"smpp_sink", {}}; break;
      case Smpp::ECommandId::SubmitSmResp:
      case Smpp::ECommandId::DeliverSmResp: pdu.Body = Smpp::MessageIdBody{}; break;
      default: break;
    }
    return pdu;
  }

  void Answer(Connection& c, const Smpp::Pdu& pdu) { Smpp::EncodePdu(pdu, c.out); }

  void Handle(uint64_t nId, Connection& c, std::span<const uint8_t> octets) {
    Smpp::DecodeResult decoded = Smpp::DecodePdu(octets);
    if (auto* error = std::get_if<Smpp::DecodeError>(&decoded)) {
      if (!error->bHeaderRead || Smpp::IsResponse(error->nCommandId)) return;
      const uint32_t command = error->AnswerWithGenericNack() || !Smpp::IsKnownCommand(error->nCommandId)
                                   ? Smpp::Id(Smpp::ECommandId::GenericNack)
                                   : Smpp::ResponseOf(error->nCommandId);
      Answer(c, Response(command, error->nAnswerStatus, error->nSequence));
      return;
    }
    const Smpp::Pdu& pdu = std::get<Smpp::Pdu>(decoded);
    switch (pdu.Command()) {
      case Smpp::ECommandId::BindTransceiver:
      case Smpp::ECommandId::BindTransmitter:
      case Smpp::ECommandId::BindReceiver: {
        const auto* body = std::get_if<Smpp::BindBody>(&pdu.Body);
        uint32_t status = Smpp::ESME_ROK;
        if (c.bBound)
          status = Smpp::ESME_RALYBND;
        else if (m_options.sSystemId && (!body || body->sSystemId != *m_options.sSystemId))
          status = Smpp::ESME_RINVSYSID;
        else if (m_options.sPassword && (!body || body->sPassword != *m_options.sPassword))
          status = Smpp::ESME_RINVPASWD;
        Smpp::Pdu resp = Response(Smpp::ResponseOf(pdu.nCommandId), status, pdu.nSequence);
        if (status == Smpp::ESME_ROK) {
          resp.Body = Smpp::BindRespBody{"smpp_sink", Smpp::kInterfaceVersion};
          c.bBound = true;
          c.bReceives = pdu.Command() != Smpp::ECommandId::BindTransmitter;
          ++m_nBinds;
        }
        Answer(c, resp);
        return;
      }
      case Smpp::ECommandId::SubmitSm: {
        if (!c.bBound) {
          Answer(c, Response(Smpp::ResponseOf(pdu.nCommandId), Smpp::ESME_RINVBNDSTS, pdu.nSequence));
          return;
        }
        const double now = EpochSeconds();
        if (m_nSubmits++ == 0) m_dFirst = now;
        m_dLast = now;
        const auto* body = std::get_if<Smpp::ShortMessageBody>(&pdu.Body);
        if (m_pDump && body) Dump(body->ShortMessage);
        if (m_pTimes && body) Stamp(now, body->ShortMessage);
        if (m_options.nProgress > 0 && m_nSubmits % m_options.nProgress == 0) {
          std::printf("submits %ld\n", m_nSubmits);
          std::fflush(stdout);
        }
        if (m_options.nDropEvery > 0 && m_nSubmits % m_options.nDropEvery == 0) {
          c.bGone = true;  // closed by Reap; its scheduled answers find no connection
          ++m_nDrops;
          return;
        }
        char id[24];
        std::snprintf(id, sizeof id, "%lx", static_cast<unsigned long>(m_nSubmits));
        std::vector<uint8_t> octets;
        Smpp::EncodePdu(
            Smpp::Pdu{Smpp::ResponseOf(pdu.nCommandId), Smpp::ESME_ROK, pdu.nSequence, Smpp::MessageIdBody{id}},
            octets);
        if (m_options.bReceipts && c.bReceives && body &&
            (body->nRegisteredDelivery & Smpp::kRegisteredDeliveryFinal) != 0) {
          Smpp::ShortMessageBody receipt;
          receipt.nSourceTon = body->nDestTon;
          receipt.nSourceNpi = body->nDestNpi;
          receipt.sSourceAddr = body->sDestinationAddr;
          receipt.nDestTon = body->nSourceTon;
          receipt.nDestNpi = body->nSourceNpi;
          receipt.sDestinationAddr = body->sSourceAddr;
          receipt.nEsmClass = Smpp::kEsmTypeReceipt;
          const std::string date = ReceiptTime(now);
          const std::string text = std::string("id:") + id + " sub:001 dlvrd:001 submit date:" + date +
                                   " done date:" + date + " stat:DELIVRD err:000 text:";
          receipt.ShortMessage.assign(text.begin(), text.end());
          receipt.sReceiptedMessageId = id;
          receipt.nMessageState = 2;  // DELIVERED
          Smpp::EncodePdu(
              Smpp::Pdu{Smpp::Id(Smpp::ECommandId::DeliverSm), 0, ++c.nSequence & 0x7FFFFFFF, std::move(receipt)},
              octets);
          ++m_nReceipts;
        }
        if (m_options.nDelayMs == 0) {
          c.out.insert(c.out.end(), octets.begin(), octets.end());
        } else {
          ++c.nPending;
          m_scheduled.push_back({Clock::now() + std::chrono::milliseconds(m_options.nDelayMs), nId, std::move(octets)});
        }
        return;
      }
      case Smpp::ECommandId::EnquireLink:
        ++m_nEnquireLinks;
        Answer(c, Smpp::Pdu{Smpp::ResponseOf(pdu.nCommandId), Smpp::ESME_ROK, pdu.nSequence, {}});
        return;
      case Smpp::ECommandId::Unbind:
        Answer(c, Smpp::Pdu{Smpp::ResponseOf(pdu.nCommandId), Smpp::ESME_ROK, pdu.nSequence, {}});
        c.bClosing = true;
        return;
      default:
        if (!Smpp::IsResponse(pdu.nCommandId))
          Answer(c, Smpp::Pdu{Smpp::Id(Smpp::ECommandId::GenericNack), Smpp::ESME_RINVCMDID, pdu.nSequence, {}});
        return;  // deliver_sm_resp, enquire_link_resp, generic_nack: nothing to do
    }
  }

  // One line of the dump, written through at once: a test reads it while
  // the sink runs, and a killed sink loses nothing.
  void Dump(const std::vector<uint8_t>& text) {
    std::string line = Printable(text);
    if (!m_seen.insert(line).second) ++m_nRepeats;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), m_pDump);
    std::fflush(m_pDump);
  }

  // The text as one line: bytes outside printable ASCII, and the backslash,
  // as \xNN.
  static std::string Printable(const std::vector<uint8_t>& text) {
    std::string line;
    for (const uint8_t c : text) {
      if (c >= 0x20 && c < 0x7F && c != '\\') {
        line += static_cast<char>(c);
      } else {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        line += escaped;
      }
    }
    return line;
  }

  // One line of the --times file, written through at once like the dump.
  void Stamp(double dArrival, const std::vector<uint8_t>& text) {
    std::fprintf(m_pTimes, "%.6f %s\n", dArrival, Printable(text).c_str());
    std::fflush(m_pTimes);
  }

  // Moves the answers that are due into their connections' buffers. The
  // delay is one for all, so the queue is in order of due time.
  void Release() {
    const auto now = Clock::now();
    while (!m_scheduled.empty() && m_scheduled.front().due <= now) {
      Scheduled& s = m_scheduled.front();
      if (auto it = m_connections.find(s.nConnection); it != m_connections.end()) {
        --it->second->nPending;
        it->second->out.insert(it->second->out.end(), s.octets.begin(), s.octets.end());
      }
      m_scheduled.pop_front();
    }
  }

  static void Flush(Connection& c) {
    while (!c.out.empty()) {
      const ssize_t n = send(c.nFd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      if (n <= 0) {
        if (n < 0 && errno != EAGAIN && errno != EINTR) c.bGone = true;
        return;
      }
      c.out.erase(c.out.begin(), c.out.begin() + n);
    }
  }

  // Closes the connections that are done: gone, or closing with every
  // answer written.
  void Reap() {
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      Connection& c = *it->second;
      if (c.bGone || (c.bClosing && c.out.empty() && c.nPending == 0)) {
        close(c.nFd);
        it = m_connections.erase(it);
      } else {
        ++it;
      }
    }
  }

  Options m_options;
  int m_nListenFd = -1;
  std::map<uint64_t, std::unique_ptr<Connection>> m_connections;
  uint64_t m_nNextId = 0;
  std::deque<Scheduled> m_scheduled;
  long m_nSubmits = 0, m_nBinds = 0, m_nEnquireLinks = 0, m_nReceipts = 0, m_nDrops = 0, m_nRepeats = 0;
  std::FILE* m_pDump = nullptr;
  std::FILE* m_pTimes = nullptr;
  std::set<std::string> m_seen;  // the texts dumped so far
  double m_dFirst = 0, m_dLast = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) return 2;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  CSink sink(*options);
  if (signalFd < 0 || !sink.Listen()) return 1;
  sink.Run(signalFd);
  sink.PrintSummary();
  close(signalFd);
  return 0;
}
