#include "listener/velquor_listener_core.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/messages.h"

namespace Norvale {
using namespace OS;

std::map<UINT_PTR, CVelquorListenerCore*> CVelquorListenerCore::m_TimerIdMap;
CMutex CVelquorListenerCore::m_MapProtectionMutex;

namespace {
std::atomic<UINT> g_interval{CVelquorListenerCore::kPollInterval};
}  // namespace

CVelquorListenerCore::CVelquorListenerCore() = default;

CVelquorListenerCore::~CVelquorListenerCore() {
  RunGuarded("CVelquorListenerCore::~CVelquorListenerCore", [this] { StopPolling(); });
}

CVelquorListenerCore* CVelquorListenerCore::Create() {
  auto core = std::make_shared<CVelquorListenerCore>();
  core->m_pOwnerReference = core;
  return core.get();
}

void CVelquorListenerCore::Release() {
  Close();
  // The last use of this object: when nothing else holds it, it is freed
  // as the reference leaves this frame.
  const std::shared_ptr<CVelquorListenerCore> reference = std::move(m_pOwnerReference);
}

void CVelquorListenerCore::StartPolling() {
  CMutexLock lock(&m_MapProtectionMutex, nullptr, "", INFINITE, false);
  if (m_nTimerId != 0 || m_bClosed) return;
  const UINT interval = g_interval;
  const UINT_PTR id = SetTimer(nullptr, 0, interval, TimerProc);
  if (id == 0) return;
  m_nInterval = interval;
  m_nTimerId = id;
  m_TimerIdMap[id] = this;
}

void CVelquorListenerCore::StopPolling() {
  CMutexLock lock(&m_MapProtectionMutex, nullptr, "", INFINITE, false);
  if (m_nTimerId == 0) return;
  KillTimer(nullptr, m_nTimerId);
  m_TimerIdMap.erase(m_nTimerId);
  m_nTimerId = 0;
}

void CVelquorListenerCore::TimerProc(HWND, UINT, UINT_PTR idEvent, DWORD) {
  std::shared_ptr<CVelquorListenerCore> core;  // keeps the core alive for this poll
  {
    CMutexLock lock(&m_MapProtectionMutex, nullptr, "", INFINITE, false);
    const auto it = m_TimerIdMap.find(idEvent);
    if (it != m_TimerIdMap.end()) core = it->second->weak_from_this().lock();
  }
  if (!core) return;
  core->Poll();
}

void CVelquorListenerCore::Poll() {
  // One deadline for the whole tick: every fetch of messages and
  // notifications, connects and retries included, ends within the poll
  // interval, so a database that accepts connections and never answers
  // holds the application's thread no longer than a tick lasts. Rows still
  // waiting when the time is up come with the next tick. A tick gets at
  // least a second, though: a shorter interval would not leave a new
  // connection to a database server time to open, and no tick would ever
  // fetch a row.
  constexpr std::chrono::milliseconds kLeastTickBudget{1000};
  const CDatabaseOperation tick(&m_Context.m_DBConnection,
                                std::max(std::chrono::milliseconds(m_nInterval.load()), kLeastTickBudget));
  CheckForMessages();
  CheckForNotifications();
}

bool CVelquorListenerCore::TickIsOver() const {
  // Outside a tick the deadline is kNoDatabaseDeadline: never over.
  return DatabaseClock::now() >= m_Context.m_DBConnection.GetDeadline();
}

void CVelquorListenerCore::CheckForMessages() {
  m_MessagesThrottle.Run("CVelquorListener::CheckForMessages", [this] {
    const bool inbound = m_Context.m_Config.GetInboundQueueEnabled();
    while (true) {
      std::lock_guard delivery(m_DeliveryLock);
      if (m_bClosed || !m_bEnabled || !m_pListenerEventSink || !m_pListenerEventSink->MessageEvent_ReadyForEvent() ||
          TickIsOver())
        break;
      VelquorClientCoreInternal::SMSMessage message;
      if (!m_Context.m_QueueAdaptors.GetMessage(m_Context.m_ServerConnection, m_Context.m_IncomingQueue,
                                                m_eActiveHandset, inbound, message))
        break;
      m_pListenerEventSink->MessageEvent_FireEvent(message);
    }
  });
}

void CVelquorListenerCore::CheckForNotifications() {
  m_NotificationsThrottle.Run("CVelquorListener::CheckForNotifications", [this] {
    const bool inbound = m_Context.m_Config.GetInboundQueueEnabled();
    while (true) {
      std::lock_guard delivery(m_DeliveryLock);
      if (m_bClosed || !m_bEnabled || !m_pListenerEventSink || !m_pListenerEventSink->Notification_ReadyForEvent() ||
          TickIsOver())
        break;
      VelquorClientCoreInternal::SMSNotification notification;
      if (!m_Context.m_QueueAdaptors.GetNotification(m_Context.m_NotificationQueue, m_eActiveHandset,
                                                     m_eNotificationSourceType, inbound, notification))
        break;
      m_pListenerEventSink->Notification_FireEvent(notification);
    }
  });
}

void CVelquorListenerCore::SetEnabled(bool bEnabled) {
  if (bEnabled)
    StartPolling();
  else
    StopPolling();
  m_bEnabled = bEnabled;
}

void CVelquorListenerCore::SetListenerEventSink(IVelquorListenerEventSink* pListenerEventSink) {
  std::lock_guard delivery(m_DeliveryLock);
  m_pListenerEventSink = pListenerEventSink;
}

void CVelquorListenerCore::Close() {
  // Set before the delivery lock is taken: a poll on another thread reads it
  // before every fetch, so it stops after the fetch and event in progress
  // instead of winning the lock again for the next row.
  m_bClosed = true;
  {
    std::lock_guard delivery(m_DeliveryLock);  // waits for that event to return
    m_pListenerEventSink = nullptr;
    m_bEnabled = false;
  }
  StopPolling();
}

std::size_t CVelquorListenerCore::RegisteredTimers() {
  CMutexLock lock(&m_MapProtectionMutex, nullptr, "", INFINITE, false);
  return m_TimerIdMap.size();
}

void CVelquorListenerCore::SetPollIntervalForTesting(UINT ms) { g_interval = ms; }

}  // namespace Norvale
