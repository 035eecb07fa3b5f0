// CModemDriver (driver "modem"): a phone or GSM/LTE modem on a serial port,
// spoken to with AT commands in PDU mode (27.005, 27.007, 23.040).
//
// Values of its Handsets\<n> key (docs/engine.md):
//   Device            the serial device, e.g. /dev/serial/by-id/usb-...-if00 (required)
//   Speed             bits per second (115200)
//   FlowControl       none | rtscts (none)
//   Pin               the SIM's PIN, stored encrypted (velquor config set
//                     --handset N Pin 1234 --encrypted); "" when the SIM has none
//   SmsCentre         the SMS centre's number, for a SIM that lacks it ("": the SIM's)
//   ValidityPeriod    minutes the network keeps trying, 0 its default (0)
//   Storage           message storage to use, e.g. SM, ME, MT; "" the modem's (SM)
//   Indications       parameters of AT+CNMI (2,1,0,1,0: +CMTI, +CDS)
//   InitString        one more command line sent after AT+CMEE=1 ("")
//   CommandTimeout    ms one command may take (10000)
//   SendTimeout       ms the network may take to take a message (60000)
//   StatusInterval    ms between looks at registration and signal (30000)
//   ReconnectDelay    ms before the first reopen of a failed device (1000);
//                     doubles on each failure up to ReconnectMaxDelay (60000)
// DeliveryReports (the handset's own value), or the message's own report
// request, sets TP-SRR on the last part. A message's own validity goes as
// TP-VP (relative, rounded up to the next period it can express) instead of
// ValidityPeriod. A message's own sender (COutgoingSms::sSender) is ignored:
// SMS-SUBMIT has no originating address, the network gives the SIM's number.
//
// One thread of its own owns the port: it opens and initialises the modem
// (AT, ATE0, AT+CMEE=1, the init string, AT+CPIN?, AT+CMGF=0, AT+CSCA,
// AT+CNMI, AT+CPMS), reads what waits in storage (AT+CMGL=4), polls
// AT+CREG? and AT+CSQ, sends what Submit hands it, and handles +CMTI, +CDS
// and +CDSI between commands. A device that stops answering or goes away is
// closed and reopened with a growing delay; a submission it interrupts ends
// as a temporary failure.
//
// The PIN is entered once per engine run: a PIN the SIM refuses is never
// sent again (the SIM blocks after three), the state says so, and the
// handset sends nothing until the PIN is corrected and the engine
// restarted.
//
// A received message stays in the modem's storage until the engine says it
// is stored (Acknowledge); only then is it deleted (AT+CMGD). A gateway that
// dies in between reads it again at its next start and stores it a second
// time: a message may come twice, it is never lost. Status reports are
// handed over and deleted at once. A delete the modem refuses (+CMS ERROR
// 322, a busy SIM) is tried again at every status poll; until it succeeds
// the slot is remembered with a hash of its PDU, so that reading the store
// again (a reconnect) deletes it without handing it over a second time.
//
// At every status poll AT+CPMS? tells how many messages the store holds;
// when that is more than the driver knows of (an indication lost, routing
// turned off by the modem), the store is read (AT+CMGL=4) and AT+CNMI set
// again. A storm of +CMTI is read as "look into the store": indications are
// coalesced and the store read as a whole, and repeated warnings of one kind
// are throttled (CRepeatThrottle).
//
// AT+CSMS? tells whether messages and reports shown directly (+CMT, +CDS)
// need an acknowledgement: with service 1 each is answered with AT+CNMA,
// or the modem turns that routing off after its time-out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "errors/handler_ladder.h"
#include "server/drivers/driver_settings.h"
#include "server/drivers/modem/at_channel.h"
#include "server/drivers/modem/serial_port.h"
#include "server/drivers/sms_driver.h"

namespace Norvale {

class CModemDriver final : public CSMSDriver {
 public:
  // Raises _com_error naming the value when a setting is malformed.
  CModemDriver(int nHandset, const CSettingValues& Values);
  ~CModemDriver() override;

  void Start(IDriverEvents* pEvents) override;
  void Stop() override;
  CSubmitResult Submit(const COutgoingSms& Message) override;
  CDriverState GetState() override;
  bool CanReport() const override { return true; }
  bool IsReadyToSend() override;
  // What Submit waits for at most (see Submit).
  std::chrono::milliseconds SubmitLimit() const override {
    return m_CommandTimeout * 3 + m_SendTimeout + std::chrono::seconds(5);
  }
  void Acknowledge(std::uint64_t nReceipt) override;

 private:
  using Clock = std::chrono::steady_clock;
  using ms = std::chrono::milliseconds;
  struct CRequest {
    COutgoingSms Message;
    CSubmitResult Result;
    bool bDone = false;
  };
  struct CSlot {
    std::string sMemory;
    int nIndex = 0;
    auto operator<=>(const CSlot&) const = default;
  };
  struct CHeld {
    CSlot Slot;
    size_t nPdu = 0;  // hash of the PDU read from it
  };

  void Run();
  void Initialise();
  // AT+CPIN?, and the PIN when asked for and allowed; true when the SIM is ready.
  bool UnlockSim();
  void FinishInitialise();
  // The store's count (AT+CPMS?) against what the driver knows of; failed
  // deletes tried again.
  void CheckStore();
  void RetryDeletes();
  void Serve();
  void PollStatus();
  void DoSubmit(CRequest& Request);
  CSubmitResult SendPdu(const COutgoingSms& Message);
  void HandleUnsolicited(const CUnsolicited& U);
  // The count of messages and reports handed over.
  int ReadStored();
  void ReadSlot(const CSlot& Slot);
  // A PDU read from storage (Slot set) or given directly (+CDS, +CMT);
  // true when something was handed over.
  bool HandlePdu(const std::string& sHex, const CSlot* pSlot);
  // AT+CNMA after +CMT/+CDS when the modem's service needs it.
  void AcknowledgeDirect();
  // AT+CMGD; false (logged) when the modem refuses. A refused delete of a
  // message the engine has is remembered in m_Stored and tried again.
  bool Delete(const CSlot& Slot);
  void DeleteStored(const CSlot& Slot, size_t nPdu);
  // Warnings that may repeat without end (a storm, a SIM that keeps
  // refusing): the first ten in a row per kind are logged, then one note,
  // until that kind goes well again (Settle).
  void Warn(CRepeatThrottle& Throttle, const char* szSite, const std::string& sWhy);
  static void Settle(CRepeatThrottle& Throttle, const char* szSite);
  void SelectMemory(const std::string& sMemory);
  CAtResponse Command(const std::string& sCommand) { return m_Channel.Command(sCommand, m_CommandTimeout); }
  void FailRequest(const std::string& sWhy);
  void SetDetail(const std::string& sDetail);
  bool WaitStop(Clock::duration Delay);

  const int m_nHandset;
  CSerialSettings m_Serial;
  std::string m_sPin, m_sSmsCentre, m_sStorage, m_sIndications, m_sInitString;
  int m_nValidityMinutes = 0;
  ms m_CommandTimeout{10000}, m_SendTimeout{60000}, m_StatusInterval{30000}, m_ReconnectDelay{1000},
      m_ReconnectMaxDelay{60000};

  // The I/O thread's own.
  CSerialPort m_Port;
  CWakeup m_Wakeup;
  std::atomic<bool> m_bStopping{false};
  CAtChannel m_Channel{m_Port, m_Wakeup, m_bStopping};
  // The PIN is entered while it is unused or was accepted before (a modem
  // that restarted asks again); never after a refusal or an unanswered try.
  enum class EPin { Unused, InDoubt, Accepted, Rejected } m_ePin = EPin::Unused;
  bool m_bSimReady = false;
  bool m_bInitialised = false;
  bool m_bPollStorage = false;  // no +CMTI indications: look into storage at every status poll
  std::string m_sMemory;        // storage AT+CMGR and AT+CMGD work on
  Clock::time_point m_NextPoll{};
  std::uint64_t m_nNextReceipt = 1;
  bool m_bAckDirect = false;                  // AT+CSMS service 1: +CMT and +CDS need AT+CNMA
  std::map<std::uint64_t, CHeld> m_Receipts;  // handed to the engine, not yet acknowledged
  std::set<CSlot> m_Handed;
  std::map<CSlot, size_t> m_Left;    // unreadable or not for the gateway: kept in storage (PDU hash)
  std::set<CSlot> m_Missing;         // read and found empty since the last status poll
  std::map<CSlot, size_t> m_Stored;  // handed over, delete refused: to delete, never to hand over again
  CRepeatThrottle m_ReadLog, m_DeleteLog, m_AckLog, m_QueueLog, m_InitLog, m_PduLog;
  std::string m_sSimState, m_sRegistration;

  std::thread m_Thread;
  IDriverEvents* m_pEvents = nullptr;
  mutable std::mutex m_Lock;
  std::condition_variable m_Changed;
  bool m_bStarted = false;
  CDriverState m_State;
  bool m_bReady = false;
  std::shared_ptr<CRequest> m_pRequest;
  std::deque<std::uint64_t> m_Acks;
  size_t m_nAcksInFlight = 0;  // taken by the I/O thread, not yet done
};

}  // namespace Norvale
