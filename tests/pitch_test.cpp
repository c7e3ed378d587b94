#include "engine/frontend/lib/pitch.h"
#include "engine/frontend/lib/tonePitch.h"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;

namespace {
// A harmonic-rich periodic signal (sawtooth-like) of the given period.
std::vector<int32_t> periodic(int n, double periodSamples, double amp = 8000) {
    std::vector<int32_t> x(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        double ph = std::fmod(i / periodSamples, 1.0);
        x[static_cast<size_t>(i)] = static_cast<int32_t>(amp * (2 * ph - 1) + 0.3 * amp * std::sin(2 * M_PI * i / periodSamples));
    }
    return x;
}

// Keeps the console quiet while alive.
using Quiet = qvtest::ConsoleCapture;
}  // namespace

TEST(PitchParam, RatesAndWeights) {
    Quiet q;
    ptParam p;
    ptParamSet(p, 16000, 16, 1);
    EXPECT_EQ(p.frameSize, 640);
    EXPECT_EQ(p.overlap, 480);
    EXPECT_EQ(p.indexDiffWeight, 11000);
    EXPECT_FLOAT_EQ(p.maxAmdfLocalMinCount, 40);
    EXPECT_FLOAT_EQ(p.minAmdfRange, 1280);
    EXPECT_FLOAT_EQ(p.maxPitchDiff, 2.1875f);
    ptParamSet(p, 8000, 16, 2);
    EXPECT_EQ(p.frameSize, 256);
    EXPECT_EQ(p.overlap, 0);
    EXPECT_EQ(p.indexDiffWeight, 200);
    EXPECT_EQ(p.dpUseLocalOptim, 1);
    EXPECT_EQ(p.dpPosDiffOrder, 1);
    ptParamSet(p, 11025, 16, 1);
    EXPECT_EQ(p.frameSize, 354);  // ceil(352.8) = 353, made even
}

TEST(PitchParam, WarningAndPrintFormat) {
    std::string out;
    setConsoleSink([&](const std::string& s) { out += s; });
    ptParam p;
    ptParamSet(p, 8000, 16, 1);
    ptParamSet(p, 16000, 16, 1);
    EXPECT_EQ(out.find("Warning"), std::string::npos);  // 32 ms exactly is enough
    ptParamSet(p, 11025, 16, 1);  // frames are sized to at least 32 ms at any rate
    EXPECT_EQ(out.find("Warning"), std::string::npos);
    out.clear();
    ptParamSet(p, 16000, 16, 1);
    ptParamPrint(p);
    setConsoleSink(nullptr);
    EXPECT_EQ(out.rfind("ptParam.fs = 16000\nptParam.nbits = 16\nptParam.frameSize = 640\n", 0), 0u);
    EXPECT_NE(out.find("ptParam.maxPitchDiff = 2.1875\nptParam.halfOfFs = 0\n"), std::string::npos);
    EXPECT_EQ(out.find("pfType"), std::string::npos);
}

TEST(PitchFunctions, AmdfAndAcfMethods) {
    const int32_t x[] = {1, 3, 0, 5};
    double out[2];
    frame2amdf(x, 4, out, 2, 1);
    EXPECT_DOUBLE_EQ(out[0], 0);
    EXPECT_DOUBLE_EQ(out[1], 2 + 3 + 5);
    frame2amdf(x, 4, out, 2, 2);
    EXPECT_DOUBLE_EQ(out[1], 10.0 / 3);
    frame2amdf(x, 4, out, 2, 3);  // i = 0 .. N-L-1 = 0 .. 1
    EXPECT_DOUBLE_EQ(out[1], 2 + 3);
    frame2acf(x, 4, out, 2, 4, false);  // i = 0 .. L-1
    EXPECT_DOUBLE_EQ(out[0], 1 + 9);
    EXPECT_DOUBLE_EQ(out[1], 3 + 0);
    EXPECT_THROW(frame2amdf(x, 4, out, 2, 5), FatalError);
    EXPECT_THROW(frame2acf(x, 4, out, 2, 0, true), FatalError);
}

TEST(PitchTracking, FindsThePeriodOfAPeriodicSignal) {
    Quiet q;
    ptParam p;
    ptParamSet(p, 16000, 16, 1);
    const int n = 16000;
    std::vector<int32_t> x = periodic(n, 80.0);  // 200 Hz
    std::vector<double> pitch = pitchTracking(x.data(), n, p);
    ASSERT_EQ(pitch.size(), static_cast<size_t>((n - 480) / 160));
    const double expected = 12 * std::log2(200.0 / 440.0) + 69;  // about 55.35
    for (double v : pitch) EXPECT_NEAR(v, expected, 0.01);

    std::vector<int32_t> low = periodic(n, 160.0);  // 100 Hz
    pitch = pitchTracking(low.data(), n, p);
    EXPECT_NEAR(pitch[pitch.size() / 2], 12 * std::log2(100.0 / 440.0) + 69, 0.05);
}

TEST(PitchTracking, SilenceShortSignalsAndBadType) {
    Quiet q;
    ptParam p;
    ptParamSet(p, 16000, 16, 1);
    std::vector<int32_t> zeros(4000, 0);
    for (double v : pitchTracking(zeros.data(), 4000, p)) EXPECT_EQ(v, 0.0);
    std::vector<int32_t> dc(4000, 123);  // constant: nothing left after the mean
    for (double v : pitchTracking(dc.data(), 4000, p)) EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(pitchTracking(zeros.data(), 300, p).empty());
    p.pfType = 3;
    EXPECT_THROW(pitchTracking(zeros.data(), 4000, p), FatalError);
}

TEST(PitchTracking, AcfWithLocalOptimaAt8k) {
    Quiet q;
    ptParam p;
    ptParamSet(p, 8000, 16, 2);
    std::vector<int32_t> x = periodic(8000, 40.0);  // 200 Hz at 8 kHz
    std::vector<double> pitch = pitchTracking(x.data(), 8000, p);
    ASSERT_EQ(pitch.size(), 31u);
    EXPECT_NEAR(pitch[15], 12 * std::log2(200.0 / 440.0) + 69, 0.05);
}

TEST(PitchAndVolume, WritesOneLineEach) {
    Quiet q;
    qvtest::ScratchDir dir;
    ptParam p;
    ptParamSet(p, 16000, 16, 1);
    std::vector<int32_t> x = periodic(480 + 160 * 5, 80.0);
    pitchAndVolume(x.data(), static_cast<int>(x.size()), p, dir.file("pitch.txt"), dir.file("volume.txt"));
    std::string pitch = qvtest::readFile(dir.file("pitch.txt"));
    std::string volume = qvtest::readFile(dir.file("volume.txt"));
    EXPECT_EQ(std::count(pitch.begin(), pitch.end(), ' '), 5);
    EXPECT_EQ(std::count(volume.begin(), volume.end(), ' '), 5);
    EXPECT_EQ(pitch.rfind("55.35", 0), 0u);
    EXPECT_EQ(pitch.back(), '\n');
    EXPECT_THROW(pitchAndVolume(x.data(), 1280, p, "/no/such/dir/p.txt", dir.file("v.txt")), FatalError);
}

namespace {
// Glottal-pulse-like signal whose f0 glides from f0a to f0b Hz, with a weak
// fundamental when `weakFundamental` (the case that tempts octave errors).
std::vector<int32_t> glide(int n, double f0a, double f0b, bool weakFundamental) {
    std::vector<int32_t> x(static_cast<size_t>(n));
    double ph = 0;
    for (int i = 0; i < n; ++i) {
        const double f = f0a + (f0b - f0a) * i / n;
        ph += 2 * M_PI * f / 16000;
        double v = 0;
        for (int h = 1; h <= 8; ++h) v += (h == 1 && weakFundamental ? 0.1 : 1.0 / h) * std::sin(h * ph);
        x[static_cast<size_t>(i)] = static_cast<int32_t>(4000 * v);
    }
    return x;
}
}  // namespace

TEST(TonePitch, FollowsGlidesWithoutOctaveErrorsAndCallsSilenceUnvoiced) {
    for (bool weak : {false, true}) {
        // 0.3 s silence, 0.6 s voiced glide 110 -> 220 Hz, 0.3 s silence.
        std::vector<int32_t> x(4800, 0);
        std::vector<int32_t> v = glide(9600, 110, 220, weak);
        x.insert(x.end(), v.begin(), v.end());
        x.insert(x.end(), 4800, 0);
        const tonePitchTrack tr = tonePitchTracking(x.data(), static_cast<int>(x.size()), tonePitchDefaults(16000));
        ASSERT_EQ(tr.f0.size(), x.size() / 160);
        int gross = 0, voiced = 0;
        for (size_t t = 0; t < tr.f0.size(); ++t) {
            const double centre = (t * 160.0 + 160) / 16000;
            if (centre < 0.28 || centre > 0.92) {
                EXPECT_EQ(tr.f0[t], 0.0f) << "frame " << t;
            } else if (centre > 0.33 && centre < 0.87) {
                const double truth = 110 + 110 * (centre - 0.3) / 0.6;
                ++voiced;
                if (tr.f0[t] <= 0 || std::fabs(tr.f0[t] / truth - 1) > 0.03) ++gross;
            }
        }
        EXPECT_GT(voiced, 50);
        EXPECT_EQ(gross, 0) << (weak ? "weak fundamental" : "full spectrum");
    }
    // Degenerate input: empty and all-zero signals give unvoiced tracks.
    EXPECT_TRUE(tonePitchTracking(nullptr, 0, tonePitchDefaults(16000)).f0.empty());
    std::vector<int32_t> zero(3200, 0);
    for (float f : tonePitchTracking(zero.data(), 3200, tonePitchDefaults(16000)).f0) EXPECT_EQ(f, 0.0f);
}
