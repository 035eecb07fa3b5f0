// CSMSEngine: the gateway engine. It reads its settings, owns the handsets
// (one worker and one driver each) and the maintenance of the tables, and
// answers the operations of its D-Bus interfaces:
//
//   SendMessage    inserts into SMSOutgoing exactly as a client's queued send
//                  does (COutgoingQueue::InsertJob, source kind 1, the number
//                  cut to 50 characters), then wakes the handsets; the job is
//                  as durable as a queued one;
//   GetSendStatus  the job's status (COutgoingQueue::GetJobStatus);
//   GetMessage     takes the oldest row of SMSIncoming for the handset asked
//                  for (CIncomingQueue::GetMessage);
//   Start, Stop    the handsets claim jobs again, or stop claiming (what is
//                  received is still stored); GetStatus says 2 or 0.
// A job a client queues wakes the handsets at once (CQueueWatcher).
// The D-Bus calls share one connection, one call at a time.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine_interfaces.h"
#include "queues/incoming_queue.h"
#include "queues/outgoing_queue.h"
#include "server/engine/engine_settings.h"
#include "server/engine/handset.h"
#include "server/engine/queue_maintenance.h"
#include "server/engine/queue_watcher.h"
#include "server/engine/router.h"

namespace Norvale {

// A configured handset that could not be set up, for the status.
struct CFailedHandset {
  int nNumber;
  std::string sDriver;
  std::string sError;
};

class CSMSEngine {
 public:
  CSMSEngine();
  ~CSMSEngine();
  CSMSEngine(const CSMSEngine&) = delete;
  CSMSEngine& operator=(const CSMSEngine&) = delete;

  // Reads the configuration and creates the drivers. A malformed engine value
  // raises _com_error naming it; a handset that cannot be set up is logged
  // and left out.
  void Initialise();
  // Starts the handsets and the maintenance.
  void Run();
  // Stops claiming, finishes or returns what is in flight (within
  // StopTimeout) and stops every thread.
  void Shutdown();

  // ISMSEngine.
  void Start();
  void Stop();
  SMSServer::EnumEngineStatus GetStatus() const { return m_eStatus; }
  OS::LONG SendMessage(std::string sPhoneNumber, const std::string& sMessage, OS::LONG nType, OS::LONG nHandset);
  // The same with the message's options, checked first (CheckSendOptions):
  // E_INVALIDARG naming the field, nothing inserted.
  OS::LONG SendMessage(std::string sPhoneNumber, const std::string& sMessage, OS::LONG nType, OS::LONG nHandset,
                       const CSendOptions& Options);
  bool GetMessage(OS::LONG nRequiredHandset, std::string& sPhoneNumber, std::string& sMessage, OS::LONG& nType,
                  OS::LONG& nHandset, std::string& sTimeStamp);
  EnumJobStatus GetSendStatus(OS::LONG nMessageId);

  const CEngineSettings& Settings() const { return m_Settings; }
  std::vector<CHandsetStatus> GetHandsetStatus() const;
  const std::vector<CFailedHandset>& FailedHandsets() const { return m_Failed; }
  // True when every worker made progress within `Within` or waits in a
  // submission still within its driver's limit (CHandset::Alive).
  bool WorkersAlive(std::chrono::steady_clock::duration Within) const;

  static constexpr size_t kMaxPhoneNumber = 50;

 private:
  std::string m_sConfigError;
  CConfigVelquorServer m_Config{&m_sConfigError};
  CEngineSettings m_Settings;
  std::vector<std::unique_ptr<CHandset>> m_Handsets;
  std::vector<CFailedHandset> m_Failed;
  std::unique_ptr<CQueueMaintenance> m_pMaintenance;
  std::unique_ptr<CQueueWatcher> m_pWatcher;  // wakes the handsets when a job is queued
  std::atomic<bool> m_bHandsetsFixed{false};  // Run started them: none leaves m_Handsets any more
  std::shared_ptr<CRouter> m_pRouter;         // the routes and the blocklist the handsets claim by
  std::atomic<SMSServer::EnumEngineStatus> m_eStatus{SMSServer::esStarting};

  std::mutex m_CallLock;  // the D-Bus calls' connection
  CDBConnectionDispensor m_DB;
  COutgoingQueue m_OutgoingQueue{nullptr, &m_DB};
  CIncomingQueue m_IncomingQueue{nullptr, &m_DB};
};

}  // namespace Norvale
