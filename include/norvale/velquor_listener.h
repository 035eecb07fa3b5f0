// VelquorListener: receive messages and notifications as events instead of
// fetching them.
//
// Events are raised on the thread that set Enabled to true, and only while
// that thread runs the message loop of norvale/message_loop.h:
//
//   Norvale::VelquorListener listener;
//   listener.OnMessageReceived.Add([](const std::shared_ptr<Norvale::SMSMessage>& m) {
//     std::cout << m->GetPhoneNumber() << ": " << m->GetMessage() << "\n";
//   });
//   listener.SetEnabled(true);       // polls every 2 seconds from now on
//   Norvale::MessageLoop::Run();     // events are raised in here
//
// Each poll raises OnMessageReceived once per waiting message, then
// OnNotificationReceived once per waiting notification. Nothing is taken
// from a queue or from the engine for an event that has no handler: a
// listener with handlers only for notifications leaves messages for GetMsg of
// a Velquor object. An exception thrown by a handler is logged (see the
// README's logs) and ends that poll's deliveries; the item is not delivered
// again. A listener does not poll until enabled.
//
// Handlers are kept in lists; Add returns a token that Remove takes. Adding
// and removing replace a list as a whole, and each event reads it once, so a
// handler removed during a poll is not called for later items.
//
// Threading: enable, disable and destroy a listener on the thread that runs
// its events. Destroying it inside one of its own handlers is safe: no event
// follows and the listener's resources go when the poll has unwound.
// Destroying it from another thread is safe too: it waits for the event being
// raised, if any, to return (and for the fetch of that event's item), starts
// no further fetch, and raises nothing afterwards. An item is taken from its
// queue only for an event that is raised, so destruction loses nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "norvale/enums.h"
#include "norvale/export.h"
#include "norvale/sms_message.h"
#include "norvale/sms_notification.h"

namespace Norvale {

class CVelquorListenerCore;
class VelquorListenerEventGlue;

// A list of handlers taking `Arg`.
template <class Arg>
class EventHandlers {
 public:
  using Handler = std::function<void(const Arg&)>;
  using Token = std::uint64_t;

  Token Add(Handler handler) {
    std::lock_guard guard(m_lock);
    auto next = std::make_shared<List>(m_list ? *m_list : List());
    const Token token = ++m_lastToken;
    next->emplace_back(token, std::move(handler));
    m_list = std::move(next);
    return token;
  }
  // False when the token names no handler of this list.
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
  // Calls every handler of the list as it is now, while *proceed (when
  // given) stays true. Only local state is used once the first handler has
  // run, so a handler may destroy the object that holds this list.
  void Raise(const Arg& arg, const std::atomic<bool>* proceed = nullptr) const {
    std::shared_ptr<const List> list;
    {
      std::lock_guard guard(m_lock);
      list = m_list;
    }
    if (!list) return;
    for (const auto& entry : *list) {
      if (proceed && !proceed->load()) return;
      entry.second(arg);
    }
  }

 private:
  using List = std::vector<std::pair<Token, Handler>>;
  mutable std::mutex m_lock;
  std::shared_ptr<const List> m_list;
  Token m_lastToken = 0;
};

class NORVALE_API VelquorListener {
 public:
  VelquorListener();
  ~VelquorListener();
  VelquorListener(const VelquorListener&) = delete;
  VelquorListener& operator=(const VelquorListener&) = delete;

  bool GetEnabled();
  // true starts polling on the calling thread, false stops it.
  void SetEnabled(bool value);
  // The handset whose messages and notifications are fetched (initially
  // hsAll); applies from the next fetch.
  Handsets GetActiveHandset();
  void SetActiveHandset(Handsets value);
  // Stops polling and releases the listener's resources; later calls of
  // Dispose do nothing. The destructor calls it.
  void Dispose();

  EventHandlers<std::shared_ptr<SMSMessage>> OnMessageReceived;
  EventHandlers<std::shared_ptr<SMSNotification>> OnNotificationReceived;

 private:
  std::shared_ptr<CVelquorListenerCore> m_pListenerCore;
  VelquorListenerEventGlue* m_pListenerEventGlue;
};

}  // namespace Norvale
