// The calling thread's message loop.
//
// A VelquorListener raises its events on the thread that enabled it, and
// only while that thread runs this loop: its polling timer ticks are
// delivered as messages of the thread. Either run the loop:
//
//   Norvale::VelquorListener listener;
//   listener.OnMessageReceived.Add([](const auto& m) { ... });
//   listener.SetEnabled(true);
//   Norvale::MessageLoop::Run();            // until Quit
//
// or fold it into your own poll/epoll loop: wait for Descriptor() to become
// readable, then call PumpPending().
//
// Every function works on the calling thread's own queue, except
// Quit(threadId), which may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "norvale/export.h"

namespace Norvale::MessageLoop {

// Dispatches messages until Quit is called on (or for) this thread.
NORVALE_API void Run();
// Dispatches messages for `duration`; false when Quit ended it earlier. A
// handler still running at the end is not interrupted, but nothing is
// dispatched after it, so a handler slower than its timer's interval cannot
// keep the loop going.
NORVALE_API bool RunFor(std::chrono::milliseconds duration);
// Dispatches what is waiting now, without blocking: a timer tick that falls
// due, or a message that is posted, while these are handled waits for the
// next call. Returns how many messages were dispatched.
NORVALE_API int PumpPending();
// Ends Run/RunFor on the calling thread.
NORVALE_API void Quit();
// Ends Run/RunFor on the thread `threadId` (see CurrentThreadId); false when
// that thread has no message loop.
NORVALE_API bool Quit(std::uint32_t threadId);
NORVALE_API std::uint32_t CurrentThreadId();
// A descriptor that is readable while a message waits or a timer is due. It
// belongs to the thread's queue: do not close it.
NORVALE_API int Descriptor();

}  // namespace Norvale::MessageLoop
