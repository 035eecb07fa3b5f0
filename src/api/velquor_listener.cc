#include "norvale/velquor_listener.h"

#include "api/record_conversion.h"
#include "listener/velquor_listener_core.h"

namespace Norvale {

// The bridge from the core's native sink to the listener's events.
class VelquorListenerEventGlue final : public IVelquorListenerEventSink {
 public:
  explicit VelquorListenerEventGlue(VelquorListener* listener) : m_pListener(listener) {}

  // Nothing is fetched for a listener being destroyed: the row would have
  // no event.
  bool MessageEvent_ReadyForEvent() override { return *m_alive && !m_pListener->OnMessageReceived.Empty(); }
  // A handler may destroy the listener, and this object with it: from the
  // first handler on only local copies are used.
  void MessageEvent_FireEvent(const VelquorClientCoreInternal::SMSMessage& message) override {
    const auto alive = m_alive;
    m_pListener->OnMessageReceived.Raise(ToPublicRecord(message), alive.get());
  }
  bool Notification_ReadyForEvent() override { return *m_alive && !m_pListener->OnNotificationReceived.Empty(); }
  void Notification_FireEvent(VelquorClientCoreInternal::SMSNotification notification) override {
    const auto alive = m_alive;
    m_pListener->OnNotificationReceived.Raise(ToPublicRecord(notification), alive.get());
  }
  // No handler is called after this, not even the rest of a list being raised.
  void Stop() { *m_alive = false; }

 private:
  VelquorListener* m_pListener;
  std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
};

VelquorListener::VelquorListener()
    : m_pListenerCore(std::make_shared<CVelquorListenerCore>()),
      m_pListenerEventGlue(new VelquorListenerEventGlue(this)) {
  m_pListenerCore->SetListenerEventSink(m_pListenerEventGlue);
}

VelquorListener::~VelquorListener() { Dispose(); }

void VelquorListener::Dispose() {
  if (!m_pListenerCore && !m_pListenerEventGlue) return;
  // The core first: until it is closed a poll on another thread may still
  // fetch a row, and that row's event must reach the handlers.
  if (m_pListenerCore) {
    m_pListenerCore->Close();  // no fetch and no event for this listener from now on
    m_pListenerCore.reset();   // freed here, or when a poll in progress unwinds
  }
  // Destroyed from one of its own handlers: the rest of that handler list is
  // not called either.
  if (m_pListenerEventGlue) m_pListenerEventGlue->Stop();
  delete m_pListenerEventGlue;
  m_pListenerEventGlue = nullptr;
}

bool VelquorListener::GetEnabled() { return m_pListenerCore && m_pListenerCore->GetEnabled(); }

void VelquorListener::SetEnabled(bool value) {
  if (m_pListenerCore) m_pListenerCore->SetEnabled(value);
}

Handsets VelquorListener::GetActiveHandset() { return m_pListenerCore ? m_pListenerCore->GetActiveHandset() : hsAll; }

void VelquorListener::SetActiveHandset(Handsets value) {
  if (m_pListenerCore) m_pListenerCore->SetActiveHandset(value);
}

}  // namespace Norvale
