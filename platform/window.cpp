#include "platform/window.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace qv {

namespace {

struct Window {
    ThreadId owner = 0;
    std::shared_ptr<WindowProc> proc;
};

std::mutex g_windowMutex;
std::unordered_map<WindowHandle, Window>& windows() {
    static auto* w = new std::unordered_map<WindowHandle, Window>();
    return *w;
}
WindowHandle g_nextWindow = 1;

}  // namespace

WindowHandle createMessageWindow(WindowProc proc) {
    if (!proc) return 0;
    ThreadId owner = getCurrentThreadId();
    std::lock_guard<std::mutex> lock(g_windowMutex);
    WindowHandle h = g_nextWindow++;
    if (g_nextWindow == 0) g_nextWindow = 1;
    windows()[h] = Window{owner, std::make_shared<WindowProc>(std::move(proc))};
    return h;
}

bool destroyWindow(WindowHandle window) {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    return windows().erase(window) > 0;
}

bool isWindow(WindowHandle window) {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    return windows().count(window) > 0;
}

bool postMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    ThreadId owner;
    {
        std::lock_guard<std::mutex> lock(g_windowMutex);
        auto it = windows().find(window);
        if (it == windows().end()) return false;
        owner = it->second.owner;
    }
    Msg m;
    m.hwnd = window;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    return postMessageTo(owner, m);
}

intptr_t dispatchMessage(const Msg& msg) {
    if (!msg.hwnd) return 0;
    std::shared_ptr<WindowProc> proc;
    {
        std::lock_guard<std::mutex> lock(g_windowMutex);
        auto it = windows().find(msg.hwnd);
        if (it == windows().end()) return 0;
        proc = it->second.proc;
    }
    intptr_t result = 0;
    if (!(*proc)(msg.message, msg.wParam, msg.lParam, result)) return 0;
    return result;
}

int pumpMessages(int timeoutMs) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int n = 0;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        Msg m;
        int r = getMessageTimeout(m, left > 0 ? static_cast<int>(left) : 0);
        if (r <= 0) return n;
        dispatchMessage(m);
        ++n;
    }
}

}  // namespace qv
