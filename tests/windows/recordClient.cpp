// A small COM host of the Record control for the Windows tests: creates it
// by ProgID, connects to _IRecordEvents, calls StartRecord through IDispatch
// and waits, pumping messages, for Finish_Recog.
//
//   recordClient [--twice] [--timeout MS] SECONDS SENTENCE
//
// Prints the dispatch identifiers, "Finish_Recog N" for every event and
// "GetScore N" after the first; exits 0 when exactly one event arrived and
// GetScore agrees with it.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "QUORVANE_h.h"

namespace {

int g_events = 0;
int g_lastScore = 0;

class Sink : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IRecordEvents) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }  // lives on the stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        if (id != 1 || !(flags & DISPATCH_METHOD) || !p || p->cArgs != 1 || p->rgvarg[0].vt != VT_I4) {
            printf("unexpected event call: dispid %ld, %u arguments\n", id, p ? p->cArgs : 0);
            return DISP_E_MEMBERNOTFOUND;
        }
        g_lastScore = p->rgvarg[0].lVal;
        ++g_events;
        printf("Finish_Recog %d (thread %s)\n", g_lastScore,
               GetCurrentThreadId() == m_thread ? "host" : "other");
        return S_OK;
    }
    DWORD m_thread = GetCurrentThreadId();

private:
    ULONG m_refs = 1;
};

void pump(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

int fail(const char* what, HRESULT hr) {
    printf("FAIL: %s (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool twice = false;
    DWORD timeout = 120000;
    int i = 1;
    for (; i < argc && argv[i][0] == L'-'; ++i) {
        if (wcscmp(argv[i], L"--twice") == 0) twice = true;
        else if (wcscmp(argv[i], L"--timeout") == 0 && i + 1 < argc) timeout = static_cast<DWORD>(_wtoi(argv[++i]));
    }
    if (argc - i != 2) {
        printf("usage: recordClient [--twice] [--timeout MS] SECONDS SENTENCE\n");
        return 2;
    }
    const int seconds = _wtoi(argv[i]);
    const wchar_t* sentence = argv[i + 1];

    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return fail("CoInitializeEx", hr);
    int rc = 0;
    {
        CLSID clsid;
        hr = CLSIDFromProgID(L"QUORVANE.Record", &clsid);
        if (FAILED(hr)) return fail("CLSIDFromProgID(QUORVANE.Record)", hr);
        IDispatch* control = nullptr;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&control));
        if (FAILED(hr)) return fail("CoCreateInstance", hr);

        const wchar_t* names[] = {L"GetMicVolume", L"GetScore", L"StartRecord", L"StopRecord"};
        for (int k = 0; k < 4; ++k) {
            DISPID id = -1;
            LPOLESTR name = const_cast<LPOLESTR>(names[k]);
            hr = control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
            printf("DISPID %ls = %ld\n", names[k], SUCCEEDED(hr) ? id : -1L);
            if (FAILED(hr) || id != k + 1) rc = 1;
        }

        IConnectionPointContainer* cpc = nullptr;
        IConnectionPoint* cp = nullptr;
        Sink sink;
        DWORD cookie = 0;
        hr = control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        if (SUCCEEDED(hr)) hr = cpc->FindConnectionPoint(DIID__IRecordEvents, &cp);
        if (SUCCEEDED(hr)) hr = cp->Advise(&sink, &cookie);
        if (FAILED(hr)) return fail("connecting to _IRecordEvents", hr);

        IRecord* record = nullptr;
        hr = control->QueryInterface(IID_IRecord, reinterpret_cast<void**>(&record));
        if (FAILED(hr)) return fail("QueryInterface(IRecord)", hr);
        int before = -1;
        record->GetScore(&before);
        printf("GetScore before any job %d\n", before);
        int level = -1;
        hr = record->GetMicVolume(&level);
        printf("GetMicVolume -> 0x%08lX, level %d\n", static_cast<unsigned long>(hr), level);

        // StartRecord through IDispatch, as a script host calls it.
        VARIANT args[2];
        VariantInit(&args[0]);
        VariantInit(&args[1]);
        args[0].vt = VT_BSTR;
        args[0].bstrVal = SysAllocString(sentence);  // arguments go in reverse order
        args[1].vt = VT_I4;
        args[1].lVal = seconds;
        DISPPARAMS params = {args, nullptr, 2, 0};
        for (int call = 0; call < (twice ? 2 : 1); ++call) {
            hr = control->Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
            printf("StartRecord -> 0x%08lX\n", static_cast<unsigned long>(hr));
            if (FAILED(hr)) rc = 1;
        }
        SysFreeString(args[0].bstrVal);

        const ULONGLONG end = GetTickCount64() + timeout;
        while (g_events == 0 && GetTickCount64() < end) pump(50);
        pump(twice ? 3000 : 200);  // a second job would have ended by now
        if (g_events != 1) {
            printf("FAIL: %d Finish_Recog events\n", g_events);
            rc = 1;
        }

        VARIANT result;
        VariantInit(&result);
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        hr = control->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result,
                             nullptr, nullptr);
        int score = 0;
        record->GetScore(&score);
        printf("GetScore %d\n", score);
        if (FAILED(hr) || result.vt != VT_I4 || result.lVal != score || (g_events && score != g_lastScore)) {
            printf("FAIL: GetScore through IDispatch (0x%08lX) disagrees\n", static_cast<unsigned long>(hr));
            rc = 1;
        }
        hr = record->StopRecord();
        if (FAILED(hr)) rc = fail("StopRecord", hr);

        cp->Unadvise(cookie);
        cp->Release();
        cpc->Release();
        record->Release();
        control->Release();
    }
    CoUninitialize();
    return rc;
}
