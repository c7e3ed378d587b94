// Message windows as real Win32 windows (message-only, HWND_MESSAGE): a
// control's notifications reach its host's thread through the host's own
// message loop, as any window's do.
#include "platform/window.h"

#include <windows.h>

#include <memory>

namespace qv {

namespace {

const wchar_t kClassName[] = L"QuorvaneMessageWindow";

// Window handles are 32-bit significant on 64-bit Windows too, so they fit
// the portable handle type.
HWND toHwnd(WindowHandle w) { return reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(w))); }
WindowHandle fromHwnd(HWND h) { return static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(h)); }

HINSTANCE thisModule() {
    HMODULE m = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&thisModule), &m);
    return m;
}

// A handler may destroy its own window; the handler then stays alive until
// it has returned.
struct Slot {
    WindowProc proc;
    int depth = 0;
    bool destroyed = false;
};

LRESULT CALLBACK messageWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* slot = reinterpret_cast<Slot*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (slot && slot->depth > 0) slot->destroyed = true;
        else delete slot;
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    if (!slot) return DefWindowProcW(hwnd, msg, wp, lp);
    intptr_t result = 0;
    ++slot->depth;
    const bool handled = slot->proc(msg, wp, lp, result);
    if (--slot->depth == 0 && slot->destroyed) {
        delete slot;
        return handled ? result : 0;
    }
    return handled ? result : DefWindowProcW(hwnd, msg, wp, lp);
}

bool registerClassOnce() {
    WNDCLASSEXW wc = {};
    if (GetClassInfoExW(thisModule(), kClassName, &wc)) return true;
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = messageWindowProc;
    wc.hInstance = thisModule();
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

WindowHandle createMessageWindow(WindowProc proc) {
    if (!proc || !registerClassOnce()) return 0;
    HWND h = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, thisModule(), nullptr);
    if (!h) return 0;
    Slot* slot = new Slot;
    slot->proc = std::move(proc);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(slot));
    return fromHwnd(h);
}

bool destroyWindow(WindowHandle window) { return window && DestroyWindow(toHwnd(window)); }

bool isWindow(WindowHandle window) { return window && IsWindow(toHwnd(window)); }

bool postMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return window && PostMessageW(toHwnd(window), message, wParam, lParam);
}

intptr_t dispatchMessage(const Msg& msg) {
    if (!msg.hwnd || !IsWindow(toHwnd(msg.hwnd))) return 0;
    MSG m = {};
    m.hwnd = toHwnd(msg.hwnd);
    m.message = msg.message;
    m.wParam = msg.wParam;
    m.lParam = msg.lParam;
    return DispatchMessageW(&m);
}

int pumpMessages(int timeoutMs) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    int n = 0;
    for (;;) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(m.wParam));  // leave it for the outer loop
                return n;
            }
            TranslateMessage(&m);
            DispatchMessageW(&m);
            ++n;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return n;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

}  // namespace qv
