#include "service/httpService.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "quorvane_version.h"
#include "service/pageAssets.h"

namespace qvservice {

bool JobGate::enter() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_running < m_jobs) {
        ++m_running;
        return true;
    }
    if (m_waiting >= m_queue) return false;
    ++m_waiting;
    m_free.wait(lock, [&] { return m_running < m_jobs; });
    --m_waiting;
    ++m_running;
    return true;
}

void JobGate::leave() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        --m_running;
    }
    m_free.notify_one();
}

int JobGate::running() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

int JobGate::waiting() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiting;
}

int statusOf(const std::string& kind) {
    if (kind == "usage") return 400;
    if (kind == "too long") return 413;
    if (kind == "unsupported audio") return 415;
    if (kind == "unreadable audio" || kind == "too quiet" || kind == "clipped" || kind == "no speech" ||
        kind == "text not covered")
        return 422;
    if (kind == "busy") return 503;
    return 500;  // data, internal
}

namespace {

using Clock = std::chrono::steady_clock;

// What the log line needs of a request that the handler learnt; one
// request at a time runs on a thread of the server, so a thread's own copy
// is the request's.
struct RequestNote {
    Clock::time_point start;
    bool started = false;
    double audioSeconds = -1;
};
thread_local RequestNote t_note;

std::string utcNow() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

void sendJson(httplib::Response& res, int status, const json& j) {
    res.status = status;
    res.set_content(j.dump(-1, ' ', false, json::error_handler_t::replace), "application/json; charset=utf-8");
}

void sendError(httplib::Response& res, const std::string& kind, const std::string& message) {
    sendJson(res, statusOf(kind), {{"error", {{"kind", kind}, {"message", message}}}});
}

// A field from a multipart form, else from the query.
std::string field(const httplib::Request& req, const std::string& name) {
    if (req.has_file(name)) return req.get_file_value(name).content;
    return req.has_param(name) ? req.get_param_value(name) : "";
}

std::vector<std::string> fields(const httplib::Request& req, const std::string& name) {
    std::vector<std::string> out;
    for (auto it = req.files.lower_bound(name); it != req.files.end() && it->first == name; ++it)
        out.push_back(it->second.content);
    const size_t n = req.get_param_value_count(name);
    for (size_t i = 0; i < n; ++i) out.push_back(req.get_param_value(name, i));
    return out;
}

bool truthy(const std::string& v) { return v == "1" || v == "true" || v == "yes"; }

}  // namespace

HttpService::HttpService(const ScoringService& scoring, const Limits& limits, RequestLog log)
    : m_scoring(scoring), m_limits(limits), m_log(std::move(log)), m_gate(limits.jobs, limits.queue) {
    // Every waiting request holds a connection thread, and a few more keep
    // the cheap endpoints and the refusals answering while all jobs run.
    const size_t threads = static_cast<size_t>(limits.jobs + limits.queue + 4);
    m_server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    m_server.set_payload_max_length(limits.maxBodyBytes);
    m_server.set_keep_alive_timeout(2);
    m_server.set_read_timeout(30);
    m_server.set_write_timeout(30);
    m_server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        t_note = RequestNote{};
        t_note.start = Clock::now();
        t_note.started = true;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Answers the server gives by itself (no route, body too large) get the
    // error object too.
    m_server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        if (res.status == 413) {
            sendError(res, "too long", "the request body is larger than the server accepts");
            res.status = 413;
        } else if (res.status == 404) {
            sendError(res, "usage", "no such resource: " + req.path);
            res.status = 404;
        } else if (res.status == 405) {
            sendError(res, "usage", "method not allowed on " + req.path);
            res.status = 405;
        } else {
            sendError(res, "usage", "bad request");
            res.status = res.status >= 400 ? res.status : 400;
        }
    });
    m_server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown failure";
        try {
            if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        sendError(res, "internal", what);
    });
    m_server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        if (!m_log) return;
        char line[512];
        const double ms = t_note.started
                              ? std::chrono::duration<double, std::milli>(Clock::now() - t_note.start).count()
                              : 0.0;
        char audio[32] = "-";
        if (t_note.audioSeconds >= 0) std::snprintf(audio, sizeof(audio), "%.2fs", t_note.audioSeconds);
        std::snprintf(line, sizeof(line), "%s %s %s %d %.1fms audio=%s", utcNow().c_str(), req.method.c_str(),
                      req.path.c_str(), res.status, ms, audio);
        t_note = RequestNote{};
        m_log(line);
    });
    routes();
}

void HttpService::routes() {
    m_server.Get("/healthz", [](const httplib::Request&, httplib::Response& res) { sendJson(res, 200, {{"status", "ok"}}); });
    m_server.Get("/api/version", [this](const httplib::Request&, httplib::Response& res) {
        sendJson(res, 200,
                 {{"version", QUORVANE_VERSION},
                  {"dataSet", m_scoring.dataDir()},
                  {"limits",
                   {{"maxBodyBytes", m_limits.maxBodyBytes},
                    {"maxAudioSeconds", m_limits.maxAudioSeconds},
                    {"jobs", m_limits.jobs},
                    {"queue", m_limits.queue}}}});
    });
    m_server.Get("/api/readings", [this](const httplib::Request& req, httplib::Response& res) {
        try {
            sendJson(res, 200, m_scoring.readings(field(req, "text")));
        } catch (const ServiceError& e) {
            sendError(res, e.kind, e.message);
        }
    });
    m_server.Post("/api/assess", [this](const httplib::Request& req, httplib::Response& res) { assessOrRecog(req, res, false); });
    m_server.Post("/api/recog", [this](const httplib::Request& req, httplib::Response& res) { assessOrRecog(req, res, true); });
    for (const PageAsset& a : pageAssets()) {
        const PageAsset asset = a;
        const auto serve = [asset](const httplib::Request&, httplib::Response& res) {
            res.set_content(asset.content, asset.contentType);
            res.set_header("Cache-Control", "no-cache");
        };
        m_server.Get(asset.path, serve);
        if (asset.path == "/index.html") m_server.Get("/", serve);
    }
}

void HttpService::assessOrRecog(const httplib::Request& req, httplib::Response& res, bool recog) {
    Audio audio;
    const bool multipart = req.is_multipart_form_data();
    if (multipart) {
        if (!req.has_file("audio")) return sendError(res, "usage", "the form has no audio field");
        const httplib::MultipartFormData part = req.get_file_value("audio");
        audio.bytes = part.content;
        audio.contentType = part.content_type;
    } else {
        audio.bytes = req.body;
        audio.contentType = req.get_header_value("Content-Type");
    }
    if (audio.bytes.empty()) return sendError(res, "usage", "no audio: send a recording as the audio field or as the body");
    const std::vector<std::string> texts = fields(req, "text");
    if (texts.empty()) return sendError(res, "usage", recog ? "no candidate sentences (text fields)" : "no text field");
    if (!recog && texts.size() > 1) return sendError(res, "usage", "one text only; /api/recog takes several");

    if (!m_gate.enter()) {
        res.set_header("Retry-After", std::to_string(m_limits.retryAfterSeconds));
        return sendError(res, "busy", "every job slot and queue place is taken; try again shortly");
    }
    struct Leave {
        JobGate& g;
        ~Leave() { g.leave(); }
    } leave{m_gate};
    try {
        const std::unique_ptr<Recording> recording = m_scoring.prepare(audio);
        const double seconds = recording->seconds();
        t_note.audioSeconds = seconds;
        if (seconds > m_limits.maxAudioSeconds) {
            char msg[128];
            std::snprintf(msg, sizeof(msg), "the recording is %.1f s long; at most %.0f s are accepted", seconds,
                          m_limits.maxAudioSeconds);
            return sendError(res, "too long", msg);
        }
        const json doc = recog ? m_scoring.recog(*recording, texts)
                               : m_scoring.assess(*recording, texts[0], field(req, "pinyin"), truthy(field(req, "textgrid")),
                                                  truthy(field(req, "pitch")));
        sendJson(res, 200, doc);
    } catch (const ServiceError& e) {
        if (!e.document.is_null())
            sendJson(res, statusOf(e.kind), e.document);
        else
            sendError(res, e.kind, e.message);
    }
}

bool HttpService::listen(const std::string& host, int port) { return m_server.listen(host, port); }
bool HttpService::bindToPort(const std::string& host, int port) { return m_server.bind_to_port(host, port); }
int HttpService::bindToAnyPort(const std::string& host) { return m_server.bind_to_any_port(host); }
bool HttpService::listenAfterBind() { return m_server.listen_after_bind(); }
void HttpService::stop() { m_server.stop(); }
bool HttpService::running() const { return m_server.is_running(); }

}  // namespace qvservice
