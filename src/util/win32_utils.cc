#include "util/win32_utils.h"

#include "platform/messages.h"
#include "platform/synch.h"
#include "platform/tick_count.h"

namespace Norvale {
using namespace OS;

DWORD CWin32Utils::WaitForSingleObjectWithMsgPump(HANDLE hHandle, DWORD dwTimeout) {
  const DWORD start = GetTickCount();
  bool dispatched = true;
  while (true) {
    const DWORD result = WaitForSingleObject(hHandle, (dispatched || dwTimeout == 0) ? 0 : 200);
    if (result != WAIT_TIMEOUT) return result;
    if (dwTimeout == 0) return WAIT_TIMEOUT;
    dispatched = false;
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
      dispatched = true;
    }
    if (dwTimeout != INFINITE && GetTickCount() - start > dwTimeout) return WAIT_TIMEOUT;
  }
}

void CWin32Utils::ProcessMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace Norvale
