// Loading time of a model set from the binary and from the text format.
// The set is synthetic: 400 models x 3 emitting states x 3 streams x
// 8 mixtures x 13 coefficients, written once to the temporary directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "engine/models/macro.h"
#include "engine/utility.h"

namespace {

constexpr int kModels = 400;
constexpr int kMixtures = 8;

std::string base;  // set once the files exist

std::string modelFile(const char* ext) {
    if (base.empty()) {
        qv::macroClass set;
        set.streamNum = 3;
        for (int s = 0; s < 3; ++s) set.streamWidth[s] = 13;
        set.allocModels(kModels);
        for (int i = 0; i < kModels; ++i) {
            qv::hmmModel& m = set.model[i];
            char name[32];
            snprintf(name, sizeof(name), "p%03d-c+q%03d", (i * 37) % kModels, i);
            qv::macroClass::setModelName(m, name);
            m.stateNum = 5;
            for (int st = 0; st < 3; ++st)
                for (int s = 0; s < 3; ++s) {
                    m.state[st].streamWeight[s] = 1.0f;
                    qv::hmmStream& stream = m.state[st].stream[s];
                    stream.mixtureNum = kMixtures;
                    for (int k = 0; k < kMixtures; ++k) {
                        qv::hmmMixture& g = stream.mixture[k];
                        g.weight = 1.0f / kMixtures;
                        for (int d = 0; d < 13; ++d) {
                            g.mean[d] = 0.013f * (i % 97) - 0.21f * d + 0.07f * k + 0.5f * st;
                            g.var[d] = 0.1f + 0.003f * ((i + d + k) % 31);
                        }
                        g.gconst = qv::macroClass::computeGconst(g.var, 13);
                    }
                }
            m.transP[0][1] = 1.0f;
            for (int r = 1; r < 4; ++r) {
                m.transP[r][r] = 0.6f;
                m.transP[r][r + 1] = 0.4f;
            }
        }
        const std::string path = qv::tempDir() + "/macro_bench_models";
        set.writeMacro(path + ".mac");
        set.writeMacro(path + ".macb");
        base = path;
    }
    return base + ext;
}

void load(benchmark::State& state, const char* ext, bool prepare) {
    const std::string path = modelFile(ext);
    state.counters["bytes"] = static_cast<double>(qv::fileSize(path));
    for (auto _ : state) {
        qv::macroClass set;
        set.readMacro(path, prepare);
        benchmark::DoNotOptimize(set.model.data());
    }
}

void BM_LoadBinary(benchmark::State& state) { load(state, ".macb", true); }
void BM_LoadText(benchmark::State& state) { load(state, ".mac", true); }
void BM_LoadBinaryRaw(benchmark::State& state) { load(state, ".macb", false); }
void BM_LoadTextRaw(benchmark::State& state) { load(state, ".mac", false); }

}  // namespace

BENCHMARK(BM_LoadBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadBinaryRaw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadTextRaw)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!base.empty())
        for (const char* ext : {".mac", ".macb"}) std::remove((base + ext).c_str());
    return 0;
}
