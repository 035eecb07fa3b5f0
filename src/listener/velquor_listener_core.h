// CVelquorListenerCore: polls for received messages and notifications on a
// thread timer of 2000 ms and hands each one to its event sink. The database
// work of one tick (every fetch, connects and retries included) ends within
// that interval.
//
// The timer belongs to the thread that enabled polling; ticks, polls and
// events run on that thread while it dispatches its messages. Each tick
// takes every waiting message, then every waiting notification, one at a
// time and only while the sink says somebody wants it. Failures are logged
// per routine through the repeat throttle; the timer keeps running.
//
// Lifetime: the core is owned through std::shared_ptr, directly or, for an
// owner that keeps a plain pointer, through Create and Release. A poll in
// progress holds a reference of its own, so a core whose owner lets go of it
// during one of its events (an event handler destroying its listener) is
// freed only when that poll has unwound. Close() stops the timer and event delivery for
// good. Called from another thread it waits for the fetch and event in
// progress, if any, and for nothing more: every fetch is preceded by a look
// at the closed flag. So nothing is taken from a queue without its event
// being raised, and no event is raised after Close returns.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/client_context.h"
#include "errors/handler_ladder.h"
#include "util/mutex.h"

namespace Norvale {

class IVelquorListenerEventSink {
 public:
  virtual ~IVelquorListenerEventSink() = default;
  virtual bool MessageEvent_ReadyForEvent() = 0;
  virtual void MessageEvent_FireEvent(const VelquorClientCoreInternal::SMSMessage& message) = 0;
  virtual bool Notification_ReadyForEvent() = 0;
  virtual void Notification_FireEvent(VelquorClientCoreInternal::SMSNotification notification) = 0;
};

class CVelquorListenerCore : public std::enable_shared_from_this<CVelquorListenerCore> {
 public:
  CVelquorListenerCore();
  ~CVelquorListenerCore();
  CVelquorListenerCore(const CVelquorListenerCore&) = delete;
  CVelquorListenerCore& operator=(const CVelquorListenerCore&) = delete;

  // A core that holds its owner's reference itself, until Release.
  static CVelquorListenerCore* Create();
  // Closes the core and drops the reference Create made: the core is freed
  // now, or when the poll in progress unwinds.
  void Release();

  void StartPolling();
  void StopPolling();
  static void TimerProc(OS::HWND hwnd, OS::UINT uMsg, OS::UINT_PTR idEvent, OS::DWORD dwTime);
  // One tick: the messages, then the notifications, within one database
  // deadline of the poll interval.
  void Poll();
  // Whether the tick in progress has used up its time (no further fetch).
  bool TickIsOver() const;
  void CheckForMessages();
  void CheckForNotifications();
  bool GetEnabled() const { return m_bEnabled; }
  void SetEnabled(bool bEnabled);
  Handsets GetActiveHandset() const { return m_eActiveHandset; }
  void SetActiveHandset(Handsets newVal) { m_eActiveHandset = newVal; }
  void SetListenerEventSink(IVelquorListenerEventSink* pListenerEventSink);
  // Stops polling and delivery for good (see above).
  void Close();

  OS::UINT_PTR TimerId() const { return m_nTimerId; }
  // Timers of all listener cores of the process.
  static std::size_t RegisteredTimers();
  // Test seam: the polling interval of timers started from now on.
  static void SetPollIntervalForTesting(OS::UINT ms);
  static constexpr OS::UINT kPollInterval = 2000;

 private:
  std::atomic<bool> m_bEnabled{false};  // tells the truth: a new listener does not poll
  std::atomic<bool> m_bClosed{false};
  Handsets m_eActiveHandset = hsAll;
  SourceTypes m_eNotificationSourceType = stClientLibrary;
  CClientContext m_Context{"CVelquorListenerCore::CVelquorListenerCore"};
  IVelquorListenerEventSink* m_pListenerEventSink = nullptr;
  std::shared_ptr<CVelquorListenerCore> m_pOwnerReference;  // set by Create, dropped by Release
  OS::UINT_PTR m_nTimerId = 0;                              // guarded by m_MapProtectionMutex
  std::atomic<OS::UINT> m_nInterval{kPollInterval};         // of the running timer, ms

  // Each listener keeps its own two throttle counts.
  CRepeatThrottle m_MessagesThrottle;
  CRepeatThrottle m_NotificationsThrottle;
  // Held across each fetch and its event, and by Close.
  std::recursive_mutex m_DeliveryLock;

  static std::map<OS::UINT_PTR, CVelquorListenerCore*> m_TimerIdMap;
  static CMutex m_MapProtectionMutex;
};

}  // namespace Norvale
