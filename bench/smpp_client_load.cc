// A fast SMPP 3.4 client (ESME) for benchmarks of an SMPP server: B
// transceiver binds, each keeping up to W submit_sm unanswered, submit N
// messages in all; then, optionally, it waits for R delivery receipts.
//
//   build/bench/smpp_client_load --port=N [--binds=B] [--window=W]
//       [--messages=N] [--receipts=R] [--registered=0|1] [--transmitter=1]
//       [--seconds=S] [--receipt-seconds=S]
//       [--system-id=NAME] [--password=SECRET] [--host=ADDRESS]
//
// --port       the server's port on --host (default 127.0.0.1).
// --binds      binds opened at once (default 1), all bind_transceiver
//              unless --transmitter=1 (bind_transmitter: receipts are not
//              offered to them).
// --window     submit_sm unanswered at once per bind (default 100).
// --messages   submit_sm in all, shared by the binds (default 20000; 0: only
//              wait for receipts). Texts "Benchmark message K", to
//              +4477009K (K from 0), from 12345, data_coding 0.
// --registered registered_delivery 1 (a final receipt) in every submit_sm
//              (default 1 when --receipts is given, else 0).
// --receipts   after the submits, wait until R receipts (deliver_sm with
//              esm_class 0x04) have arrived; each deliver_sm is answered
//              deliver_sm_resp ESME_ROK at once, receipts or not.
// --seconds    cap on the binds and the submits (default 300);
// --receipt-seconds  cap on the wait for receipts after the submits
//              (default 300).
//
// The clock of the submits starts when every bind is up, just before the
// first submit_sm is written, and stops at the last submit_sm_resp:
// accepted / that time is the rate. Refused submits are counted by
// command_status (generic_nack included) and not sent again. The receipts'
// rate is (R - 1) over the time from the first to the last.
//
// At the end it unbinds (each unbind_resp waited for at most 2 s) and prints
// one line of JSON:
//
//   {"binds":1,"window":100,"messages":20000,"accepted":20000,
//    "refused":{"0x58":0},"lost":0,"seconds":1.93,"rate":10362.7,
//    "latency_ms_p50":9.1,"latency_ms_p99":21.4,"receipts":0,
//    "receipts_unknown":0,"receipts_repeated":0,"receipt_seconds":0,
//    "receipt_rate":0,"deliver_other":0,"complete":true}
//
// "lost": submits sent whose answer never came (the bind was closed or a cap
// was reached); "receipts_unknown": receipts whose receipted_message_id was
// not a message_id this run was given (with --messages=0, a run that only
// takes receipts, none is counted so); "receipts_repeated": receipts of an
// id that had one already; "deliver_other": deliver_sm that were no receipt.
// Exit 0 when everything asked for was done, 1 when a cap was reached or a
// bind failed, 2 for a bad command line.
//
// One thread, one poll() over the binds' sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bench_arguments.h"
#include "smpp/command_status.h"
#include "smpp/pdu.h"
#include "smpp/pdu_codec.h"
#include "smpp/pdu_framer.h"

namespace Smpp = Norvale::Smpp;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  long nPort = 0;
  long nBinds = 1;
  long nWindow = 100;
  long nMessages = 20000;
  long nReceipts = 0;
  long nRegistered = -1;
  long nTransmitter = 0;
  long nSeconds = 300;
  long nReceiptSeconds = 300;
  std::string sHost = "127.0.0.1";
  std::string sSystemId = "bench";
  std::string sPassword = "bench";
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Bind {
  int nFd = -1;
  Smpp::CPduFramer framer;
  std::vector<uint8_t> out;  // octets not yet written
  size_t nOutStart = 0;      // of them, written already
  enum class EState { Connecting, Binding, Bound, Unbinding, Closed } eState = EState::Connecting;
  uint32_t nSequence = 0;
  std::unordered_map<uint32_t, Clock::time_point> outstanding;  // submit_sm sequence -> sent at

  ~Bind() {
    if (nFd >= 0) close(nFd);
  }
  uint32_t NextSequence() { return nSequence = nSequence % 0x7FFFFFFF + 1; }
  void Send(const Smpp::Pdu& pdu) { Smpp::EncodePdu(pdu, out); }
};

class CLoad {
 public:
  explicit CLoad(Options options) : m_o(std::move(options)) {
    if (m_o.nRegistered < 0) m_o.nRegistered = m_o.nReceipts > 0 ? 1 : 0;
  }

  // Connects and binds every bind; false (with a message) when one fails.
  bool Connect() {
    const auto deadline = Clock::now() + std::chrono::seconds(m_o.nSeconds);
    for (long i = 0; i < m_o.nBinds; ++i) {
      auto b = std::make_unique<Bind>();
      b->nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(m_o.nPort));
      if (inet_pton(AF_INET, m_o.sHost.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "smpp_client_load: --host takes an IPv4 address\n");
        return false;
      }
      if (connect(b->nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "smpp_client_load: cannot connect to %s:%ld: %s\n", m_o.sHost.c_str(), m_o.nPort,
                     std::strerror(errno));
        return false;
      }
      const int one = 1;
      setsockopt(b->nFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      b->eState = Bind::EState::Binding;
      Smpp::BindBody body;
      body.sSystemId = m_o.sSystemId;
      body.sPassword = m_o.sPassword;
      body.sSystemType = "bench";
      const auto command = m_o.nTransmitter ? Smpp::ECommandId::BindTransmitter : Smpp::ECommandId::BindTransceiver;
      b->Send(Smpp::Pdu{Smpp::Id(command), 0, b->NextSequence(), body});
      m_binds.push_back(std::move(b));
    }
    // Every bind answered before the clock starts.
    while (
        std::any_of(m_binds.begin(), m_binds.end(), [](const auto& b) { return b->eState == Bind::EState::Binding; })) {
      if (!Turn(deadline)) break;
      if (m_bBindRefused) return false;
    }
    for (const auto& b : m_binds)
      if (b->eState != Bind::EState::Bound) {
        std::fprintf(stderr, "smpp_client_load: a bind was not answered in time or was closed\n");
        return false;
      }
    return true;
  }

  // Submits every message, then waits for the receipts; true when all of it
  // was done within the caps.
  bool Run() {
    m_start = Clock::now();
    const auto deadline = m_start + std::chrono::seconds(m_o.nSeconds);
    while (m_nAnswered < m_nSent || m_nSent < m_o.nMessages) {
      Fill();
      if (!Turn(deadline) || AllClosed()) break;
    }
    const bool submitted = m_nSent == m_o.nMessages && m_nAnswered == m_nSent;
    const auto receiptDeadline = Clock::now() + std::chrono::seconds(m_o.nReceiptSeconds);
    while (m_nReceipts < m_o.nReceipts && !AllClosed())
      if (!Turn(receiptDeadline)) break;
    return submitted && m_nReceipts >= m_o.nReceipts;
  }

  // Unbinds every bind that is still up, waiting at most 2 s for the answers.
  void Unbind() {
    for (const auto& b : m_binds)
      if (b->eState == Bind::EState::Bound) {
        b->Send(Smpp::Pdu{Smpp::Id(Smpp::ECommandId::Unbind), 0, b->NextSequence(), {}});
        b->eState = Bind::EState::Unbinding;
      }
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (
        std::any_of(m_binds.begin(), m_binds.end(), [](const auto& b) { return b->eState == Bind::EState::Unbinding; }))
      if (!Turn(deadline)) break;
  }

  void PrintSummary(bool bComplete) {
    const double seconds = m_nAnswered > 0 ? Seconds(m_lastAnswer - m_start) : 0;
    std::sort(m_latencies.begin(), m_latencies.end());
    auto percentile = [&](double p) {
      if (m_latencies.empty()) return 0.0;
      const size_t i =
          std::min(m_latencies.size() - 1, static_cast<size_t>(p * static_cast<double>(m_latencies.size())));
      return m_latencies[i] * 1000;
    };
    std::string refused;
    for (const auto& [status, count] : m_refused) {
      char item[40];
      std::snprintf(item, sizeof item, "%s\"0x%02X\":%ld", refused.empty() ? "" : ",", status, count);
      refused += item;
    }
    long lost = 0;
    for (const auto& b : m_binds) lost += static_cast<long>(b->outstanding.size());
    const double receiptSeconds = m_nReceipts > 1 ? Seconds(m_lastReceipt - m_firstReceipt) : 0;
    std::printf(
        "{\"binds\":%ld,\"window\":%ld,\"messages\":%ld,\"accepted\":%ld,\"refused\":{%s},\"lost\":%ld,"
        "\"seconds\":%.6f,\"rate\":%.1f,\"latency_ms_p50\":%.2f,\"latency_ms_p99\":%.2f,\"receipts\":%ld,"
        "\"receipts_unknown\":%ld,\"receipts_repeated\":%ld,\"receipt_seconds\":%.6f,\"receipt_rate\":%.1f,"
        "\"deliver_other\":%ld,\"complete\":%s}\n",
        m_o.nBinds, m_o.nWindow, m_nSent, m_nAccepted, refused.c_str(), lost, seconds,
        seconds > 0 ? static_cast<double>(m_nAccepted) / seconds : 0.0, percentile(0.5), percentile(0.99), m_nReceipts,
        m_nReceiptsUnknown, m_nReceiptsRepeated, receiptSeconds,
        receiptSeconds > 0 ? static_cast<double>(m_nReceipts - 1) / receiptSeconds : 0.0, m_nDeliverOther,
        bComplete ? "true" : "false");
    std::fflush(stdout);
  }

 private:
  bool AllClosed() const {
    return std::all_of(m_binds.begin(), m_binds.end(), [](const auto& b) { return b->eState == Bind::EState::Closed; });
  }

  // Tops up every bound bind's window with new submit_sm.
  void Fill() {
    const auto now = Clock::now();
    for (const auto& b : m_binds) {
      if (b->eState != Bind::EState::Bound) continue;
      while (m_nSent < m_o.nMessages && static_cast<long>(b->outstanding.size()) < m_o.nWindow) {
        Smpp::ShortMessageBody body;
        body.nSourceTon = 0;
        body.nSourceNpi = 1;
        body.sSourceAddr = "12345";
        body.nDestTon = 1;
        body.nDestNpi = 1;
        body.sDestinationAddr = "4477009" + std::to_string(m_nSent);
        body.nRegisteredDelivery = m_o.nRegistered ? Smpp::kRegisteredDeliveryFinal : 0;
        const std::string text = "Benchmark message " + std::to_string(m_nSent);
        body.ShortMessage.assign(text.begin(), text.end());
        const uint32_t sequence = b->NextSequence();
        b->Send(Smpp::Pdu{Smpp::Id(Smpp::ECommandId::SubmitSm), 0, sequence, std::move(body)});
        b->outstanding.emplace(sequence, now);
        ++m_nSent;
      }
    }
  }

  // One poll() over the binds, up to `deadline`: writes what is pending,
  // reads and handles what came. False once the deadline has passed.
  bool Turn(Clock::time_point deadline) {
    for (const auto& b : m_binds) Flush(*b);
    std::vector<pollfd> fds;
    std::vector<Bind*> owners;
    for (const auto& b : m_binds) {
      if (b->eState == Bind::EState::Closed) continue;
      fds.push_back({b->nFd, static_cast<short>(POLLIN | (b->out.size() > b->nOutStart ? POLLOUT : 0)), 0});
      owners.push_back(b.get());
    }
    const auto now = Clock::now();
    if (now >= deadline || fds.empty()) return false;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    if (poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(wait, 1000))) < 0 && errno != EINTR) return false;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) Read(*owners[i]);
      if (fds[i].revents & POLLNVAL) Close(*owners[i]);
    }
    return true;
  }

  void Flush(Bind& b) {
    while (b.eState != Bind::EState::Closed && b.out.size() > b.nOutStart) {
      const ssize_t n =
          send(b.nFd, b.out.data() + b.nOutStart, b.out.size() - b.nOutStart, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) {
        if (n < 0 && errno != EAGAIN && errno != EINTR) Close(b);
        return;
      }
      b.nOutStart += static_cast<size_t>(n);
    }
    if (b.nOutStart == b.out.size()) {
      b.out.clear();
      b.nOutStart = 0;
    }
  }

  void Close(Bind& b) {
    if (b.eState == Bind::EState::Closed) return;
    b.eState = Bind::EState::Closed;
    close(b.nFd);
    b.nFd = -1;
  }

  void Read(Bind& b) {
    uint8_t buffer[65536];
    const ssize_t n = recv(b.nFd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) Close(b);
      return;
    }
    b.framer.Append(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    while (b.eState != Bind::EState::Closed)
      if (auto octets = b.framer.Next())
        Handle(b, *octets);
      else
        break;
    if (b.framer.Broken()) {
      std::fprintf(stderr, "smpp_client_load: the server's stream broke: %s\n", b.framer.BrokenReason().c_str());
      Close(b);
    }
  }

  void Answered(Bind& b, uint32_t nSequence, uint32_t nStatus, const std::string& sMessageId) {
    const auto it = b.outstanding.find(nSequence);
    if (it == b.outstanding.end()) return;  // not a submit of ours (a bind's or unbind's nack)
    const auto now = Clock::now();
    m_latencies.push_back(Seconds(now - it->second));
    b.outstanding.erase(it);
    ++m_nAnswered;
    m_lastAnswer = now;
    if (nStatus == Smpp::ESME_ROK) {
      ++m_nAccepted;
      if (m_o.nReceipts > 0) m_ids.insert(sMessageId);
    } else {
      ++m_refused[nStatus];
    }
  }

  void Handle(Bind& b, std::span<const uint8_t> octets) {
    Smpp::DecodeResult decoded = Smpp::DecodePdu(octets);
    if (auto* error = std::get_if<Smpp::DecodeError>(&decoded)) {
      if (!error->bHeaderRead) return;
      if (error->nCommandId == Smpp::Id(Smpp::ECommandId::SubmitSmResp))
        Answered(b, error->nSequence, Smpp::ESME_RSYSERR, "");
      else if (!Smpp::IsResponse(error->nCommandId))
        b.Send(Smpp::Pdu{Smpp::Id(Smpp::ECommandId::GenericNack), error->nAnswerStatus, error->nSequence, {}});
      return;
    }
    const Smpp::Pdu& pdu = std::get<Smpp::Pdu>(decoded);
    switch (pdu.Command()) {
      case Smpp::ECommandId::BindTransceiverResp:
      case Smpp::ECommandId::BindTransmitterResp:
        if (b.eState != Bind::EState::Binding) return;
        if (pdu.nCommandStatus != Smpp::ESME_ROK) {
          std::fprintf(stderr, "smpp_client_load: bind refused, command_status 0x%08X\n", pdu.nCommandStatus);
          m_bBindRefused = true;
          Close(b);
          return;
        }
        b.eState = Bind::EState::Bound;
        return;
      case Smpp::ECommandId::SubmitSmResp: {
        const auto* body = std::get_if<Smpp::MessageIdBody>(&pdu.Body);
        Answered(b, pdu.nSequence, pdu.nCommandStatus, body ? body->sMessageId : std::string());
        return;
      }
      case Smpp::ECommandId::GenericNack: Answered(b, pdu.nSequence, pdu.nCommandStatus, ""); return;
      case Smpp::ECommandId::DeliverSm: {
        const auto* body = std::get_if<Smpp::ShortMessageBody>(&pdu.Body);
        if (body && (body->nEsmClass & Smpp::kEsmTypeMask) == Smpp::kEsmTypeReceipt) {
          const auto now = Clock::now();
          if (m_nReceipts++ == 0) m_firstReceipt = now;
          m_lastReceipt = now;
          const std::string id = body->sReceiptedMessageId.value_or("");
          if (m_o.nMessages > 0 && !m_ids.contains(id))
            ++m_nReceiptsUnknown;
          else if (!m_receipted.insert(id).second)
            ++m_nReceiptsRepeated;
        } else {
          ++m_nDeliverOther;
        }
        b.Send(Smpp::Pdu{Smpp::ResponseOf(pdu.nCommandId), Smpp::ESME_ROK, pdu.nSequence, Smpp::MessageIdBody{}});
        return;
      }
      case Smpp::ECommandId::EnquireLink:
        b.Send(Smpp::Pdu{Smpp::ResponseOf(pdu.nCommandId), Smpp::ESME_ROK, pdu.nSequence, {}});
        return;
      case Smpp::ECommandId::Unbind:
        b.Send(Smpp::Pdu{Smpp::ResponseOf(pdu.nCommandId), Smpp::ESME_ROK, pdu.nSequence, {}});
        Flush(b);
        Close(b);
        return;
      case Smpp::ECommandId::UnbindResp: Close(b); return;
      default:
        if (!Smpp::IsResponse(pdu.nCommandId))
          b.Send(Smpp::Pdu{Smpp::Id(Smpp::ECommandId::GenericNack), Smpp::ESME_RINVCMDID, pdu.nSequence, {}});
        return;
    }
  }

  Options m_o;
  std::vector<std::unique_ptr<Bind>> m_binds;
  bool m_bBindRefused = false;
  long m_nSent = 0, m_nAnswered = 0, m_nAccepted = 0;
  std::map<uint32_t, long> m_refused;
  std::vector<double> m_latencies;  // seconds from submit_sm to its answer
  Clock::time_point m_start, m_lastAnswer, m_firstReceipt, m_lastReceipt;
  long m_nReceipts = 0, m_nReceiptsUnknown = 0, m_nReceiptsRepeated = 0, m_nDeliverOther = 0;
  std::unordered_set<std::string> m_ids;        // message_ids accepted (when receipts are awaited)
  std::unordered_set<std::string> m_receipted;  // of them, those with a receipt
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  // The text options first; the numbers go through the common parser.
  std::vector<char*> numeric{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--system-id="))
      o.sSystemId = arg.substr(12);
    else if (arg.starts_with("--password="))
      o.sPassword = arg.substr(11);
    else if (arg.starts_with("--host="))
      o.sHost = arg.substr(7);
    else
      numeric.push_back(argv[i]);
  }
  const Bench::NumberOption options[] = {
      {"--port", 1, 65535, &o.nPort},
      {"--binds", 1, 64, &o.nBinds},
      {"--window", 1, 100000, &o.nWindow},
      {"--messages", 0, 100000000, &o.nMessages},
      {"--receipts", 0, 100000000, &o.nReceipts},
      {"--registered", 0, 1, &o.nRegistered},
      {"--transmitter", 0, 1, &o.nTransmitter},
      {"--seconds", 1, 86400, &o.nSeconds},
      {"--receipt-seconds", 1, 86400, &o.nReceiptSeconds},
  };
  std::vector<char*> ignored;
  const std::string error = Bench::ParseArguments(static_cast<int>(numeric.size()), numeric.data(), options, ignored);
  if (!error.empty() || ignored.size() > 0 || o.nPort == 0) {
    std::fprintf(stderr, "smpp_client_load: %s\n",
                 !error.empty() ? error.c_str() : "--port=N is needed; --benchmark_... flags are not taken");
    std::fprintf(stderr,
                 "usage: smpp_client_load --port=N [--binds=B] [--window=W] [--messages=N] [--receipts=R] "
                 "[--registered=0|1] [--transmitter=1] [--seconds=S] [--receipt-seconds=S] [--system-id=NAME] "
                 "[--password=SECRET] [--host=ADDRESS]\n");
    return 2;
  }
  CLoad load(o);
  if (!load.Connect()) {
    load.PrintSummary(false);
    return 1;
  }
  const bool complete = load.Run();
  load.Unbind();
  load.PrintSummary(complete);
  return complete ? 0 : 1;
}
