// Thread message queues as Win32's own: a thread's queue is the system's
// (created by the first PeekMessage), messages travel by PostThreadMessage
// and are taken by GetMessage, so window and device messages share one queue
// with the host's.
#include "platform/threadMsg.h"

#include <windows.h>

#include <chrono>

namespace qv {

namespace {

void ensureQueue() {
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
}

void fromMsg(const MSG& m, Msg& msg) {
    msg.hwnd = static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(m.hwnd));
    msg.message = m.message;
    msg.wParam = m.wParam;
    msg.lParam = m.lParam;
}

}  // namespace

ThreadId getCurrentThreadId() {
    ensureQueue();
    return ::GetCurrentThreadId();
}

bool postMessageTo(ThreadId thread, const Msg& msg) {
    if (msg.hwnd)
        return PostMessageW(reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(msg.hwnd))), msg.message,
                            msg.wParam, msg.lParam) != FALSE;
    return thread && PostThreadMessageW(thread, msg.message, msg.wParam, msg.lParam) != FALSE;
}

bool postThreadMessage(ThreadId thread, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return thread && PostThreadMessageW(thread, message, wParam, lParam) != FALSE;
}

bool getMessage(Msg& msg) {
    MSG m;
    const BOOL r = GetMessageW(&m, nullptr, 0, 0);
    if (r == -1) {
        msg = Msg{};
        msg.message = WM_QUIT;  // a broken queue ends the loop like WM_QUIT
        return false;
    }
    fromMsg(m, msg);
    return r != 0;
}

int getMessageTimeout(Msg& msg, int timeoutMs) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        MSG m;
        if (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            fromMsg(m, msg);
            return m.message == WM_QUIT ? -1 : 1;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return 0;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

MessageThread::~MessageThread() {
    if (m_thread.joinable()) {
        PostThreadMessageW(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }
}

bool MessageThread::start(std::function<void()> body) {
    if (m_thread.joinable()) return false;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ready) return false;
    DWORD id = 0;
    try {
        m_thread = std::thread([ready, &id, body = std::move(body)]() {
            ensureQueue();
            id = ::GetCurrentThreadId();
            SetEvent(ready);  // from here on the creator may post to this thread
            body();
        });
    } catch (const std::system_error&) {
        CloseHandle(ready);
        return false;
    }
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    m_id = id;
    return true;
}

void MessageThread::join() {
    if (m_thread.joinable()) m_thread.join();
}

void AutoResetEvent::set() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
    }
    m_cv.notify_one();
}

void AutoResetEvent::wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [&] { return m_signalled; });
    m_signalled = false;
}

bool AutoResetEvent::waitFor(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_signalled; })) return false;
    m_signalled = false;
    return true;
}

}  // namespace qv
