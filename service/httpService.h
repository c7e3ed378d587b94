// The HTTP face of the scoring service: routes, limits, admission and the
// request log, over a ScoringService. Stateless between requests, so that
// any number of instances can stand behind one load balancer.
//
//   POST /api/assess  multipart fields audio (any recording the tool reads), text,
//                     optional pinyin, textgrid=1 and pitch=1; or the audio as
//                     the body with the others as query parameters
//   POST /api/recog   the same with one text field (or parameter) per candidate
//   GET  /api/readings?text=...   characters, pinyin and Zhuyin of a sentence
//   GET  /healthz, /api/version, and the learner's page at /
//
// Answers are the documents of `quorvane assess --json` / `recog --json`;
// a refusal is {"error": {"kind", "message"}} with 400 (bad request), 413
// (body or recording too long), 415 (no reader knows the audio), 422 (the engine
// refuses the recording or the text; no speech carries the whole document),
// 503 with Retry-After (every job slot and queue place taken) or 500.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "service/scoringService.h"

namespace qvservice {

struct Limits {
    size_t maxBodyBytes = 32u << 20;  // whole request body
    double maxAudioSeconds = 60;
    int jobs = 2;                     // scorings at once
    int queue = 8;                    // requests waiting for a job slot
    int retryAfterSeconds = 1;        // told to refused clients
};

// At most `jobs` holders at once and `queue` waiting; a caller beyond both
// is turned away at once.
class JobGate {
public:
    JobGate(int jobs, int queue) : m_jobs(jobs), m_queue(queue) {}
    // True once a slot is held (release it with leave()); false when full.
    bool enter();
    void leave();
    int running() const;
    int waiting() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_free;
    int m_jobs, m_queue;
    int m_running = 0, m_waiting = 0;
};

// One line per answered request: time, method, path, status, duration, audio seconds.
using RequestLog = std::function<void(const std::string& line)>;

class HttpService {
public:
    HttpService(const ScoringService& scoring, const Limits& limits, RequestLog log);
    // Blocks until stop(); false when the address cannot be bound.
    bool listen(const std::string& host, int port);
    // Binds to `port` (bindToPort) or to a free port, returned (-1 on
    // failure); then listenAfterBind() serves until stop().
    bool bindToPort(const std::string& host, int port);
    int bindToAnyPort(const std::string& host);
    bool listenAfterBind();
    void stop();
    bool running() const;

private:
    void routes();
    void assessOrRecog(const httplib::Request& req, httplib::Response& res, bool recog);

    const ScoringService& m_scoring;
    Limits m_limits;
    RequestLog m_log;
    JobGate m_gate;
    httplib::Server m_server;
};

// The HTTP status of an error kind.
int statusOf(const std::string& kind);

}  // namespace qvservice
