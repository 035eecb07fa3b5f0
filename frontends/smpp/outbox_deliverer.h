// OutboxDeliverer: sends SmppOutbox's entries to the accounts' receiver
// binds, at least once. A thread reads the due entries (NextAttempt passed,
// not in flight) of the accounts that have a receiver bound, oldest first,
// and offers each to the DeliverySink; an entry answered ESME_ROK is
// deleted, any other outcome puts it back with a growing NextAttempt
// (1 s doubling up to 5 min, Attempts counted). Entries of accounts without
// a receiver bind wait, however long, until one binds. Woken by Wake() (new
// entries) and ReceiverBound; otherwise it looks every second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery_sink.h"

namespace VelquorSmpp {

class SmppDatabase;

class OutboxDeliverer : public DeliveryAnswers {
 public:
  OutboxDeliverer(SmppDatabase& database, DeliverySink& sink);
  ~OutboxDeliverer() override;
  OutboxDeliverer(const OutboxDeliverer&) = delete;
  OutboxDeliverer& operator=(const OutboxDeliverer&) = delete;

  void Wake();
  void Answered(std::int64_t nOutboxId, bool bDelivered) override;
  void ReceiverBound(const std::string& sSystemId) override;
  // Entries of the account in the outbox, as last read (for the status).
  std::size_t Depth(const std::string& sSystemId) const;
  std::uint64_t Delivered() const;  // ESME_ROK answers since the start
};

}  // namespace VelquorSmpp
