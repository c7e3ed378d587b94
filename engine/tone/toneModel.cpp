#include "toneModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "engine/frontend/lib/tonePitch.h"
#include "engine/scoring/mlf.h"
#include "engine/utility.h"

namespace qv {

static const char* kUnit = "toneModel";

namespace {

// Reads the values after a keyword; `want` of them exactly.
std::vector<float> readValues(std::istringstream& line, size_t want, const std::string& key, int lineNo,
                              const std::string& path) {
    std::vector<float> v;
    std::string tok;
    while (line >> tok) {
        char* end = nullptr;
        const double d = std::strtod(tok.c_str(), &end);
        if (end == tok.c_str() || *end != '\0' || !std::isfinite(d))
            fatalErrorF("Error: \"%s\" is not a number in %s (line %d of %s, in %s)", tok.c_str(), key.c_str(),
                        lineNo, path.c_str(), kUnit);
        v.push_back(static_cast<float>(d));
        if (v.size() > want) break;
    }
    if (v.size() != want)
        fatalErrorF("Error: %s wants %zu values, has %zu (line %d of %s, in %s)", key.c_str(), want, v.size(), lineNo,
                    path.c_str(), kUnit);
    return v;
}

}  // namespace

void toneModelClass::read(const std::string& path) {
    std::ifstream in(path);
    if (!in) fatalErrorF("Cannot open file %s (line %d of %s)", path.c_str(), __LINE__, kUnit);
    *this = toneModelClass();
    std::string raw;
    int lineNo = 0;
    bool header = false;
    int features = -1, classes = -1;
    bool seen[12] = {};
    const char* keys[12] = {"weight", "features", "hidden", "classes", "temperature", "mean",
                            "scale",  "w1",       "b1",     "w2",      "b2",          "toneModel"};
    while (std::getline(in, raw)) {
        ++lineNo;
        const size_t pct = raw.find('%');
        if (pct != std::string::npos) raw.erase(pct);
        std::istringstream line(raw);
        std::string key;
        if (!(line >> key)) continue;
        int k = 0;
        while (k < 12 && key != keys[k]) ++k;
        if (k == 12) fatalErrorF("Error: unknown entry \"%s\" (line %d of %s, in %s)", key.c_str(), lineNo, path.c_str(), kUnit);
        if (seen[k]) fatalErrorF("Error: %s given twice (line %d of %s, in %s)", key.c_str(), lineNo, path.c_str(), kUnit);
        seen[k] = true;
        if (key == "toneModel") {
            const int v = static_cast<int>(readValues(line, 1, key, lineNo, path)[0]);
            if (v != 1) fatalErrorF("Error: tone model version %d, 1 expected (line %d of %s, in %s)", v, lineNo, path.c_str(), kUnit);
            header = true;
            continue;
        }
        if (!header) fatalErrorF("Error: %s is not a tone model (line %d of %s, in %s)", path.c_str(), lineNo, path.c_str(), kUnit);
        auto needDims = [&]() {
            if (features < 0 || hidden <= 0 || classes < 0)
                fatalErrorF("Error: %s before features, hidden and classes (line %d of %s, in %s)", key.c_str(), lineNo,
                            path.c_str(), kUnit);
        };
        if (key == "weight") {
            weight = readValues(line, 1, key, lineNo, path)[0];
            if (weight < 0 || weight > 1) fatalErrorF("Error: weight %g outside 0..1 (line %d of %s, in %s)", weight, lineNo, path.c_str(), kUnit);
        } else if (key == "temperature") {
            temperature = readValues(line, 1, key, lineNo, path)[0];
            if (temperature <= 0) fatalErrorF("Error: temperature %g must be positive (line %d of %s, in %s)", temperature, lineNo, path.c_str(), kUnit);
        } else if (key == "features" || key == "hidden" || key == "classes") {
            const int v = static_cast<int>(readValues(line, 1, key, lineNo, path)[0]);
            const bool ok = key == "features" ? v == TONE_FEATURE_NUM
                          : key == "classes"  ? v == TONE_CLASS_NUM
                                              : (v >= 1 && v <= TONE_MAX_HIDDEN);
            if (!ok) fatalErrorF("Error: %s %d out of range (line %d of %s, in %s)", key.c_str(), v, lineNo, path.c_str(), kUnit);
            (key == "features" ? features : key == "classes" ? classes : hidden) = v;
        } else {
            needDims();
            const size_t F = TONE_FEATURE_NUM, H = static_cast<size_t>(hidden), C = TONE_CLASS_NUM;
            const size_t want = key == "mean" || key == "scale" ? F : key == "w1" ? H * F : key == "b1" ? H : key == "w2" ? C * H : C;
            std::vector<float> v = readValues(line, want, key, lineNo, path);
            if (key == "mean") mean = v;
            else if (key == "scale") scale = v;
            else if (key == "w1") w1 = v;
            else if (key == "b1") b1 = v;
            else if (key == "w2") w2 = v;
            else b2 = v;
        }
    }
    for (int k = 0; k < 12; ++k)
        if (!seen[k] && k != 4)  // temperature defaults to 1
            fatalErrorF("Error: %s lacks \"%s\" (line %d of %s)", path.c_str(), keys[k], __LINE__, kUnit);
    for (float s : scale)
        if (s <= 0) fatalErrorF("Error: %s has a scale that is not positive (line %d of %s)", path.c_str(), __LINE__, kUnit);
}

std::array<float, TONE_CLASS_NUM> toneModelClass::posterior(const toneFeatureVec& x) const {
    std::array<float, TONE_CLASS_NUM> p{};
    const size_t F = TONE_FEATURE_NUM, H = static_cast<size_t>(hidden);
    float z[TONE_FEATURE_NUM];
    for (size_t i = 0; i < F; ++i) z[i] = (x[i] - mean[i]) / scale[i];
    std::vector<float> h(H);
    for (size_t j = 0; j < H; ++j) {
        float a = b1[j];
        for (size_t i = 0; i < F; ++i) a += w1[j * F + i] * z[i];
        h[j] = std::tanh(a);
    }
    float mx = -1e30f;
    for (size_t c = 0; c < TONE_CLASS_NUM; ++c) {
        float a = b2[c];
        for (size_t j = 0; j < H; ++j) a += w2[c * H + j] * h[j];
        p[c] = a / temperature;
        mx = std::max(mx, p[c]);
    }
    float sum = 0;
    for (float& v : p) sum += (v = std::exp(v - mx));
    for (float& v : p) v /= sum;
    return p;
}

toneUtterance toneUtteranceOf(const int32_t* samples, int n, int fs, const std::vector<int32_t>& volume) {
    toneUtterance u;
    tonePitchTrack tr = tonePitchTracking(samples, n, tonePitchDefaults(fs));
    std::vector<float> voiced;
    u.semitone.assign(tr.f0.size(), NAN);
    for (size_t t = 0; t < tr.f0.size(); ++t)
        if (tr.f0[t] > 0) {
            u.semitone[t] = 12.0f * std::log2(tr.f0[t] / 100.0f);
            voiced.push_back(u.semitone[t]);
        }
    if (!voiced.empty()) {
        std::nth_element(voiced.begin(), voiced.begin() + static_cast<long>(voiced.size() / 2), voiced.end());
        const float median = voiced[voiced.size() / 2];
        for (float& s : u.semitone)
            if (!std::isnan(s)) s -= median;
    }
    u.logVolume.resize(volume.size());
    float top = 0;
    for (size_t t = 0; t < volume.size(); ++t) {
        u.logVolume[t] = std::log1p(static_cast<float>(std::max<int32_t>(volume[t], 0)));
        top = std::max(top, u.logVolume[t]);
    }
    for (float& v : u.logVolume) v -= top;
    return u;
}

bool toneFeaturesOf(const toneUtterance& u, int sylFirst, int sylLast, int finalFirst, int finalLast,
                    toneFeatureVec& out) {
    out.fill(0.0f);
    const int T = static_cast<int>(u.semitone.size());
    auto voicedAt = [&](int t) { return t >= 0 && t < T && !std::isnan(u.semitone[static_cast<size_t>(t)]); };
    auto voicedIn = [&](int a, int b) {
        int k = 0;
        for (int t = a; t <= b; ++t) k += voicedAt(t);
        return k;
    };
    int a = std::max(finalFirst, 0), b = std::min(finalLast, T - 1);
    if (b - a < 1 || voicedIn(a, b) < 3) {
        a = std::max(sylFirst, 0);
        b = std::min(sylLast, T - 1);
    }
    if (b - a < 1 || voicedIn(a, b) < 3) return false;
    const int finalLen = b - a + 1;
    const int voicedInFinal = voicedIn(a, b);
    for (int k = 0; k < kToneEdge && voicedAt(a - 1); ++k) --a;
    for (int k = 0; k < kToneEdge && voicedAt(b + 1); ++k) ++b;

    // Median of three over the voiced values, then gaps bridged linearly
    // (held flat before the first and after the last voiced frame).
    const int len = b - a + 1;
    std::vector<float> raw(static_cast<size_t>(len), NAN), c(static_cast<size_t>(len));
    for (int t = a; t <= b; ++t) raw[static_cast<size_t>(t - a)] = u.semitone[static_cast<size_t>(t)];
    for (int i = 0; i < len; ++i) {
        float w[3];
        int k = 0;
        for (int j = i - 1; j <= i + 1; ++j)
            if (j >= 0 && j < len && !std::isnan(raw[static_cast<size_t>(j)])) w[k++] = raw[static_cast<size_t>(j)];
        if (std::isnan(raw[static_cast<size_t>(i)])) {
            c[static_cast<size_t>(i)] = NAN;
        } else {
            // Median of the (up to three) voiced values around frame i.
            float med = w[0];
            if (k == 2) med = 0.5f * (w[0] + w[1]);
            if (k == 3) med = std::max(std::min(w[0], w[1]), std::min(std::max(w[0], w[1]), w[2]));
            c[static_cast<size_t>(i)] = med;
        }
    }
    int prev = -1;
    for (int i = 0; i < len; ++i) {
        if (std::isnan(c[static_cast<size_t>(i)])) continue;
        if (prev < 0) {
            for (int j = 0; j < i; ++j) c[static_cast<size_t>(j)] = c[static_cast<size_t>(i)];
        } else {
            for (int j = prev + 1; j < i; ++j)
                c[static_cast<size_t>(j)] = c[static_cast<size_t>(prev)] +
                    (c[static_cast<size_t>(i)] - c[static_cast<size_t>(prev)]) * (j - prev) / float(i - prev);
        }
        prev = i;
    }
    for (int j = prev + 1; j < len; ++j) c[static_cast<size_t>(j)] = c[static_cast<size_t>(prev)];

    for (int p = 0; p < 5; ++p) {
        const int s = p * len / 5, e = std::max(s + 1, (p + 1) * len / 5);
        float sum = 0;
        for (int i = s; i < e && i < len; ++i) sum += c[static_cast<size_t>(i)];
        out[static_cast<size_t>(p)] = sum / static_cast<float>(std::min(e, len) - s);
    }
    // Least squares on x in -1..1: slope and curvature.
    double sx = 0, sy = 0, sxx = 0, sxy = 0, sx2y = 0, sx3 = 0, sx4 = 0;
    for (int i = 0; i < len; ++i) {
        const double x = len > 1 ? 2.0 * i / (len - 1) - 1.0 : 0.0, y = c[static_cast<size_t>(i)];
        sx += x; sy += y; sxx += x * x; sxy += x * y; sx2y += x * x * y; sx3 += x * x * x; sx4 += x * x * x * x;
    }
    const double n = len;
    const double slopeX = (n * sxy - sx * sy) / std::max(1e-9, n * sxx - sx * sx);  // per unit of x
    out[5] = static_cast<float>(slopeX * 2.0 / std::max(1, len - 1) * 10.0);        // per 100 ms
    // Curvature: fit y = q (x^2 - mean x^2) + r x + s, orthogonal enough on a symmetric grid.
    const double mx2 = sxx / n;
    const double varx2 = sx4 / n - mx2 * mx2;
    out[6] = static_cast<float>(varx2 > 1e-9 ? (sx2y / n - mx2 * sy / n) / varx2 : 0.0);
    (void)sx3;
    int lo = 0, hiI = 0;
    for (int i = 1; i < len; ++i) {
        if (c[static_cast<size_t>(i)] < c[static_cast<size_t>(lo)]) lo = i;
        if (c[static_cast<size_t>(i)] > c[static_cast<size_t>(hiI)]) hiI = i;
    }
    out[7] = len > 1 ? static_cast<float>(lo) / (len - 1) : 0.5f;
    out[8] = c[static_cast<size_t>(hiI)] - c[static_cast<size_t>(lo)];
    out[9] = static_cast<float>(voicedInFinal) / finalLen;
    out[10] = std::log(static_cast<float>(finalLen));
    float vol = 0;
    int vn = 0;
    for (int t = std::max(finalFirst, 0); t <= finalLast && t < static_cast<int>(u.logVolume.size()); ++t, ++vn)
        vol += u.logVolume[static_cast<size_t>(t)];
    out[11] = vn ? vol / vn : -10.0f;
    return true;
}

int toneOfSyllable(const std::string& name) {
    if (name.empty()) return 0;
    const char c = name.back();
    return c >= '1' && c <= '5' ? c - '0' : 0;
}

void toneScoreNodes(mlfClass& result, int32_t firstNode, int32_t lastNode, const toneUtterance& u,
                    const toneModelClass& model) {
    const int32_t last = std::min<int32_t>(lastNode, static_cast<int32_t>(result.nodeList.size()) - 1);
    std::vector<int32_t> idx;
    std::vector<float> level;
    for (int32_t i = std::max(firstNode, 0); i <= last; ++i) {
        mlfNode& node = result.nodeList[static_cast<size_t>(i)];
        node.toneScore = -1;
        node.toneHeard = 0;
        node.toneHeardPosterior = 0;
        node.toneExpected = isScoredNodeName(node.name) ? toneOfSyllable(node.name) : 0;
        node.tonePosterior.clear();
        node.toneFeatures.clear();
        if (node.toneExpected == 0 || node.phoneList.empty()) continue;
        const mlfPhone& fin = node.phoneList.back();
        toneFeatureVec f;
        if (!toneFeaturesOf(u, node.startFrame, node.endFrame, fin.startFrame, fin.endFrame, f)) continue;
        node.toneFeatures.assign(f.begin(), f.end());
        idx.push_back(i);
        level.push_back((f[0] + f[1] + f[2] + f[3] + f[4]) / 5.0f);
    }
    for (size_t k = 0; k < idx.size(); ++k) {
        mlfNode& node = result.nodeList[static_cast<size_t>(idx[k])];
        float around = 0;
        int m = 0;
        if (k > 0) around += level[k - 1], ++m;
        if (k + 1 < idx.size()) around += level[k + 1], ++m;
        node.toneFeatures[12] = m ? level[k] - around / m : 0.0f;
        toneFeatureVec f;
        std::copy(node.toneFeatures.begin(), node.toneFeatures.end(), f.begin());
        const std::array<float, TONE_CLASS_NUM> p = model.posterior(f);
        node.tonePosterior.assign(p.begin(), p.end());
        const int heard = static_cast<int>(std::max_element(p.begin(), p.end()) - p.begin());
        node.toneHeard = heard + 1;
        node.toneHeardPosterior = p[static_cast<size_t>(heard)];
        // Relative to the tone heard: a syllable whose expected tone is the
        // most likely one scores 100, whatever the spread of the others.
        node.toneScore = 100.0f * p[static_cast<size_t>(node.toneExpected - 1)] / node.toneHeardPosterior;
        for (float& s : node.scores) s = (1.0f - model.weight) * s + model.weight * node.toneScore;
        node.score = node.scores[1];
    }
}

void writeToneFile(const mlfClass& result, const std::string& path) {
    FILE* fp = openOrDie(path, "w");
    for (const mlfNode& node : result.nodeList) {
        if (!isScoredNodeName(node.name)) continue;
        fprintf(fp, "%s\t%d\t%d\t%.4f\t%.2f", node.name.c_str(), node.toneExpected, node.toneHeard,
                node.toneHeardPosterior, node.toneScore);
        for (size_t c = 0; c < TONE_CLASS_NUM; ++c)
            fprintf(fp, "\t%.4f", c < node.tonePosterior.size() ? node.tonePosterior[c] : 0.0f);
        for (size_t i = 0; i < TONE_FEATURE_NUM; ++i)
            fprintf(fp, "\t%.4f", i < node.toneFeatures.size() ? node.toneFeatures[i] : 0.0f);
        fprintf(fp, "\n");
    }
    fclose(fp);
}

}  // namespace qv
