// Per-thread message queues and auto-reset events: the small threading layer
// the capture code and the control's window are built on.
//
// Every thread may own one queue, identified by a ThreadId. A queue exists
// from the first getCurrentThreadId() call of its thread (or from
// MessageThread::start, before the thread runs) until the thread ends; posting
// to a thread without a queue fails instead of losing the message silently.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace qv {

using ThreadId = uint32_t;      // 0 = no thread
using WindowHandle = uint32_t;  // 0 = no window (thread message)

struct Msg {
    WindowHandle hwnd = 0;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_USER = 0x0400;
// A queue holds at most this many messages; posting to a full queue fails.
constexpr size_t MAX_QUEUED_MESSAGES = 10000;

// The calling thread's id; creates its queue on first use.
ThreadId getCurrentThreadId();
// Appends a message to a thread's queue; false when the thread has no queue
// (never created or already ended) or the queue is full.
bool postThreadMessage(ThreadId thread, uint32_t message, uintptr_t wParam, intptr_t lParam);
bool postMessageTo(ThreadId thread, const Msg& msg);
// Waits for the next message of the calling thread's queue. Returns false
// for WM_QUIT, true for every other message.
bool getMessage(Msg& msg);
// As getMessage, waiting at most timeoutMs: 1 message, 0 timeout, -1 WM_QUIT.
int getMessageTimeout(Msg& msg, int timeoutMs);

// A thread whose queue exists before its body runs, so that messages may be
// posted to it as soon as start() returns.
class MessageThread {
public:
    MessageThread() = default;
    ~MessageThread();
    MessageThread(const MessageThread&) = delete;
    MessageThread& operator=(const MessageThread&) = delete;

    // false when the thread cannot be created (the queue is then removed).
    bool start(std::function<void()> body);
    ThreadId id() const { return m_id; }
    bool joinable() const { return m_thread.joinable(); }
    void join();

private:
    std::thread m_thread;
    ThreadId m_id = 0;
};

// Auto-reset event: set() wakes one wait(), then the event is clear again.
class AutoResetEvent {
public:
    void set();
    void wait();
    // false on timeout.
    bool waitFor(int timeoutMs);

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_signalled = false;
};

}  // namespace qv
