// The Record control: the COM object over the recording control's C API.
// IRecord is dual (IDispatch through the type library); Finish_Recog goes to
// the sinks of the one connection point. The standard control interfaces
// behave as a control without persistent properties or property pages
// would; in-place activation gives it a child window that draws a framed
// caption.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <ocidl.h>

#include <atomic>
#include <new>
#include <vector>

#include "QUORVANE_h.h"
#include "comModule.h"
#include "quorvane_control.h"

namespace qvcom {

namespace {

const wchar_t kCaption[] = L"ATL 8.0 : Record";
const wchar_t kChildClass[] = L"QuorvaneRecordControl";
const LCID kUserDefaultLocale = 1024;

void drawPlaceholder(HDC dc, const RECT& r) {
    Rectangle(dc, r.left, r.top, r.right, r.bottom);
    SetTextAlign(dc, TA_CENTER | TA_BASELINE);
    TextOutW(dc, (r.left + r.right) / 2, (r.top + r.bottom) / 2, kCaption, static_cast<int>(wcslen(kCaption)));
}

LRESULT CALLBACK childProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        drawPlaceholder(dc, r);
        EndPaint(hwnd, &ps);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

bool registerChildClass() {
    WNDCLASSEXW wc = {};
    if (GetClassInfoExW(moduleHandle(), kChildClass, &wc)) return true;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = childProc;
    wc.hInstance = moduleHandle();
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kChildClass;
    return RegisterClassExW(&wc) != 0;
}

class RecordControl;

// The connection point of _IRecordEvents; its lifetime is the control's.
class EventsConnectionPoint : public IConnectionPoint {
public:
    explicit EventsConnectionPoint(IConnectionPointContainer* owner) : m_owner(owner) {}
    ~EventsConnectionPoint() {
        for (IDispatch* s : m_sinks)
            if (s) s->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
            *ppv = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_owner->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_owner->Release(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = DIID__IRecordEvents;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** cpc) override {
        if (!cpc) return E_POINTER;
        *cpc = m_owner;
        m_owner->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        if (!sink || !cookie) return E_POINTER;
        *cookie = 0;
        IDispatch* d = nullptr;
        if (FAILED(sink->QueryInterface(DIID__IRecordEvents, reinterpret_cast<void**>(&d))) &&
            FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d))))
            return CONNECT_E_CANNOTCONNECT;
        size_t slot = 0;
        while (slot < m_sinks.size() && m_sinks[slot]) ++slot;
        if (slot == m_sinks.size()) m_sinks.push_back(d);
        else m_sinks[slot] = d;
        *cookie = static_cast<DWORD>(slot + 1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        if (cookie == 0 || cookie > m_sinks.size() || !m_sinks[cookie - 1]) return CONNECT_E_NOCONNECTION;
        IDispatch* d = m_sinks[cookie - 1];
        m_sinks[cookie - 1] = nullptr;
        d->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** e) override {
        if (e) *e = nullptr;
        return E_NOTIMPL;
    }

    // Calls every connected sink in connection order, each held for its call.
    void fire(int score) {
        for (size_t i = 0; i < m_sinks.size(); ++i) {
            IDispatch* sink = m_sinks[i];
            if (!sink) continue;
            sink->AddRef();
            VARIANT arg;
            VariantInit(&arg);
            arg.vt = VT_I4;
            arg.lVal = score;
            DISPPARAMS params = {&arg, nullptr, 1, 0};
            sink->Invoke(1, IID_NULL, kUserDefaultLocale, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
            sink->Release();
        }
    }

private:
    IConnectionPointContainer* m_owner;
    std::vector<IDispatch*> m_sinks;  // empty slots are null
};

class RecordControl final : public IRecord,
                      public IConnectionPointContainer,
                      public IProvideClassInfo2,
                      public ISupportErrorInfo,
                      public IPersistStreamInit,
                      public IPersistStorage,
                      public IOleControl,
                      public IOleObject,
                      public IOleInPlaceActiveObject,
                      public IOleInPlaceObjectWindowless,
                      public IViewObjectEx,
                      public IQuickActivate,
                      public IDataObject,
                      public ISpecifyPropertyPages {
public:
    RecordControl() : m_events(this) {
        objectCreated();
        m_rec = qv_record_create();
        if (m_rec) {
            // Events reach the host on its own thread through the control's
            // message window, as its apartment requires.
            qv_record_create_window(m_rec);
            unsigned cookie;
            qv_record_advise(m_rec, &RecordControl::onFinish, this, &cookie);
        }
        m_extent.cx = 2540;  // 1 inch square, in HIMETRIC
        m_extent.cy = 2540;
    }
    ~RecordControl() {
        // Waits for a running job: its event may not outlive the control.
        qv_record_destroy(m_rec);
        if (m_window) DestroyWindow(m_window);
        if (m_site) m_site->Release();
        if (m_adviseHolder) m_adviseHolder->Release();
        if (m_viewSink) m_viewSink->Release();
        objectDestroyed();
    }
    bool valid() const { return m_rec != nullptr; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        void* p = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IRecord) p = static_cast<IRecord*>(this);
        else if (riid == IID_IConnectionPointContainer) p = static_cast<IConnectionPointContainer*>(this);
        else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) p = static_cast<IProvideClassInfo2*>(this);
        else if (riid == IID_ISupportErrorInfo) p = static_cast<ISupportErrorInfo*>(this);
        else if (riid == IID_IPersistStreamInit) p = static_cast<IPersistStreamInit*>(this);
        else if (riid == IID_IPersistStorage) p = static_cast<IPersistStorage*>(this);
        else if (riid == IID_IPersist) p = static_cast<IPersistStreamInit*>(this);
        else if (riid == IID_IOleControl) p = static_cast<IOleControl*>(this);
        else if (riid == IID_IOleObject) p = static_cast<IOleObject*>(this);
        else if (riid == IID_IOleInPlaceActiveObject) p = static_cast<IOleInPlaceActiveObject*>(this);
        else if (riid == IID_IOleInPlaceObjectWindowless || riid == IID_IOleInPlaceObject || riid == IID_IOleWindow)
            p = static_cast<IOleInPlaceObjectWindowless*>(this);
        else if (riid == IID_IViewObjectEx || riid == IID_IViewObject2 || riid == IID_IViewObject)
            p = static_cast<IViewObjectEx*>(this);
        else if (riid == IID_IQuickActivate) p = static_cast<IQuickActivate*>(this);
        else if (riid == IID_IDataObject) p = static_cast<IDataObject*>(this);
        else if (riid == IID_ISpecifyPropertyPages) p = static_cast<ISpecifyPropertyPages*>(this);
        *ppv = p;
        if (!p) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG n = --m_refs;
        if (n == 0) delete this;
        return n;
    }

    // IDispatch, through the type library's description of IRecord.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        if (!n) return E_POINTER;
        *n = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return typeInfoOf(IID_IRecord, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        ITypeInfo* info;
        HRESULT hr = typeInfoOf(IID_IRecord, &info);
        if (FAILED(hr)) return hr;
        hr = DispGetIDsOfNames(info, names, count, ids);
        info->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excep, UINT* argErr) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        ITypeInfo* info;
        HRESULT hr = typeInfoOf(IID_IRecord, &info);
        if (FAILED(hr)) return hr;
        hr = DispInvoke(static_cast<IRecord*>(this), info, id, flags, params, result, excep, argErr);
        info->Release();
        return hr;
    }

    // IRecord
    HRESULT STDMETHODCALLTYPE GetMicVolume(int* result) override {
        if (!result) return E_POINTER;
        int level = -1;
        if (qv_record_get_mic_volume(m_rec, &level) != QV_OK) return static_cast<HRESULT>(-1);
        if (level >= 0) *result = level;  // no volume control: nothing written
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetScore(int* result) override {
        if (!result) return E_POINTER;
        qv_record_get_score(m_rec, result);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE StartRecord(int recordTimeTemp, BSTR sentence) override {
        // The control copies the sentence before the call returns.
        const int r = qv_record_start_record(m_rec, recordTimeTemp, sentence ? sentence : L"");
        return r == QV_E_THREAD ? E_OUTOFMEMORY : S_OK;
    }
    HRESULT STDMETHODCALLTYPE StopRecord() override {
        qv_record_stop_record(m_rec);
        return S_OK;
    }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** e) override {
        if (e) *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** cp) override {
        if (!cp) return E_POINTER;
        *cp = nullptr;
        if (riid != DIID__IRecordEvents) return CONNECT_E_NOCONNECTION;
        *cp = &m_events;
        m_events.AddRef();
        return S_OK;
    }

    // IProvideClassInfo2
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override { return typeInfoOf(CLSID_Record, info); }
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override {
        if (!guid) return E_POINTER;
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
        *guid = DIID__IRecordEvents;
        return S_OK;
    }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_IRecord ? S_OK : S_FALSE;
    }

    // IPersistStreamInit and IPersistStorage: nothing to keep.
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = CLSID_Record;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(LPSTREAM) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Save(LPSTREAM, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override {
        if (!size) return E_POINTER;
        size->QuadPart = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InitNew() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE InitNew(IStorage*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Load(IStorage*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Save(IStorage*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE HandsOffStorage() override { return S_OK; }

    // IOleControl
    HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* ci) override {
        if (!ci) return E_POINTER;
        ci->hAccel = nullptr;
        ci->cAccel = 0;
        ci->dwFlags = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnMnemonic(MSG*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL) override { return S_OK; }

    // IOleObject
    HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override {
        if (site) site->AddRef();
        if (m_site) m_site->Release();
        m_site = site;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override {
        if (!site) return E_POINTER;
        *site = m_site;
        if (m_site) m_site->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Close(DWORD) override {
        InPlaceDeactivate();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** m) override {
        if (m) *m = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject** d) override {
        if (d) *d = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT pos) override {
        switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE: return inPlaceActivate(site ? site : m_site, parent, pos);
        case OLEIVERB_HIDE:
            if (m_window) ShowWindow(m_window, SW_HIDE);
            return S_OK;
        default: return OLEOBJ_S_INVALIDVERB;
        }
    }
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** e) override {
        if (!e) return E_POINTER;
        return OleRegEnumVerbs(CLSID_Record, e);
    }
    HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override { return GetClassID(clsid); }
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* type) override {
        return OleRegGetUserType(CLSID_Record, form, type);
    }
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override {
        if (!size) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        m_extent = *size;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override {
        if (!size) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        *size = m_extent;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* cookie) override {
        if (!m_adviseHolder && FAILED(CreateOleAdviseHolder(&m_adviseHolder))) return E_OUTOFMEMORY;
        return m_adviseHolder->Advise(sink, cookie);
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        return m_adviseHolder ? m_adviseHolder->Unadvise(cookie) : OLE_E_NOCONNECTION;
    }
    HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** e) override {
        if (!e) return E_POINTER;
        *e = nullptr;
        return m_adviseHolder ? m_adviseHolder->EnumAdvise(e) : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD, DWORD* status) override {
        if (!status) return E_POINTER;
        *status = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                  OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IOleWindow, IOleInPlaceObject(Windowless), IOleInPlaceActiveObject
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* hwnd) override {
        if (!hwnd) return E_POINTER;
        *hwnd = m_window;
        return m_window ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override {
        if (!m_window) return S_OK;
        DestroyWindow(m_window);
        m_window = nullptr;
        if (m_site) {
            IOleInPlaceSite* ips = nullptr;
            if (SUCCEEDED(m_site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&ips)))) {
                ips->OnInPlaceDeactivate();
                ips->Release();
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UIDeactivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT pos, LPCRECT) override {
        if (!pos) return E_POINTER;
        if (m_window) MoveWindow(m_window, pos->left, pos->top, pos->right - pos->left, pos->bottom - pos->top, TRUE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT*) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE GetDropTarget(IDropTarget** t) override {
        if (t) *t = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }

    // IViewObject, IViewObject2, IViewObjectEx
    HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
                                   BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override {
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (!dc || !bounds) return E_INVALIDARG;
        RECT r = {bounds->left, bounds->top, bounds->right, bounds->bottom};
        drawPlaceholder(dc, r);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** p) override {
        if (p) *p = nullptr;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unfreeze(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) override {
        if (sink) sink->AddRef();
        if (m_viewSink) m_viewSink->Release();
        m_viewSink = sink;
        m_viewAspects = aspects;
        m_viewAdvf = advf;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) override {
        if (aspects) *aspects = m_viewAspects;
        if (advf) *advf = m_viewAdvf;
        if (sink) {
            *sink = m_viewSink;
            if (m_viewSink) m_viewSink->AddRef();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
        return GetExtent(aspect, size);
    }
    HRESULT STDMETHODCALLTYPE GetRect(DWORD aspect, LPRECTL rect) override {
        if (!rect) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        *rect = {0, 0, m_extent.cx, m_extent.cy};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetViewStatus(DWORD* status) override {
        if (!status) return E_POINTER;
        *status = VIEWSTATUS_SOLIDBKGND | VIEWSTATUS_OPAQUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT p, LONG, DWORD* hit) override {
        if (!bounds || !hit) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        *hit = PtInRect(bounds, p) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT loc, LONG, DWORD* hit) override {
        if (!bounds || !loc || !hit) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        RECT common;
        *hit = IntersectRect(&common, bounds, loc) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*, LPSIZEL) override {
        return E_NOTIMPL;
    }

    // IQuickActivate
    HRESULT STDMETHODCALLTYPE QuickActivate(QACONTAINER* container, QACONTROL* control) override {
        if (!container || !control) return E_POINTER;
        if (control->cbSize < sizeof(QACONTROL)) return E_INVALIDARG;
        SetClientSite(container->pClientSite);
        if (container->pAdviseSink) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
        control->dwMiscStatus = 0;
        GetMiscStatus(DVASPECT_CONTENT, &control->dwMiscStatus);
        GetViewStatus(&control->dwViewStatus);
        control->dwEventCookie = 0;
        control->dwPropNotifyCookie = 0;
        control->dwPointerActivationPolicy = 0;
        if (container->pUnkEventSink) m_events.Advise(container->pUnkEventSink, &control->dwEventCookie);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetContentExtent(LPSIZEL size) override { return SetExtent(DVASPECT_CONTENT, size); }
    HRESULT STDMETHODCALLTYPE GetContentExtent(LPSIZEL size) override { return GetExtent(DVASPECT_CONTENT, size); }

    // IDataObject: the control offers no data formats.
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return DV_E_FORMATETC; }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        if (out) out->ptd = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC** e) override {
        if (e) *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** e) override {
        if (e) *e = nullptr;
        return OLE_E_ADVISENOTSUPPORTED;
    }

    // ISpecifyPropertyPages: none.
    HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override {
        if (!pages) return E_POINTER;
        pages->cElems = 0;
        pages->pElems = nullptr;
        return S_OK;
    }

private:
    static void onFinish(int score, void* user) {
        auto* self = static_cast<RecordControl*>(user);
        self->AddRef();  // a sink may release the control while it is told
        self->m_events.fire(score);
        self->Release();
    }

    HRESULT inPlaceActivate(IOleClientSite* site, HWND parentHint, LPCRECT posHint) {
        if (m_window) {
            ShowWindow(m_window, SW_SHOW);
            return S_OK;
        }
        HWND parent = parentHint;
        RECT pos = posHint ? *posHint : RECT{0, 0, 100, 50};
        IOleInPlaceSite* ips = nullptr;
        if (site) site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&ips));
        if (ips) {
            if (ips->CanInPlaceActivate() != S_OK) {
                ips->Release();
                return E_FAIL;
            }
            ips->OnInPlaceActivate();
            HWND siteWindow = nullptr;
            if (SUCCEEDED(ips->GetWindow(&siteWindow)) && siteWindow) parent = siteWindow;
            IOleInPlaceFrame* frame = nullptr;
            IOleInPlaceUIWindow* doc = nullptr;
            RECT clip;
            OLEINPLACEFRAMEINFO fi = {};
            fi.cb = sizeof fi;
            if (SUCCEEDED(ips->GetWindowContext(&frame, &doc, &pos, &clip, &fi))) {
                if (frame) frame->Release();
                if (doc) doc->Release();
            }
        }
        if (!parent || !registerChildClass()) {
            if (ips) ips->Release();
            return E_FAIL;
        }
        m_window = CreateWindowExW(0, kChildClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                   pos.left, pos.top, pos.right - pos.left, pos.bottom - pos.top, parent, nullptr,
                                   moduleHandle(), nullptr);
        if (ips) ips->Release();
        return m_window ? S_OK : E_FAIL;
    }

    std::atomic<ULONG> m_refs{0};
    qv_record* m_rec = nullptr;
    EventsConnectionPoint m_events;
    IOleClientSite* m_site = nullptr;
    IOleAdviseHolder* m_adviseHolder = nullptr;
    IAdviseSink* m_viewSink = nullptr;
    DWORD m_viewAspects = 0;
    DWORD m_viewAdvf = 0;
    HWND m_window = nullptr;
    SIZEL m_extent;
};

}  // namespace

HRESULT createRecordControl(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* control = new (std::nothrow) RecordControl();
    if (!control) return E_OUTOFMEMORY;
    control->AddRef();
    HRESULT hr = control->valid() ? control->QueryInterface(riid, ppv) : E_OUTOFMEMORY;
    control->Release();
    return hr;
}

}  // namespace qvcom
