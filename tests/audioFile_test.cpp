#include "engine/frontend/audioFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "capture/wave.h"
#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ConsoleCapture;
using qvtest::ScratchDir;

namespace {

void saveWave(const std::string& path, int fs, int bits, const std::vector<int32_t>& samples) {
    CWave w(1, fs, bits);
    w.setSamples(samples.data(), static_cast<int>(samples.size()));
    ASSERT_TRUE(w.save(path)) << w.lastError();
}

std::string le16(int v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }
std::string le32(uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); }

std::string fatalText(const std::function<void()>& f) { return qvtest::fatalMessage(f, ""); }

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

std::vector<int32_t> noise(int n, int amplitude, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> d(-amplitude, amplitude);
    std::vector<int32_t> x(n);
    for (int32_t& v : x) v = d(gen);
    return x;
}

recogParam quietParam() {
    recogParam prm;
    prm.outputDir[0] = '\0';
    prm.useWaveReject = 0;
    prm.useSpecSubtraction = 0;
    return prm;
}

}  // namespace

// ---- readers ---------------------------------------------------------------------

TEST(ReadAudioFile, ChoosesTheReaderByCaseSensitiveExtension) {
    ScratchDir dir;
    const std::vector<int32_t> x = {100, -200, 300, -32768, 32767};
    saveWave(dir.file("a.WAV"), 16000, 16, x);
    const waveSignal w = readAudioFile(dir.file("a.WAV"));
    EXPECT_EQ(w.signal, x);
    EXPECT_EQ(w.sampleNum, 5);
    EXPECT_EQ(w.fs, 16000);
    EXPECT_EQ(w.nbits, 16);

    saveWave(dir.file("b.Wav"), 16000, 16, x);
    EXPECT_EQ(fatalText([&] { readAudioFile(dir.file("b.Wav")); }), "Can't open audio file " + dir.file("b.Wav"));
    EXPECT_EQ(fatalText([&] { readAudioFile("av"); }), "Can't open audio file av");
    EXPECT_TRUE(contains(fatalText([&] { readAudioFile(dir.file("missing.wav")); }),
                         "Can't open wave file " + dir.file("missing.wav") + " (line "));
}

TEST(ReadAudioFile, RawFilesAreSigned16BitLittleEndian) {
    ScratchDir dir;
    // A trailing odd byte is not a sample.
    qvtest::writeFile(dir.file("x.raw"), le16(1) + le16(0xFFFF) + le16(0x8000) + le16(0x7FFF) + "\x7f");
    const waveSignal w = readAudioFile(dir.file("x.raw"));
    EXPECT_EQ(w.signal, (std::vector<int32_t>{1, -1, -32768, 32767}));
    EXPECT_EQ(w.fs, 16000);
    EXPECT_EQ(w.nbits, 16);

    qvtest::writeFile(dir.file("empty.RAW"), "");
    EXPECT_TRUE(contains(fatalText([&] { readAudioFile(dir.file("empty.RAW")); }), "No samples"));
}

TEST(ReadAudioFile, EightBitLosesItsOffsetChannelsMixDownOtherWidthsAreRejected) {
    ScratchDir dir;
    saveWave(dir.file("u8.wav"), 8000, 8, {0, 128, 255, 7});
    const waveSignal w = readWaveFile(dir.file("u8.wav"));
    EXPECT_EQ(w.signal, (std::vector<int32_t>{-128, 0, 127, -121}));  // unsigned around 128
    // A stereo file is one channel of frames, not interleaved samples.
    CWave st(2, 16000, 16);
    const std::vector<int32_t> lr = {100, 300, -50, -50, 7, 8};
    st.setSamples(lr.data(), 6);
    ASSERT_TRUE(st.save(dir.file("st.wav"), false));
    EXPECT_EQ(readWaveFile(dir.file("st.wav")).signal, (std::vector<int32_t>{200, -50, 8}));
    EXPECT_EQ(w.fs, 8000);
    EXPECT_EQ(w.nbits, 8);

    // 24-bit PCM: a well-formed file the engine has no conversion for.
    const std::string data = "\x01\x02\x03\x04\x05\x06";
    const std::string fmt = le16(1) + le16(1) + le32(16000) + le32(48000) + le16(3) + le16(24);
    const std::string body = "WAVEfmt " + le32(16) + fmt + "data" + le32(6) + data;
    qvtest::writeFile(dir.file("s24.wav"), "RIFF" + le32(static_cast<uint32_t>(body.size())) + body);
    EXPECT_TRUE(contains(fatalText([&] { readAudioFile(dir.file("s24.wav")); }), "Unsupported sample width 24"));

    // 8-bit A-law is not linear: rejected rather than read as unsigned PCM.
    const std::string alawFmt = le16(6) + le16(1) + le32(8000) + le32(8000) + le16(1) + le16(8);
    const std::string alaw = "WAVEfmt " + le32(16) + alawFmt + "data" + le32(4) + "\xd5\x55\xd5\x55";
    qvtest::writeFile(dir.file("alaw.wav"), "RIFF" + le32(static_cast<uint32_t>(alaw.size())) + alaw);
    EXPECT_TRUE(contains(fatalText([&] { readAudioFile(dir.file("alaw.wav")); }), "Unsupported wave format tag 6"));

    // Mu-law is decoded to 16-bit linear on loading.
    CWave mu(1, 8000, 16);
    const std::vector<int32_t> m = {0, 1000, -1000, 8000};
    mu.setSamples(m.data(), 4);
    ASSERT_TRUE(mu.save(dir.file("mu.wav"), true));
    const waveSignal mw = readAudioFile(dir.file("mu.wav"));
    EXPECT_EQ(mw.nbits, 16);
    ASSERT_EQ(mw.sampleNum, 4);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(mw.signal[i], m[i], std::abs(m[i]) / 16 + 8) << i;
}

TEST(ReadAudioFile, FlvWithoutAudioIsFatal) {
    ScratchDir dir;
    qvtest::writeFile(dir.file("h.flv"), std::string("FLV\x01\x04\x00\x00\x00\x09", 9) + std::string(4, '\0'));
    EXPECT_TRUE(contains(fatalText([&] { readAudioFile(dir.file("h.flv")); }), "No samples in audio file"));
}

// ---- width and rate ----------------------------------------------------------

TEST(Resample, LinearInterpolationKeepsTheEnds) {
    EXPECT_EQ(resampleLength(4, 8000, 16000), 7);
    EXPECT_EQ(resampleLength(1000, 8000, 16000), 1999);
    EXPECT_EQ(resampleLength(1000, 48000, 16000), 334);
    EXPECT_EQ(resampleLength(0, 8000, 16000), 0);

    const std::vector<int32_t> ramp = {0, 10, 20, 31};
    std::vector<int32_t> out(7);
    resampleLinear(ramp.data(), 4, 8000, 16000, out.data(), 7);
    // 25.5 rounds away from zero.
    EXPECT_EQ(out, (std::vector<int32_t>{0, 5, 10, 15, 20, 26, 31}));

    const std::vector<int32_t> neg = {0, -1, -4};
    out.resize(5);
    resampleLinear(neg.data(), 3, 8000, 16000, out.data(), 5);
    EXPECT_EQ(out, (std::vector<int32_t>{0, -1, -1, -3, -4}));  // -0.5 -> -1, -2.5 -> -3

    std::vector<int32_t> down(334);
    std::vector<int32_t> in(1000);
    for (int i = 0; i < 1000; ++i) in[i] = i;
    resampleLinear(in.data(), 1000, 48000, 16000, down.data(), 334);
    for (int i = 0; i < 333; ++i) EXPECT_EQ(down[i], 3 * i);
    EXPECT_EQ(down[333], 999);
}

TEST(PrepareWave, EightKilohertzEightBitIsWidenedAndResampled) {
    std::vector<int32_t> x(400);
    for (int i = 0; i < 400; ++i) x[i] = 128 + static_cast<int32_t>(60 * std::sin(i * 0.37)) + (i == 399 ? 50 : 0);
    std::vector<int32_t> sig = x;
    int32_t n = 400, fs = 8000, nbits = 8;
    recogParam prm = quietParam();
    ConsoleCapture con;
    prepareWave(sig, n, fs, nbits, prm);
    EXPECT_EQ(con.text, "nbits=8 ===> Amplify to have nbits=16\nfs=8000 ===> Resample to have fs=16000\n");
    EXPECT_EQ(fs, 16000);
    EXPECT_EQ(nbits, 16);
    EXPECT_EQ(n, 799);
    ASSERT_EQ(sig.size(), 799u);
    // DC removal shifts every sample alike, so differences keep the amplified ends.
    EXPECT_EQ(sig[0] - sig[798], 256 * (x[0] - x[399]));
    EXPECT_EQ(sig[2] - sig[0], 256 * (x[1] - x[0]));
}

TEST(PrepareWave, SixteenKilohertzSixteenBitIsNotConverted) {
    std::vector<int32_t> sig = noise(1600, 3000, 1);
    int32_t n = 1600, fs = 16000, nbits = 16;
    recogParam prm = quietParam();
    ConsoleCapture con;
    prepareWave(sig, n, fs, nbits, prm);
    EXPECT_EQ(con.text, "");
    EXPECT_EQ(n, 1600);
}

TEST(PrepareWave, UnusableWidthsAndShortSignalsAreFatal) {
    recogParam prm = quietParam();
    std::vector<int32_t> sig(1000, 1);
    int32_t n = 1000, fs = 16000, nbits = 24;
    EXPECT_TRUE(contains(fatalText([&] { prepareWave(sig, n, fs, nbits, prm); }), "nbits=24"));

    for (int rate : {16000, 8000}) {
        const int count = rate == 16000 ? 319 : 160;  // 160 at 8 kHz resamples to 319
        std::vector<int32_t> s = noise(count, 5000, 2);
        int32_t sn = count, sfs = rate, sb = 16;
        EXPECT_TRUE(contains(fatalText([&] { prepareWave(s, sn, sfs, sb, prm); }), "too short")) << rate;
    }
    std::vector<int32_t> s = noise(320, 5000, 3);
    int32_t sn = 320, sfs = 16000, sb = 16;
    EXPECT_NO_THROW(prepareWave(s, sn, sfs, sb, prm));
}

TEST(PrepareWave, RatesAndLengthsBeyondTheLimitsAreRefusedFirst) {
    // 1 Hz once asked the resampler for 16000 values per sample.
    recogParam prm = quietParam();
    for (int rate : {1, 3999, 48001}) {
        std::vector<int32_t> s = noise(41000, 5000, 4);
        int32_t sn = 41000, sfs = rate, sb = 16;
        const std::string msg = fatalText([&] { prepareWave(s, sn, sfs, sb, prm); });
        EXPECT_TRUE(contains(msg, "Sample rate " + std::to_string(rate) + " Hz is outside the 4000 to 48000 Hz"))
            << msg;
    }
    std::vector<int32_t> s = noise(4000 * 601, 5000, 5);
    int32_t sn = 4000 * 601, sfs = 4000, sb = 16;
    const std::string msg = fatalText([&] { prepareWave(s, sn, sfs, sb, prm); });
    EXPECT_TRUE(contains(msg, "lasts 601.0 s, longer than the 600 s")) << msg;
}

TEST(PrepareWave, DcRemovalSurvivesSumsBeyond32Bits) {
    // Ten seconds around +30000: the sum is about 4.8e9.
    const int n = 160000;
    std::vector<int32_t> sig(n);
    for (int i = 0; i < n; ++i) sig[i] = 30000 + (i % 2 ? 1000 : -1000);
    int32_t sn = n, fs = 16000, nbits = 16;
    recogParam prm = quietParam();
    prepareWave(sig, sn, fs, nbits, prm);
    EXPECT_EQ(sig[0], -1000);
    EXPECT_EQ(sig[1], 1000);
    int64_t sum = 0;
    for (int32_t v : sig) sum += v;
    EXPECT_EQ(sum / n, 0);
}

// ---- level verdicts ----------------------------------------------------------------

TEST(WaveVolumeCheck, Verdicts) {
    const int n = 16000;
    std::vector<int32_t> x(n);
    for (int i = 0; i < n; ++i) x[i] = static_cast<int32_t>(1000 * std::sin(i * 0.2));
    EXPECT_EQ(waveVolumeCheck(x.data(), n), VOLUME_MAX_TOO_SMALL);

    for (int i = 0; i < n; ++i) x[i] = i % 2 ? 5000 : -5000;
    EXPECT_EQ(waveVolumeCheck(x.data(), n), VOLUME_MIN_TOO_BIG);

    // Half silence, half a loud square wave: single samples at full scale
    // are peaks, not clipping.
    for (int i = 0; i < n; ++i) x[i] = i < n / 2 ? 0 : (i % 2 ? 32767 : -32768);
    EXPECT_EQ(waveVolumeCheck(x.data(), n), VOLUME_NORMAL);
    // Runs of 3 full-scale samples count once they make up 0.1 % of the
    // speech (about 8000 loud samples here): two runs do not, three do.
    for (int i = n / 2; i < n; ++i) x[i] = i % 2 ? 20000 : -20000;
    for (int sign : {1, -1}) {
        for (int i = n / 2; i < n; ++i) x[i] = i % 2 ? 20000 : -20000;
        for (int r = 0; r < 3; ++r) {
            EXPECT_EQ(waveVolumeCheck(x.data(), n), VOLUME_NORMAL) << sign << " " << r;
            for (int k = 0; k < 3; ++k) x[n / 2 + 1000 * (r + 1) + k] = sign > 0 ? 32767 : -32768;
        }
        EXPECT_EQ(waveVolumeCheck(x.data(), n), VOLUME_SATURATED) << sign;
    }
}

TEST(WaveVolumeCheck, VerdictFileAndRejection) {
    ScratchDir dir;
    std::vector<int32_t> quiet(4000);
    for (int i = 0; i < 4000; ++i) quiet[i] = static_cast<int32_t>(300 * std::sin(i * 0.2));

    recogParam prm = quietParam();
    setParamText(prm.outputDir, dir.path());
    std::vector<int32_t> sig = quiet;
    int32_t n = 4000, fs = 16000, nbits = 16;
    prepareWave(sig, n, fs, nbits, prm);
    const std::string text = qvtest::readFile(dir.file("waveVolumeCheck.txt"));
    EXPECT_EQ(text, waveVolumeText(VOLUME_MAX_TOO_SMALL) + "\n");
    EXPECT_EQ(text.rfind("Max volume too small. Please increase the microphone's gain. (line ", 0), 0u);
    EXPECT_TRUE(contains(text, " in recogTask)\n"));
    EXPECT_TRUE(contains(waveVolumeText(VOLUME_MIN_TOO_BIG), "gain.  (line "));
    EXPECT_EQ(waveVolumeText(VOLUME_NORMAL), "Normal volume.");

    // Rejection raises the verdict itself and writes no verdict file.
    ScratchDir dir2;
    setParamText(prm.outputDir, dir2.path());
    prm.useWaveReject = 1;
    sig = quiet;
    n = 4000;
    EXPECT_EQ(fatalText([&] { prepareWave(sig, n, fs, nbits, prm); }), waveVolumeText(VOLUME_MAX_TOO_SMALL));
    EXPECT_FALSE(qvtest::exists(dir2.file("waveVolumeCheck.txt")));

    // A normal recording passes the reject gate.
    std::vector<int32_t> ok(16000, 0);
    for (int i = 8000; i < 16000; ++i) ok[i] = i % 2 ? 10000 : -10000;
    n = 16000;
    EXPECT_NO_THROW(prepareWave(ok, n, fs, nbits, prm));
    EXPECT_EQ(qvtest::readFile(dir2.file("waveVolumeCheck.txt")), "Normal volume.\n");
}

// ---- spectral subtraction ---------------------------------------------------------

TEST(SpecSubtraction, FramingAndShortSignals) {
    const std::vector<int32_t> x = noise(16000, 2000, 4);
    EXPECT_EQ(specSubtraction(x.data(), 16000, 16000).size(), 76u * 205 + 307);
    // Shorter than the quarter second of noise: estimated from what there is.
    EXPECT_EQ(specSubtraction(x.data(), 1000, 16000).size(), 3u * 205 + 307);
    // Shorter than one 512-sample frame: nothing to do, nothing lost.
    const std::vector<int32_t> y = specSubtraction(x.data(), 500, 16000);
    EXPECT_EQ(y, std::vector<int32_t>(x.begin(), x.begin() + 500));
}

// Sum of the analysis windows over the frames that cover each output sample:
// the gain of overlap-add without window compensation.
std::vector<double> olaGain(int outLen) {
    const int N = 512, H = 205;
    std::vector<double> g(outLen, 0.0);
    for (int start = 0; start + N <= outLen; start += H)
        for (int i = 0; i < N; ++i) g[start + i] += 0.54 - 0.46 * std::cos(i * 2 * M_PI / (N - 1));
    return g;
}

TEST(SpecSubtraction, WithoutNoiseItIsWindowedOverlapAdd) {
    // A silent first quarter second gives a zero noise estimate, so every
    // frame goes through the transform pair unchanged.
    const int n = 16000;
    std::vector<int32_t> x(n, 0);
    for (int i = 4000; i < n; ++i) x[i] = static_cast<int32_t>(8000 * std::sin(i * 0.05));
    const std::vector<int32_t> y = specSubtraction(x.data(), n, 16000);
    const std::vector<double> g = olaGain(static_cast<int>(y.size()));
    for (size_t i = 0; i < y.size(); ++i) ASSERT_NEAR(y[i], x[i] * g[i], 4.0) << i;
}

TEST(SpecSubtraction, RemovesStationaryNoiseAndRunsOnlyOnLowDynamicRange) {
    const int n = 32000;
    const std::vector<int32_t> x = noise(n, 3000, 5);
    const std::vector<int32_t> y = specSubtraction(x.data(), n, 16000);
    const std::vector<double> g = olaGain(static_cast<int>(y.size()));
    double ex = 0, ey = 0;
    for (int i = 4000; i < 28000; ++i) {
        ex += x[i] * g[i] * x[i] * g[i];
        ey += static_cast<double>(y[i]) * y[i];
    }
    EXPECT_LT(ey, 0.8 * ex);

    recogParam prm = quietParam();
    prm.useSpecSubtraction = 1;
    prm.useDescCandidateNum = 5;
    std::vector<int32_t> sig = x;
    int32_t sn = n, fs = 16000, nbits = 16;
    {
        ConsoleCapture con;
        prepareWave(sig, sn, fs, nbits, prm);
        EXPECT_EQ(con.text, "Perform spectrum subtraction...\n");
    }
    EXPECT_EQ(prm.useDescCandidateNum, 0);
    EXPECT_EQ(sn, static_cast<int32_t>(y.size()));

    // Silence with a loud stretch: wide dynamic range, signal kept.
    prm.useDescCandidateNum = 5;
    std::vector<int32_t> burst(n, 0);
    for (int i = 10000; i < 20000; ++i) burst[i] = x[i] * 5;
    sn = n;
    {
        ConsoleCapture con;
        prepareWave(burst, sn, fs, nbits, prm);
        EXPECT_EQ(con.text, "");
    }
    EXPECT_EQ(prm.useDescCandidateNum, 5);
    EXPECT_EQ(sn, n);
}
