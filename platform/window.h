// Message windows: a handler bound to the thread that created it. Messages
// posted to a window travel through that thread's queue and are handled when
// the thread dispatches them, so a window gives its owner "my thread" delivery
// of notifications raised on other threads.
//
// Host loop:
//   qv::Msg m;
//   while (qv::getMessage(m)) qv::dispatchMessage(m);
#pragma once

#include <functional>

#include "platform/threadMsg.h"

namespace qv {

// Returns true when the message was handled; `result` is the message result.
using WindowProc = std::function<bool(uint32_t message, uintptr_t wParam, intptr_t lParam, intptr_t& result)>;

// Creates a window owned by the calling thread; 0 when proc is empty.
WindowHandle createMessageWindow(WindowProc proc);
// Removes the window; messages still queued for it are dropped on dispatch.
bool destroyWindow(WindowHandle window);
bool isWindow(WindowHandle window);
// Queues a message for the window on its owner thread; false for a window
// that does not exist or whose thread has ended.
bool postMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Hands a message to its window's handler (on the calling thread, which should
// be the owner). Thread messages (hwnd 0) and messages for destroyed windows
// are ignored. Returns the handler's result, 0 when unhandled.
intptr_t dispatchMessage(const Msg& msg);
// Dispatches the calling thread's messages for up to timeoutMs (0: only those
// already queued). Returns the number dispatched; stops early on WM_QUIT.
int pumpMessages(int timeoutMs);

}  // namespace qv
