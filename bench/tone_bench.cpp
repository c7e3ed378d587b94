// Cost of the tone step of an assessment: the tone pitch tracker over a 5 s
// recording, then the features, posteriors and combined scores of its 20
// syllables with the shipped tone model (telvoDataChinese/tone/chinese.tone).
// (The run then recomputes the utterance scores: a weighted mean over the
// syllables and one small file read, left out here.)
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "engine/frontend/lib/audio.h"
#include "engine/frontend/lib/tonePitch.h"
#include "engine/scoring/mlf.h"
#include "engine/tone/toneModel.h"

namespace {

const int kFs = 16000;
const double kSeconds = 5.0;
const int kSyllables = 20;

// Syllable-rate voiced stretches with gliding pitch over low noise.
std::vector<int32_t> syntheticSpeech() {
    const int n = static_cast<int>(kFs * kSeconds);
    std::mt19937 gen(7);
    std::normal_distribution<double> noise(0.0, 60.0);
    std::vector<int32_t> x(static_cast<size_t>(n));
    double ph = 0;
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kFs;
        const double env = std::max(0.0, std::sin(M_PI * kSyllables / kSeconds * t));
        ph += 2 * M_PI * (150.0 + 40.0 * std::sin(2 * M_PI * 1.3 * t)) / kFs;
        double v = 0;
        for (int h = 1; h <= 6; ++h) v += std::sin(h * ph) / h;
        x[static_cast<size_t>(i)] = static_cast<int32_t>(6000.0 * env * v + noise(gen));
    }
    return x;
}

qv::mlfClass syllables() {
    qv::mlfClass r;
    const int frames = static_cast<int>(kSeconds * 100) / kSyllables;
    for (int k = 0; k < kSyllables; ++k) {
        qv::mlfNode n;
        n.name = "ma" + std::to_string(k % 5 + 1);
        n.startFrame = k * frames;
        n.endFrame = k * frames + frames - 1;
        qv::mlfPhone ph;
        ph.startFrame = n.startFrame + frames / 4;
        ph.endFrame = n.endFrame;
        n.phoneList.push_back(ph);
        for (float& s : n.scores) s = 80;
        r.nodeList.push_back(n);
    }
    r.m_discountFactor.assign(qv::DISCOUNT_FACTOR_NUM, 0);
    return r;
}

void BM_TonePitch(benchmark::State& state) {
    const std::vector<int32_t> x = syntheticSpeech();
    for (auto _ : state) {
        qv::tonePitchTrack t = qv::tonePitchTracking(x.data(), static_cast<int>(x.size()), qv::tonePitchDefaults(kFs));
        benchmark::DoNotOptimize(t.f0.data());
    }
}
BENCHMARK(BM_TonePitch)->Unit(benchmark::kMillisecond);

void BM_ToneStep(benchmark::State& state) {
    const std::vector<int32_t> x = syntheticSpeech();
    const std::vector<int32_t> volume = qv::frameVolume(x.data(), static_cast<int>(x.size()), 320, 160, 1);
    qv::toneModelClass model;
    model.read(std::string(QV_SOURCE_DIR) + "/telvoDataChinese/tone/chinese.tone");
    const qv::mlfClass base = syllables();
    for (auto _ : state) {
        qv::mlfClass r = base;
        const qv::toneUtterance u = qv::toneUtteranceOf(x.data(), static_cast<int>(x.size()), kFs, volume);
        qv::toneScoreNodes(r, 0, kSyllables - 1, u, model);
        benchmark::DoNotOptimize(r.nodeList.data());
    }
}
BENCHMARK(BM_ToneStep)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
