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
// handler removed during a poll is not called for later items. Handlers may
// be added and removed on any thread.
//
// A listener is movable, not copyable. Moving an enabled listener keeps it
// polling on the thread that enabled it, and its events reach the handlers
// added before and after the move through the new object. A moved-from
// listener owns nothing: destroying it, Dispose and assigning to it are
// fine, any other call (its handler lists' too) throws Norvale::Exception
// ("This VelquorListener was moved from"). Assigning to a listener disposes
// of what it held first.
//
// Threading: enable, disable and destroy a listener on the thread that runs
// its events. Destroying it inside one of its own handlers is safe: no event
// follows and the listener's resources go when the poll has unwound.
// Destroying it from another thread is safe too: it waits for the event being
// raised, if any, to return (and for the fetch of that event's item), starts
// no further fetch, and raises nothing afterwards. An item is taken from its
// queue only for an event that is raised, so destruction loses nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "norvale/enums.h"
#include "norvale/export.h"
#include "norvale/sms_message.h"
#include "norvale/sms_notification.h"

namespace Norvale {

class CVelquorListenerCore;
class VelquorListenerEventGlue;
class VelquorListener;

// A list of handlers taking `Arg`, a member of a VelquorListener. Its state
// lives in the library, so the list's layout stays one pointer.
template <class Arg>
class NORVALE_API EventHandlers {
 public:
  using Handler = std::function<void(const Arg&)>;
  using Token = std::uint64_t;

  EventHandlers(const EventHandlers&) = delete;
  EventHandlers& operator=(const EventHandlers&) = delete;
  ~EventHandlers();

  Token Add(Handler handler);
  // False when the token names no handler of this list.
  bool Remove(Token token);
  bool Empty() const;

 private:
  friend class VelquorListener;
  friend class VelquorListenerEventGlue;
  class NORVALE_LOCAL Impl;
  NORVALE_LOCAL EventHandlers();
  NORVALE_LOCAL EventHandlers(EventHandlers&& that) noexcept;
  NORVALE_LOCAL EventHandlers& operator=(EventHandlers&& that) noexcept;
  NORVALE_LOCAL Impl& State() const;

  std::unique_ptr<Impl> m_pImpl;
};

extern template class EventHandlers<std::shared_ptr<SMSMessage>>;
extern template class EventHandlers<std::shared_ptr<SMSNotification>>;

class NORVALE_API VelquorListener {
 public:
  VelquorListener();
  ~VelquorListener();
  VelquorListener(const VelquorListener&) = delete;
  VelquorListener& operator=(const VelquorListener&) = delete;
  VelquorListener(VelquorListener&& that) noexcept;
  VelquorListener& operator=(VelquorListener&& that) noexcept;

  bool GetEnabled() const;
  // true starts polling on the calling thread, false stops it.
  void SetEnabled(bool value);
  // The handset whose messages and notifications are fetched (initially
  // hsAll); applies from the next fetch.
  Handsets GetActiveHandset() const;
  void SetActiveHandset(Handsets value);
  // Stops polling and releases the listener's resources; later calls of
  // Dispose do nothing. The destructor calls it.
  void Dispose();

  EventHandlers<std::shared_ptr<SMSMessage>> OnMessageReceived;
  EventHandlers<std::shared_ptr<SMSNotification>> OnNotificationReceived;

 private:
  // Closes the core and lets go of it; a poll in progress holds the core
  // until it unwinds.
  struct NORVALE_LOCAL CoreRelease {
    void operator()(CVelquorListenerCore* core) const noexcept;
  };
  NORVALE_LOCAL void CheckNotMovedFrom() const;

  // After the handler lists: the bridge is made from their state.
  std::unique_ptr<CVelquorListenerCore, CoreRelease> m_pListenerCore;
  std::unique_ptr<VelquorListenerEventGlue> m_pListenerEventGlue;
};

}  // namespace Norvale
