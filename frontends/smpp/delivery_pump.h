// DeliveryPump: moves what velquor-smppd's clients are to receive from the
// queue into SmppOutbox, in one transaction each batch (CQueueHandover):
// - notifications of SourceType stSmppServer: a job's final outcome becomes
//   a delivery receipt (deliver_sm, esm_class 0x04, the receipt text
//   "id:... sub:001 dlvrd:... submit date:... done date:... stat:... err:...
//   text:...", TLVs receipted_message_id and message_state) for the account
//   in SourceId, when the submit's registered_delivery asked for one; its
//   SmppJobs row goes then. Other notifications are taken and dropped.
// - received messages of the handsets the accounts' SmppReceive rules name,
//   routed by those rules (handset, destination number or prefix; first
//   matching account in name order) as deliver_sm.
// It looks every 50 ms while there is work, every 250 ms after 2 s of quiet,
// and calls `written` after each batch it moved.
#pragma once

#include <functional>

namespace Norvale {
class CApiAccountStore;
}

namespace VelquorSmpp {

class SmppDatabase;

class DeliveryPump {
 public:
  DeliveryPump(SmppDatabase& database, Norvale::CApiAccountStore& accounts, std::function<void()> written);
  ~DeliveryPump();
  DeliveryPump(const DeliveryPump&) = delete;
  DeliveryPump& operator=(const DeliveryPump&) = delete;
};

}  // namespace VelquorSmpp
