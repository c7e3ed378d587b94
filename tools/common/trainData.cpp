#include "tools/common/trainData.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include "engine/frontend/audioFile.h"
#include "engine/frontend/feature.h"
#include "engine/recogTask.h"
#include "engine/utility.h"

namespace qv {

namespace {

const char* const kUnit = "trainData";
// Cache file: magic, then int64 audio size, int64 audio mtime, int32
// frameNum, int32 dim, then frameNum x dim float32 (host byte order: the
// cache never leaves the machine that wrote it).
const char kCacheMagic[8] = {'Q', 'V', 'F', 'E', 'A', 'C', '0', '1'};

uint64_t fnv1a(const void* data, size_t n, uint64_t h = 1469598103934665603ULL) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 1099511628211ULL;
    }
    return h;
}

bool statFile(const std::string& path, int64_t& size, int64_t& mtime) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    size = static_cast<int64_t>(st.st_size);
    mtime = static_cast<int64_t>(st.st_mtime);
    return true;
}

std::string cachePath(const std::string& dir, const std::string& audio) {
    return strFormat("%s/%016llx.fea", dir.c_str(),
                     static_cast<unsigned long long>(fnv1a(audio.data(), audio.size())));
}

bool readCache(const std::string& path, int64_t size, int64_t mtime, std::vector<float>& fea, int32_t& frameNum,
               int32_t& dim) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return false;
    char magic[8];
    int64_t s = 0, m = 0;
    int32_t n = 0, d = 0;
    bool ok = fread(magic, 1, 8, fp) == 8 && memcmp(magic, kCacheMagic, 8) == 0 && fread(&s, 8, 1, fp) == 1 &&
              fread(&m, 8, 1, fp) == 1 && fread(&n, 4, 1, fp) == 1 && fread(&d, 4, 1, fp) == 1 && s == size &&
              m == mtime && n >= 0 && n <= MAX_FEA_FRAME_NUM * 10 && d > 0 && d <= 1000;
    if (ok) {
        fea.resize(static_cast<size_t>(n) * d);
        ok = fread(fea.data(), sizeof(float), fea.size(), fp) == fea.size();
    }
    fclose(fp);
    if (ok) {
        frameNum = n;
        dim = d;
    }
    return ok;
}

void writeCache(const std::string& path, int64_t size, int64_t mtime, const std::vector<float>& fea,
                int32_t frameNum, int32_t dim) {
    const std::string tmp = path + ".tmp";
    FILE* fp = fopen(tmp.c_str(), "wb");
    if (!fp) return;  // a cache that cannot be written only costs time
    bool ok = fwrite(kCacheMagic, 1, 8, fp) == 8 && fwrite(&size, 8, 1, fp) == 1 && fwrite(&mtime, 8, 1, fp) == 1 &&
              fwrite(&frameNum, 4, 1, fp) == 1 && fwrite(&dim, 4, 1, fp) == 1 &&
              fwrite(fea.data(), sizeof(float), fea.size(), fp) == fea.size();
    ok = (fclose(fp) == 0) && ok;
    if (ok) rename(tmp.c_str(), path.c_str());
    else remove(tmp.c_str());
}

}  // namespace

std::vector<trainItem> readTrainList(const std::string& path) {
    std::vector<std::string> lines;
    readLines(path, lines);
    std::vector<trainItem> items;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty() || line[0] == '#') continue;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            fatalErrorF("Line %d of %s has no tab between audio file and units (line %d of %s)",
                        static_cast<int>(i + 1), path.c_str(), __LINE__, kUnit);
        trainItem it;
        it.audio = line.substr(0, tab);
        std::vector<std::string> words;
        splitString(line.substr(tab + 1), ' ', words);
        for (const std::string& w : words) {
            const std::string u = trim(w);
            if (!u.empty()) it.units.push_back(u);
        }
        items.push_back(it);
    }
    return items;
}

std::vector<std::string> dictModelNames(const std::string& pamPath) {
    std::vector<std::string> lines;
    readLines(pamPath, lines, '%');
    std::vector<std::string> names;
    for (const std::string& raw : lines) {
        std::string line = replaceAll(raw, "\t", " ");
        std::vector<std::string> tok;
        splitString(trim(line), ' ', tok);
        for (size_t i = 1; i < tok.size(); ++i)
            if (!tok[i].empty()) names.push_back(tok[i]);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

void computeTrainFeatures(const std::string& audio, const std::string& cfgPath, std::vector<float>& fea,
                          int32_t& frameNum, int32_t& dim) {
    recogParam prm;
    prm.outputDir[0] = '\0';
    prm.useWaveReject = 0;
    prm.useSpecSubtraction = 0;
    waveSignal wave = readAudioFile(audio);
    prepareWave(wave, prm);
    CFeaBuf buf;
    int n = 0, d = 0;
    buf.compute(wave.signal.data(), wave.fs, wave.nbits, wave.sampleNum, cfgPath, n, d);
    fea.assign(buf.data().begin(), buf.data().begin() + static_cast<size_t>(std::max(n, 0)) * d);
    frameNum = std::max(n, 0);
    dim = d;
}

std::string configTag(const std::string& cfgPath) {
    std::vector<std::string> lines;
    readLines(cfgPath, lines);
    uint64_t h = 1469598103934665603ULL;
    for (const std::string& l : lines) {
        h = fnv1a(l.data(), l.size(), h);
        h = fnv1a("\n", 1, h);
    }
    return strFormat("%016llx", static_cast<unsigned long long>(h));
}

void loadTrainFeatures(const std::vector<trainItem>& items, const std::string& cfgPath, const std::string& cacheDir,
                       int threads, std::vector<std::vector<float>>& fea, std::vector<int32_t>& frameNum,
                       int32_t& dim, std::vector<std::string>& failed) {
    const size_t n = items.size();
    fea.assign(n, std::vector<float>());
    frameNum.assign(n, 0);
    std::vector<int32_t> dims(n, 0);
    std::vector<std::string> errors(n);
    threads = std::max(1, threads);
    auto work = [&](int k) {
        for (size_t i = k; i < n; i += threads) {
            const std::string& audio = items[i].audio;
            int64_t size = 0, mtime = 0;
            const bool haveStat = statFile(audio, size, mtime);
            const std::string cp = cacheDir.empty() ? std::string() : cachePath(cacheDir, audio);
            if (haveStat && !cp.empty() && readCache(cp, size, mtime, fea[i], frameNum[i], dims[i])) continue;
            try {
                computeTrainFeatures(audio, cfgPath, fea[i], frameNum[i], dims[i]);
                if (haveStat && !cp.empty()) writeCache(cp, size, mtime, fea[i], frameNum[i], dims[i]);
            } catch (const std::exception& e) {
                errors[i] = e.what();
                fea[i].clear();
                frameNum[i] = 0;
            }
        }
    };
    std::vector<std::thread> pool;
    for (int k = 1; k < threads; ++k) pool.emplace_back(work, k);
    work(0);
    for (std::thread& t : pool) t.join();
    dim = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!errors[i].empty()) {
            failed.push_back(items[i].audio + ": " + errors[i]);
            continue;
        }
        if (frameNum[i] > 0 && dim == 0) dim = dims[i];
        if (frameNum[i] > 0 && dims[i] != dim)
            fatalErrorF("%s has %d values per frame, others %d (line %d of %s)", items[i].audio.c_str(), dims[i], dim,
                        __LINE__, kUnit);
    }
}

void silenceMarks(const float* fea, int32_t frameNum, int32_t dim, int32_t energyIndex, int32_t& lead,
                  int32_t& trail, double share, int minRun, int margin) {
    lead = trail = 0;
    if (fea == nullptr || frameNum < 2 * minRun || energyIndex < 0 || energyIndex >= dim) return;
    std::vector<float> e(frameNum);
    for (int32_t t = 0; t < frameNum; ++t) e[t] = fea[static_cast<size_t>(t) * dim + energyIndex];
    std::vector<float> sorted(e);
    std::nth_element(sorted.begin(), sorted.begin() + frameNum / 10, sorted.end());
    const float floor = sorted[frameNum / 10];
    const float peak = *std::max_element(e.begin(), e.end());
    if (peak <= floor) return;
    const float thr = static_cast<float>(floor + share * (peak - floor));
    int32_t first = -1, last = -1, run = 0;
    for (int32_t t = 0; t < frameNum; ++t) {
        run = e[t] > thr ? run + 1 : 0;
        if (run >= minRun) {
            if (first < 0) first = t - minRun + 1;
            last = t;
        }
    }
    if (first < 0) return;
    lead = std::max(0, first - margin);
    trail = std::max(0, frameNum - 1 - last - margin);
}

bool itemModels(const trainItem& item, const dictClass& dict, const hmmTrainer& trainer, trainUtterance& u,
                std::string& missing) {
    u.models.clear();
    u.spAfter.clear();
    const int32_t sil = trainer.modelIndex("sil");
    u.models.push_back(sil);
    u.spAfter.push_back(0);
    const macroClass& set = trainer.set();
    for (size_t k = 0; k < item.units.size(); ++k) {
        const int32_t e = dict.m_pronDict.empty()
                              ? -1
                              : dict.pronDictSearch(item.units[k], 0, static_cast<int32_t>(dict.m_pronDict.size()) - 1);
        if (e < 0) {
            missing = item.units[k];
            return false;
        }
        for (int32_t m : dict.m_pronDict[e].modelIndex) {
            // -1: the set lacks the model (the engine's lookup substitutes
            // only context-dependent names); such an item is not trainable.
            if (m < 0 || m >= set.modelNum) {
                missing = item.units[k];
                return false;
            }
            u.models.push_back(m);
            u.spAfter.push_back(0);
        }
        if (k + 1 < item.units.size()) u.spAfter.back() = 1;
    }
    u.models.push_back(sil);
    u.spAfter.push_back(0);
    u.name = item.audio;
    return true;
}

toneEvalResult evalTones(const hmmTrainer& trainer, const dictClass& dict, const std::vector<trainItem>& items,
                         const std::vector<std::vector<float>>& fea, const std::vector<int32_t>& frameNum,
                         int threads, bool syllableTest) {
    std::vector<std::string> units;
    for (const pronEntry& e : dict.m_pronDict) units.push_back(e.name);
    auto toneOf = [](const std::string& u) { return u.empty() ? -1 : u.back() - '0'; };
    threads = std::max(1, threads);
    std::vector<toneEvalResult> part(threads);
    auto work = [&](int k) {
        std::vector<double> gamma;
        std::vector<int32_t> cm;
        std::vector<int> cs;
        // Log-likelihood of item i read as `unit`; LOG_ZERO when not alignable.
        auto score = [&](size_t i, const std::string& unit) {
            trainItem cand;
            cand.units = {unit};
            trainUtterance u;
            std::string missing;
            if (!itemModels(cand, dict, trainer, u, missing)) return static_cast<double>(LOG_ZERO);
            u.fea = fea[i].data();
            u.frameNum = frameNum[i];
            return trainer.forwardBackward(u, gamma, cm, cs);
        };
        for (size_t i = k; i < items.size(); i += threads) {
            const trainItem& it = items[i];
            if (it.units.size() != 1 || frameNum[i] <= 0) continue;
            const std::string& unit = it.units[0];
            const int tone = toneOf(unit);
            if (tone < 1 || tone > 5) continue;
            const std::string base = unit.substr(0, unit.size() - 1);
            const double own = score(i, unit);
            if (own <= LOG_ZERO) continue;
            double best = own;
            int bestTone = tone;
            int rivals = 0;
            for (int t = 1; t <= 5; ++t) {
                const std::string rival = base + static_cast<char>('0' + t);
                if (t == tone || !std::binary_search(units.begin(), units.end(), rival)) continue;
                const double P = score(i, rival);
                rivals++;
                if (P > best) {
                    best = P;
                    bestTone = t;
                }
            }
            if (rivals > 0) {
                part[k].tested++;
                if (bestTone == tone) part[k].correct++;
                part[k].confusion[tone][bestTone]++;
            }
            if (!syllableTest) continue;
            bool won = true;
            for (const std::string& rival : units) {
                if (rival == unit || toneOf(rival) != tone) continue;
                if (score(i, rival) > own) {
                    won = false;
                    break;
                }
            }
            part[k].sylTested++;
            if (won) part[k].sylCorrect++;
        }
    };
    std::vector<std::thread> pool;
    for (int k = 1; k < threads; ++k) pool.emplace_back(work, k);
    work(0);
    for (std::thread& t : pool) t.join();
    toneEvalResult r;
    for (const toneEvalResult& p : part) {
        r.tested += p.tested;
        r.correct += p.correct;
        r.sylTested += p.sylTested;
        r.sylCorrect += p.sylCorrect;
        for (int a = 0; a < 6; ++a)
            for (int b = 0; b < 6; ++b) r.confusion[a][b] += p.confusion[a][b];
    }
    return r;
}

}  // namespace qv
