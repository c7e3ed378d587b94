// Whole-pipeline speed on the tiny synthetic world: audio seconds processed
// per wall second ("xRealTime"), with the share of each stage taken from the
// engine's own progress lines ("%4.3f sec: <stage>").
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "quorvane.h"
#include "world/tinyWorld.h"

namespace {

struct Setup {
    std::string dir;
    std::string prm;
    double audioSeconds = 0;
    explicit Setup(int sentences) {
        dir = (std::filesystem::temp_directory_path() / ("qv_pipeline_bench_" + std::to_string(sentences))).string();
        std::filesystem::remove_all(dir);
        prm = qvworld::buildTinyWorld(dir);
        std::vector<std::string> syl;
        std::string text;
        for (int i = 0; i < sentences; ++i) {
            syl.insert(syl.end(), {"ba1", "di2", "gu3"});
            text += std::string(qvworld::kOne) + qvworld::kTwo + qvworld::kThree;
        }
        std::vector<int32_t> x = qvworld::synthUtterance(syl);
        audioSeconds = x.size() / 16000.0;
        qvworld::writeWav(dir + "/utt.wav", x);
        FILE* fp = fopen((dir + "/bench.txt").c_str(), "wb");
        fprintf(fp, "%s\n", text.c_str());
        fclose(fp);
    }
    ~Setup() { std::filesystem::remove_all(dir); }
};

// Stage name of a progress line: the text after "sec: " up to a quote,
// parenthesis or line end.
std::string stageOf(const std::string& line, double& seconds) {
    const size_t at = line.find(" sec: ");
    if (at == std::string::npos) return {};
    seconds = std::atof(line.c_str());
    std::string rest = line.substr(at + 6);
    const size_t cut = rest.find_first_of("\"(\n");
    rest = rest.substr(0, cut);
    while (!rest.empty() && rest.back() == ' ') rest.pop_back();
    return rest;
}

void BM_Pipeline(benchmark::State& state) {
    Setup s(static_cast<int>(state.range(0)));
    std::map<std::string, double> stageSeconds;
    quorvane::setLogSink([&](const std::string& text) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            double sec = 0;
            std::string st = stageOf(line, sec);
            if (!st.empty()) stageSeconds[st] += sec;
        }
    });
    quorvane::Request req;
    req.paramFile = s.prm;
    req.overrides = {{"txtFile", s.dir + "/bench.txt"}, {"outputDir", ""}, {"maxCandidateNum", "500"}};
    double wall = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        quorvane::Result r = quorvane::run(req);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        benchmark::DoNotOptimize(r.finalScore);
    }
    quorvane::setLogSink(nullptr);
    const double runs = static_cast<double>(state.iterations());
    state.counters["audioSec"] = s.audioSeconds;
    state.counters["xRealTime"] = s.audioSeconds * runs / wall;
    double staged = 0;
    for (const auto& kv : stageSeconds) staged += kv.second;
    for (const auto& kv : stageSeconds)
        if (kv.second / staged >= 0.01) state.counters["%" + kv.first] = 100.0 * kv.second / staged;
}

}  // namespace

BENCHMARK(BM_Pipeline)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
