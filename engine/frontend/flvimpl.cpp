// FLV tag walk and Nellymoser Asao block decoder.
//
// A 64-byte Nellymoser block (512 bits, read least-significant bit first):
//   bits   0..5     initial band value index (6 bits, into nellyInitTable)
//   bits   6..115   22 band deltas (5 bits each, into nellyDeltaTable)
//   bits 116..313   detail bits of the first 128-sample half
//   bits 314..511   detail bits of the second half
// The 23 band values are log2 energies in 1/2048 units; each bin of a band is
// scaled by 2^(v/2048). The number of detail bits of each of the 124 coded
// bins follows from the band values alone (nellyBitAllocation), so encoder and
// decoder must run that integer procedure identically.
#include "engine/frontend/flvimpl.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "engine/utility.h"

namespace qv {

namespace {

constexpr const char* kUnit = "flvimpl";

constexpr int kBands = 23;
constexpr int kFillLen = 124;     // coded bins per half-block
constexpr int kBufLen = 128;      // transform size (coefficients per half-block)
constexpr int kHeaderBits = 116;  // 6 + 22 * 5
constexpr int kDetailBits = 198;  // detail budget of each half-block
constexpr int kBitCap = 6;        // most bits one bin may take
constexpr int kBaseOff = 4228;
constexpr int kBaseShift = 19;
constexpr float kSqrtHalf = 0.70710678118654752f;
// The transform below is unnormalised; this brings the output to the 16-bit
// sample scale of the codec.
constexpr float kOutputGain = 0.125f;

// ---- published codec tables -----------------------------------------------

const uint8_t nellyBandSizes[kBands] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 4,
                                        4, 5, 6, 6, 7, 8, 9, 10, 12, 14, 15};

const uint16_t nellyInitTable[64] = {
    3134,  5342,  6870,  7792,  8569,  9185,  9744,  10191, 10631, 11061, 11434, 11770, 12116,
    12513, 12925, 13300, 13674, 14027, 14352, 14716, 15117, 15477, 15824, 16157, 16513, 16804,
    17090, 17401, 17679, 17948, 18238, 18520, 18764, 19078, 19381, 19640, 19921, 20205, 20500,
    20813, 21162, 21465, 21794, 22137, 22453, 22756, 23067, 23350, 23636, 23926, 24227, 24521,
    24819, 25107, 25414, 25730, 26120, 26497, 26895, 27344, 27877, 28463, 29426, 31355};

const int16_t nellyDeltaTable[32] = {-11725, -9420, -7910, -6801, -5948, -5233, -4599, -4039,
                                     -3507,  -3030, -2596, -2170, -1774, -1383, -1016, -660,
                                     -329,   -1,    337,   696,   1085,  1512,  1962,  2433,
                                     2968,   3569,  4314,  5279,  6622,  8154,  10076, 12975};

// Dequantisation values: for b bits, entries 2^b - 1 .. 2^(b+1) - 2.
const float nellyDequantTable[127] = {
    0.0000000000f,
    // 1 bit
    -0.8472560048f, 0.7224709988f,
    // 2 bits
    -1.5247479677f, -0.4531480074f, 0.3753609955f, 1.4717899561f,
    // 3 bits
    -1.9822579622f, -1.1929379702f, -0.5829370022f, -0.0693780035f, 0.3909569979f, 0.9069200158f,
    1.4862740040f, 2.2215409279f,
    // 4 bits
    -2.3887870312f, -1.8067539930f, -1.4105420113f, -1.0773609877f, -0.7995010018f, -0.5558109879f,
    -0.3334020078f, -0.1324490011f, 0.0568020009f, 0.2548770010f, 0.4773550034f, 0.7386850119f,
    1.0443060398f, 1.3954459429f, 1.8098750114f, 2.3918759823f,
    // 5 bits
    -2.3893830776f, -1.9884680510f, -1.7514040470f, -1.5643119812f, -1.3922129869f, -1.2164649963f,
    -1.0469499826f, -0.8905100226f, -0.7645580173f, -0.6454579830f, -0.5259280205f, -0.4059549868f,
    -0.3029719889f, -0.2096900046f, -0.1239869967f, -0.0479229987f, 0.0257730000f, 0.1001340002f,
    0.1737180054f, 0.2585540116f, 0.3522900045f, 0.4569880068f, 0.5767750144f, 0.7003160119f,
    0.8425520062f, 1.0093879700f, 1.1821349859f, 1.3534560204f, 1.5320819616f, 1.7332619429f,
    1.9722349644f, 2.3978140354f,
    // 6 bits
    -2.5756309032f, -2.0573320389f, -1.8984919786f, -1.7727810144f, -1.6662600040f, -1.5742180347f,
    -1.4993319511f, -1.4316639900f, -1.3652280569f, -1.3000990152f, -1.2280930281f, -1.1588579416f,
    -1.0921250582f, -1.0135740042f, -0.9202849865f, -0.8287050128f, -0.7374889851f, -0.6447759867f,
    -0.5590940118f, -0.4857139885f, -0.4110319912f, -0.3459700048f, -0.2851159871f, -0.2341620028f,
    -0.1870580018f, -0.1442500055f, -0.1107169986f, -0.0739680007f, -0.0365610011f, -0.0073290002f,
    0.0203610007f, 0.0479039997f, 0.0751969963f, 0.0980999991f, 0.1220389977f, 0.1458999962f,
    0.1694349945f, 0.1970459968f, 0.2252430022f, 0.2556869984f, 0.2870100141f, 0.3197099864f,
    0.3525829911f, 0.3889069855f, 0.4334920049f, 0.4769459963f, 0.5204820037f, 0.5644530058f,
    0.6122040153f, 0.6685929894f, 0.7341650128f, 0.8032159805f, 0.8784040213f, 0.9566209912f,
    1.0397069454f, 1.1293770075f, 1.2211159468f, 1.3080279827f, 1.4024800062f, 1.5056819916f,
    1.6227730513f, 1.7724959850f, 1.9430880547f, 2.2903931141f};

// ---- bit reader -------------------------------------------------------------

// Reads a 64-byte block least-significant bit first; reads past the block
// yield zero bits (cannot happen with a consistent allocation, but the
// allocation is derived from untrusted data).
class blockBitReader {
public:
    blockBitReader(const uint8_t* block, int bitPos) : m_block(block), m_pos(bitPos) {}
    int read(int nbits) {
        int v = 0;
        for (int i = 0; i < nbits; i++, m_pos++) {
            if (m_pos >= nellymoserDecoder::BLOCK_BYTES * 8) continue;
            int bit = (m_block[m_pos >> 3] >> (m_pos & 7)) & 1;
            v |= bit << i;
        }
        return v;
    }

private:
    const uint8_t* m_block;
    int m_pos;
};

// ---- bit allocation ---------------------------------------------------------
// Fixed-point procedure of the codec: scale the band values into 16-bit
// range, then search for the offset whose rounded, capped bit counts sum to
// the 198-bit budget. Integer overflow behaviour (two's complement wrap,
// truncation to 16 bits) is part of the format, so it is reproduced with
// explicit wrapping instead of undefined signed overflow.

int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

int32_t shiftSigned(int32_t v, int shift) {
    if (shift >= 32) return 0;
    if (shift > 0) return wrap32(static_cast<int64_t>(static_cast<uint32_t>(v) << shift));
    if (shift <= -31) return v < 0 ? -1 : 0;
    return v >> (-shift);
}

int floorLog2(uint32_t v) {
    int n = 0;
    while (v > 1) {
        v >>= 1;
        n++;
    }
    return n;
}

// Normalises *v so that its magnitude fills 31 bits; returns the shift used.
int headroom(int32_t* v) {
    if (*v == 0) return 31;
    uint32_t mag = *v < 0 ? 0u - static_cast<uint32_t>(*v) : static_cast<uint32_t>(*v);
    int l = 30 - floorLog2(mag);
    if (l < 0) l = 0;
    *v = wrap32(static_cast<int64_t>(*v) * (int64_t(1) << l));
    return l;
}

int binBits(int16_t scaled, int32_t off, int shift) {
    int32_t b = static_cast<int32_t>(scaled) - off;
    b = shift >= 1 ? ((b >> (shift - 1)) + 1) >> 1 : b;
    if (b < 0) return 0;
    if (b > kBitCap) return kBitCap;
    return b;
}

int sumBits(const int16_t* sbuf, int shift, int32_t off) {
    int total = 0;
    for (int i = 0; i < kFillLen; i++) total += binBits(sbuf[i], off, shift);
    return total;
}

void nellyBitAllocation(const float* bandValue, int* bits) {
    int16_t sbuf[kFillLen];

    int32_t maxVal = 0;
    for (int i = 0; i < kFillLen; i++) {
        int32_t v = static_cast<int32_t>(bandValue[i]);
        if (v > maxVal) maxVal = v;
    }
    int shift = -16 + headroom(&maxVal);

    int32_t sum = 0;
    for (int i = 0; i < kFillLen; i++) {
        int16_t s = static_cast<int16_t>(shiftSigned(static_cast<int32_t>(bandValue[i]), shift));
        sbuf[i] = static_cast<int16_t>((3 * static_cast<int32_t>(s)) >> 2);
        sum += sbuf[i];
    }

    shift += 11;
    const int fracShift = shift;
    sum = wrap32(static_cast<int64_t>(sum) - static_cast<int64_t>(shiftSigned(kDetailBits, shift)));
    shift += headroom(&sum);
    int32_t lowOff = (kBaseOff * (sum >> 16)) >> 15;
    shift = fracShift - (kBaseShift + shift - 31);
    lowOff = shiftSigned(lowOff, shift);

    int bitsum = sumBits(sbuf, fracShift, lowOff);

    if (bitsum != kDetailBits) {
        int32_t step = bitsum - kDetailBits;
        int n = 0;
        while (std::abs(step) <= 16383) {
            step *= 2;
            n++;
        }
        step = (step * kBaseOff) >> 15;
        step = shiftSigned(step, fracShift - (kBaseShift + n - 15));

        // Walk by the step until the bit sum crosses the budget.
        int32_t prevOff = lowOff;
        int prevSum = bitsum;
        int iter;
        for (iter = 1; iter < 20; iter++) {
            prevOff = lowOff;
            lowOff += step;
            prevSum = bitsum;
            bitsum = sumBits(sbuf, fracShift, lowOff);
            if ((bitsum - kDetailBits) * (prevSum - kDetailBits) <= 0) break;
        }

        int32_t highOff;
        int highSum, lowSum;
        if (bitsum > kDetailBits) {
            highOff = lowOff;
            lowOff = prevOff;
            highSum = bitsum;
            lowSum = prevSum;
        } else {
            highOff = prevOff;
            highSum = prevSum;
            lowSum = bitsum;
        }

        // Then bisect between the two offsets.
        while (bitsum != kDetailBits && iter <= 19) {
            int32_t mid = (highOff + lowOff) >> 1;
            bitsum = sumBits(sbuf, fracShift, mid);
            if (bitsum > kDetailBits) {
                highOff = mid;
                highSum = bitsum;
            } else {
                lowOff = mid;
                lowSum = bitsum;
            }
            iter++;
        }

        if (std::abs(highSum - kDetailBits) >= std::abs(lowSum - kDetailBits)) {
            bitsum = lowSum;
        } else {
            lowOff = highOff;
            bitsum = highSum;
        }
    }

    for (int i = 0; i < kFillLen; i++) bits[i] = binBits(sbuf[i], lowOff, fracShift);

    // Over budget: cut the allocation at the bin where the budget runs out.
    if (bitsum > kDetailBits) {
        int used = 0, i = 0;
        while (used < kDetailBits && i < kFillLen) used += bits[i++];
        if (i > 0) bits[i - 1] -= used - kDetailBits;
        for (; i < kFillLen; i++) bits[i] = 0;
    }
}

// ---- inverse transform ------------------------------------------------------
// The 128-coefficient inverse MDCT reduces to a 128-point DCT-IV, computed
// with a 64-point complex FFT between two twiddle stages:
//   v[2q] = Re U[q], v[127-2q] = Im U[q],
//   U[q] = e^{i pi (q+1/8)/128} * sum_p (X[2p] - i X[127-2p]) e^{i pi (p+1/8)/128} e^{i 2 pi qp/64}.
// The 256-sample MDCT output y is then v folded with sign changes; only
// v[0..63] is needed for the second half, which is what the state keeps.

struct nellyTables {
    float window[kBufLen];  // rising half of the 256-point sine window
    float twRe[kBufLen / 2], twIm[kBufLen / 2];    // e^{i pi (p+1/8)/128}
    float fftRe[kBufLen / 4], fftIm[kBufLen / 4];  // e^{i 2 pi k/64}
    uint8_t bitrev[kBufLen / 2];

    nellyTables() {
        const double pi = 3.14159265358979323846;
        for (int n = 0; n < kBufLen; n++) window[n] = static_cast<float>(std::sin(pi * (n + 0.5) / (2 * kBufLen)));
        for (int p = 0; p < kBufLen / 2; p++) {
            double a = pi * (p + 0.125) / kBufLen;
            twRe[p] = static_cast<float>(std::cos(a));
            twIm[p] = static_cast<float>(std::sin(a));
        }
        for (int k = 0; k < kBufLen / 4; k++) {
            double a = 2 * pi * k / (kBufLen / 2);
            fftRe[k] = static_cast<float>(std::cos(a));
            fftIm[k] = static_cast<float>(std::sin(a));
        }
        for (int i = 0; i < kBufLen / 2; i++) {
            int r = 0;
            for (int b = 0; b < 6; b++)
                if (i & (1 << b)) r |= 1 << (5 - b);
            bitrev[i] = static_cast<uint8_t>(r);
        }
    }
};

const nellyTables& tables() {
    static const nellyTables t;
    return t;
}

// In-place 64-point complex FFT with positive exponent, no scaling.
void fft64(float* re, float* im) {
    const nellyTables& t = tables();
    constexpr int n = kBufLen / 2;
    for (int i = 0; i < n; i++) {
        int j = t.bitrev[i];
        if (j > i) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    for (int len = 2; len <= n; len <<= 1) {
        int half = len >> 1, stride = n / len;
        for (int start = 0; start < n; start += len) {
            for (int k = 0; k < half; k++) {
                float wr = t.fftRe[k * stride], wi = t.fftIm[k * stride];
                int a = start + k, b = a + half;
                float xr = re[b] * wr - im[b] * wi;
                float xi = re[b] * wi + im[b] * wr;
                re[b] = re[a] - xr;
                im[b] = im[a] - xi;
                re[a] += xr;
                im[a] += xi;
            }
        }
    }
}

// 128-point DCT-IV: v[n] = sum_k X[k] cos(pi/128 (n+1/2)(k+1/2)).
void dct4(const float* coef, float* v) {
    const nellyTables& t = tables();
    constexpr int half = kBufLen / 2;
    float re[half], im[half];
    for (int p = 0; p < half; p++) {
        float a = coef[2 * p], b = -coef[kBufLen - 1 - 2 * p];
        re[p] = a * t.twRe[p] - b * t.twIm[p];
        im[p] = a * t.twIm[p] + b * t.twRe[p];
    }
    fft64(re, im);
    for (int q = 0; q < half; q++) {
        v[2 * q] = re[q] * t.twRe[q] - im[q] * t.twIm[q];
        v[kBufLen - 1 - 2 * q] = re[q] * t.twIm[q] + im[q] * t.twRe[q];
    }
}

}  // namespace

// ---- decoder ----------------------------------------------------------------

nellymoserDecoder::nellymoserDecoder() { reset(); }

void nellymoserDecoder::reset() { std::memset(m_state, 0, sizeof(m_state)); }

void nellymoserDecoder::decodeBlock(const uint8_t* block, float out[BLOCK_SAMPLES]) {
    float bandValue[kFillLen], scale[kFillLen];
    int bits[kFillLen];

    blockBitReader header(block, 0);
    float v = nellyInitTable[header.read(6)];
    int bin = 0;
    for (int band = 0; band < kBands; band++) {
        if (band > 0) v += nellyDeltaTable[header.read(5)];
        float s = static_cast<float>(std::exp2(v / 2048.0));
        for (int j = 0; j < nellyBandSizes[band]; j++, bin++) {
            bandValue[bin] = v;
            scale[bin] = s;
        }
    }

    nellyBitAllocation(bandValue, bits);

    const nellyTables& t = tables();
    constexpr int M = kBufLen, H = kBufLen / 2;
    for (int half = 0; half < 2; half++) {
        float coef[kBufLen];
        blockBitReader detail(block, kHeaderBits + half * kDetailBits);
        for (int j = 0; j < kFillLen; j++) {
            int b = bits[j];
            if (b > 0) {
                coef[j] = nellyDequantTable[(1 << b) - 1 + detail.read(b)] * scale[j];
            } else {
                // Unallocated bins carry the band energy; only the sign is free.
                float c = kSqrtHalf * scale[j];
                bool negate = m_noiseSign ? m_noiseSign() : (j & 1) != 0;
                coef[j] = negate ? -c : c;
            }
        }
        for (int j = kFillLen; j < kBufLen; j++) coef[j] = 0.0f;

        float dv[kBufLen];
        dct4(coef, dv);

        // y[n] = v[n+64] (n<64), -v[191-n] (64<=n<192), -v[n-192] (n>=192);
        // out = window-rising * y_cur(first half) + window-falling * y_prev(second half).
        float* o = out + half * M;
        for (int n = 0; n < M; n++) {
            float cur = n < H ? dv[n + H] : -dv[M + H - 1 - n];
            float prev = n < H ? -m_state[H - 1 - n] : -m_state[n - H];
            o[n] = (t.window[n] * cur + t.window[M - 1 - n] * prev) * kOutputGain;
        }
        for (int n = 0; n < H; n++) m_state[n] = dv[n];
    }
}

int16_t nellySampleToInt16(float v) {
    // Extreme band values overflow the float scale; the transform then yields
    // NaN, which must not reach the integer conversion.
    if (std::isnan(v)) return 0;
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    return static_cast<int16_t>(v);
}

// ---- FLV walk ---------------------------------------------------------------

namespace {

uint32_t be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | be24(p + 1); }

[[noreturn]] void corruptFile(const char* reason, int line) {
    fatalErrorF("Corrupt file (%s) (line %d of %s)", reason, line, kUnit);
}

// Sound formats 4, 5 and 6 are Nellymoser (16 kHz mono, 8 kHz mono, any rate).
bool nellyFormat(uint8_t formatByte, int32_t& rate, int32_t& channels) {
    static const int32_t rates[4] = {5500, 11025, 22050, 44100};
    int sound = formatByte >> 4;
    channels = 1;
    switch (sound) {
        case 4: rate = 16000; return true;
        case 5: rate = 8000; return true;
        case 6:
            rate = rates[(formatByte >> 2) & 3];
            channels = (formatByte & 1) + 1;
            return true;
        default: return false;
    }
}

}  // namespace

std::vector<int16_t> decodeFlvBuffer(const uint8_t* data, size_t size, int32_t& sampleRate,
                                     int32_t& sampleSize, int32_t& sampleNum, int32_t& channelNum,
                                     nellymoserDecoder* decoderIn) {
    sampleRate = 0;
    sampleSize = 0;
    sampleNum = 0;
    channelNum = 1;
    std::vector<int16_t> samples;

    if (size < 9 || data[0] != 'F' || data[1] != 'L' || data[2] != 'V' || data[3] != 1) {
        consolePrintf("Unknown file format!\n");
        return samples;
    }

    nellymoserDecoder ownDecoder;
    nellymoserDecoder& decoder = decoderIn ? *decoderIn : ownDecoder;
    bool haveFormat = false;
    uint8_t format = 0;
    uint32_t expectedPrev = 0;
    size_t pos = 9;
    uint8_t block[nellymoserDecoder::BLOCK_BYTES];
    float pcm[nellymoserDecoder::BLOCK_SAMPLES];

    while (pos < size) {
        if (size - pos < 4) corruptFile("truncated previous tag size", __LINE__);
        if (be32(data + pos) != expectedPrev) corruptFile("tag size check failed", __LINE__);
        pos += 4;
        if (pos >= size) break;

        if (size - pos < 11) corruptFile("truncated tag header", __LINE__);
        const uint8_t* tag = data + pos;
        uint8_t type = tag[0];
        uint32_t dataSize = be24(tag + 1);
        if (tag[9] != 0 || tag[10] != 0) corruptFile("tag padding ignored", __LINE__);
        pos += 11;
        if (dataSize > size - pos) corruptFile("tag data runs past end of file", __LINE__);
        const uint8_t* body = data + pos;

        if (type == 8 && dataSize > 0) {
            if (!haveFormat) {
                format = body[0];
                if (!nellyFormat(format, sampleRate, channelNum)) {
                    fatalErrorF("stream is not Nellymoser (line %d of %s)", __LINE__, kUnit);
                }
                // The decoder always yields 16-bit samples; the stream's
                // sample-size flag has no meaning for a coded format.
                sampleSize = 16;
                haveFormat = true;
            } else if (body[0] != format) {
                corruptFile("changed audio format midstream", __LINE__);
            }

            // Blocks are decoded within the tag: a short last block is padded
            // with zero bytes rather than read from the following tag.
            const uint8_t* payload = body + 1;
            size_t payloadLen = dataSize - 1;
            for (size_t off = 0; off < payloadLen; off += nellymoserDecoder::BLOCK_BYTES) {
                size_t n = std::min<size_t>(nellymoserDecoder::BLOCK_BYTES, payloadLen - off);
                std::memset(block, 0, sizeof(block));
                std::memcpy(block, payload + off, n);
                if (samples.size() > size_t(INT32_MAX) - nellymoserDecoder::BLOCK_SAMPLES) {
                    fatalErrorF("Too many samples in FLV audio (line %d of %s)", __LINE__, kUnit);
                }
                decoder.decodeBlock(block, pcm);
                for (float s : pcm) samples.push_back(nellySampleToInt16(s));
            }
        }

        pos += dataSize;
        expectedPrev = 11 + dataSize;
    }

    sampleNum = static_cast<int32_t>(samples.size());
    return samples;
}

std::vector<int16_t> readFlvFile(const char* path, int32_t& sampleRate, int32_t& sampleSize, int32_t& sampleNum,
                                 int32_t& channelNum) {
    sampleRate = 0;
    sampleSize = 0;
    sampleNum = 0;
    channelNum = 1;
    if (path == nullptr) {
        consolePrintf("flv_flvFile is NULL\n");
        return {};
    }
    FILE* fp = std::fopen(path, "rb");
    if (fp == nullptr) {
        consolePrintf("flv_fopen: %s\n", std::strerror(errno));
        return {};
    }
    std::vector<uint8_t> bytes;
    long fileBytes = -1;
    if (std::fseek(fp, 0, SEEK_END) == 0) fileBytes = std::ftell(fp);
    if (fileBytes < 0 || std::fseek(fp, 0, SEEK_SET) != 0) {
        std::fclose(fp);
        consolePrintf("flv_malloc: %s\n", std::strerror(errno));
        return {};
    }
    if (fileBytes == 0) {
        std::fclose(fp);
        consolePrintf("Warning: flvFileSize=0! (line %d of %s)\n", __LINE__, kUnit);
        return {};
    }
    try {
        bytes.resize(static_cast<size_t>(fileBytes));
    } catch (const std::bad_alloc&) {
        std::fclose(fp);
        consolePrintf("flv_malloc: out of memory\n");
        return {};
    }
    size_t got = std::fread(bytes.data(), 1, bytes.size(), fp);
    std::fclose(fp);
    bytes.resize(got);  // a file that shrank meanwhile is judged on what was read

    return decodeFlvBuffer(bytes.data(), bytes.size(), sampleRate, sampleSize, sampleNum, channelNum);
}

}  // namespace qv
