#include "engine/frontend/lib/audio.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "engine/utility.h"

namespace qv {

namespace {

const char* const kUnit = "audio";

// Binomial difference coefficients of orders 1 to 5 (row k has k + 1 values).
const int kHodCoef[5][6] = {
    {-1, 1, 0, 0, 0, 0},
    {-1, 2, -1, 0, 0, 0},
    {-1, 3, -3, 1, 0, 0},
    {-1, 4, -6, 4, -1, 0},
    {-1, 5, -10, 10, -5, 1},
};

int32_t saturate32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Median of a frame as an integer; for an even length the truncated mean of
// the two middle values. Works on a copy so the signal keeps its order.
int32_t frameMedian(const int32_t* x, int len, std::vector<int32_t>& work) {
    work.assign(x, x + len);
    const int mid = len / 2;
    std::nth_element(work.begin(), work.begin() + mid, work.end());
    const int32_t upper = work[mid];
    if (len % 2 == 1) return upper;
    // After nth_element everything before mid is <= upper; the lower middle
    // value is the largest of them.
    const int32_t lower = *std::max_element(work.begin(), work.begin() + mid);
    return static_cast<int32_t>((static_cast<int64_t>(lower) + upper) / 2);
}

void checkFrameArgs(const int32_t* signal, int n, int frameSize, int overlap) {
    if (frameSize < 1 || overlap < 0 || overlap >= frameSize)
        fatalErrorF("Invalid frame geometry: frameSize=%d, overlap=%d (line %d of file %s)", frameSize,
                    overlap, __LINE__, kUnit);
    if (n > 0 && signal == nullptr)
        fatalErrorF("No samples for %d frames (line %d of file %s)", n, __LINE__, kUnit);
}

}  // namespace

epdParam::epdParam(int fs)
    : frameSize(static_cast<int32_t>(fs / 62.5)),
      overlap(0),
      volRatio(10),
      hodOrder(4),
      minSegment(0.05f),
      maxGap(0.7f) {}

int getFrameNum(int n, int frameSize, int overlap) {
    const int hop = frameSize - overlap;
    if (hop < 1)
        fatalErrorF("Invalid frame geometry: frameSize=%d, overlap=%d (line %d of file %s)", frameSize,
                    overlap, __LINE__, kUnit);
    // Without the bound a signal shorter than the overlap would give a
    // negative count, or a count of 0 frames that nevertheless read past the end.
    if (n < frameSize) return 0;
    return (n - overlap) / hop;
}

void frameVolume(const int32_t* signal, int n, int frameSize, int overlap, int32_t* volume, int method) {
    if (method < 1 || method > 3)
        fatalErrorF("Unknown volume method=%d (line %d of file %s)", method, __LINE__, kUnit);
    checkFrameArgs(signal, n, frameSize, overlap);
    const int frameNum = getFrameNum(n, frameSize, overlap);
    const int hop = frameSize - overlap;
    std::vector<int32_t> work;
    for (int f = 0; f < frameNum; ++f) {
        const int32_t* x = signal + static_cast<int64_t>(f) * hop;
        if (method == 1) {
            const int32_t med = frameMedian(x, frameSize, work);
            int64_t sum = 0;
            for (int i = 0; i < frameSize; ++i) sum += std::llabs(static_cast<int64_t>(x[i]) - med);
            volume[f] = saturate32(sum);
            continue;
        }
        // Loud frames overflow 32 bits here (320 x 32767^2), hence 64-bit sums.
        int64_t total = 0;
        for (int i = 0; i < frameSize; ++i) total += x[i];
        const int64_t mean = total / frameSize;
        int64_t sum = 0;
        for (int i = 0; i < frameSize; ++i) {
            const int64_t d = x[i] - mean;
            sum += d * d;
        }
        if (method == 2) {
            volume[f] = saturate32(sum);
        } else {
            volume[f] = sum == 0 ? INT32_MIN : static_cast<int32_t>(std::log(static_cast<double>(sum)));
        }
    }
}

std::vector<int32_t> frameVolume(const int32_t* signal, int n, int frameSize, int overlap, int method) {
    std::vector<int32_t> volume(getFrameNum(n, frameSize, overlap));
    frameVolume(signal, n, frameSize, overlap, volume.data(), method);
    return volume;
}

void frameHod(const int32_t* signal, int n, int frameSize, int overlap, int32_t* hod, int order) {
    if (order < 1 || order > 5)
        fatalErrorF("Unsupported order! order=%d (line %d of file %s)", order, __LINE__, kUnit);
    checkFrameArgs(signal, n, frameSize, overlap);
    const int frameNum = getFrameNum(n, frameSize, overlap);
    const int hop = frameSize - overlap;
    const int* c = kHodCoef[order - 1];
    for (int f = 0; f < frameNum; ++f) {
        const int32_t* x = signal + static_cast<int64_t>(f) * hop;
        int64_t sum = 0;
        for (int i = 0; i + order < frameSize; ++i) {
            int64_t d = 0;
            for (int j = 0; j <= order; ++j) d += static_cast<int64_t>(c[j]) * x[i + j];
            sum += d < 0 ? -d : d;
        }
        hod[f] = saturate32(sum);
    }
}

std::vector<int32_t> frameHod(const int32_t* signal, int n, int frameSize, int overlap, int order) {
    std::vector<int32_t> hod(getFrameNum(n, frameSize, overlap));
    frameHod(signal, n, frameSize, overlap, hod.data(), order);
    return hod;
}

std::vector<epdSegment> findSegments(const int32_t* flags, int count) {
    std::vector<epdSegment> segs;
    if (count < 2 || flags == nullptr) return segs;
    for (int i = 0; i < count; ++i) {
        if (flags[i] != 1) continue;
        if (i == 0 || flags[i - 1] != 1) segs.push_back(epdSegment{i, i, 1, 1});
        if (i == count - 1 || flags[i + 1] != 1) {
            epdSegment& s = segs.back();
            s.endFrame = i;
            s.duration = i - s.beginFrame + 1;
        }
    }
    return segs;
}

std::vector<epdSegment> epd(const int32_t* signal, int n, int fs, const epdParam& prm) {
    const int hop = prm.frameSize - prm.overlap;
    if (hop < 1 || fs <= 0)
        fatalErrorF("Invalid end-point parameters: fs=%d, frameSize=%d, overlap=%d (line %d of file %s)", fs,
                    prm.frameSize, prm.overlap, __LINE__, kUnit);
    if (prm.volRatio == 0)
        fatalErrorF("Invalid end-point volume ratio 0 (line %d of file %s)", __LINE__, kUnit);
    const float minSegFrames = prm.minSegment * static_cast<float>(fs) / static_cast<float>(hop);
    const float maxGapFrames = prm.maxGap * static_cast<float>(fs) / static_cast<float>(hop);
    const int minSeg = roundHalfAway(minSegFrames);
    const int maxGap = roundHalfAway(maxGapFrames);

    const int frameNum = getFrameNum(n, prm.frameSize, prm.overlap);
    if (frameNum < 1) return {};
    const std::vector<int32_t> vol = frameVolume(signal, n, prm.frameSize, prm.overlap, 1);
    const std::vector<int32_t> hod = frameHod(signal, n, prm.frameSize, prm.overlap, prm.hodOrder);
    std::vector<int32_t> combined(frameNum);
    for (int i = 0; i < frameNum; ++i)
        combined[i] = static_cast<int32_t>((static_cast<int64_t>(vol[i]) + hod[i]) / 2);

    // The threshold sits a tenth of the way from the quietest to the loudest
    // frames, each taken a 1/32 quantile in from its end to resist outliers.
    std::vector<int32_t> sorted(combined);
    std::sort(sorted.begin(), sorted.end());
    int k = roundHalfAway(static_cast<float>(frameNum) * 0.03125f);
    k = std::min(std::max(k, 1), frameNum);
    const int64_t low = sorted[k - 1];
    const int64_t high = sorted[frameNum - k];
    const int64_t threshold = (high - low) / prm.volRatio + low;

    std::vector<int32_t> flags(frameNum);
    for (int i = 0; i < frameNum; ++i) flags[i] = combined[i] > threshold ? 1 : 0;
    std::vector<epdSegment> segs = findSegments(flags.data(), frameNum);

    for (epdSegment& s : segs)
        if (s.duration <= minSeg) s.valid = 0;

    // A last segment far behind the rest is taken for a noise after the
    // utterance (a click, a breath); only that one pair is examined.
    int last = -1;
    for (int i = static_cast<int>(segs.size()) - 1; i >= 0; --i)
        if (segs[i].valid) {
            last = i;
            break;
        }
    if (last > 0) {
        for (int i = last - 1; i >= 0; --i) {
            if (!segs[i].valid) continue;
            if (segs[last].beginFrame - segs[i].endFrame > maxGap) segs[last].valid = 0;
            break;
        }
    }

    std::vector<epdSegment> valid;
    for (const epdSegment& s : segs)
        if (s.valid) valid.push_back(s);
    return valid;
}

bool epdFeatureRange(const int32_t* signal, int sampleNum, int fs, bool useEpd, epdRange& range) {
    const int feaShift = 160;
    const int feaFrame = 320;
    int32_t begin = 0;
    int32_t end = sampleNum - 1;
    bool used = false;
    if (useEpd) {
        const epdParam prm(fs);
        const std::vector<epdSegment> segs = epd(signal, sampleNum, fs, prm);
        if (!segs.empty()) {
            begin = frame2sampleIndex(segs.front().beginFrame, prm.frameSize, prm.overlap);
            end = frame2sampleIndex(segs.back().endFrame, prm.frameSize, prm.overlap);
            used = true;
        }
    }
    range.waveBeginFrameId = roundHalfAway(begin / static_cast<double>(feaShift));
    range.waveEndFrameId = roundHalfAway(end / static_cast<double>(feaShift));
    range.waveBeginIndex = feaShift * range.waveBeginFrameId;
    range.waveEndIndex = std::min(feaShift * range.waveEndFrameId + feaFrame - 1, sampleNum - 1);
    return used;
}

void fftRadix2(float* re, float* im, int n, bool inverse) {
    if (n < 2 || (n & (n - 1)) != 0) return;
    for (int i = 0, j = 0; i < n - 1; ++i) {
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
        int m = n >> 1;
        while (m >= 1 && j >= m) {
            j -= m;
            m >>= 1;
        }
        j += m;
    }
    const double pi = 3.14159265358979323846;
    for (int mmax = 1; mmax < n; mmax <<= 1) {
        const double theta = (inverse ? pi : -pi) / mmax;
        const double wtemp0 = std::sin(0.5 * theta);
        const double wpr = -2.0 * wtemp0 * wtemp0;
        const double wpi = std::sin(theta);
        double wr = 1.0;
        double wi = 0.0;
        for (int m = 0; m < mmax; ++m) {
            for (int i = m; i < n; i += 2 * mmax) {
                const int j = i + mmax;
                const float tr = static_cast<float>(wr * re[j] - wi * im[j]);
                const float ti = static_cast<float>(wr * im[j] + wi * re[j]);
                re[j] = re[i] - tr;
                im[j] = im[i] - ti;
                re[i] += tr;
                im[i] += ti;
            }
            const double wtemp = wr;
            wr = wr * wpr - wi * wpi + wr;
            wi = wi * wpr + wtemp * wpi + wi;
        }
    }
}

}  // namespace qv
