#include "norvale/velquor_listener.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "api/record_conversion.h"
#include "listener/velquor_listener_core.h"
#include "norvale/exception.h"

namespace Norvale {

namespace {

[[noreturn]] void ThrowMovedFrom() { throw Exception("This VelquorListener was moved from"); }

}  // namespace

// The handlers of one event. A raise works on the list as it was when the
// event began; Add and Remove publish a new list.
template <class Arg>
class EventHandlers<Arg>::Impl {
 public:
  Token Add(Handler handler) {
    std::lock_guard guard(m_lock);
    auto next = std::make_shared<List>(m_list ? *m_list : List());
    const Token token = ++m_lastToken;
    next->emplace_back(token, std::move(handler));
    m_list = std::move(next);
    return token;
  }
  bool Remove(Token token) {
    std::lock_guard guard(m_lock);
    if (!m_list) return false;
    auto next = std::make_shared<List>();
    for (const auto& entry : *m_list)
      if (entry.first != token) next->push_back(entry);
    const bool removed = next->size() != m_list->size();
    m_list = next->empty() ? nullptr : std::move(next);
    return removed;
  }
  bool Empty() const {
    std::lock_guard guard(m_lock);
    return !m_list;
  }
  // Calls every handler of the list as it is now, while *proceed stays true.
  // Only local state is used once the first handler has run, so a handler
  // may destroy the listener that owns this object.
  void Raise(const Arg& arg, const std::atomic<bool>& proceed) const {
    std::shared_ptr<const List> list;
    {
      std::lock_guard guard(m_lock);
      list = m_list;
    }
    if (!list) return;
    for (const auto& entry : *list) {
      if (!proceed) return;
      entry.second(arg);
    }
  }

 private:
  using List = std::vector<std::pair<Token, Handler>>;
  mutable std::mutex m_lock;
  std::shared_ptr<const List> m_list;
  Token m_lastToken = 0;
};

template <class Arg>
EventHandlers<Arg>::EventHandlers() : m_pImpl(std::make_unique<Impl>()) {}
template <class Arg>
EventHandlers<Arg>::~EventHandlers() = default;
template <class Arg>
EventHandlers<Arg>::EventHandlers(EventHandlers&& that) noexcept = default;
template <class Arg>
EventHandlers<Arg>& EventHandlers<Arg>::operator=(EventHandlers&& that) noexcept = default;

template <class Arg>
typename EventHandlers<Arg>::Impl& EventHandlers<Arg>::State() const {
  if (!m_pImpl) ThrowMovedFrom();
  return *m_pImpl;
}

template <class Arg>
typename EventHandlers<Arg>::Token EventHandlers<Arg>::Add(Handler handler) {
  return State().Add(std::move(handler));
}

template <class Arg>
bool EventHandlers<Arg>::Remove(Token token) {
  return State().Remove(token);
}

template <class Arg>
bool EventHandlers<Arg>::Empty() const {
  return State().Empty();
}

template class EventHandlers<std::shared_ptr<SMSMessage>>;
template class EventHandlers<std::shared_ptr<SMSNotification>>;

// The bridge from the core's native sink to the listener's events. It talks
// to the handler lists' state, which stays where it is when the listener
// object moves.
class VelquorListenerEventGlue final : public IVelquorListenerEventSink {
 public:
  using MessageHandlers = EventHandlers<std::shared_ptr<SMSMessage>>;
  using NotificationHandlers = EventHandlers<std::shared_ptr<SMSNotification>>;

  VelquorListenerEventGlue(const MessageHandlers& messages, const NotificationHandlers& notifications)
      : m_Messages(messages.State()), m_Notifications(notifications.State()) {}

  // Nothing is fetched for a listener being destroyed: the row would have
  // no event.
  bool MessageEvent_ReadyForEvent() override { return *m_alive && !m_Messages.Empty(); }
  // A handler may destroy the listener, and this object with it: from the
  // first handler on only local copies are used.
  void MessageEvent_FireEvent(const VelquorClientCoreInternal::SMSMessage& message) override {
    const auto alive = m_alive;
    m_Messages.Raise(ToPublicRecord(message), *alive);
  }
  bool Notification_ReadyForEvent() override { return *m_alive && !m_Notifications.Empty(); }
  void Notification_FireEvent(VelquorClientCoreInternal::SMSNotification notification) override {
    const auto alive = m_alive;
    m_Notifications.Raise(ToPublicRecord(notification), *alive);
  }
  // No handler is called after this, not even the rest of a list being raised.
  void Stop() { *m_alive = false; }

 private:
  const MessageHandlers::Impl& m_Messages;
  const NotificationHandlers::Impl& m_Notifications;
  std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
};

void VelquorListener::CoreRelease::operator()(CVelquorListenerCore* core) const noexcept { core->Release(); }

VelquorListener::VelquorListener()
    : m_pListenerCore(CVelquorListenerCore::Create()),
      m_pListenerEventGlue(std::make_unique<VelquorListenerEventGlue>(OnMessageReceived, OnNotificationReceived)) {
  m_pListenerCore->SetListenerEventSink(m_pListenerEventGlue.get());
}

VelquorListener::~VelquorListener() { Dispose(); }

// The core, the bridge and the handlers' state stay where they are: the
// timer, the core's sink and the bridge keep pointing at them.
VelquorListener::VelquorListener(VelquorListener&& that) noexcept = default;

VelquorListener& VelquorListener::operator=(VelquorListener&& that) noexcept {
  if (this == &that) return *this;
  Dispose();
  OnMessageReceived = std::move(that.OnMessageReceived);
  OnNotificationReceived = std::move(that.OnNotificationReceived);
  m_pListenerCore = std::move(that.m_pListenerCore);
  m_pListenerEventGlue = std::move(that.m_pListenerEventGlue);
  return *this;
}

void VelquorListener::Dispose() {
  // The core first: until it is closed a poll on another thread may still
  // fetch a row, and that row's event must reach the handlers.
  m_pListenerCore.reset();  // closed here, freed here or when a poll in progress unwinds
  // Destroyed from one of its own handlers: the rest of that handler list is
  // not called either.
  if (m_pListenerEventGlue) m_pListenerEventGlue->Stop();
  m_pListenerEventGlue.reset();
}

void VelquorListener::CheckNotMovedFrom() const {
  if (!OnMessageReceived.m_pImpl) ThrowMovedFrom();
}

bool VelquorListener::GetEnabled() const {
  CheckNotMovedFrom();
  return m_pListenerCore && m_pListenerCore->GetEnabled();
}

void VelquorListener::SetEnabled(bool value) {
  CheckNotMovedFrom();
  if (m_pListenerCore) m_pListenerCore->SetEnabled(value);
}

Handsets VelquorListener::GetActiveHandset() const {
  CheckNotMovedFrom();
  return m_pListenerCore ? m_pListenerCore->GetActiveHandset() : hsAll;
}

void VelquorListener::SetActiveHandset(Handsets value) {
  CheckNotMovedFrom();
  if (m_pListenerCore) m_pListenerCore->SetActiveHandset(value);
}

}  // namespace Norvale
