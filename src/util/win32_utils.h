// The wait that keeps the calling thread's messages flowing while it blocks
// on a kernel handle, so timer callbacks of the thread (the listener's poll)
// still run during the wait. Both operations work on the calling thread's
// message queue only.
#pragma once

#include "platform/types.h"

namespace Norvale {

class CWin32Utils {
 public:
  virtual ~CWin32Utils() = default;

  // Returns 0 when the handle was signalled, 258 when `dwTimeout`
  // milliseconds passed (0xFFFFFFFF never), or any other wait result
  // unchanged. Dispatches at most one message per pass; an idle pass waits
  // 200 ms on the handle. Elapsed time is the unsigned difference of tick
  // counts, so a wrapping counter does not end the wait early.
  static OS::DWORD WaitForSingleObjectWithMsgPump(OS::HANDLE hHandle, OS::DWORD dwTimeout);
  // Dispatches every message waiting in the calling thread's queue.
  static void ProcessMessages();
};

}  // namespace Norvale
