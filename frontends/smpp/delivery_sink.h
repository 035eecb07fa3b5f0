// What velquor-smppd's outbox hands to the binds: deliver_sm to send, and
// what it needs back. SmppServer (the binds) implements DeliverySink; the
// OutboxDeliverer implements DeliveryAnswers.
#pragma once

#include <cstdint>
#include <string>

#include "smpp/pdu.h"

namespace VelquorSmpp {

// One entry of SmppOutbox on its way to a client.
struct OutboxDelivery {
  std::int64_t nOutboxId = 0;
  std::string sSystemId;
  Norvale::Smpp::ShortMessageBody body;  // the deliver_sm's body
};

class DeliverySink {
 public:
  virtual ~DeliverySink() = default;
  // Whether the account has a receiver or transceiver bind now.
  virtual bool HasReceiver(const std::string& sSystemId) const = 0;
  // Hands the entry to one of the account's receiver binds with room in its
  // window (the bind answers through DeliveryAnswers::Answered); false when
  // none can take it now. Thread-safe, never blocks.
  virtual bool Offer(const OutboxDelivery& delivery) = 0;
};

class DeliveryAnswers {
 public:
  virtual ~DeliveryAnswers() = default;
  // The client answered ESME_ROK (`delivered`), or answered otherwise, did
  // not answer in time, or its bind ended. Thread-safe, never blocks.
  virtual void Answered(std::int64_t nOutboxId, bool bDelivered) = 0;
  // A receiver bind of the account came up: offer what waits.
  virtual void ReceiverBound(const std::string& sSystemId) = 0;
};

}  // namespace VelquorSmpp
