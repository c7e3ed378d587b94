// Front-end speed on a synthetic 10 s recording: preparation (level check,
// DC removal) plus MFCC_E_D_A features, with and without reading the WAV file.
// "xRealTime" is seconds of audio processed per second of wall time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "capture/wave.h"
#include "engine/frontend/audioFile.h"
#include "engine/frontend/feature.h"
#include "engine/recogTask.h"

namespace {

const int kFs = 16000;
const double kSeconds = 10.0;
const std::string kConfig = std::string(QV_SOURCE_DIR) + "/tests/data/frontend/mfcc_e_d_a.cfg";

// Voiced-like stretches (a few harmonics under a syllable-rate envelope) over
// low noise, so that neither the level check nor the features see a trivial
// signal.
std::vector<int32_t> syntheticSpeech() {
    const int n = static_cast<int>(kFs * kSeconds);
    std::mt19937 gen(42);
    std::normal_distribution<double> noise(0.0, 60.0);
    std::vector<int32_t> x(n);
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kFs;
        const double env = std::max(0.0, std::sin(2 * M_PI * 2.5 * t));
        const double f0 = 120.0 + 30.0 * std::sin(2 * M_PI * 0.7 * t);
        double v = 0;
        for (int h = 1; h <= 5; ++h) v += std::sin(2 * M_PI * f0 * h * t) / h;
        x[i] = static_cast<int32_t>(6000.0 * env * v + noise(gen));
    }
    return x;
}

void prepareAndCompute(std::vector<int32_t>& sig, int32_t& n, int32_t& fs, int32_t& nbits) {
    qv::recogParam prm;
    prm.outputDir[0] = '\0';
    qv::prepareWave(sig, n, fs, nbits, prm);
    qv::CFeaBuf fea;
    int frames = 0, dim = 0;
    fea.compute(sig.data(), fs, nbits, n, kConfig, frames, dim);
    benchmark::DoNotOptimize(fea.data().data());
}

void BM_PrepareMfcc(benchmark::State& state) {
    const std::vector<int32_t> base = syntheticSpeech();
    for (auto _ : state) {
        std::vector<int32_t> sig = base;
        int32_t n = static_cast<int32_t>(sig.size()), fs = kFs, nbits = 16;
        prepareAndCompute(sig, n, fs, nbits);
    }
    state.counters["xRealTime"] =
        benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PrepareMfcc)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadPrepareMfcc(benchmark::State& state) {
    const std::vector<int32_t> base = syntheticSpeech();
    const std::string path = "/tmp/quorvane_frontend_bench.wav";
    qv::CWave w(1, kFs, 16);
    w.setSamples(base.data(), static_cast<int>(base.size()));
    if (!w.save(path)) {
        state.SkipWithError("cannot write the benchmark WAV file");
        return;
    }
    for (auto _ : state) {
        qv::waveSignal wave = qv::readAudioFile(path);
        prepareAndCompute(wave.signal, wave.sampleNum, wave.fs, wave.nbits);
    }
    std::remove(path.c_str());
    state.counters["xRealTime"] =
        benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadPrepareMfcc)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
