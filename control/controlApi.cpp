// The C API of include/quorvane_control.h over CRecord.
#include "quorvane_control.h"

#include <memory>
#include <new>
#include <string>

#include "control/Record.h"
#include "platform/codePage.h"
#include "platform/window.h"

struct qv_record {
    qv::CRecord control;
};

namespace {

class CallbackSink : public qv::IRecordEvents {
public:
    CallbackSink(qv_finish_recog_fn fn, void* user) : m_fn(fn), m_user(user) {}
    void Finish_Recog(int32_t score) override { m_fn(score, m_user); }

private:
    qv_finish_recog_fn m_fn;
    void* m_user;
};

int toCode(int32_t hr) {
    switch (hr) {
    case qv::S_OK: return QV_OK;
    case qv::E_POINTER: return QV_E_POINTER;
    case qv::E_OUTOFMEMORY: return QV_E_THREAD;
    case qv::CONNECT_E_NOCONNECTION: return QV_E_NOCONNECTION;
    default: return QV_E_FAIL;
    }
}

}  // namespace

extern "C" {

qv_record* qv_record_create(void) { return new (std::nothrow) qv_record(); }

void qv_record_destroy(qv_record* rec) { delete rec; }

int qv_record_get_mic_volume(qv_record* rec, int* level) {
    if (!rec || !level) return QV_E_POINTER;
    int32_t v = -1;
    int r = toCode(rec->control.GetMicVolume(&v));
    *level = v;
    return r;
}

int qv_record_get_score(qv_record* rec, int* score) {
    if (!rec || !score) return QV_E_POINTER;
    int32_t v = 0;
    int r = toCode(rec->control.GetScore(&v));
    *score = v;
    return r;
}

int qv_record_start_record(qv_record* rec, int record_seconds, const wchar_t* sentence) {
    if (!rec || !sentence) return QV_E_POINTER;
    try {
        return toCode(rec->control.StartRecord(record_seconds, std::wstring(sentence)));
    } catch (const std::bad_alloc&) {
        return QV_E_FAIL;
    }
}

int qv_record_start_record_utf8(qv_record* rec, int record_seconds, const char* sentence) {
    if (!rec || !sentence) return QV_E_POINTER;
    try {
        std::wstring wide;
        if (!qv::utf8ToWide(sentence, wide)) return QV_E_ARGUMENT;
        return toCode(rec->control.StartRecord(record_seconds, wide));
    } catch (const std::bad_alloc&) {
        return QV_E_FAIL;
    }
}

int qv_record_stop_record(qv_record* rec) {
    if (!rec) return QV_E_POINTER;
    return toCode(rec->control.StopRecord());
}

int qv_record_is_busy(qv_record* rec) { return rec && rec->control.IsBusy() ? 1 : 0; }

int qv_record_advise(qv_record* rec, qv_finish_recog_fn fn, void* user, unsigned* cookie) {
    if (!rec || !fn || !cookie) return QV_E_POINTER;
    try {
        uint32_t c = 0;
        int r = toCode(rec->control.Advise(std::make_shared<CallbackSink>(fn, user), &c));
        *cookie = c;
        return r;
    } catch (const std::bad_alloc&) {
        return QV_E_FAIL;
    }
}

int qv_record_unadvise(qv_record* rec, unsigned cookie) {
    if (!rec) return QV_E_POINTER;
    return toCode(rec->control.Unadvise(cookie));
}

int qv_record_create_window(qv_record* rec) {
    if (!rec) return QV_E_POINTER;
    return rec->control.CreateControlWindow() ? QV_OK : QV_E_FAIL;
}

int qv_pump_messages(int timeout_ms) { return qv::pumpMessages(timeout_ms); }

}  // extern "C"
