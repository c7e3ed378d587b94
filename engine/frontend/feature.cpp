#include "engine/frontend/feature.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "engine/frontend/lib/audio.h"
#include "engine/utility.h"

namespace qv {

namespace {

const char* const kUnit = "feature";
const double kPi = 3.14159265358979323846;
// Longest configuration line (without its newline) that is read.
const size_t kMaxConfigLine = 49;
// Limits that keep a mistyped configuration from asking for absurd tables.
const int kMaxChans = 1000;
const int kMaxCeps = 1000;
const int kMaxFrameSize = 1 << 20;

struct baseKindName {
    const char* name;
    uint16_t kind;
};
const baseKindName kBaseKinds[] = {
    {"WAVEFORM", PK_WAVEFORM}, {"LPC", PK_LPC},           {"LPREFC", PK_LPREFC},   {"LPCEPSTRA", PK_LPCEPSTRA},
    {"LPDELCEP", PK_LPDELCEP}, {"IREFC", PK_IREFC},       {"MFCC", PK_MFCC},       {"FBANK", PK_FBANK},
    {"MELSPEC", PK_MELSPEC},   {"USER", PK_USER},         {"DISCRETE", PK_DISCRETE}, {"ANON", PK_ANON},
};

float mel(float freq) { return 1127.0f * std::log(1.0f + freq / 700.0f); }

int32_t toInt(double v, const std::string& key) {
    if (!(v > -2147483648.0 && v < 2147483648.0))
        fatalErrorF("Value of %s out of range (line %d of %s)", key.c_str(), __LINE__, kUnit);
    return static_cast<int32_t>(v);
}

}  // namespace

uint16_t parseParmKind(const std::string& text) {
    std::string s = text;
    uint16_t flags = 0;
    while (s.size() > 2 && s[s.size() - 2] == '_') {
        switch (s.back()) {
            case '0': flags |= PK_0; break;
            case 'A': flags |= PK_A; break;
            case 'C': flags |= PK_C; break;
            case 'D': flags |= PK_D; break;
            case 'E': flags |= PK_E; break;
            case 'K': flags |= PK_K; break;
            case 'N': flags |= PK_N; break;
            case 'V': flags |= PK_V; break;
            case 'Z': flags |= PK_Z; break;
            default: break;
        }
        s.resize(s.size() - 2);
    }
    for (const baseKindName& b : kBaseKinds) {
        if (s != b.name) continue;
        if (b.kind == PK_LPDELCEP) return static_cast<uint16_t>(PK_LPCEPSTRA | PK_D | flags);
        return static_cast<uint16_t>(b.kind | flags);
    }
    fatalErrorF("Unknown parameter kind %s (line %d of %s)", text.c_str(), __LINE__, kUnit);
}

CFeaBuf::CFeaBuf() = default;

void CFeaBuf::readConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fatalErrorF("Cannot open config file %s! (line %d of %s)", path.c_str(), __LINE__, kUnit);
    std::string bytes;
    char buf[65536];
    while (in.read(buf, sizeof(buf)) || in.gcount() > 0) bytes.append(buf, static_cast<size_t>(in.gcount()));
    readConfigBytes(bytes);
}

void CFeaBuf::readConfigBytes(const std::string& bytes) {
    for (size_t begin = 0; begin < bytes.size();) {
        size_t end = bytes.find('\n', begin);
        if (end == std::string::npos) end = bytes.size();
        std::string raw = bytes.substr(begin, end - begin);
        begin = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (raw.size() > kMaxConfigLine) continue;
        // Blanks go, and so do carriage returns (files written with CR LF);
        // tabs stay.
        std::string line;
        for (char c : raw)
            if (c != ' ' && c != '\n' && c != '\r') line += c;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const size_t eq2 = line.find('=', eq + 1);
        const std::string value = line.substr(eq + 1, eq2 == std::string::npos ? std::string::npos : eq2 - eq - 1);
        if (value.empty()) continue;

        const double num = std::strtod(value.c_str(), nullptr);
        const bool isTrue = value == "TRUE" || value == "T";
        const bool isFalse = value == "FALSE" || value == "F";
        if (key == "SOURCERATE") m_cfg.srcRate = static_cast<float>(num);
        else if (key == "ZMEANSOURCE") { if (isTrue) m_cfg.zMeanSource = true; }
        else if (key == "TARGETKIND") m_cfg.tgtKind = parseParmKind(value);
        else if (key == "TARGETRATE") m_cfg.tgtRate = static_cast<float>(num);
        else if (key == "WINDOWSIZE") m_cfg.winSize = static_cast<float>(num);
        else if (key == "USEHAMMING") { if (isFalse) m_cfg.useHamming = false; }
        else if (key == "PREEMCOEF") m_cfg.preEmph = static_cast<float>(num);
        else if (key == "USEPOWER") { if (isTrue) m_cfg.usePower = true; }
        else if (key == "NUMCHANS") m_cfg.numChans = toInt(num, key);
        else if (key == "LOFREQ") m_cfg.loFBankFreq = static_cast<float>(num);
        else if (key == "HIFREQ") m_cfg.hiFBankFreq = static_cast<float>(num);
        else if (key == "CEPLIFTER") m_cfg.cepLifter = toInt(num, key);
        else if (key == "NUMCEPS") m_cfg.numCepCoef = toInt(num, key);
        else if (key == "ENORMALISE") { if (isFalse) m_cfg.eNormalise = false; }
        else if (key == "ESCALE") m_cfg.eScale = static_cast<float>(num);
        else if (key == "DELTAWINDOW") m_cfg.delWin = toInt(num, key);
        else if (key == "ACCWINDOW") m_cfg.accWin = toInt(num, key);
        else if (key == "SILFLOOR") m_cfg.silFloor = static_cast<float>(num);
        // SOURCEKIND, SOURCEFORMAT and unknown keys: ignored.
    }
}

void CFeaBuf::initTables() {
    const int n = m_frameSize;
    m_hamWin.resize(n);
    for (int i = 0; i < n; ++i)
        m_hamWin[i] = static_cast<float>(0.54 - 0.46 * std::cos(2.0 * kPi * i / (n - 1)));

    const int numCeps = m_cfg.numCepCoef;
    m_cepLiftWin.assign(numCeps + 1, 1.0f);
    if (m_cfg.cepLifter > 0) {
        const float L = static_cast<float>(m_cfg.cepLifter);
        for (int j = 1; j <= numCeps; ++j)
            m_cepLiftWin[j] = static_cast<float>(1.0 + L / 2.0 * std::sin(j * kPi / L));
    }

    fbankInfo& fb = m_fb;
    fb.frameSize = n;
    fb.sampPeriod = m_sampPeriod;
    fb.usePower = m_cfg.usePower;
    fb.takeLogs = true;
    fb.numChans = m_cfg.numChans;
    fb.fftN = 2;
    while (fb.fftN < n) fb.fftN *= 2;
    const int nby2 = fb.fftN / 2;
    fb.fres = static_cast<float>(1.0e7 / (static_cast<double>(m_sampPeriod) * fb.fftN * 700.0));
    fb.klo = 2;
    fb.khi = nby2;
    float mlo = 0.0f;
    float mhi = 1127.0f * std::log(1.0f + nby2 * fb.fres);
    if (m_cfg.loFBankFreq >= 0.0f) {
        mlo = mel(m_cfg.loFBankFreq);
        // Bounded before the conversion; a band above the spectrum holds no bin.
        fb.klo = static_cast<int32_t>(
            std::min(m_sampPeriod * m_cfg.loFBankFreq * 1.0e-7 * fb.fftN + 2.5, static_cast<double>(nby2) + 1.0));
        if (fb.klo < 2) fb.klo = 2;
    }
    if (m_cfg.hiFBankFreq >= 0.0f) {
        mhi = mel(m_cfg.hiFBankFreq);
        fb.khi = static_cast<int32_t>(
            std::min(m_sampPeriod * m_cfg.hiFBankFreq * 1.0e-7 * fb.fftN + 0.5, static_cast<double>(nby2)));
        if (fb.khi > nby2) fb.khi = nby2;
    }

    const int maxChan = fb.numChans + 1;
    fb.cf.assign(maxChan + 1, 0.0f);
    fb.cf[0] = mlo;
    for (int c = 1; c <= maxChan; ++c)
        fb.cf[c] = static_cast<float>(c) / static_cast<float>(maxChan) * (mhi - mlo) + mlo;

    fb.loChan.assign(nby2 + 1, -1);
    fb.loWt.assign(nby2 + 1, 0.0f);
    int chan = 1;
    for (int k = 1; k <= nby2; ++k) {
        if (k < fb.klo || k > fb.khi) continue;
        const float m = 1127.0f * std::log(1.0f + (k - 1) * fb.fres);
        while (chan <= maxChan && fb.cf[chan] < m) ++chan;
        // A bin a rounding step above the top centre would otherwise index
        // past the table.
        if (chan > maxChan) chan = maxChan;
        fb.loChan[k] = static_cast<int16_t>(chan - 1);
        fb.loWt[k] = (fb.cf[chan] - m) / (fb.cf[chan] - fb.cf[chan - 1]);
    }
    fb.re.assign(fb.fftN, 0.0f);
    fb.im.assign(fb.fftN, 0.0f);
    m_frame.assign(n, 0.0f);
    m_chans.assign(fb.numChans + 1, 0.0f);
}

void CFeaBuf::analyseFrame(const int32_t* x, float* row) {
    const int n = m_frameSize;
    float* s = m_frame.data();
    for (int i = 0; i < n; ++i) s[i] = static_cast<float>(x[i]);

    if (m_cfg.zMeanSource) {
        float sum = 0.0f;
        for (int i = 0; i < n; ++i) sum += s[i];
        const float mean = sum / static_cast<float>(n);
        for (int i = 0; i < n; ++i) s[i] -= mean;
    }

    // Energy of the raw frame: before pre-emphasis and windowing.
    float te = 0.0f;
    for (int i = 0; i < n; ++i) te += s[i] * s[i];

    const float k = m_cfg.preEmph;
    if (k > 0.0f) {
        for (int i = n - 1; i >= 1; --i) s[i] -= k * s[i - 1];
        s[0] *= 1.0f - k;
    }
    if (m_cfg.useHamming)
        for (int i = 0; i < n; ++i) s[i] *= m_hamWin[i];

    fbankInfo& fb = m_fb;
    for (int i = 0; i < fb.fftN; ++i) {
        fb.re[i] = i < n ? s[i] : 0.0f;
        fb.im[i] = 0.0f;
    }
    fftRadix2(fb.re.data(), fb.im.data(), fb.fftN, false);

    const int numChans = fb.numChans;
    float* chans = m_chans.data();
    for (int c = 0; c <= numChans; ++c) chans[c] = 0.0f;
    for (int kb = fb.klo; kb <= fb.khi; ++kb) {
        // Bin kb (1-based) is the frequency (kb - 1) * fs / fftN.
        const float p = fb.re[kb - 1] * fb.re[kb - 1] + fb.im[kb - 1] * fb.im[kb - 1];
        const float e = fb.usePower ? p : std::sqrt(p);
        const int b = fb.loChan[kb];
        const float t = fb.loWt[kb] * e;
        if (b > 0) chans[b] += t;
        if (b < numChans) chans[b + 1] += e - t;
    }
    for (int c = 1; c <= numChans; ++c) {
        if (chans[c] < 1.0f) chans[c] = 1.0f;
        chans[c] = std::log(chans[c]);
    }

    const int numCeps = m_cfg.numCepCoef;
    const float mfnorm = static_cast<float>(std::sqrt(2.0 / numChans));
    const float piFactor = static_cast<float>(kPi / numChans);
    int col = 0;
    for (int j = 1; j <= numCeps; ++j) {
        const float xj = static_cast<float>(j) * piFactor;
        float c = 0.0f;
        for (int i = 1; i <= numChans; ++i) c += chans[i] * std::cos(xj * (static_cast<float>(i) - 0.5f));
        c *= mfnorm;
        if (m_cfg.cepLifter > 0) c *= m_cepLiftWin[j];
        row[col++] = c;
    }
    if (m_cfg.tgtKind & PK_0) {
        float sum = 0.0f;
        for (int i = 1; i <= numChans; ++i) sum += chans[i];
        row[col++] = sum * mfnorm;
    }
    if (m_cfg.tgtKind & PK_E) row[col++] = te < 2.45e-308 ? -1.0e10f : std::log(te);
}

void CFeaBuf::normaliseEnergy(int column) {
    float maxE = m_data[column];
    for (int t = 1; t < m_frameNum; ++t) maxE = std::max(maxE, m_data[static_cast<size_t>(t) * m_vecSize + column]);
    const float minE = static_cast<float>(maxE - m_cfg.silFloor * std::log(10.0) / 10.0);
    for (int t = 0; t < m_frameNum; ++t) {
        float& e = m_data[static_cast<size_t>(t) * m_vecSize + column];
        if (e < minE) e = minE;
        e = 1.0f - (maxE - e) * m_cfg.eScale;
    }
}

// Regression deltas of columns from .. from+width-1 into to .. to+width-1;
// frames beyond either end repeat the first or last frame.
void CFeaBuf::addDeltas(int from, int to, int width, int window) {
    const int T = m_frameNum;
    float sigmaT2 = 0.0f;
    for (int th = 1; th <= window; ++th) sigmaT2 += static_cast<float>(th * th);
    const float denom = 2.0f * sigmaT2;
    for (int t = 0; t < T; ++t) {
        float* row = &m_data[static_cast<size_t>(t) * m_vecSize];
        for (int j = 0; j < width; ++j) {
            float sum = 0.0f;
            for (int th = 1; th <= window; ++th) {
                const int fwd = std::min(t + th, T - 1);
                const int back = std::max(t - th, 0);
                sum += static_cast<float>(th) * (m_data[static_cast<size_t>(fwd) * m_vecSize + from + j] -
                                                 m_data[static_cast<size_t>(back) * m_vecSize + from + j]);
            }
            row[to + j] = sum / denom;
        }
    }
}

void CFeaBuf::compute(const int32_t* samples, int fs, int nbits, int sampleNum, const std::string& cfgPath,
                      int& frameNum, int& vecSize) {
    (void)nbits;  // samples are in the 16-bit range by the time they get here
    {
        FILE* fp = fopen(cfgPath.c_str(), "r");
        if (!fp) fatalErrorF("Cannot open config file %s! (line %d of %s)", cfgPath.c_str(), __LINE__, kUnit);
        fclose(fp);
    }
    readConfig(cfgPath);
    computeConfigured(samples, fs, sampleNum, frameNum, vecSize);
}

void CFeaBuf::compute(const int32_t* samples, int fs, int nbits, int sampleNum, const featureConfig& cfg,
                      int& frameNum, int& vecSize) {
    (void)nbits;
    m_cfg = cfg;
    computeConfigured(samples, fs, sampleNum, frameNum, vecSize);
}

void CFeaBuf::computeConfigured(const int32_t* samples, int fs, int sampleNum, int& frameNum, int& vecSize) {
    if (fs <= 0 || fs > 10000000) fatalErrorF("Invalid sample rate fs=%d (line %d of %s)", fs, __LINE__, kUnit);
    m_sampPeriod = static_cast<int32_t>(1.0e7 / fs);
    // Checked before the conversion: a window of 1e13 would not fit an int.
    const float frameSize = m_cfg.winSize / static_cast<float>(m_sampPeriod);
    const float frameShift = m_cfg.tgtRate / static_cast<float>(m_sampPeriod);
    if (!(frameSize >= 2.0f && frameSize < kMaxFrameSize + 1.0f && frameShift >= 1.0f && frameShift < 2147483648.0f))
        fatalErrorF("Invalid window size %g or frame shift %g for fs=%d (line %d of %s)", m_cfg.winSize,
                    m_cfg.tgtRate, fs, __LINE__, kUnit);
    m_frameSize = static_cast<int32_t>(frameSize);
    m_frameShift = static_cast<int32_t>(frameShift);
    if (m_frameSize < 2 || m_frameSize > kMaxFrameSize || m_frameShift < 1)
        fatalErrorF("Invalid window size %g or frame shift %g for fs=%d (line %d of %s)", m_cfg.winSize,
                    m_cfg.tgtRate, fs, __LINE__, kUnit);
    if (m_cfg.numChans < 1 || m_cfg.numChans > kMaxChans || m_cfg.numCepCoef < 1 || m_cfg.numCepCoef > kMaxCeps)
        fatalErrorF("Invalid NUMCHANS=%d or NUMCEPS=%d (line %d of %s)", m_cfg.numChans, m_cfg.numCepCoef,
                    __LINE__, kUnit);

    const uint16_t kind = m_cfg.tgtKind;
    const bool hasD = (kind & PK_D) != 0;
    const bool hasA = (kind & PK_A) != 0;
    if (hasA && !hasD)
        fatalErrorF("Parameter kind with _A needs _D as well (line %d of %s)", __LINE__, kUnit);
    if ((hasD && m_cfg.delWin < 1) || (hasA && m_cfg.accWin < 1))
        fatalErrorF("Invalid DELTAWINDOW=%d or ACCWINDOW=%d (line %d of %s)", m_cfg.delWin, m_cfg.accWin, __LINE__,
                    kUnit);

    m_baseSize = m_cfg.numCepCoef + ((kind & PK_E) ? 1 : 0) + ((kind & PK_0) ? 1 : 0);
    m_vecSize = hasA ? 3 * m_baseSize : hasD ? 2 * m_baseSize : m_baseSize;
    m_frameNum = (samples == nullptr || sampleNum < m_frameSize) ? 0 : (sampleNum - m_frameSize) / m_frameShift + 1;
    frameNum = m_frameNum;
    vecSize = m_vecSize;

    initTables();
    m_data.assign(static_cast<size_t>(m_frameNum) * m_vecSize, 0.0f);
    if (m_frameNum == 0) return;
    for (int t = 0; t < m_frameNum; ++t)
        analyseFrame(samples + static_cast<size_t>(t) * m_frameShift, &m_data[static_cast<size_t>(t) * m_vecSize]);

    // The energy is the last static value; the deltas of the whole static
    // block follow it, then the accelerations.
    if ((kind & PK_E) && m_cfg.eNormalise) normaliseEnergy(m_baseSize - 1);
    if (hasD) addDeltas(0, m_baseSize, m_baseSize, m_cfg.delWin);
    if (hasA) addDeltas(m_baseSize, 2 * m_baseSize, m_baseSize, m_cfg.accWin);

    if (kind & PK_Z) {
        // Cepstral mean subtraction over the utterance.
        for (int j = 0; j < m_cfg.numCepCoef; ++j) {
            double sum = 0.0;
            for (int t = 0; t < m_frameNum; ++t) sum += m_data[static_cast<size_t>(t) * m_vecSize + j];
            const float mean = static_cast<float>(sum / m_frameNum);
            for (int t = 0; t < m_frameNum; ++t) m_data[static_cast<size_t>(t) * m_vecSize + j] -= mean;
        }
    }
}

void CFeaBuf::write2bin(const std::string& path) const {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out.is_open())
        fatalErrorF("[ERRMSG] CFeaBuf::write2bin => Can't write to file %s (line %d of %s)", path.c_str(), __LINE__,
                    kUnit);
    if (m_frameNum < 1)
        fatalErrorF("[ERRMSG] CFeaBuf::write2bin => Write frame number error! (line %d of %s)", __LINE__, kUnit);
    if (!(m_cfg.winSize >= 1.0f))
        fatalErrorF("[ERRMSG] CFeaBuf::write2bin => Write frame period error! (line %d of %s)", __LINE__, kUnit);
    if (static_cast<int16_t>(4 * m_vecSize) < 1)
        fatalErrorF("[ERRMSG] CFeaBuf::write2bin => Write bytes_per_frame error! (line %d of %s)", __LINE__, kUnit);
    for (int t = 0; t < m_frameNum; ++t) {
        const float* row = &m_data[static_cast<size_t>(t) * m_vecSize];
        for (int j = 0; j < m_vecSize; ++j) out << row[j] << ' ';
        out << '\n';
    }
    if (!out)
        fatalErrorF("[ERRMSG] CFeaBuf::write2bin => Can't write to file %s (line %d of %s)", path.c_str(), __LINE__,
                    kUnit);
}

}  // namespace qv
