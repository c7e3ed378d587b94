#include "pitch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "engine/frontend/lib/audio.h"
#include "engine/utility.h"

namespace qv {

static const char* kUnit = "pitch";

void ptParamSet(ptParam& prm, int fs, int nbits, int pfType) {
    prm = ptParam();
    prm.fs = fs;
    prm.nbits = nbits;
    prm.pfType = pfType;
    if (fs == 8000) {
        prm.frameSize = 256;
    } else if (fs == 16000) {
        prm.frameSize = 640;
    } else {
        prm.frameSize = static_cast<int32_t>(std::ceil(fs * 256.0 / 8000.0));
        if (prm.frameSize % 2) prm.frameSize += 1;
    }
    prm.overlap = fs == 16000 ? 480 : 0;
    prm.indexDiffWeight = 1;
    prm.pfWeight = 1;
    prm.dpMethod = 1;
    prm.dpPosDiffOrder = 2;
    prm.dpUseLocalOptim = 0;
    if (fs == 16000 && prm.frameSize == 640 && prm.overlap == 480) {
        prm.indexDiffWeight = 11000;
        prm.pfWeight = 1;
    } else if (fs == 16000 && prm.frameSize == 512 && prm.overlap == 0) {
        prm.indexDiffWeight = 321;
        prm.pfWeight = 32;
    } else if (fs == 8000 && prm.frameSize == 256 && prm.overlap == 0 && pfType == 1) {
        prm.indexDiffWeight = 540;
        prm.pfWeight = 40;
    } else if (fs == 8000 && prm.frameSize == 256 && prm.overlap == 0 && pfType == 2) {
        prm.indexDiffWeight = 200;
        prm.pfWeight = 1;
        prm.dpMethod = 1;
        prm.dpPosDiffOrder = 1;
        prm.dpUseLocalOptim = 1;
    }
    prm.maxAmdfLocalMinCount = static_cast<float>(fs * 20.0 / 8000.0);
    prm.minAmdfRange = static_cast<float>(std::pow(2.0, nbits) / 256.0 * 5.0);
    prm.maxPitchDiff = static_cast<float>(static_cast<double>(prm.frameSize - prm.overlap) / fs / 0.032 * 7.0);

    const float frameDuration = static_cast<float>(prm.frameSize) * 1000.0f / static_cast<float>(fs);
    if (frameDuration < 32.0f)
        consolePrintf("Warning: frameSize too small! (frameSize=%d, frameDuration=%g ms < minFrameDuration=%g ms)\n",
                      prm.frameSize, frameDuration, 32.0);
}

void ptParamPrint(const ptParam& prm) {
    std::ostringstream os;
    auto line = [&](const char* name, auto value) { os << "ptParam." << name << " = " << value << "\n"; };
    line("fs", prm.fs);
    line("nbits", prm.nbits);
    line("frameSize", prm.frameSize);
    line("overlap", prm.overlap);
    line("minPitch", prm.minPitch);
    line("maxPitch", prm.maxPitch);
    line("pitchRangeMax", prm.pitchRangeMax);
    line("ppcNum", prm.ppcNum);
    line("pfWeight", prm.pfWeight);
    line("indexDiffWeight", prm.indexDiffWeight);
    line("dpMethod", prm.dpMethod);
    line("dpPosDiffOrder", prm.dpPosDiffOrder);
    line("dpUseLocalOptim", prm.dpUseLocalOptim);
    line("maxMedianPitchDiff", prm.maxMedianPitchDiff);
    line("maxAmdfLocalMinCount", prm.maxAmdfLocalMinCount);
    line("minAmdfRange", prm.minAmdfRange);
    line("maxPitchDiff", prm.maxPitchDiff);
    line("halfOfFs", static_cast<int>(prm.halfOfFs));
    line("halfOfNbits", static_cast<int>(prm.halfOfNbits));
    line("volThresholding", prm.volThresholding);
    line("cutLeadingTrailingZero", prm.cutLeadingTrailingZero);
    consolePrint(os.str());
}

namespace {

// Summation range of the four methods for lag tau.
int sumEnd(int method, int frameLen, int lagNum, int tau, const char* who) {
    switch (method) {
        case 1:
        case 2: return frameLen - tau;
        case 3: return frameLen - lagNum;
        case 4: return lagNum;
        default: fatalErrorF("Unknown method for %s()! (line %d of file %s)", who, __LINE__, kUnit);
    }
}

}  // namespace

void frame2amdf(const int32_t* frame, int frameLen, double* out, int lagNum, int method) {
    for (int tau = 0; tau < lagNum; ++tau) {
        const int end = std::min(sumEnd(method, frameLen, lagNum, tau, "frame2amdf"), frameLen - tau);
        double sum = 0;
        for (int i = 0; i < end; ++i) sum += std::abs(static_cast<double>(frame[i]) - frame[i + tau]);
        if (method == 2 && frameLen - tau > 0) sum /= (frameLen - tau);
        out[tau] = sum;
    }
}

void frame2acf(const int32_t* frame, int frameLen, double* out, int lagNum, int method, bool removeMean) {
    if (frameLen <= 0) {
        std::fill(out, out + std::max(lagNum, 0), 0.0);
        return;
    }
    std::vector<double> x(frame, frame + frameLen);
    if (removeMean && frameLen > 0) {
        int64_t sum = 0;
        for (int i = 0; i < frameLen; ++i) sum += frame[i];
        const int64_t mean = sum / frameLen;
        for (double& v : x) v -= static_cast<double>(mean);
    }
    for (int tau = 0; tau < lagNum; ++tau) {
        const int end = std::min(sumEnd(method, frameLen, lagNum, tau, "frame2acf"), frameLen - tau);
        double sum = 0;
        for (int i = 0; i < end; ++i) sum += x[static_cast<size_t>(i)] * x[static_cast<size_t>(i + tau)];
        if (method == 2 && frameLen - tau > 0) sum /= (frameLen - tau);
        out[tau] = sum;
    }
}

namespace {

struct pitchCandidate {
    int32_t lag;
    double value;
    int32_t back;
    double score;
};

// Centre (rounded down) of every flat bottom (wantMin) or top of f.
std::vector<int> localExtrema(const std::vector<double>& f, bool wantMin) {
    std::vector<int> out;
    const int n = static_cast<int>(f.size());
    int a = 0;
    while (a < n) {
        int b = a;
        while (b + 1 < n && f[static_cast<size_t>(b + 1)] == f[static_cast<size_t>(a)]) ++b;
        auto beyond = [&](int i) { return wantMin ? f[static_cast<size_t>(i)] > f[static_cast<size_t>(a)]
                                                  : f[static_cast<size_t>(i)] < f[static_cast<size_t>(a)]; };
        const bool left = a == 0 || beyond(a - 1);
        const bool right = b == n - 1 || beyond(b + 1);
        if (left && right && !(a == 0 && b == n - 1)) out.push_back((a + b) / 2);
        a = b + 1;
    }
    return out;
}

}  // namespace

std::vector<double> pitchTracking(const int32_t* signal, int n, const ptParam& prm) {
    const int hop = prm.frameSize - prm.overlap;
    if (hop < 1) fatalErrorF("Pitch frame hop %d must be positive (line %d of file %s)", hop, __LINE__, kUnit);
    const int half = prm.frameSize / 2;
    const int frameNum = n > prm.overlap ? (n - prm.overlap) / hop : 0;
    std::vector<double> pitch(static_cast<size_t>(std::max(frameNum, 0)), 0.0);
    if (frameNum <= 0) return pitch;
    if (prm.pfType != 1 && prm.pfType != 2)
        fatalErrorF("Unknown pfType=%d (line %d of file %s)", prm.pfType, __LINE__, kUnit);

    // Working copy: without mean, peak scaled to +-2^(nbits-1). A silent
    // signal has no peak and therefore no pitch.
    std::vector<int32_t> x(signal, signal + n);
    int64_t sum = 0;
    for (int32_t v : x) sum += v;
    const int64_t mean = sum / n;
    int64_t mx = std::numeric_limits<int64_t>::min(), mn = std::numeric_limits<int64_t>::max();
    for (int32_t& v : x) {
        v = static_cast<int32_t>(v - mean);
        mx = std::max<int64_t>(mx, v);
        mn = std::min<int64_t>(mn, v);
    }
    const double peak = static_cast<double>(std::llabs(mn) >= std::llabs(mx) ? mn : mx);
    if (peak == 0) return pitch;
    const double scale = std::pow(2.0, prm.nbits) * 0.5 / std::fabs(peak);
    for (int32_t& v : x) v = roundHalfAway(v * scale);

    const int lagLo = roundHalfAway(prm.fs / semitone2freq(prm.maxPitch));
    const int lagHi = roundHalfAway(prm.fs / semitone2freq(prm.minPitch));

    std::vector<std::vector<pitchCandidate>> cands(static_cast<size_t>(frameNum));
    std::vector<int32_t> frame(static_cast<size_t>(prm.frameSize));
    std::vector<double> pf(static_cast<size_t>(half));
    for (int t = 0; t < frameNum; ++t) {
        const int32_t* src = &x[static_cast<size_t>(t) * hop];
        frame.assign(src, src + prm.frameSize);
        // The tracked method sums over the start of the frame, so put the
        // louder half first.
        int64_t fsum = 0;
        for (int32_t v : frame) fsum += v;
        const int32_t m = roundHalfAway(static_cast<double>(fsum) / prm.frameSize);
        int64_t first = 0, second = 0;
        for (int i = 0; i < prm.frameSize; ++i) (i < half ? first : second) += std::llabs(int64_t(frame[static_cast<size_t>(i)]) - m);
        if (first < second) std::reverse(frame.begin(), frame.end());

        if (prm.pfType == 1)
            frame2amdf(frame.data(), prm.frameSize, pf.data(), half, 3);
        else
            frame2acf(frame.data(), prm.frameSize, pf.data(), half, 3, true);

        std::vector<int> lags;
        if (prm.dpUseLocalOptim == 1) {
            lags = localExtrema(pf, prm.pfType == 1);
        } else {
            lags.resize(static_cast<size_t>(half));
            for (int i = 0; i < half; ++i) lags[static_cast<size_t>(i)] = i;
        }
        for (int lag : lags)
            if (lag != 0 && lag >= lagLo && lag <= lagHi)
                cands[static_cast<size_t>(t)].push_back({lag, pf[static_cast<size_t>(lag)], -1, 0.0});
    }

    std::vector<int> semitoneTenths;
    if (prm.dpMethod == 2) {
        semitoneTenths.assign(static_cast<size_t>(half), 0);
        for (int L = 1; L < half; ++L)
            semitoneTenths[static_cast<size_t>(L)] = roundHalfAway(10.0 * freq2semitone(static_cast<float>(prm.fs) / L));
    }
    auto distance = [&](int a, int b) -> double {
        if (prm.dpMethod == 2) return semitoneTenths[static_cast<size_t>(a)] - semitoneTenths[static_cast<size_t>(b)];
        return a - b;
    };
    const bool isAmdf = prm.pfType == 1;

    // Each run of frames with candidates is tracked on its own.
    int t = 0;
    while (t < frameNum) {
        if (cands[static_cast<size_t>(t)].empty()) {
            ++t;
            continue;
        }
        const int runBegin = t;
        while (t < frameNum && !cands[static_cast<size_t>(t)].empty()) ++t;
        const int runEnd = t;  // exclusive
        for (auto& c : cands[static_cast<size_t>(runBegin)]) c.score = prm.pfWeight * c.value;
        for (int f = runBegin + 1; f < runEnd; ++f) {
            const auto& prev = cands[static_cast<size_t>(f - 1)];
            for (auto& c : cands[static_cast<size_t>(f)]) {
                int bestI = -1;
                float best = 0;
                for (size_t i = 0; i < prev.size(); ++i) {
                    const double d = distance(prev[i].lag, c.lag);
                    const double pen = prm.dpPosDiffOrder == 1 ? prm.indexDiffWeight * std::fabs(d)
                                                               : prm.indexDiffWeight * d * d;
                    const float v = static_cast<float>(isAmdf ? prev[i].score + pen : prev[i].score - pen);
                    if (bestI < 0 || (isAmdf ? v < best : v > best)) {
                        best = v;
                        bestI = static_cast<int>(i);
                    }
                }
                c.back = bestI;
                c.score = prm.pfWeight * c.value + best;
            }
        }
        const auto& last = cands[static_cast<size_t>(runEnd - 1)];
        int chosen = 0;
        for (size_t j = 1; j < last.size(); ++j)
            if (isAmdf ? last[j].score < last[static_cast<size_t>(chosen)].score
                       : last[j].score > last[static_cast<size_t>(chosen)].score)
                chosen = static_cast<int>(j);
        for (int f = runEnd - 1; f >= runBegin && chosen >= 0; --f) {
            const auto& c = cands[static_cast<size_t>(f)][static_cast<size_t>(chosen)];
            pitch[static_cast<size_t>(f)] = freq2semitone(static_cast<float>(prm.fs) / c.lag);
            chosen = c.back;
        }
    }
    return pitch;
}

void pitchAndVolume(const int32_t* signal, int n, const ptParam& prm, const std::string& pitchPath,
                    const std::string& volumePath) {
    std::vector<double> pitch = pitchTracking(signal, n, prm);
    std::vector<int32_t> volume = frameVolume(signal, n, prm.frameSize, prm.overlap, 1);
    auto writeRow = [](const std::string& path, const auto& values) {
        std::ofstream out(path);
        if (!out) fatalErrorF("Error: Cannot open \"%s\"! (line %d of file %s)", path.c_str(), __LINE__, kUnit);
        for (const auto& v : values) out << v << " ";
        out << "\n";
    };
    writeRow(pitchPath, pitch);
    writeRow(volumePath, volume);
}

}  // namespace qv
