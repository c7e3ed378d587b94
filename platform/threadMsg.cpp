#include "platform/threadMsg.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <unordered_map>

namespace qv {

namespace {

struct Queue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Msg> messages;
};

std::mutex g_registryMutex;
std::unordered_map<ThreadId, std::shared_ptr<Queue>>& registry() {
    static auto* r = new std::unordered_map<ThreadId, std::shared_ptr<Queue>>();  // outlives thread exits
    return *r;
}
std::atomic<ThreadId> g_nextId{1};

ThreadId registerQueue() {
    ThreadId id = g_nextId.fetch_add(1);
    if (id == 0) id = g_nextId.fetch_add(1);
    std::lock_guard<std::mutex> lock(g_registryMutex);
    registry()[id] = std::make_shared<Queue>();
    return id;
}

void unregisterQueue(ThreadId id) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    registry().erase(id);
}

std::shared_ptr<Queue> findQueue(ThreadId id) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = registry().find(id);
    return it == registry().end() ? nullptr : it->second;
}

// Removes the thread's queue when the thread ends.
struct ThreadQueueOwner {
    ThreadId id = 0;
    std::shared_ptr<Queue> queue;
    ~ThreadQueueOwner() {
        if (id) unregisterQueue(id);
    }
};
thread_local ThreadQueueOwner t_owner;

Queue& currentQueue() {
    if (!t_owner.id) {
        t_owner.id = registerQueue();
        t_owner.queue = findQueue(t_owner.id);
    }
    return *t_owner.queue;
}

}  // namespace

ThreadId getCurrentThreadId() {
    currentQueue();
    return t_owner.id;
}

bool postMessageTo(ThreadId thread, const Msg& msg) {
    auto q = findQueue(thread);
    if (!q) return false;
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        if (q->messages.size() >= MAX_QUEUED_MESSAGES) return false;
        q->messages.push_back(msg);
    }
    q->cv.notify_one();
    return true;
}

bool postThreadMessage(ThreadId thread, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    Msg m;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    return postMessageTo(thread, m);
}

bool getMessage(Msg& msg) {
    Queue& q = currentQueue();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.cv.wait(lock, [&] { return !q.messages.empty(); });
    msg = q.messages.front();
    q.messages.pop_front();
    return msg.message != WM_QUIT;
}

int getMessageTimeout(Msg& msg, int timeoutMs) {
    Queue& q = currentQueue();
    std::unique_lock<std::mutex> lock(q.mutex);
    if (!q.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                       [&] { return !q.messages.empty(); }))
        return 0;
    msg = q.messages.front();
    q.messages.pop_front();
    return msg.message == WM_QUIT ? -1 : 1;
}

MessageThread::~MessageThread() {
    // A thread still running here would be terminated by std::thread; ask it
    // to quit and wait instead.
    if (m_thread.joinable()) {
        postThreadMessage(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }
}

bool MessageThread::start(std::function<void()> body) {
    if (m_thread.joinable()) return false;
    ThreadId id = registerQueue();
    std::shared_ptr<Queue> q = findQueue(id);
    try {
        m_thread = std::thread([id, q, body = std::move(body)]() {
            t_owner.id = id;
            t_owner.queue = q;
            body();
        });
    } catch (const std::system_error&) {
        unregisterQueue(id);
        return false;
    }
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
