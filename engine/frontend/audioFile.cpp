#include "engine/frontend/audioFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "capture/wave.h"
#include "engine/frontend/flvimpl.h"
#include "engine/frontend/lib/audio.h"
#include "engine/utility.h"

namespace qv {

namespace {

const char* const kUnit = "audioFile";

// The level check and the dynamic-range test look at 20 ms frames every 10 ms.
const int kVolFrameSize = 320;
const int kVolOverlap = 160;
const int kTargetFs = 16000;
const int kTargetBits = 16;
// A sample sits at full scale from the top step of 8-bit audio up (99.2 %
// of 16-bit full scale); a recording is clipped when runs of at least 3 such
// samples make up at least 0.1 % of its speech. Single peaks that touch full
// scale are ordinary in loud, clean speech and do not count.
const int32_t kFullScale = 32512;
const int kClipRun = 3;
const double kClipShare = 0.001;
// Frames louder than this (mean absolute deviation) hold sound, not silence.
const int32_t kQuietFrameLevel = 200;
// Below this ratio of loud to quiet frames the recording is taken as noisy.
const float kSpecSubRatio = 2.35456f;
// WAVE_FORMAT_EXTENSIBLE: PCM with a longer format record.
const int kFormatExtensible = 0xFFFE;

}  // namespace

static waveSignal readAudioFileAs(const std::string& path);

waveSignal readAudioFile(const std::string& path) {
    // Whatever goes wrong in a reader is about the audio file.
    try {
        return readAudioFileAs(path);
    } catch (const FatalError& e) {
        if (e.kind() != FatalKind::Data) throw;
        throw FatalError(e.message(), FatalKind::UnreadableAudio);
    }
}

static waveSignal readAudioFileAs(const std::string& path) {
    const std::string ext = path.size() >= 3 ? path.substr(path.size() - 3) : std::string();
    if (FILE* fp = fopen(path.c_str(), "rb")) {
        const long size = fseek(fp, 0, SEEK_END) == 0 ? ftell(fp) : -1;
        fclose(fp);
        if (size > MAX_AUDIO_FILE_BYTES)
            fatalErrorF("Audio file %s holds %ld bytes, more than the %ld accepted (%d s of audio) (line %d in %s)",
                        path.c_str(), size, MAX_AUDIO_FILE_BYTES, MAX_AUDIO_SECONDS, __LINE__, kUnit);
    }
    waveSignal wave;
    if (ext == "wav" || ext == "WAV") {
        wave = readWaveFile(path);
    } else if (ext == "flv" || ext == "FLV") {
        int32_t rate = 0, sampleSize = 0, count = 0, channels = 0;
        const std::vector<int16_t> pcm = readFlvFile(path.c_str(), rate, sampleSize, count, channels);
        wave.signal.assign(pcm.begin(), pcm.end());
        wave.sampleNum = static_cast<int32_t>(wave.signal.size());
        wave.fs = rate;
        // The decoder always yields 16-bit values whatever the stream's
        // sample-size flag says; widening them again as 8-bit data would
        // multiply them by 256 and saturate the whole signal.
        wave.nbits = kTargetBits;
    } else if (ext == "raw" || ext == "RAW") {
        wave = readRawFile(path);
    } else {
        fatalErrorF("Can't open audio file %s", path.c_str());
    }
    if (wave.sampleNum <= 0)
        fatalErrorF("No samples in audio file %s (line %d in %s)", path.c_str(), __LINE__, kUnit);
    return wave;
}

waveSignal readWaveFile(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) fatalErrorF("Can't open wave file %s (line %d in %s)", path.c_str(), __LINE__, kUnit);
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof(buf), fp)) > 0) bytes.insert(bytes.end(), buf, buf + got);
    fclose(fp);
    return readWaveBytes(bytes, path);
}

waveSignal readWaveBytes(const std::vector<uint8_t>& bytes, const std::string& path) {
    waveSignal wave;
    {
        CWave cw(1, 8000, 8);
        if (!cw.loadBytes(bytes)) fatalErrorF("Can't open wave file %s (line %d in %s)", path.c_str(), __LINE__, kUnit);
        // Mu-law arrives here already decoded to PCM; other codings (A-law,
        // ADPCM, float) would be misread as linear samples.
        const int tag = cw.format().formatTag;
        if (tag != WAVE_FORMAT_PCM_TAG && tag != kFormatExtensible)
            fatalErrorF("Unsupported wave format tag %d in %s (line %d in %s)", tag, path.c_str(), __LINE__, kUnit);
        wave.fs = cw.sampleRate();
        wave.nbits = cw.bitsPerSample();
        if (wave.nbits != 8 && wave.nbits != 16)
            fatalErrorF("Unsupported sample width %d bits in wave file %s (line %d in %s)", wave.nbits,
                        path.c_str(), __LINE__, kUnit);
        const int count = cw.dataSize() / (wave.nbits / 8);
        std::vector<int32_t> interleaved(static_cast<size_t>(count));
        const int got = std::max(cw.getSamples(interleaved.data(), count), 0);
        // 8-bit data is unsigned around 128; without the offset removed here
        // the width step would scale it into a fully saturated signal.
        if (wave.nbits == 8)
            for (int32_t& v : interleaved) v -= 128;
        // Several channels are mixed down to one (their mean, rounded), so
        // that interleaved frames are not taken for consecutive samples.
        const int channels = std::max<int>(cw.channels(), 1);
        const size_t frames = static_cast<size_t>(got) / static_cast<size_t>(channels);
        wave.signal.resize(frames);
        for (size_t i = 0; i < frames; ++i) {
            int64_t sum = 0;
            for (int c = 0; c < channels; ++c) sum += interleaved[i * static_cast<size_t>(channels) + static_cast<size_t>(c)];
            wave.signal[i] = static_cast<int32_t>(std::llround(static_cast<double>(sum) / channels));
        }
    }
    wave.sampleNum = static_cast<int32_t>(wave.signal.size());
    return wave;
}

waveSignal readRawFile(const std::string& path) {
    FILE* fp = openOrDie(path, "rb");
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof(buf), fp)) > 0) bytes.insert(bytes.end(), buf, buf + got);
    fclose(fp);
    return readRawBytes(bytes);
}

waveSignal readRawBytes(const std::vector<uint8_t>& bytes) {
    waveSignal wave;
    const size_t count = bytes.size() / 2;
    wave.signal.resize(count);
    for (size_t i = 0; i < count; ++i)
        wave.signal[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    wave.sampleNum = static_cast<int32_t>(count);
    wave.fs = kTargetFs;
    wave.nbits = kTargetBits;
    return wave;
}

std::string waveVolumeText(int code) {
    switch (code) {
        case VOLUME_NORMAL:
            return "Normal volume.";
        case VOLUME_MAX_TOO_SMALL:
            return strFormat("Max volume too small. Please increase the microphone's gain. (line %d in %s)",
                             __LINE__, "recogTask");
        case VOLUME_MIN_TOO_BIG:
            return strFormat("Min volume too big. Please decrease the microphone's gain.  (line %d in %s)",
                             __LINE__, "recogTask");
        case VOLUME_SATURATED:
            return strFormat(
                "Too many saturated wave samples. Please decrease the microphone's gain. Please do not turn on "
                "gain boost. (line %d in %s)",
                __LINE__, "recogTask");
        default:
            fatalErrorF("Unknown volume verdict %d (line %d in %s)", code, __LINE__, kUnit);
    }
}

int waveVolumeCheck(const int32_t* signal, int sampleNum) {
    const int frameNum = getFrameNum(sampleNum, kVolFrameSize, kVolOverlap);
    if (frameNum < 1)
        fatalErrorF("Signal of %d samples is shorter than one frame of %d samples (line %d in %s)", sampleNum,
                    kVolFrameSize, __LINE__, kUnit);
    const std::vector<int32_t> vol = frameVolume(signal, sampleNum, kVolFrameSize, kVolOverlap, 1);
    const int32_t maxVol = *std::max_element(vol.begin(), vol.end());
    if (maxVol / kVolFrameSize < 1600) return VOLUME_MAX_TOO_SMALL;
    const int32_t minVol = *std::min_element(vol.begin(), vol.end());
    if (minVol / kVolFrameSize > 200) return VOLUME_MIN_TOO_BIG;
    if (clippedShare(signal, sampleNum) >= kClipShare) return VOLUME_SATURATED;
    return VOLUME_NORMAL;
}

double clippedShare(const int32_t* signal, int sampleNum) {
    if (sampleNum <= 0) return 0;
    int64_t clipped = 0;
    int run = 0, sign = 0;
    for (int i = 0; i <= sampleNum; ++i) {
        const int s = i == sampleNum ? 0 : signal[i] >= kFullScale ? 1 : signal[i] <= -kFullScale ? -1 : 0;
        if (s != 0 && s == sign) {
            ++run;
            continue;
        }
        if (run >= kClipRun) clipped += run;
        run = s != 0 ? 1 : 0;
        sign = s;
    }
    // The speech: the frames that are not silent, or the whole signal when
    // there is no such frame (a share of a constant signal).
    int64_t speech = 0;
    const int frameNum = getFrameNum(sampleNum, kVolFrameSize, kVolOverlap);
    if (frameNum > 0) {
        const std::vector<int32_t> vol = frameVolume(signal, sampleNum, kVolFrameSize, kVolOverlap, 1);
        for (int32_t v : vol)
            if (v / kVolFrameSize > kQuietFrameLevel) speech += kVolFrameSize - kVolOverlap;
    }
    if (speech == 0) speech = sampleNum;
    return static_cast<double>(clipped) / static_cast<double>(speech);
}

double speechSeconds(const int32_t* signal, int sampleNum) {
    const int frameNum = getFrameNum(sampleNum, kVolFrameSize, kVolOverlap);
    if (frameNum < 1) return 0;
    std::vector<int32_t> vol = frameVolume(signal, sampleNum, kVolFrameSize, kVolOverlap, 1);
    std::vector<int32_t> sorted(vol);
    std::sort(sorted.begin(), sorted.end());
    // The background: the frame a tenth of the way up from the quietest.
    const int64_t floor = sorted[static_cast<size_t>(frameNum / 10)] / kVolFrameSize;
    const int64_t level = std::max<int64_t>(kQuietFrameLevel, 4 * floor);
    int loud = 0;
    for (int32_t v : vol)
        if (v / kVolFrameSize > level) ++loud;
    return loud * static_cast<double>(kVolFrameSize - kVolOverlap) / kTargetFs;
}

std::string levelWarning(int code, const int32_t* signal, int sampleNum) {
    switch (code) {
        case VOLUME_MAX_TOO_SMALL:
            return "the recording is too quiet: even its loudest part is below the level of clear speech "
                   "(raise the microphone gain)";
        case VOLUME_MIN_TOO_BIG:
            return "the recording has no quiet part: no silence around the speech, or a loud background";
        case VOLUME_SATURATED:
            return strFormat("the recording is clipped: %.1f %% of the speech sits at full scale (lower the "
                             "microphone gain, turn off any gain boost)",
                             100.0 * clippedShare(signal, sampleNum));
        default:
            return "";
    }
}

int resampleLength(int inNum, int inFs, int outFs) {
    if (inNum <= 0) return 0;
    if (inFs <= 0 || outFs <= 0)
        fatalErrorF("Invalid resampling rates %d -> %d (line %d in %s)", inFs, outFs, __LINE__, kUnit);
    return static_cast<int>(std::floor(static_cast<double>(inNum - 1) * outFs / inFs)) + 1;
}

void resampleLinear(const int32_t* in, int inNum, int inFs, int outFs, int32_t* out, int outNum) {
    if (inNum <= 0 || outNum <= 0) return;
    if (inFs <= 0 || outFs <= 0)
        fatalErrorF("Invalid resampling rates %d -> %d (line %d in %s)", inFs, outFs, __LINE__, kUnit);
    out[0] = in[0];
    out[outNum - 1] = in[inNum - 1];
    for (int i = 1; i < outNum - 1; ++i) {
        const double x = static_cast<double>(i) * inFs / outFs;
        int j = static_cast<int>(std::floor(x));
        // An output longer than resampleLength gives would read past the input.
        if (j > inNum - 1) j = inNum - 1;
        const int j1 = std::min(j + 1, inNum - 1);
        const double f = x - j;
        const float v = static_cast<float>((1.0 - f) * in[j] + f * in[j1]);
        out[i] = roundHalfAway(v);
    }
}

std::vector<int32_t> specSubtraction(const int32_t* signal, int sampleNum, int fs) {
    const int N = static_cast<int>(fs * 0.032);
    const int L = static_cast<int>(N * 0.6);
    const int H = N - L;
    if (N < 2 || H < 1 || sampleNum < N) return std::vector<int32_t>(signal, signal + std::max(sampleNum, 0));
    const int frames = (sampleNum - L) / H;
    std::vector<int32_t> output(static_cast<size_t>(H) * frames + L, 0);

    std::vector<float> window(N);
    const double twoPi = 2.0 * 3.14159265358979323846;
    for (int i = 0; i < N; ++i) window[i] = static_cast<float>(0.54 - 0.46 * std::cos(i * twoPi / (N - 1)));

    std::vector<float> re(N), im(N), noise(N, 0.0f);
    auto loadFrame = [&](int t) {
        const int32_t* x = signal + static_cast<size_t>(t) * H;
        for (int i = 0; i < N; ++i) {
            re[i] = window[i] * static_cast<float>(x[i]);
            im[i] = 0.0f;
        }
        fftRadix2(re.data(), im.data(), N, false);
    };

    // The first quarter second is taken as noise; a shorter signal can only
    // lend the frames it has.
    int noiseFrames = static_cast<int>((fs * 0.25 - L) / H);
    noiseFrames = std::max(0, std::min(noiseFrames, frames));
    for (int t = 0; t < noiseFrames; ++t) {
        loadFrame(t);
        for (int k = 0; k < N; ++k) noise[k] += re[k] * re[k] + im[k] * im[k];
    }
    if (noiseFrames > 0)
        for (int k = 0; k < N; ++k) noise[k] /= static_cast<float>(noiseFrames);

    for (int t = 0; t < frames; ++t) {
        loadFrame(t);
        for (int k = 0; k < N; ++k) {
            const float phase = std::atan2(im[k], re[k]);
            float p = re[k] * re[k] + im[k] * im[k] - noise[k];
            if (p < 0.0f) p = 0.0f;
            const float mag = std::sqrt(p);
            re[k] = mag * std::cos(phase);
            im[k] = mag * std::sin(phase);
        }
        fftRadix2(re.data(), im.data(), N, true);
        int32_t* y = output.data() + static_cast<size_t>(t) * H;
        for (int i = 0; i < N; ++i) y[i] += roundHalfAway(re[i] / static_cast<float>(N));
    }
    return output;
}

int prepareWave(std::vector<int32_t>& signal, int32_t& sampleNum, int32_t& fs, int32_t& nbits, recogParam& prm) {
    if (sampleNum < 0 || static_cast<size_t>(sampleNum) > signal.size())
        fatalErrorF("Sample count %d does not match the %zu samples held (line %d in %s)", sampleNum, signal.size(),
                    __LINE__, kUnit);
    signal.resize(static_cast<size_t>(sampleNum));
    // Checked before anything is allocated: a rate of 1 Hz would ask the
    // resampler for 16000 values per sample.
    if (fs != kTargetFs && fs > 0 && (fs < MIN_AUDIO_FS || fs > MAX_AUDIO_FS))
        fatalErrorF("Sample rate %d Hz is outside the %d to %d Hz the engine accepts (line %d in %s)", fs,
                    MIN_AUDIO_FS, MAX_AUDIO_FS, __LINE__, kUnit);
    if (fs > 0 && sampleNum > static_cast<int64_t>(MAX_AUDIO_SECONDS) * fs)
        fatalErrorF("The recording lasts %.1f s, longer than the %d s the engine accepts (line %d in %s)",
                    static_cast<double>(sampleNum) / fs, MAX_AUDIO_SECONDS, __LINE__, kUnit);

    if (nbits != kTargetBits) {
        if (nbits < 1 || nbits > kTargetBits)
            fatalErrorF("Unsupported sample width nbits=%d (line %d in %s)", nbits, __LINE__, kUnit);
        const int32_t factor = static_cast<int32_t>(std::pow(2.0, kTargetBits - nbits));
        consolePrintf("nbits=%d ===> Amplify to have nbits=%d\n", nbits, kTargetBits);
        for (int32_t& v : signal) v *= factor;
        nbits = kTargetBits;
    }

    if (fs != kTargetFs) {
        if (fs <= 0) fatalErrorF("Invalid sample rate fs=%d (line %d in %s)", fs, __LINE__, kUnit);
        consolePrintf("fs=%d ===> Resample to have fs=%d\n", fs, kTargetFs);
        const int outNum = resampleLength(sampleNum, fs, kTargetFs);
        std::vector<int32_t> out(static_cast<size_t>(outNum));
        resampleLinear(signal.data(), sampleNum, fs, kTargetFs, out.data(), outNum);
        signal.swap(out);
        fs = kTargetFs;
        sampleNum = outNum;
    }

    if (sampleNum < kVolFrameSize)
        fatalErrorKF(FatalKind::NoSpeech,
                     "Wave too short: %d samples, fewer than one analysis frame of %d samples (line %d in %s)",
                     sampleNum, kVolFrameSize, __LINE__, kUnit);

    const int code = waveVolumeCheck(signal.data(), sampleNum);
    const std::string verdict = waveVolumeText(code);
    if (code != VOLUME_NORMAL && prm.useWaveReject != 0) {
        std::vector<int32_t>().swap(signal);
        sampleNum = 0;
        fatalError(verdict, code == VOLUME_SATURATED ? FatalKind::Clipped : FatalKind::TooQuiet);
    }
    if (prm.outputDir[0] != '\0') {
        const std::string path = std::string(prm.outputDir) + "/waveVolumeCheck.txt";
        FILE* fp = openOrDie(path, "w");
        fprintf(fp, "%s\n", verdict.c_str());
        fclose(fp);
    }

    // Dynamic range: the loud end over the quiet end of the frame volumes,
    // each a tenth of the frames in from its extreme.
    std::vector<int32_t> vol = frameVolume(signal.data(), sampleNum, kVolFrameSize, kVolOverlap, 1);
    std::sort(vol.begin(), vol.end());
    const int frameNum = static_cast<int>(vol.size());
    const int k = std::max(frameNum / 10, 1);
    int32_t low = vol[k - 1];
    if (low == 0) low = 1;
    // With a single frame the (k+1)-th largest does not exist; use the frame.
    const int32_t high = vol[std::max(frameNum - k - 1, 0)];
    const float ratio = static_cast<float>(high) / static_cast<float>(low);
    if (ratio < kSpecSubRatio && prm.useSpecSubtraction != 0) {
        consolePrintf("Perform spectrum subtraction...\n");
        prm.useDescCandidateNum = 0;
        std::vector<int32_t> out = specSubtraction(signal.data(), sampleNum, fs);
        signal.swap(out);
        sampleNum = static_cast<int32_t>(signal.size());
    }

    // Integer mean, truncated toward zero; 64 bits because ten seconds of
    // loud 16-bit audio already overflow a 32-bit sum.
    int64_t sum = 0;
    for (int32_t v : signal) sum += v;
    const int32_t mean = sampleNum > 0 ? static_cast<int32_t>(sum / sampleNum) : 0;
    for (int32_t& v : signal) v -= mean;
    return code;
}

int prepareWave(waveSignal& wave, recogParam& prm) {
    return prepareWave(wave.signal, wave.sampleNum, wave.fs, wave.nbits, prm);
}

}  // namespace qv
