// Load once against load every time: 100 assessments of one ~5 s sentence on
// the shipped models through one quorvane::Engine, and 100 quorvane::run
// calls, measured in the same process; prints the ratios of wall and of
// process CPU time (on a shared machine the CPU time is the figure to use).
//   build/engine_bench [--benchmark_min_time=...]
// The sentence joins three bundled samples (5.2 s) in memory and writes it
// as one WAV file, so both sides read the same file.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "capture/wave.h"
#include "engine/frontend/audioFile.h"
#include "platform/codePage.h"
#include "quorvane.h"
#include "quorvane_engine.h"

namespace {

const std::string kData = std::string(QV_SOURCE_DIR) + "/telvoDataChinese";
const char* const kParts[] = {"laoshi", "woaini", "tianqi"};
constexpr int kCalls = 100;

struct Fixture {
    std::string dir, wav, txt, prm, text;
    double seconds = 0;
    Fixture() {
        dir = (std::filesystem::temp_directory_path() / "qv_engine_bench").string();
        std::filesystem::create_directories(dir);
        std::vector<int32_t> all;
        for (const char* p : kParts) {
            qv::waveSignal w = qv::readAudioFile(kData + "/samples/" + p + ".wav");
            all.insert(all.end(), w.signal.begin(), w.signal.end());
            std::ifstream in(kData + "/samples/" + p + ".utf8.txt");
            std::string line;
            std::getline(in, line);
            text += line;
        }
        seconds = all.size() / 16000.0;
        wav = dir + "/sentence.wav";
        qv::CWave wave;
        wave.setFormat(1, 16000, 16);
        wave.setSamples(all.data(), static_cast<int>(all.size()));
        wave.save(wav);
        txt = dir + "/sentence.txt";
        std::ofstream(txt) << qv::utf8ToBig5(text) << "\n";
        // The shipped parameter file with absolute paths.
        prm = dir + "/abs.prm";
        std::ifstream in(kData + "/chinese.sa.prm");
        std::ofstream out(prm);
        std::string line;
        while (std::getline(in, line)) {
            const size_t eq = line.find(" = ");
            if (eq != std::string::npos && line.compare(eq + 3, 17, "telvoDataChinese/") == 0)
                line.insert(eq + 3, std::string(QV_SOURCE_DIR) + "/");
            out << line << "\n";
        }
    }
    ~Fixture() { std::filesystem::remove_all(dir); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

double g_engine = 0, g_run = 0, g_engineCpu = 0, g_runCpu = 0;

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

void BM_Engine(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = cpuSeconds();
        const quorvane::Engine engine(kData);  // loaded once per batch
        quorvane::Input in;
        in.audioFile = f.wav;
        in.text = f.text;
        for (int i = 0; i < kCalls; ++i) benchmark::DoNotOptimize(engine.assess(in).finalScore);
        g_engine = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        g_engineCpu = cpuSeconds() - c0;
    }
    state.counters["audioSec"] = f.seconds;
}

void BM_Run(benchmark::State& state) {
    Fixture& f = fixture();
    quorvane::setLogSink([](const std::string&) {});
    quorvane::Request req;
    req.paramFile = f.prm;
    req.overrides = {{"wavFile", f.wav}, {"txtFile", f.txt}, {"outputDir", ""}};
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = cpuSeconds();
        for (int i = 0; i < kCalls; ++i) benchmark::DoNotOptimize(quorvane::run(req).finalScore);
        g_run = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        g_runCpu = cpuSeconds() - c0;
    }
    quorvane::setLogSink(nullptr);
    state.counters["audioSec"] = f.seconds;
}

}  // namespace

BENCHMARK(BM_Engine)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Run)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_engine > 0 && g_run > 0) {
        std::printf("%d assessments of %.1f s: Engine %.2f s, quorvane::run %.2f s, ratio run/Engine %.2f (wall)\n",
                    kCalls, fixture().seconds, g_engine, g_run, g_run / g_engine);
        std::printf("%d assessments of %.1f s: Engine %.2f s (%.1f ms each), quorvane::run %.2f s (%.1f ms each), "
                    "ratio run/Engine %.2f (CPU)\n",
                    kCalls, fixture().seconds, g_engineCpu, 1000 * g_engineCpu / kCalls, g_runCpu,
                    1000 * g_runCpu / kCalls, g_runCpu / g_engineCpu);
    }
    return 0;
}
