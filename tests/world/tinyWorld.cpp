#include "tinyWorld.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>

#include "capture/wave.h"
#include "engine/frontend/feature.h"
#include "engine/models/macro.h"
#include "engine/utility.h"

namespace qvworld {

const char* const kOne = "\xA4\x40";
const char* const kTwo = "\xA4\x47";
const char* const kThree = "\xA4\x54";

namespace {

constexpr int kFs = 16000;

// Two partials per phone, far enough apart for the cepstra to tell them apart.
const std::map<std::string, std::pair<double, double>> kPartials = {
    {"b+a", {200, 400}},   {"a1", {800, 1200}}, {"d+i", {3000, 3500}},
    {"i2", {1500, 1700}},  {"g+u", {5000, 5500}}, {"u3", {550, 2700}},
};

const char* const kFeatureConfig =
    "SOURCEKIND = WAVEFORM\nSOURCEFORMAT = WAV\nSOURCERATE = 625.0\nTARGETKIND = MFCC_E_D_A\n"
    "TARGETRATE = 100000.0\nWINDOWSIZE = 200000.0\nUSEHAMMING = T\nPREEMCOEF = 0.975\nNUMCHANS = 26\n"
    "CEPLIFTER = 22\nNUMCEPS = 12\nENORMALISE = T\nESCALE = 0.1\nSILFLOOR = 50.0\nDELTAWINDOW = 2\nACCWINDOW = 2\n";

void appendSound(std::vector<int32_t>& x, const std::string& phone, int n, std::mt19937& rng) {
    std::normal_distribution<double> noise(0.0, 1.0);
    const auto it = kPartials.find(phone);
    const size_t start = x.size();
    for (int i = 0; i < n; ++i) {
        double v = 40.0 * noise(rng);
        if (it != kPartials.end()) {
            const double t = static_cast<double>(start + static_cast<size_t>(i)) / kFs;
            v += 6000.0 * std::sin(2 * M_PI * it->second.first * t) + 4000.0 * std::sin(2 * M_PI * it->second.second * t) +
                 300.0 * noise(rng);
        }
        x.push_back(static_cast<int32_t>(std::lround(v)));
    }
}

void writeText(const std::string& path, const std::string& text) {
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) throw std::runtime_error("cannot write " + path);
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);
}

}  // namespace

std::vector<std::string> phonesOf(const std::vector<std::string>& syllables) {
    std::vector<std::string> out;
    for (const auto& s : syllables) {
        if (s == "ba1") out.insert(out.end(), {"b+a", "a1"});
        else if (s == "di2") out.insert(out.end(), {"d+i", "i2"});
        else if (s == "gu3") out.insert(out.end(), {"g+u", "u3"});
        else throw std::runtime_error("tiny world has no syllable " + s);
    }
    return out;
}

std::vector<int32_t> synthUtterance(const std::vector<std::string>& syllables, std::vector<Segment>* segments,
                                    int phoneMs, int gapMs, int silMs, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> x;
    auto add = [&](const std::string& phone, int ms) {
        const int begin = static_cast<int>(x.size());
        appendSound(x, phone, ms * kFs / 1000, rng);
        if (segments) segments->push_back({phone, begin, static_cast<int>(x.size())});
    };
    add("sil", silMs);
    for (size_t k = 0; k < syllables.size(); ++k) {
        if (k > 0 && gapMs > 0) add("sp", gapMs);
        for (const auto& p : phonesOf({syllables[k]})) add(p, phoneMs);
    }
    add("sil", silMs);
    return x;
}

void writeWav(const std::string& path, const std::vector<int32_t>& samples) {
    qv::CWave w(1, kFs, 16);
    w.setSamples(samples.data(), static_cast<int>(samples.size()));
    if (!w.save(path)) throw std::runtime_error("cannot save " + path + ": " + w.lastError());
}

std::string buildTinyWorld(const std::string& dir) {
    namespace fs = std::filesystem;
    fs::create_directories(dir + "/out");
    writeText(dir + "/mfcc.cfg", kFeatureConfig);

    // Estimate every phone's Gaussian from one training utterance in which
    // each sound stands between silences, so that energy normalisation
    // treats them as it will in the test utterances.
    std::vector<std::string> phoneNames;
    for (const auto& kv : kPartials) phoneNames.push_back(kv.first);
    std::mt19937 rng(7);
    std::vector<int32_t> x;
    std::vector<Segment> segs;
    auto add = [&](const std::string& phone, int ms) {
        const int begin = static_cast<int>(x.size());
        appendSound(x, phone, ms * kFs / 1000, rng);
        segs.push_back({phone, begin, static_cast<int>(x.size())});
    };
    add("sil", 400);
    for (const auto& p : phoneNames) {
        add(p, 600);
        add("sil", 300);
    }
    qv::CFeaBuf fea;
    int frameNum = 0, dim = 0;
    fea.compute(x.data(), kFs, 16, static_cast<int>(x.size()), dir + "/mfcc.cfg", frameNum, dim);
    if (dim != 39) throw std::runtime_error("tiny world expects 39 features");

    struct Stats {
        std::vector<double> sum, sq;
        int n = 0;
    };
    std::map<std::string, Stats> stats;
    Stats all;
    all.sum.assign(39, 0), all.sq.assign(39, 0);
    for (const auto& s : segs) {
        Stats& st = stats[s.phone];
        if (st.sum.empty()) st.sum.assign(39, 0), st.sq.assign(39, 0);
        // Every frame whose window centre lies in the segment, transitions
        // included, so that the delta streams learn how a sound begins and ends.
        const int f0 = (s.begin + 159) / 160, f1 = (s.end - 1) / 160 - 1;
        for (int f = f0; f <= f1 && f < frameNum; ++f) {
            const float* row = fea.data().data() + static_cast<size_t>(f) * dim;
            for (int d = 0; d < 39; ++d) {
                st.sum[d] += row[d], st.sq[d] += row[d] * row[d];
                if (s.phone != "sil") all.sum[d] += row[d], all.sq[d] += row[d] * row[d];
            }
            ++st.n;
            if (s.phone != "sil") ++all.n;
        }
    }

    std::vector<std::string> models = phoneNames;
    models.insert(models.end(), {"sil", "sp", "filler", "fillerC", "fillerV"});
    qv::macroClass set;
    set.streamNum = 3;
    set.streamWidth[0] = set.streamWidth[1] = set.streamWidth[2] = 13;
    set.allocModels(static_cast<int32_t>(models.size()));
    for (size_t i = 0; i < models.size(); ++i) {
        const std::string& name = models[i];
        const Stats& st = name == "sp" ? stats["sil"] : (name.rfind("filler", 0) == 0 ? all : stats[name]);
        qv::hmmModel& m = set.model[i];
        qv::macroClass::setModelName(m, name);
        m.stateNum = 5;
        for (int s = 0; s < 3; ++s) {
            for (int k = 0; k < 3; ++k) {
                m.state[s].streamWeight[k] = 1.0f;
                m.state[s].stream[k].mixtureNum = 1;
                qv::hmmMixture& g = m.state[s].stream[k].mixture[0];
                g.weight = 1.0f;
                for (int d = 0; d < 13; ++d) {
                    const int j = 13 * k + d;
                    const double mean = st.sum[j] / st.n;
                    const double var = st.sq[j] / st.n - mean * mean;
                    g.mean[d] = static_cast<float>(mean);
                    g.var[d] = static_cast<float>(std::max(var, 1e-3));
                }
                g.gconst = qv::macroClass::computeGconst(g.var, 13);
            }
        }
        m.transP[0][1] = 1.0f;
        for (int s = 1; s <= 3; ++s) {
            m.transP[s][s] = 0.7f;
            m.transP[s][s + 1] = 0.3f;
        }
    }
    set.writeMacro(dir + "/tiny.macb");

    writeText(dir + "/tiny.pam",
              "% syllable\tmodels\nba1\tb+a a1\ndi2\td+i i2\nfiller\tfiller\nfillerC\tfillerC\nfillerV\tfillerV\n"
              "gu3\tg+u u3\nsil\tsil\nsp\tsp\n");
    writeText(dir + "/pinyin.txt", "1\tba1\tBA1\tba1\n2\tdi2\tDI2\tdi2\n3\tgu3\tGU3\tgu3\n");
    writeText(dir + "/tiny.wpa", std::string("% char\trows\tpinyin\ttones\tzhuyin\n") + kOne + "\t1\tba1\t1\tBA1\n" +
                                     kTwo + "\t2\tdi2\t2\tDI2\n" + kThree + "\t3\tgu3\t3\tGU3\n");
    // Word readings of the reading step, next to the word table: none beyond
    // the characters' own.
    writeText(dir + "/chinese.words", "% word\tsyllables\n");
    writeText(dir + "/chinese.mainland.words", "% word\tsyllables\n");
    writeText(dir + "/tiny.tnm", ",##g\n\xA1\x41##g\n");
    writeText(dir + "/rank2score.prm", "0.05 0.5 0\n");
    writeText(dir + "/discount.prm", "0.5 0.9 0.9 0.9 0.95 0.9 0.8\n");
    writeText(dir + "/qiyin.txt", "ba1\n");
    writeText(dir + "/sentence.txt", std::string(kOne) + kTwo + kThree + "\n");

    const std::string prm = dir + "/tiny.prm";
    writeText(prm, "language = chinese\nfunction = assess\nmacFile = " + dir + "/tiny.macb\npinyinType = hanyu\n" +
                       "dicFile = " + dir + "/tiny.pam\nwpaFile = " + dir + "/tiny.wpa\npyTableFile = " + dir +
                       "/pinyin.txt\nqiYinFile = " + dir + "/qiyin.txt\ntnmFile = " + dir + "/tiny.tnm\n" +
                       "featureConfigFile = " + dir + "/mfcc.cfg\ntxtFile = " + dir + "/sentence.txt\n" +
                       "wavFile = " + dir + "/utt.wav\noutputDir = " + dir + "/out\n" +
                       "phoneRank2scoreParamFile = " + dir + "/rank2score.prm\n" +
                       "scoreDiscountParamFile = " + dir + "/discount.prm\n" +
                       "usePaddedHardSp = 1\nusePaddedSoftSil = 1\nuseEpd = 0\nnetType = 0\n" +
                       "maxCandidateNum = 200\nprobTh = 500\ncomparisonMode = 1\n");
    return prm;
}

}  // namespace qvworld
