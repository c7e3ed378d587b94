// Capture throughput: a 60 s recording played by the file device as fast as
// the buffers are requeued, through the whole per-frame decision path. The
// items-per-second figure is recorded seconds per wall-clock second, i.e.
// how many times faster than real time the capture loop keeps up.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/recording.h"
#include "capture/wave.h"
#include "engine/utility.h"

namespace {

constexpr int kSeconds = 60;

std::string wavFile() {
    static std::string path;
    if (path.empty()) {
        path = qv::tempDir() + "/capture_bench.wav";
        std::vector<int32_t> s(static_cast<size_t>(kSeconds) * 16000);
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int32_t>(8000 * std::sin(0.17 * static_cast<double>(i)));
        qv::CWave w(1, 16000, 16);
        w.setSamples(s.data(), static_cast<int>(s.size()));
        w.save(path);
    }
    return path;
}

void BM_CaptureFastFile(benchmark::State& state) {
    setenv("QUORVANE_WAVEIN", ("file-fast:" + wavFile()).c_str(), 1);
    qv::recordParam p;
    p.nbits = 16;
    p.fs = 16000;
    p.nAdjustFrame = 10;
    p.upRateFrame = 0.2;
    p.downRateFrame = 1.0;
    p.upRateBSInit = p.upRateBSNew = 0.3;
    p.upRateBSModify = 0.5;
    p.downRateBSInit = 0.5;
    p.downRateBSNew = 0.2;
    p.downRateBSModifyUsingVol = 3.0;
    p.silenceLimitBeforeSpeech = 5;
    p.silenceLimitInSpeech = 0.8;
    std::vector<int32_t> buf(static_cast<size_t>(kSeconds) * 16000);
    for (auto _ : state) {
        int n = qv::recordWithSilenceLimit(p, buf.data(), static_cast<int>(buf.size()), nullptr);
        if (n != static_cast<int>(buf.size())) state.SkipWithError("capture ended early");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(state.iterations() * kSeconds);
}
BENCHMARK(BM_CaptureFastFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
