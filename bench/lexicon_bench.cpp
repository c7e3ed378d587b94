// Network building from text lines (parse, dictionary lookups, word-successor
// lists) and netb reading, on synthetic sausage-shaped nets: per column 4
// alternative syllables, then a null node, so every list passes one null node
// (netb cannot hold null nodes: there every syllable links to the next column).
// Also a long chain of null nodes, whose lists are built in one pass.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/lexicon/dict.h"
#include "engine/lexicon/net.h"
#include "engine/utility.h"

namespace {

qv::dictClass makeDict() {
    qv::dictClass d;
    for (int i = 0; i < 400; ++i) {
        char name[16];
        snprintf(name, sizeof(name), "s%03d", i);
        d.m_pronDict.push_back({name, {2 * i, 2 * i + 1}});
    }
    return d;
}

// columns x (4 syllables + 1 null hub); node 0 start, node 1 end.
std::vector<std::string> sausageLines(int columns, bool nullHubs = true) {
    std::vector<std::string> words{"!NULL", "!NULL"};
    std::vector<std::pair<int, int>> links;
    std::vector<int> prev{0};
    for (int c = 0; c < columns; ++c) {
        std::vector<int> column;
        for (int k = 0; k < 4; ++k) {
            char name[16];
            snprintf(name, sizeof(name), "s%03d", (c * 7 + k * 13) % 400);
            int v = static_cast<int>(words.size());
            words.push_back(name);
            for (int p : prev) links.push_back({p, v});
            column.push_back(v);
        }
        if (nullHubs) {
            int hub = static_cast<int>(words.size());
            words.push_back("!NULL");
            for (int v : column) links.push_back({v, hub});
            prev = {hub};
        } else {
            prev = column;
        }
    }
    for (int p : prev) links.push_back({p, 1});
    std::vector<std::string> lines{"VERSION=1.0", qv::strFormat("N=%d\tL=%d", static_cast<int>(words.size()),
                                                                static_cast<int>(links.size()))};
    for (size_t i = 0; i < words.size(); ++i) lines.push_back(qv::strFormat("I=%d\tW=%s", static_cast<int>(i), words[i].c_str()));
    for (size_t j = 0; j < links.size(); ++j)
        lines.push_back(qv::strFormat("J=%d\tS=%d\tE=%d", static_cast<int>(j), links[j].first, links[j].second));
    return lines;
}

void BM_BuildFromTxt(benchmark::State& state) {
    qv::setConsoleSink([](const std::string&) {});
    qv::dictClass dict = makeDict();
    std::vector<std::string> lines = sausageLines(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        qv::netClass net;
        net.buildFromTxt(lines, dict);
        benchmark::DoNotOptimize(net.node.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 5);
    qv::setConsoleSink(nullptr);
}
BENCHMARK(BM_BuildFromTxt)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ReadNetb(benchmark::State& state) {
    qv::setConsoleSink([](const std::string&) {});
    qv::dictClass dict = makeDict();
    qv::netClass src;
    src.buildFromTxt(sausageLines(static_cast<int>(state.range(0)), false), dict);
    const std::string path = qv::tempDir() + "/lexicon_bench.netb";
    src.writeNetbFile(path);
    for (auto _ : state) {
        qv::netClass net;
        net.readNetbFile(path, dict);
        benchmark::DoNotOptimize(net.node.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 4);
    remove(path.c_str());
    qv::setConsoleSink(nullptr);
}
BENCHMARK(BM_ReadNetb)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_NullChain(benchmark::State& state) {
    qv::setConsoleSink([](const std::string&) {});
    qv::dictClass dict = makeDict();
    const int n = static_cast<int>(state.range(0));
    std::vector<std::string> lines{"VERSION=1.0", qv::strFormat("N=%d\tL=%d", n + 3, n + 2), "I=0\tW=!NULL",
                                   "I=1\tW=!NULL"};
    for (int i = 0; i < n; ++i) lines.push_back(qv::strFormat("I=%d\tW=!NULL", 2 + i));
    lines.push_back(qv::strFormat("I=%d\tW=s001", n + 2));
    for (int i = 0; i <= n; ++i) lines.push_back(qv::strFormat("J=%d\tS=%d\tE=%d", i, i == 0 ? 0 : i + 1, i + 2));
    lines.push_back(qv::strFormat("J=%d\tS=%d\tE=1", n + 1, n + 2));
    for (auto _ : state) {
        qv::netClass net;
        net.buildFromTxt(lines, dict);
        benchmark::DoNotOptimize(net.node.data());
    }
    qv::setConsoleSink(nullptr);
}
BENCHMARK(BM_NullChain)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
