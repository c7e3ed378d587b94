// The C API of include/quorvane_c.h over quorvane::Engine. Every entry
// catches everything: a C caller cannot take an exception.
#include "quorvane_c.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "quorvane_engine.h"

struct qv_engine {
    explicit qv_engine(const std::string& path) : engine(path) {}
    quorvane::Engine engine;
};

struct qv_input {
    quorvane::Input in;
    qv_log_fn logFn = nullptr;
    void* logUser = nullptr;
};

namespace {

char* copyOut(const std::string& s) {
    char* out = static_cast<char*>(std::malloc(s.size() + 1));
    if (out) std::memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

int statusOf(const quorvane::Error& e) {
    switch (e.kind()) {
        case quorvane::ErrorKind::UnreadableAudio: return QV_STATUS_UNREADABLE_AUDIO;
        case quorvane::ErrorKind::TooQuiet: return QV_STATUS_TOO_QUIET;
        case quorvane::ErrorKind::Clipped: return QV_STATUS_CLIPPED;
        case quorvane::ErrorKind::NoSpeech: return QV_STATUS_NO_SPEECH;
        case quorvane::ErrorKind::TextNotCovered: return QV_STATUS_TEXT_NOT_COVERED;
        case quorvane::ErrorKind::Data: return QV_STATUS_DATA;
        case quorvane::ErrorKind::Internal: break;
    }
    return QV_STATUS_INTERNAL;
}

int levelOf(quorvane::LogLevel level) {
    switch (level) {
        case quorvane::LogLevel::Debug: return QV_LOG_DEBUG;
        case quorvane::LogLevel::Info: return QV_LOG_INFO;
        case quorvane::LogLevel::Warning: return QV_LOG_WARNING;
        case quorvane::LogLevel::Error: break;
    }
    return QV_LOG_ERROR;
}

template <class F>
int guarded(F&& f) {
    try {
        return f();
    } catch (...) {
        return QV_STATUS_INTERNAL;
    }
}

int runCall(const qv_engine* engine, const qv_input* input, char** json, bool assess) {
    if (!json) return QV_STATUS_INVALID_ARGUMENT;
    *json = nullptr;
    int status = QV_STATUS_OK;
    std::string doc;
    const char* function = assess ? "assess" : "recog";
    try {
        if (!engine || !input) {
            status = QV_STATUS_INVALID_ARGUMENT;
            doc = quorvane::errorToJson(qv_status_name(status), "a NULL engine or input");
        } else {
            quorvane::Input in = input->in;
            if (input->logFn) {
                qv_log_fn fn = input->logFn;
                void* user = input->logUser;
                in.log = [fn, user](quorvane::LogLevel level, const std::string& line) {
                    fn(levelOf(level), line.c_str(), user);
                };
            }
            const quorvane::Result r = assess ? engine->engine.assess(in) : engine->engine.recognise(in);
            doc = quorvane::resultToJson(r, function);
        }
    } catch (const quorvane::Error& e) {
        status = statusOf(e);
        doc = quorvane::errorToJson(qv_status_name(status), e.what());
    } catch (const std::exception& e) {
        status = QV_STATUS_INTERNAL;
        try {
            doc = quorvane::errorToJson(qv_status_name(status), e.what());
        } catch (...) {
            doc.clear();
        }
    } catch (...) {
        status = QV_STATUS_INTERNAL;
        doc.clear();
    }
    *json = copyOut(doc.empty() ? "{\"schema\":\"quorvane-result\",\"version\":1,\"error\":{\"kind\":\"internal\","
                                  "\"message\":\"out of memory\"}}"
                                : doc);
    return status;
}

}  // namespace

extern "C" {

const char* qv_version(void) { return QUORVANE_VERSION; }

const char* qv_status_name(int status) {
    switch (status) {
        case QV_STATUS_OK: return "ok";
        case QV_STATUS_INVALID_ARGUMENT: return "invalid argument";
        case QV_STATUS_UNREADABLE_AUDIO: return "unreadable audio";
        case QV_STATUS_TOO_QUIET: return "too quiet";
        case QV_STATUS_CLIPPED: return "clipped";
        case QV_STATUS_NO_SPEECH: return "no speech";
        case QV_STATUS_TEXT_NOT_COVERED: return "text not covered";
        case QV_STATUS_DATA: return "data";
        case QV_STATUS_INTERNAL: return "internal";
        default: return "unknown";
    }
}

void qv_string_free(char* s) { std::free(s); }

int qv_engine_open(const char* path, qv_engine** engine, char** error) {
    if (error) *error = nullptr;
    if (!engine) return QV_STATUS_INVALID_ARGUMENT;
    *engine = nullptr;
    if (!path) return QV_STATUS_INVALID_ARGUMENT;
    try {
        *engine = new qv_engine(path);
        return QV_STATUS_OK;
    } catch (const quorvane::Error& e) {
        if (error) *error = copyOut(e.what());
        return statusOf(e);
    } catch (const std::exception& e) {
        if (error) *error = copyOut(e.what());
        return QV_STATUS_INTERNAL;
    } catch (...) {
        return QV_STATUS_INTERNAL;
    }
}

void qv_engine_close(qv_engine* engine) { delete engine; }

qv_input* qv_input_create(void) {
    try {
        return new qv_input();
    } catch (...) {
        return nullptr;
    }
}

void qv_input_destroy(qv_input* input) { delete input; }

int qv_input_set_samples(qv_input* input, const int16_t* samples, size_t count, int rate) {
    if (!input || (!samples && count > 0) || rate <= 0) return QV_STATUS_INVALID_ARGUMENT;
    return guarded([&] {
        input->in.samples.assign(samples, samples + count);
        input->in.sampleRate = rate;
        return QV_STATUS_OK;
    });
}

int qv_input_set_audio_file(qv_input* input, const char* path) {
    if (!input || !path) return QV_STATUS_INVALID_ARGUMENT;
    return guarded([&] {
        input->in.audioFile = path;
        return QV_STATUS_OK;
    });
}

int qv_input_set_text(qv_input* input, const char* utf8) {
    if (!input || !utf8) return QV_STATUS_INVALID_ARGUMENT;
    return guarded([&] {
        input->in.text = utf8;
        return QV_STATUS_OK;
    });
}

int qv_input_add_syllables(qv_input* input, const char* syllables) {
    if (!input || !syllables) return QV_STATUS_INVALID_ARGUMENT;
    return guarded([&] {
        input->in.syllables.emplace_back(syllables);
        return QV_STATUS_OK;
    });
}

int qv_input_add_override(qv_input* input, const char* key, const char* value) {
    if (!input || !key || !value) return QV_STATUS_INVALID_ARGUMENT;
    return guarded([&] {
        input->in.overrides.emplace_back(key, value);
        return QV_STATUS_OK;
    });
}

int qv_input_set_output_dir(qv_input* input, const char* dir) {
    if (!input) return QV_STATUS_INVALID_ARGUMENT;
    return guarded([&] {
        input->in.outputDir = dir ? dir : "";
        return QV_STATUS_OK;
    });
}

int qv_input_set_log(qv_input* input, qv_log_fn fn, void* user) {
    if (!input) return QV_STATUS_INVALID_ARGUMENT;
    input->logFn = fn;
    input->logUser = user;
    return QV_STATUS_OK;
}

int qv_engine_assess(const qv_engine* engine, const qv_input* input, char** json) {
    return runCall(engine, input, json, true);
}

int qv_engine_recognise(const qv_engine* engine, const qv_input* input, char** json) {
    return runCall(engine, input, json, false);
}

}  // extern "C"
