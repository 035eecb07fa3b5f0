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
// and calls `written` after each batch it moved. The thread runs from the
// constructor to the destructor, which stops it within one look.
//
// A final outcome ends the job's SmppJobs row whether or not a receipt was
// asked for (outbox_entry.h: ReceiptState, ReceiptWanted); a notification
// of a job without a SmppJobs row (its receipt already written, or a job
// not queued here) is taken and dropped with a line on standard error.
// Which received messages are taken and where they go: receive_rules.h.
// Database failures are written to standard error and tried again a second
// later; what was taken is written in the same transaction, never lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "accounts/api_account_store.h"

namespace VelquorSmpp {

class SmppDatabase;

class DeliveryPump {
 public:
  DeliveryPump(SmppDatabase& database, Norvale::CApiAccountStore& accounts, std::function<void()> written);
  ~DeliveryPump();
  DeliveryPump(const DeliveryPump&) = delete;
  DeliveryPump& operator=(const DeliveryPump&) = delete;

 private:
  void Run();
  std::size_t PumpNotifications();
  std::size_t PumpReceived();
  void RefreshAccounts(bool bForce);
  bool Pause(std::chrono::milliseconds interval);

  SmppDatabase& m_Database;
  Norvale::CApiAccountStore& m_AccountStore;
  std::function<void()> m_Written;
  std::map<std::string, Norvale::CApiAccount> m_Accounts;  // the pump thread's
  std::chrono::steady_clock::time_point m_AccountsRead{};
  std::string m_LastRuleProblems;
  std::mutex m_Mutex;
  std::condition_variable m_Stopping;
  bool m_bStop = false;
  std::thread m_Thread;
};

}  // namespace VelquorSmpp
