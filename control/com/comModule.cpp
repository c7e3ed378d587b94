// DLL entry points: the class factory of Record and registration through
// the registration scripts (resources 101 and 103) and the type library.
#include "comModule.h"

#include <olectl.h>

#include <atomic>
#include <mutex>

#include "QUORVANE_h.h"
#include "registryScript.h"

namespace qvcom {

namespace {

HINSTANCE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::mutex g_typeLibMutex;
ITypeLib* g_typeLib = nullptr;

const wchar_t kAppId[] = L"{7902DA73-16B9-4764-BE06-E6796E33EE0D}";
// Recompose on resize, can't link inside, inside out, activate when visible,
// set client site first.
const DWORD kOleMisc = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                       OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
static_assert(kOleMisc == 131473, "miscellaneous status");

class ClassFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is static: its references only keep the module loaded.
    ULONG STDMETHODCALLTYPE AddRef() override {
        lockModule(true);
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        lockModule(false);
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return createRecordControl(outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lockModule(lock != FALSE);
        return S_OK;
    }
};

ClassFactory g_factory;

std::string resourceText(int id) {
    HRSRC res = FindResourceW(g_module, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!res) return {};
    HGLOBAL data = LoadResource(g_module, res);
    const DWORD size = SizeofResource(g_module, res);
    if (!data || size == 0) return {};
    std::string text(static_cast<const char*>(LockResource(data)), size);
    return text.substr(0, text.find('\0'));  // resources may be padded
}

HRESULT classesRoot(bool perUser, HKEY& root) {
    if (!perUser) {
        root = HKEY_CLASSES_ROOT;
        return S_OK;
    }
    const LONG r = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                   &root, nullptr);
    return r == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(r);
}

HRESULT runScripts(bool registering, bool perUser) {
    HKEY root;
    HRESULT hr = classesRoot(perUser, root);
    if (FAILED(hr)) return hr;
    Replacements repl = {{L"MODULE", modulePath()}, {L"APPID", kAppId}, {L"OLEMISC", std::to_wstring(kOleMisc)}};
    for (int id : {101, 103}) {
        const std::string script = resourceText(id);
        hr = script.empty() ? SELFREG_E_CLASS : runRegistryScript(script, repl, registering, root);
        if (FAILED(hr) && registering) break;
    }
    if (perUser) RegCloseKey(root);
    return hr;
}

// The per-user type library functions are missing from older import
// libraries; they are looked up in oleaut32 itself.
HRESULT registerTypeLibForUser(ITypeLib* lib, OLECHAR* path, OLECHAR* dir) {
    using Fn = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), "RegisterTypeLibForUser")));
    return fn ? fn(lib, path, dir) : E_NOTIMPL;
}

HRESULT unRegisterTypeLibForUser(REFGUID lib, WORD major, WORD minor, LCID lcid, SYSKIND kind) {
    using Fn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), "UnRegisterTypeLibForUser")));
    return fn ? fn(lib, major, minor, lcid, kind) : E_NOTIMPL;
}

HRESULT registerTypeLib(bool perUser) {
    ITypeLib* lib = nullptr;
    std::wstring path = modulePath();
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
    if (FAILED(hr)) return hr;
    std::wstring dir = path.substr(0, path.find_last_of(L'\\') + 1);
    hr = perUser ? registerTypeLibForUser(lib, &path[0], &dir[0]) : RegisterTypeLib(lib, &path[0], &dir[0]);
    lib->Release();
    return hr;
}

HRESULT unregisterTypeLib(bool perUser) {
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(modulePath().c_str(), REGKIND_NONE, &lib);
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (SUCCEEDED(hr)) {
        hr = perUser ? unRegisterTypeLibForUser(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                                attr->syskind)
                     : UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        lib->ReleaseTLibAttr(attr);
    }
    lib->Release();
    return hr == TYPE_E_REGISTRYACCESS ? S_OK : hr;  // nothing registered
}

HRESULT registerServer(bool perUser) {
    HRESULT hr = runScripts(true, perUser);
    if (SUCCEEDED(hr)) hr = registerTypeLib(perUser);
    return hr;
}

HRESULT unregisterServer(bool perUser) {
    unregisterTypeLib(perUser);
    return runScripts(false, perUser);
}

}  // namespace

HINSTANCE moduleHandle() { return g_module; }

std::wstring modulePath() {
    wchar_t buf[MAX_PATH];
    const DWORD n = GetModuleFileNameW(g_module, buf, MAX_PATH);
    return std::wstring(buf, n < MAX_PATH ? n : 0);
}

void objectCreated() { ++g_objects; }
void objectDestroyed() { --g_objects; }
void lockModule(bool lock) { lock ? ++g_locks : --g_locks; }
bool moduleInUse() { return g_objects > 0 || g_locks > 0; }

HRESULT typeInfoOf(REFGUID guid, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    std::lock_guard<std::mutex> lock(g_typeLibMutex);
    if (!g_typeLib) {
        HRESULT hr = LoadTypeLibEx(modulePath().c_str(), REGKIND_NONE, &g_typeLib);
        if (FAILED(hr)) return hr;
    }
    return g_typeLib->GetTypeInfoOfGuid(guid, info);
}

}  // namespace qvcom

using namespace qvcom;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() { return moduleInUse() ? S_FALSE : S_OK; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_Record) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllRegisterServer() { return registerServer(false); }

STDAPI DllUnregisterServer() { return unregisterServer(false); }

// "user" (any case) as the command line registers in the current user's hive.
STDAPI DllInstall(BOOL install, LPCWSTR cmdLine) {
    const bool perUser = cmdLine && _wcsicmp(cmdLine, L"user") == 0;
    if (!install) return unregisterServer(perUser);
    HRESULT hr = registerServer(perUser);
    if (FAILED(hr)) unregisterServer(perUser);
    return hr;
}

}  // extern "C"
