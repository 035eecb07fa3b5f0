#include "smpp_metrics.h"

#include "accounts/smppd_state.h"
#include "metrics.h"

namespace VelquorHttp {

std::string SmppMetricsText() {
  const std::optional<Norvale::CSmppdState> state = Norvale::ReadSmppdState();
  if (!state) return "";
  Metrics m;
  m.Describe("velquor_smpp_binds", "gauge", "SMPP binds of an account now, by kind.");
  m.Describe("velquor_smpp_window", "gauge", "submit_sm of an account unanswered now, over all its binds.");
  m.Describe("velquor_smpp_window_max", "gauge", "The account's SmppWindow times its binds.");
  m.Describe("velquor_smpp_submits_per_second", "gauge", "submit_sm of an account accepted per second, lately.");
  m.Describe("velquor_smpp_outbox", "gauge", "Receipts and received messages waiting for an account's receiver.");
  m.Describe("velquor_smpp_submitted_total", "counter", "submit_sm accepted (queued) since velquor-smppd started.");
  m.Describe("velquor_smpp_throttled_total", "counter", "submit_sm answered ESME_RTHROTTLED since it started.");
  m.Describe("velquor_smpp_delivered_total", "counter", "deliver_sm answered by the client since it started.");
  for (const Norvale::CSmppdAccountState& a : state->accounts) {
    const MetricLabels account{{"account", a.sName}};
    for (const auto& [kind, count] : {std::pair<const char*, unsigned>{"transmitter", a.nTransmitters},
                                      {"receiver", a.nReceivers},
                                      {"transceiver", a.nTransceivers}})
      m.Set("velquor_smpp_binds", {{"account", a.sName}, {"kind", kind}}, count);
    m.Set("velquor_smpp_window", account, a.nWindow);
    m.Set("velquor_smpp_window_max", account, a.nWindowMax);
    m.Set("velquor_smpp_submits_per_second", account, a.dSubmitsPerSecond);
    m.Set("velquor_smpp_outbox", account, static_cast<double>(a.nOutbox));
    m.Set("velquor_smpp_submitted_total", account, static_cast<double>(a.nSubmittedTotal));
    m.Set("velquor_smpp_throttled_total", account, static_cast<double>(a.nThrottledTotal));
    m.Set("velquor_smpp_delivered_total", account, static_cast<double>(a.nDeliveredTotal));
  }
  return m.Render();
}

}  // namespace VelquorHttp
