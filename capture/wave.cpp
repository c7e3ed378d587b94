#include "wave.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "engine/utility.h"
#include "platform/mmErrors.h"

namespace qv {

namespace {

const char* const kOwnErrors[] = {
    "No error.",
    "Wave format mismatch.",
    "Device required in use.",
    "MMTIME required time format not supported.",
    "File open error.",
    "File close error.",
    "File chunk read error.",
    "File data read error.",
    "File chunk write error.",
    "File data write error.",
};

constexpr size_t kFormatRecordSize = 18;

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void putFormat(std::vector<uint8_t>& out, const WaveFormat& f) {
    put16(out, f.formatTag);
    put16(out, f.channels);
    put32(out, f.samplesPerSec);
    put32(out, f.avgBytesPerSec);
    put16(out, f.blockAlign);
    put16(out, f.bitsPerSample);
    put16(out, f.extraSize);
}

// Fits the samples into [lo, hi] (the width's range) the way the recording
// path expects: keep them when they fit, else shift by the mean, the minimum
// or the maximum, and only scale when the spread itself is too wide.
void fitSamples(const int32_t* x, int n, int64_t lo, int64_t hi, int64_t center, int64_t scaleTop,
                std::vector<int64_t>& out) {
    out.assign(static_cast<size_t>(n), 0);
    if (n <= 0) return;
    int64_t mx = x[0], mn = x[0];
    double sum = 0;
    for (int i = 0; i < n; ++i) {
        mx = std::max<int64_t>(mx, x[i]);
        mn = std::min<int64_t>(mn, x[i]);
        sum += x[i];
    }
    const int64_t mean = roundHalfAway(sum / n);
    const int64_t range = hi - lo + 1;  // 65536 or 256
    const int64_t half = range / 2;     // 32768 or 128
    if (mx - mn < range) {
        int64_t shift;
        if (mn >= lo && mx <= hi)
            shift = 0;
        else if (mx - mean < half && mn - mean >= -half)
            shift = mean - center;
        else if (mx - mean < half)
            shift = mn - lo;
        else
            shift = mx - hi;
        for (int i = 0; i < n; ++i) out[static_cast<size_t>(i)] = x[i] - shift;
    } else {
        const double d = static_cast<double>(std::max(mx - mean, mean - mn));
        for (int i = 0; i < n; ++i) {
            int64_t v = roundHalfAway(static_cast<double>(x[i] - mean) * static_cast<double>(scaleTop) / d) + center;
            out[static_cast<size_t>(i)] = std::min(hi, std::max(lo, v));
        }
    }
}

}  // namespace

uint8_t linearToMuLaw(int16_t sample) {
    static uint8_t expLut[256];
    static bool ready = false;
    if (!ready) {
        for (int i = 0; i < 256; ++i) {
            int e = 0;
            for (int v = i; v > 1; v >>= 1) ++e;
            expLut[i] = static_cast<uint8_t>(e);
        }
        ready = true;
    }
    int s = sample;
    int sign = (s >> 8) & 0x80;
    if (sign) s = -s;
    if (s > 32635) s = 32635;
    s += 132;
    int exponent = expLut[(s >> 7) & 0xFF];
    int mantissa = (s >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

int16_t muLawToLinear(uint8_t byte) {
    static const int kBias[8] = {0, 132, 396, 924, 1980, 4092, 8316, 16764};
    uint8_t u = static_cast<uint8_t>(~byte);
    int exponent = (u >> 4) & 7;
    int mantissa = u & 0x0F;
    int magnitude = (mantissa << (exponent + 3)) + kBias[exponent];
    return static_cast<int16_t>((u & 0x80) ? -magnitude : magnitude);
}

CWave::CWave(int channels, int samplesPerSec, int bits) { setFormat(channels, samplesPerSec, bits); }

bool CWave::setFormat(int channels, int samplesPerSec, int bits) {
    close();
    m_format.formatTag = WAVE_FORMAT_PCM_TAG;
    m_format.channels = static_cast<uint16_t>(channels);
    m_format.samplesPerSec = static_cast<uint32_t>(samplesPerSec);
    m_format.bitsPerSample = static_cast<uint16_t>(bits);
    m_format.blockAlign = static_cast<uint16_t>(bits * channels / 8);
    m_format.avgBytesPerSec = m_format.blockAlign * m_format.samplesPerSec;
    m_format.extraSize = 0;
    return true;
}

bool CWave::close() {
    m_data.clear();
    m_data.shrink_to_fit();
    return true;
}

bool CWave::fail(int code) {
    errorText(code, WAVE_ERR_OWN);
    return false;
}

const std::string& CWave::errorText(int code, int source) {
    if (source == WAVE_ERR_WAVEIN)
        m_lastError = waveInErrorText(static_cast<uint32_t>(code));
    else if (source == WAVE_ERR_WAVEOUT)
        m_lastError = waveOutErrorText(static_cast<uint32_t>(code));
    else if (code >= 0 && code < static_cast<int>(sizeof(kOwnErrors) / sizeof(kOwnErrors[0])))
        m_lastError = kOwnErrors[code];
    else
        m_lastError = "Unspecified error.";
    return m_lastError;
}

void CWave::setSamples(const int32_t* samples, int count) {
    const int bits = m_format.bitsPerSample;
    if (count < 0) count = 0;
    m_data.assign(static_cast<size_t>(bits) * static_cast<size_t>(count) / 8, 0);
    std::vector<int64_t> fitted;
    if (bits == 16) {
        fitSamples(samples, count, -32768, 32767, 0, 32767, fitted);
        for (int i = 0; i < count; ++i) {
            uint16_t v = static_cast<uint16_t>(static_cast<int16_t>(fitted[static_cast<size_t>(i)]));
            m_data[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(v & 0xFF);
            m_data[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
        }
    } else if (bits == 8) {
        fitSamples(samples, count, 0, 255, 128, 127, fitted);
        for (int i = 0; i < count; ++i) m_data[static_cast<size_t>(i)] = static_cast<uint8_t>(fitted[static_cast<size_t>(i)]);
    }
}

int CWave::getSamples(int32_t* samples, int capacity) const {
    const int bits = m_format.bitsPerSample;
    if (bits != 8 && bits != 16) return 0;
    const int bytes = bits / 8;
    int count = std::min(capacity, static_cast<int>(m_data.size() / static_cast<size_t>(bytes)));
    for (int i = 0; i < count; ++i) {
        if (bits == 8)
            samples[i] = m_data[static_cast<size_t>(i)];
        else
            samples[i] = static_cast<int16_t>(get16(&m_data[2 * static_cast<size_t>(i)]));
    }
    return count;
}

bool CWave::save(const std::string& path, bool muLaw) {
    if (muLaw && m_format.bitsPerSample != 16) return fail(WERR_FORMATMISMATCH);

    WaveFormat fmt = m_format;
    std::vector<uint8_t> payload;
    if (muLaw) {
        fmt.formatTag = WAVE_FORMAT_MULAW_TAG;
        fmt.avgBytesPerSec = static_cast<uint32_t>(fmt.channels) * fmt.samplesPerSec;
        fmt.blockAlign = fmt.channels;
        fmt.bitsPerSample = 8;
        fmt.extraSize = 0;
        payload.reserve(m_data.size() / 2);
        for (size_t i = 0; i + 1 < m_data.size(); i += 2)
            payload.push_back(linearToMuLaw(static_cast<int16_t>(get16(&m_data[i]))));
    }
    const std::vector<uint8_t>& data = muLaw ? payload : m_data;
    if (data.size() > std::numeric_limits<uint32_t>::max() - 64) return fail(WERR_DATAWRITE);

    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) return fail(WERR_FILEOPEN);

    const uint32_t dataSize = static_cast<uint32_t>(data.size());
    const uint32_t pad = dataSize & 1;
    std::vector<uint8_t> head;
    head.insert(head.end(), {'R', 'I', 'F', 'F'});
    put32(head, 4 + 8 + kFormatRecordSize + 8 + dataSize + pad);
    head.insert(head.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(head, kFormatRecordSize);
    putFormat(head, fmt);
    head.insert(head.end(), {'d', 'a', 't', 'a'});
    put32(head, dataSize);

    bool ok = fwrite(head.data(), 1, head.size(), fp) == head.size();
    if (!ok) {
        fclose(fp);
        return fail(WERR_CHUNKWRITE);
    }
    if (dataSize && fwrite(data.data(), 1, dataSize, fp) != dataSize) {
        fclose(fp);
        return fail(WERR_DATAWRITE);
    }
    if (pad && fputc(0, fp) == EOF) {
        fclose(fp);
        return fail(WERR_CHUNKWRITE);
    }
    if (fclose(fp) != 0) return fail(WERR_FILECLOSE);
    return true;
}

bool CWave::load(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return fail(WERR_FILEOPEN);
    std::vector<uint8_t> file;
    {
        uint8_t buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) file.insert(file.end(), buf, buf + n);
        fclose(fp);
    }
    return loadBytes(file);
}

bool CWave::loadBytes(const std::vector<uint8_t>& file) {

    // Walk the chunks of the RIFF form: every size is checked against the
    // bytes really present, unknown chunks are skipped, odd sizes padded.
    if (file.size() < 12 || memcmp(&file[0], "RIFF", 4) != 0 || memcmp(&file[8], "WAVE", 4) != 0)
        return fail(WERR_CHUNKREAD);
    const uint64_t riffEnd = 8 + static_cast<uint64_t>(get32(&file[4]));
    if (riffEnd > file.size()) return fail(WERR_CHUNKREAD);

    bool haveFmt = false;
    WaveFormat fmt;
    const uint8_t* dataPtr = nullptr;
    uint32_t dataSize = 0;
    bool haveData = false;
    uint64_t pos = 12;
    while (pos + 8 <= riffEnd) {
        const uint8_t* id = &file[pos];
        const uint32_t size = get32(&file[pos + 4]);
        const uint64_t body = pos + 8;
        const bool isData = memcmp(id, "data", 4) == 0;
        if (body + size > riffEnd) return fail(isData ? WERR_DATAREAD : WERR_CHUNKREAD);
        if (memcmp(id, "fmt ", 4) == 0 && !haveFmt) {
            if (size < 16) return fail(WERR_CHUNKREAD);
            const uint8_t* p = &file[body];
            fmt.formatTag = get16(p);
            fmt.channels = get16(p + 2);
            fmt.samplesPerSec = get32(p + 4);
            fmt.avgBytesPerSec = get32(p + 8);
            fmt.blockAlign = get16(p + 12);
            fmt.bitsPerSample = get16(p + 14);
            fmt.extraSize = size >= kFormatRecordSize ? get16(p + 16) : 0;
            haveFmt = true;
        } else if (isData && !haveData) {
            dataPtr = size ? &file[body] : nullptr;
            dataSize = size;
            haveData = true;
        }
        pos = body + size + (size & 1);
    }
    if (!haveFmt || !haveData) return fail(WERR_CHUNKREAD);
    if (dataSize == 0) return fail(WERR_DATAREAD);

    m_format = fmt;
    m_data.assign(dataPtr, dataPtr + dataSize);
    if (m_format.formatTag == WAVE_FORMAT_MULAW_TAG) {
        std::vector<uint8_t> pcm;
        pcm.reserve(m_data.size() * 2);
        for (uint8_t b : m_data) {
            uint16_t v = static_cast<uint16_t>(muLawToLinear(b));
            pcm.push_back(static_cast<uint8_t>(v & 0xFF));
            pcm.push_back(static_cast<uint8_t>(v >> 8));
        }
        m_data.swap(pcm);
        m_format.formatTag = WAVE_FORMAT_PCM_TAG;
        m_format.bitsPerSample = 16;
        m_format.blockAlign = static_cast<uint16_t>(m_format.channels * 2);
        m_format.avgBytesPerSec = m_format.blockAlign * m_format.samplesPerSec;
    }
    return true;
}

void reportDeviceError(uint32_t code, const std::string& context) {
    consolePrintf("ERROR 0x%08X: %s\r\n", code, context.c_str());
    std::string text;
    if (mmErrorText(code, text))
        consolePrintf("%s\r\n", text.substr(0, 127).c_str());
    else
        consolePrintf("0x%08X returned!\r\n", code);
}

}  // namespace qv
