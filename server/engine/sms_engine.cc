#include "server/engine/sms_engine.h"

#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "server/drivers/driver_registry.h"

namespace Norvale {
using namespace OS;

namespace {

constexpr const char* kNoDriver =
    "its key has no Driver value (simulator, smpp or modem); set one with 'velquor config set --handset N Driver "
    "...' or remove the key";

}  // namespace

CSMSEngine::CSMSEngine() = default;

CSMSEngine::~CSMSEngine() { Shutdown(); }

void CSMSEngine::Initialise() {
  m_Config.SetProxyMode(false);  // the engine is the proxy: it reads directly
  m_Config.ReadConfiguration();
  m_Settings = m_Config.GetSettings();
  UseEngineDatabase(m_DB, m_Settings);
  // A message sent through the engine is as durable as one a client queues:
  // this connection commits as a client's does.
  m_DB.SetSQLiteSynchronous("");
  for (const auto& h : m_Settings.Handsets) {
    if (!h.bEnabled) continue;
    if (h.sDriver.empty()) {
      m_Failed.push_back({h.nNumber, "", kNoDriver});
      LogEvent(EVENTLOG_WARNING_TYPE, "CSMSEngine::Initialise",
               "Handset " + std::to_string(h.nNumber) + " is skipped: " + kNoDriver);
      continue;
    }
    try {
      m_Handsets.push_back(std::make_unique<CHandset>(m_Settings, h, CreateDriver(h)));
    } catch (const _com_error& e) {
      m_Failed.push_back({h.nNumber, h.sDriver, e.DescriptionA()});
      LogEvent(EVENTLOG_ERROR_TYPE, "CSMSEngine::Initialise",
               "Handset " + std::to_string(h.nNumber) + " is not used: " + e.DescriptionA());
    }
  }
  m_pMaintenance = std::make_unique<CQueueMaintenance>(m_Settings);
  // Set up before Run starts it; the handsets are fixed from then on.
  m_pWatcher = std::make_unique<CQueueWatcher>(m_Settings, [this] {
    for (auto& h : m_Handsets) h->Wake();
  });
  for (auto& h : m_Handsets)
    h->SharePoll([watcher = m_pWatcher.get()] { return watcher->Watching(); }, static_cast<int>(m_Handsets.size()));
  // The routes and the blocklist; a handset that becomes ready or not wakes
  // the others, which claim what is routed to them from then on.
  m_pRouter = std::make_shared<CRouter>();
  m_pRouter->OnReadinessChange([this] {
    if (!m_bHandsetsFixed) return;  // Run may still drop one that cannot start
    for (auto& h : m_Handsets) h->Wake();
  });
  for (auto& h : m_Handsets) h->UseRouter(m_pRouter);
}

void CSMSEngine::Run() {
  for (auto it = m_Handsets.begin(); it != m_Handsets.end();) {
    try {
      (*it)->Start();
      ++it;
    } catch (const _com_error& e) {
      m_Failed.push_back({(*it)->Number(), (*it)->GetStatus().sDriver, e.DescriptionA()});
      LogEvent(EVENTLOG_ERROR_TYPE, "CSMSEngine::Run",
               "Handset " + std::to_string((*it)->Number()) + " could not start: " + e.DescriptionA());
      it = m_Handsets.erase(it);
    }
  }
  m_bHandsetsFixed = true;
  m_pMaintenance->Start();
  m_pWatcher->Start();
  m_eStatus = SMSServer::esRunning;
}

void CSMSEngine::Shutdown() {
  if (m_eStatus == SMSServer::esStopping) return;
  m_eStatus = SMSServer::esStopping;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_Settings.dwStopTimeout);
  if (m_pWatcher) m_pWatcher->Stop();
  for (auto& h : m_Handsets) h->SetClaiming(false);
  // Every handset finishes at once, each within the same deadline.
  std::vector<std::thread> stoppers;
  for (auto& h : m_Handsets) stoppers.emplace_back([&h, deadline] { h->Stop(deadline); });
  for (auto& t : stoppers) t.join();
  if (m_pMaintenance) m_pMaintenance->Stop();
}

void CSMSEngine::Start() {
  if (m_eStatus == SMSServer::esStopping) RAISE_COM_ERROR(E_FAIL, "The engine is shutting down");
  for (auto& h : m_Handsets) h->SetClaiming(true);
  m_eStatus = SMSServer::esRunning;
}

void CSMSEngine::Stop() {
  if (m_eStatus == SMSServer::esStopping) return;
  for (auto& h : m_Handsets) h->SetClaiming(false);
  // Once Stop returns nothing more is claimed: a job queued after it waits
  // for the next Start. (A shutdown does not wait here: its handsets' own
  // Stop ends their passes within its deadline.)
  for (auto& h : m_Handsets) h->WaitForClaimingPass();
  m_eStatus = SMSServer::esStopped;
}

LONG CSMSEngine::SendMessage(std::string sPhoneNumber, const std::string& sMessage, LONG nType, LONG nHandset) {
  return SendMessage(std::move(sPhoneNumber), sMessage, nType, nHandset, CSendOptions());
}

LONG CSMSEngine::SendMessage(std::string sPhoneNumber, const std::string& sMessage, LONG nType, LONG nHandset,
                             const CSendOptions& Options) {
  if (const auto error = CheckSendOptions(Options, SendOptionsNowMs()))
    RAISE_COM_ERROR(E_INVALIDARG, error->sField + ": " + error->sProblem);
  if (nHandset < hsAll || nHandset > hsHandset8)
    RAISE_COM_ERROR(E_INVALIDARG, "Handset number " + std::to_string(nHandset) + " is not 0 (any) to 8");
  if (sPhoneNumber.size() > kMaxPhoneNumber) sPhoneNumber.resize(kMaxPhoneNumber);
  LONG id;
  {
    std::lock_guard guard(m_CallLock);
    id = m_OutgoingQueue.InsertJob(sPhoneNumber, static_cast<JOBTYPE>(nType), sMessage, static_cast<Handsets>(nHandset),
                                   CMessageEndpoint(stClientLibrary), Options);
  }
  for (auto& h : m_Handsets)
    if (nHandset == hsAll || h->Number() == nHandset) h->Wake();
  return id;
}

bool CSMSEngine::GetMessage(LONG nRequiredHandset, std::string& sPhoneNumber, std::string& sMessage, LONG& nType,
                            LONG& nHandset, std::string& sTimeStamp) {
  Handsets handset = static_cast<Handsets>(nRequiredHandset);
  JOBTYPE type = jtTextMessage;
  CMessageEndpoint dest;
  std::lock_guard guard(m_CallLock);
  if (!m_IncomingQueue.GetMessage(handset, type, sPhoneNumber, sMessage, sTimeStamp, dest)) {
    sPhoneNumber.clear();
    sMessage.clear();
    sTimeStamp.clear();
    nType = nHandset = 0;
    return false;
  }
  nType = type;
  nHandset = handset;
  return true;
}

EnumJobStatus CSMSEngine::GetSendStatus(LONG nMessageId) {
  std::lock_guard guard(m_CallLock);
  return m_OutgoingQueue.GetJobStatus(nMessageId);
}

std::vector<CHandsetStatus> CSMSEngine::GetHandsetStatus() const {
  std::vector<CHandsetStatus> all;
  for (const auto& h : m_Handsets) all.push_back(h->GetStatus());
  return all;
}

bool CSMSEngine::WorkersAlive(std::chrono::steady_clock::duration Within) const {
  const auto now = std::chrono::steady_clock::now();
  for (const auto& h : m_Handsets)
    if (!h->Alive(now, Within)) return false;
  return true;
}

}  // namespace Norvale
