#include "tonePitch.h"

#include <algorithm>
#include <cmath>

#include "engine/utility.h"

namespace qv {

static const char* kUnit = "tonePitch";

tonePitchParam tonePitchDefaults(int fs) {
    tonePitchParam p;
    p.fs = fs;
    p.hop = std::max(1, fs / 100);
    return p;
}

namespace {

struct candidate {
    float f0;        // 0 for the unvoiced candidate
    float ncc;
    float strength;
    double score;
    int32_t back;
};

// Windowed-sinc low-pass (Hamming) followed by decimation by `factor`; the
// cut-off sits a little below the new Nyquist frequency.
std::vector<float> decimate(const std::vector<float>& x, int factor) {
    if (factor <= 1) return x;
    const int half = 8 * factor;
    const double fc = 0.45 / factor;  // cycles per input sample
    std::vector<float> h(static_cast<size_t>(2 * half + 1));
    double sum = 0;
    for (int k = -half; k <= half; ++k) {
        const double s = k == 0 ? 2 * fc : std::sin(2 * M_PI * fc * k) / (M_PI * k);
        const double w = 0.54 + 0.46 * std::cos(M_PI * k / half);
        h[static_cast<size_t>(k + half)] = static_cast<float>(s * w);
        sum += s * w;
    }
    for (float& v : h) v = static_cast<float>(v / sum);
    const int n = static_cast<int>(x.size());
    std::vector<float> y(static_cast<size_t>(n / factor));
    for (int j = 0; j < static_cast<int>(y.size()); ++j) {
        const int c = j * factor;
        double acc = 0;
        const int k0 = std::max(-half, -c), k1 = std::min(half, n - 1 - c);
        for (int k = k0; k <= k1; ++k) acc += h[static_cast<size_t>(k + half)] * x[static_cast<size_t>(c + k)];
        y[static_cast<size_t>(j)] = static_cast<float>(acc);
    }
    return y;
}

}  // namespace

tonePitchTrack tonePitchTracking(const int32_t* signal, int n, const tonePitchParam& prm) {
    if (prm.fs < 8000 || prm.hop < 1 || prm.minF0 <= 0 || prm.maxF0 <= prm.minF0 || prm.candNum < 1 ||
        prm.windowMs <= 0)
        fatalErrorF("Tone pitch parameters out of range (fs %d, hop %d, f0 %g..%g Hz) (line %d of %s)", prm.fs,
                    prm.hop, prm.minF0, prm.maxF0, __LINE__, kUnit);
    tonePitchTrack out;
    const int frameNum = n > 0 ? n / prm.hop : 0;
    out.f0.assign(static_cast<size_t>(frameNum), 0.0f);
    out.strength.assign(static_cast<size_t>(frameNum), 0.0f);
    if (frameNum == 0) return out;

    std::vector<float> x(signal, signal + n);
    double mean = 0;
    for (float v : x) mean += v;
    mean /= n;
    float globalPeak = 0;
    for (float& v : x) {
        v = static_cast<float>(v - mean);
        globalPeak = std::max(globalPeak, std::fabs(v));
    }
    if (globalPeak == 0) return out;

    const int factor = std::max(1, prm.fs / 8000);
    const double rate = static_cast<double>(prm.fs) / factor;
    std::vector<float> y = decimate(x, factor);
    const int N = std::max(8, static_cast<int>(std::lround(prm.windowMs * 0.001 * rate)));
    const int lagMin = std::max(2, static_cast<int>(std::floor(rate / prm.maxF0)));
    const int lagMax = static_cast<int>(std::ceil(rate / prm.minF0));
    // Zero padding on both sides keeps every window inside the array.
    const int pad = N + lagMax + 2;
    std::vector<float> z(y.size() + 2 * static_cast<size_t>(pad), 0.0f);
    std::copy(y.begin(), y.end(), z.begin() + pad);
    std::vector<double> cum(z.size() + 1, 0.0);
    for (size_t i = 0; i < z.size(); ++i) cum[i + 1] = cum[i] + static_cast<double>(z[i]) * z[i];

    const float silenceRef = prm.silenceThreshold / (1.0f + prm.voicingThreshold);
    std::vector<std::vector<candidate>> cands(static_cast<size_t>(frameNum));
    std::vector<float> r(static_cast<size_t>(lagMax + 2), 0.0f);
    for (int t = 0; t < frameNum; ++t) {
        const double centre = (static_cast<double>(t) * prm.hop + prm.hop) / factor;
        const int s = pad + static_cast<int>(std::lround(centre)) - N / 2;
        // Local peak over the window and one longest period after it.
        float localPeak = 0;
        for (int i = s; i < s + N + lagMax; ++i) localPeak = std::max(localPeak, std::fabs(z[static_cast<size_t>(i)]));
        auto& cs = cands[static_cast<size_t>(t)];
        const float rel = localPeak / globalPeak;
        const float unvoiced = prm.voicingThreshold + std::max(0.0f, 2.0f - rel / silenceRef);
        cs.push_back({0.0f, 0.0f, unvoiced, 0.0, -1});
        if (rel < 0.5f * prm.silenceThreshold) continue;  // silence: nothing to correlate

        const double e0 = cum[static_cast<size_t>(s + N)] - cum[static_cast<size_t>(s)];
        const float* a = &z[static_cast<size_t>(s)];
        for (int L = lagMin - 1; L <= lagMax + 1; ++L) {
            const float* b = a + L;
            float dot = 0;
            for (int i = 0; i < N; ++i) dot += a[i] * b[i];
            const double eL = cum[static_cast<size_t>(s + L + N)] - cum[static_cast<size_t>(s + L)];
            const double den = std::sqrt(e0 * eL);
            r[static_cast<size_t>(L)] = den > 0 ? static_cast<float>(dot / den) : 0.0f;
        }
        std::vector<candidate> peaks;
        for (int L = lagMin; L <= lagMax; ++L) {
            const float c = r[static_cast<size_t>(L)], lo = r[static_cast<size_t>(L - 1)],
                        hi = r[static_cast<size_t>(L + 1)];
            if (c <= 0 || c < lo || c < hi) continue;
            const float den = lo - 2 * c + hi;
            const float shift = den < 0 ? std::clamp(0.5f * (lo - hi) / den, -0.5f, 0.5f) : 0.0f;
            const float peak = std::min(1.0f, c - 0.25f * (lo - hi) * shift);
            const float f0 = static_cast<float>(rate / (L + shift));
            if (f0 < prm.minF0 || f0 > prm.maxF0) continue;
            const float strength = peak - prm.octaveCost * std::log2(prm.maxF0 / f0);
            peaks.push_back({f0, peak, strength, 0.0, -1});
        }
        std::sort(peaks.begin(), peaks.end(), [](const candidate& p, const candidate& q) {
            return p.strength > q.strength;
        });
        if (static_cast<int>(peaks.size()) > prm.candNum) peaks.resize(static_cast<size_t>(prm.candNum));
        cs.insert(cs.end(), peaks.begin(), peaks.end());
    }

    // Best path, maximising strengths minus transition costs.
    auto transition = [&](const candidate& p, const candidate& q) -> double {
        const bool pv = p.f0 > 0, qv = q.f0 > 0;
        if (!pv && !qv) return 0;
        if (pv != qv) return prm.voicedUnvoicedCost;
        return prm.octaveJumpCost * std::fabs(std::log2(p.f0 / q.f0));
    };
    for (auto& c : cands[0]) c.score = c.strength;
    for (int t = 1; t < frameNum; ++t) {
        const auto& prev = cands[static_cast<size_t>(t - 1)];
        for (auto& c : cands[static_cast<size_t>(t)]) {
            double best = -1e30;
            int32_t arg = 0;
            for (size_t i = 0; i < prev.size(); ++i) {
                const double v = prev[i].score - transition(prev[i], c);
                if (v > best) {
                    best = v;
                    arg = static_cast<int32_t>(i);
                }
            }
            c.score = best + c.strength;
            c.back = arg;
        }
    }
    const auto& last = cands[static_cast<size_t>(frameNum - 1)];
    int32_t k = 0;
    for (size_t i = 1; i < last.size(); ++i)
        if (last[i].score > last[static_cast<size_t>(k)].score) k = static_cast<int32_t>(i);
    for (int t = frameNum - 1; t >= 0; --t) {
        const candidate& c = cands[static_cast<size_t>(t)][static_cast<size_t>(k)];
        out.f0[static_cast<size_t>(t)] = c.f0;
        out.strength[static_cast<size_t>(t)] = c.ncc;
        k = c.back;
    }
    return out;
}

}  // namespace qv
