// quorvane-server: pronunciation assessment over HTTP, and the learner's page.
//
//   quorvane-server [--host 127.0.0.1] [--port 8080] [--data DIR] [--jobs N] [--queue N]
//
// One engine is loaded at start and shared by every request; the server
// keeps nothing between requests. Routes and answers: service/httpService.h.
// One line per request on standard error.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <malloc.h>
#include <thread>
#include <unistd.h>

#include "service/httpService.h"

namespace fs = std::filesystem;

namespace {

qvservice::HttpService* g_service = nullptr;

void onSignal(int) {
    if (g_service) g_service->stop();
}

// --data, else ./telvoDataChinese, else the first telvoDataChinese above the
// program or in <prefix>/share/quorvane (installed).
std::string findData(const std::string& option) {
    if (!option.empty()) return option;
    std::error_code ec;
    const auto isData = [](const fs::path& p) {
        std::error_code e;
        return fs::is_regular_file(p / "chinese.sa.prm", e);
    };
    if (isData(fs::current_path(ec) / "telvoDataChinese")) return (fs::current_path(ec) / "telvoDataChinese").string();
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        for (fs::path p = exe.parent_path(); !p.empty(); p = p.parent_path()) {
            if (isData(p / "telvoDataChinese")) return (p / "telvoDataChinese").string();
            if (isData(p / "share/quorvane/telvoDataChinese")) return (p / "share/quorvane/telvoDataChinese").string();
            if (p == p.root_path()) break;
        }
    return "telvoDataChinese";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"QUORVANE over HTTP: POST /api/assess, /api/recog; the learner's page at /"};
    std::string host = "127.0.0.1", data, standard = "taiwan";
    int port = 8080;
    qvservice::Limits limits;
    const unsigned cores = std::thread::hardware_concurrency();
    limits.jobs = cores > 0 ? static_cast<int>(cores) : 2;
    limits.queue = 4 * limits.jobs;
    app.add_option("--host", host, "address to listen on (default 127.0.0.1: this machine only)");
    app.add_option("--port", port, "port (default 8080; 0 picks a free one and prints it)")->check(CLI::Range(0, 65535));
    app.add_option("--data", data, "data folder holding chinese.sa.prm (default: as the quorvane tool finds it)");
    app.add_option("--standard", standard, "readings of the expected syllables: taiwan (default) or mainland");
    app.add_option("--jobs", limits.jobs, "scorings at once (default: the number of cores)")->check(CLI::PositiveNumber);
    app.add_option("--queue", limits.queue, "requests waiting for a job before 503 (default: 4 per job)")->check(CLI::NonNegativeNumber);
    app.add_option("--max-body", limits.maxBodyBytes, "largest request body in bytes (default 32 MiB)");
    app.add_option("--max-seconds", limits.maxAudioSeconds, "longest recording in seconds (default 60)");
    CLI11_PARSE(app, argc, argv);
    // A scoring allocates tens of megabytes and frees them; with the C
    // library's default of one heap per thread (up to 8 per core) each of
    // the many connection threads keeps its own high-water mark, and the
    // resident size climbs to several times the need. One heap per job slot
    // keeps it flat.
    mallopt(M_ARENA_MAX, limits.jobs);

    try {
        std::fprintf(stderr, "quorvane-server: loading %s\n", findData(data).c_str());
        const qvservice::ScoringService scoring(findData(data), standard);
        qvservice::HttpService service(scoring, limits, [](const std::string& line) {
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        });
        g_service = &service;
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        const int bound = port == 0 ? service.bindToAnyPort(host) : service.bindToPort(host, port) ? port : -1;
        if (bound < 0) {
            std::fprintf(stderr, "quorvane-server: cannot listen on %s port %d\n", host.c_str(), port);
            return 1;
        }
        std::fprintf(stderr, "quorvane-server: listening on http://%s:%d/ (%d jobs, queue %d)\n", host.c_str(), bound,
                     limits.jobs, limits.queue);
        std::fflush(stderr);
        service.listenAfterBind();
        g_service = nullptr;
        return 0;
    } catch (const qvservice::ServiceError& e) {
        std::fprintf(stderr, "quorvane-server: %s\n", e.message.c_str());
        return e.kind == "usage" ? 2 : 1;
    }
}
