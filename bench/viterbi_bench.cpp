// Search time of the Viterbi search per second of audio, on a synthetic
// sausage network (silence, then positions of several alternative two-phone
// syllables with an optional short pause after each, then silence) and a
// random score table that favours one path. Each case runs with the default
// prefix copies of candidate records and with whole-record copies, to show
// what copying only the used history saves.
//
//   viterbi_bench --benchmark_counter_tabular=true
//
// "audio_x" is seconds of audio searched per second of wall time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/models/viterbi.h"
#include "engine/utility.h"

namespace {

constexpr int kModels = 60;  // 0 sil, 1 sp, 2..21 initials, 22..59 finals

struct synthTask {
    std::vector<qv::netNode> nodes;
    std::vector<qv::pronEntry> dict;
    qv::scoreTable table;
    int32_t frames;
    synthTask(int32_t f) : table(f, kModels), frames(f) {}
};

uint32_t nextRand(uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
}

int32_t addNode(synthTask& task, int32_t sylIndex) {
    qv::netNode n;
    n.sylIndex = sylIndex;
    n.word = sylIndex < 0 ? "!NULL" : task.dict[sylIndex].name;
    task.nodes.push_back(n);
    return static_cast<int32_t>(task.nodes.size()) - 1;
}

void collect(const std::vector<qv::netNode>& nodes, int32_t i, std::vector<int32_t>& out) {
    for (int32_t s : nodes[i].next) {
        if (nodes[s].sylIndex >= 0)
            out.push_back(s);
        else
            collect(nodes, s, out);
    }
}

// `positions` syllables of `alternatives` candidates each, 20 frames per
// syllable plus 30 frames of silence at each end.
synthTask* makeTask(int32_t positions, int32_t alternatives) {
    const int32_t frames = 60 + 20 * positions;
    synthTask* task = new synthTask(frames);
    uint32_t seed = 12345;
    task->dict.push_back({"sil", {0}});
    task->dict.push_back({"sp", {1}});
    std::vector<std::vector<int32_t>> alt(positions);
    for (int32_t p = 0; p < positions; ++p)
        for (int32_t k = 0; k < alternatives; ++k) {
            char name[16];
            snprintf(name, sizeof name, "s%03d%c", p, 'a' + k);
            int32_t ini = 2 + static_cast<int32_t>(nextRand(seed) % 20);
            int32_t fin = 22 + static_cast<int32_t>(nextRand(seed) % 38);
            alt[p].push_back(static_cast<int32_t>(task->dict.size()));
            task->dict.push_back({name, {ini, fin}});
        }

    std::vector<qv::netNode>& n = task->nodes;
    const int32_t start = addNode(*task, -1), end = addNode(*task, -1);
    int32_t sil1 = addNode(*task, 0);
    n[start].next.push_back(sil1);
    int32_t junction = addNode(*task, -1);
    n[sil1].next.push_back(junction);
    for (int32_t p = 0; p < positions; ++p) {
        int32_t merge = addNode(*task, -1);
        for (int32_t d : alt[p]) {
            int32_t s = addNode(*task, d);
            n[junction].next.push_back(s);
            n[s].next.push_back(merge);
        }
        int32_t nextJunction = addNode(*task, -1);
        int32_t sp = addNode(*task, 1);
        n[merge].next.push_back(nextJunction);
        n[merge].next.push_back(sp);
        n[sp].next.push_back(nextJunction);
        junction = nextJunction;
    }
    int32_t sil2 = addNode(*task, 0);
    n[junction].next.push_back(sil2);
    n[sil2].next.push_back(end);
    for (size_t i = 0; i < n.size(); ++i) collect(n, static_cast<int32_t>(i), n[i].nextEmitting);

    // Noise everywhere; the first alternative of each position scores better
    // over its 20 frames (8 for the initial, 12 for the final).
    for (int32_t t = 0; t < frames; ++t)
        for (int32_t m = 0; m < kModels; ++m)
            for (int32_t s = 0; s < 3; ++s)
                task->table.set(t, m, s, -10.0f + 0.001f * static_cast<float>(nextRand(seed) % 8000));
    for (int32_t t = 0; t < frames; ++t) {
        int32_t model, state;
        if (t < 30 || t >= frames - 30) {
            model = 0;
            state = (t < 30 ? t : t - (frames - 30)) / 10;
        } else {
            const int32_t p = (t - 30) / 20, k = (t - 30) % 20;
            const std::vector<int32_t>& models = task->dict[alt[p][0]].modelIndex;
            model = k < 8 ? models[0] : models[1];
            state = k < 8 ? k * 3 / 8 : (k - 8) / 4;
        }
        task->table.set(t, model, state, -1.0f);
    }
    task->table.setModel(1, 3, -0.3f, -1.4f);  // sp: one emitting state
    return task;
}

synthTask& cachedTask(int32_t positions, int32_t alternatives) {
    static std::vector<std::pair<std::pair<int32_t, int32_t>, synthTask*>> tasks;
    for (auto& t : tasks)
        if (t.first == std::make_pair(positions, alternatives)) return *t.second;
    tasks.push_back({{positions, alternatives}, makeTask(positions, alternatives)});
    return *tasks.back().second;
}

// Arguments: syllable positions, alternatives per position, candidateNum,
// whole-record copy (0/1). The arena is 5 x candidateNum as in the pipeline.
void BM_ViterbiSearch(benchmark::State& state) {
    synthTask& task = cachedTask(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    const int32_t candidateNum = static_cast<int32_t>(state.range(2));
    qv::viterbiClass vit(5 * candidateNum, kModels);
    vit.setWholeRecordCopy(state.range(3) != 0);
    qv::setConsoleSink([](const std::string&) {});
    int32_t sylNum = 0;
    for (auto _ : state) {
        int32_t n = vit.viterbiSearch(task.nodes, task.dict, task.table, task.frames, candidateNum, 300.0f, 1);
        int32_t best = qv::viterbiClass::findBestPath(vit.candidate.data(), n, task.nodes, task.dict);
        sylNum = vit.candidate[best < 0 ? 0 : best]->sylNum;
        benchmark::DoNotOptimize(sylNum);
    }
    qv::setConsoleSink(nullptr);
    state.counters["audio_x"] =
        benchmark::Counter(task.frames / 100.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["best_syl"] = sylNum;
}
BENCHMARK(BM_ViterbiSearch)
    ->ArgNames({"pos", "alt", "cand", "whole"})
    ->Args({15, 4, 100, 0})
    ->Args({15, 4, 100, 1})
    ->Args({50, 4, 100, 0})
    ->Args({50, 4, 100, 1})
    ->Args({50, 4, 400, 0})
    ->Args({50, 4, 400, 1})
    ->Unit(benchmark::kMillisecond);

// One record copy with a history of `syl` node records and 3 x syl phone
// records, prefix versus whole.
void BM_CopyCandidate(benchmark::State& state) {
    qv::viterbiClass vit(2, 0);
    vit.setWholeRecordCopy(state.range(1) != 0);
    qv::candidateRecord& src = vit.arena[0];
    src.sylNum = src.phoneNum = 0;
    for (int64_t k = 0; k < state.range(0); ++k) {
        qv::viterbiClass::appendSylRecord(src, 2, 1, 20 * static_cast<int32_t>(k), -1.0f);
        for (int j = 0; j < 3; ++j) qv::viterbiClass::appendPhoneRecord(src, j, 20 * static_cast<int32_t>(k) + j, -1.0f);
    }
    for (auto _ : state) {
        vit.copyCandidate(vit.arena[1], src);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyCandidate)->ArgNames({"syl", "whole"})->Args({20, 0})->Args({20, 1})->Args({200, 0})->Args({200, 1});

}  // namespace

BENCHMARK_MAIN();
