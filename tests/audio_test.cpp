#include "engine/frontend/lib/audio.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <complex>
#include <vector>

#include "engine/utility.h"

using namespace qv;

namespace {

const int kDetFrame = 256;  // detector frame at 16 kHz

// Silence with bursts of a 500 Hz tone (whole periods per detector frame)
// covering the given detector frames [begin, end).
std::vector<int32_t> bursts(int frames, const std::vector<std::pair<int, int>>& spans) {
    std::vector<int32_t> x(static_cast<size_t>(frames) * kDetFrame, 0);
    for (const auto& s : spans)
        for (int i = s.first * kDetFrame; i < s.second * kDetFrame; ++i)
            x[i] = static_cast<int32_t>(8000 * std::sin(2 * M_PI * i / 32.0));
    return x;
}

}  // namespace

// ---- framing and volume ------------------------------------------------------

TEST(Framing, FrameCountsFollowTheHopAndNeverGoNegative) {
    EXPECT_EQ(getFrameNum(16000, 320, 160), 99);
    EXPECT_EQ(getFrameNum(320, 320, 160), 1);
    EXPECT_EQ(getFrameNum(479, 320, 160), 1);
    EXPECT_EQ(getFrameNum(480, 320, 160), 2);
    EXPECT_EQ(getFrameNum(319, 320, 160), 0);
    EXPECT_EQ(getFrameNum(0, 320, 160), 0);
    EXPECT_EQ(getFrameNum(100, 320, 160), 0);
    EXPECT_EQ(getFrameNum(16000, 256, 0), 62);
    EXPECT_THROW(getFrameNum(1000, 160, 160), FatalError);
    // The detector's first frame maps to the sample just before its centre.
    EXPECT_EQ(frame2sampleIndex(0, 256, 0), 127);
}

TEST(FrameVolume, MethodOneIsAbsoluteDeviationFromTheMedian) {
    // Even length: median is the truncated mean of the two middle values.
    const std::vector<int32_t> even = {10, 1, 3, 2};  // median (2+3)/2 = 2
    EXPECT_EQ(frameVolume(even.data(), 4, 4, 0, 1), std::vector<int32_t>{10});
    const std::vector<int32_t> negEven = {-3, -2};  // median -5/2 = -2 (toward zero)
    EXPECT_EQ(frameVolume(negEven.data(), 2, 2, 0, 1), std::vector<int32_t>{1});
    const std::vector<int32_t> odd = {7, -5, 1};  // median 1
    EXPECT_EQ(frameVolume(odd.data(), 3, 3, 0, 1), std::vector<int32_t>{12});
    const std::vector<int32_t> constant(320, -1234);
    EXPECT_EQ(frameVolume(constant.data(), 320, 320, 0, 1), std::vector<int32_t>{0});

    // Overlapping frames, and the signal keeps its order.
    std::vector<int32_t> x = {5, 4, 3, 2, 1, 0};
    const std::vector<int32_t> copy = x;
    const std::vector<int32_t> vol = frameVolume(x.data(), 6, 4, 2, 1);
    ASSERT_EQ(vol.size(), 2u);
    EXPECT_EQ(vol[0], 4);  // {5,4,3,2}: median 3 -> 2+1+0+1
    EXPECT_EQ(vol[1], 4);
    EXPECT_EQ(x, copy);
}

TEST(FrameVolume, EnergyMethodsDoNotOverflowOnLoudFrames) {
    std::vector<int32_t> loud(320);
    for (int i = 0; i < 320; ++i) loud[i] = i % 2 ? 32767 : -32767;
    // 320 * 32767^2 ~ 3.4e11 does not fit 32 bits: method 2 saturates,
    // method 3 takes the log of the full sum.
    EXPECT_EQ(frameVolume(loud.data(), 320, 320, 0, 2)[0], INT32_MAX);
    EXPECT_EQ(frameVolume(loud.data(), 320, 320, 0, 3)[0], static_cast<int32_t>(std::log(320.0 * 32767 * 32767)));

    const std::vector<int32_t> small = {1, 2, 3, 6};  // mean 3: 4+1+0+9
    EXPECT_EQ(frameVolume(small.data(), 4, 4, 0, 2)[0], 14);
    EXPECT_EQ(frameVolume(small.data(), 4, 4, 0, 3)[0], 2);  // ln 14 = 2.64
    const std::vector<int32_t> flat(8, 100);
    EXPECT_EQ(frameVolume(flat.data(), 8, 8, 0, 3)[0], INT32_MIN);
}

TEST(FrameVolume, UnknownMethodIsFatal) {
    const std::vector<int32_t> x(320, 0);
    try {
        frameVolume(x.data(), 320, 320, 0, 4);
        FAIL() << "no error";
    } catch (const FatalError& e) {
        EXPECT_NE(std::string(e.what()).find("Unknown volume method=4"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("of file audio)"), std::string::npos);
    }
}

TEST(FrameHod, DifferencesOfPolynomialsAndOrders) {
    std::vector<int32_t> ramp(16);
    for (int i = 0; i < 16; ++i) ramp[i] = 3 * i;
    EXPECT_EQ(frameHod(ramp.data(), 16, 8, 0, 1), (std::vector<int32_t>{21, 21}));  // 7 steps of 3
    EXPECT_EQ(frameHod(ramp.data(), 16, 8, 0, 2), (std::vector<int32_t>{0, 0}));

    std::vector<int32_t> cubic(10);
    for (int i = 0; i < 10; ++i) cubic[i] = i * i * i;
    EXPECT_EQ(frameHod(cubic.data(), 10, 10, 0, 4)[0], 0);
    EXPECT_EQ(frameHod(cubic.data(), 10, 10, 0, 3)[0], 6 * 7);  // third difference 6, 7 positions

    // An alternating signal: the order-4 coefficients sum to 16 in magnitude.
    std::vector<int32_t> alt(6);
    for (int i = 0; i < 6; ++i) alt[i] = i % 2 ? 1 : -1;
    EXPECT_EQ(frameHod(alt.data(), 6, 6, 0, 4)[0], 2 * 16);
    EXPECT_THROW(frameHod(alt.data(), 6, 6, 0, 6), FatalError);
    EXPECT_THROW(frameHod(alt.data(), 6, 6, 0, 0), FatalError);
}

// ---- segments and end points ------------------------------------------------

TEST(FindSegments, RunsOfOnes) {
    const std::vector<int32_t> flags = {1, 1, 0, 0, 1, 0, 1, 1, 1};
    const std::vector<epdSegment> s = findSegments(flags.data(), 9);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].beginFrame, 0);
    EXPECT_EQ(s[0].endFrame, 1);
    EXPECT_EQ(s[1].beginFrame, 4);
    EXPECT_EQ(s[1].duration, 1);
    EXPECT_EQ(s[2].endFrame, 8);
    EXPECT_EQ(s[2].duration, 3);
    for (const epdSegment& e : s) EXPECT_EQ(e.valid, 1);

    const std::vector<int32_t> none = {0, 0, 0};
    EXPECT_TRUE(findSegments(none.data(), 3).empty());
    const std::vector<int32_t> one = {1};
    EXPECT_TRUE(findSegments(one.data(), 1).empty());
}

TEST(Epd, ParametersAt16kHz) {
    const epdParam p(16000);
    EXPECT_EQ(p.frameSize, 256);
    EXPECT_EQ(p.overlap, 0);
    EXPECT_EQ(p.volRatio, 10);
    EXPECT_EQ(p.hodOrder, 4);
}

TEST(Epd, BurstsOfThreeFramesAreDroppedAndFourAreKept) {
    const epdParam p(16000);
    std::vector<int32_t> x = bursts(100, {{40, 43}});
    EXPECT_TRUE(epd(x.data(), static_cast<int>(x.size()), 16000, p).empty());

    x = bursts(100, {{40, 44}});
    const std::vector<epdSegment> s = epd(x.data(), static_cast<int>(x.size()), 16000, p);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].beginFrame, 40);
    EXPECT_EQ(s[0].endFrame, 43);
    EXPECT_EQ(s[0].duration, 4);
}

TEST(Epd, TrailingSegmentBeyondTheMaximumGapIsDropped) {
    const epdParam p(16000);
    // Segment A ends at frame 29; B begins 44 or 45 frames later.
    for (int withEarly = 0; withEarly < 2; ++withEarly) {
        std::vector<std::pair<int, int>> spans = {{20, 30}, {29 + 44, 29 + 54}};
        if (withEarly) spans.insert(spans.begin(), {5, 12});
        std::vector<int32_t> x = bursts(160, spans);
        std::vector<epdSegment> s = epd(x.data(), static_cast<int>(x.size()), 16000, p);
        ASSERT_EQ(s.size(), 2u + withEarly);
        EXPECT_EQ(s.back().beginFrame, 29 + 44);

        spans.back() = {29 + 45, 29 + 55};
        x = bursts(160, spans);
        s = epd(x.data(), static_cast<int>(x.size()), 16000, p);
        ASSERT_EQ(s.size(), 1u + withEarly);
        EXPECT_EQ(s.back().endFrame, 29);
    }
}

TEST(Epd, ShortOrSilentSignalsGiveNoSegment) {
    const epdParam p(16000);
    std::vector<int32_t> x(255, 1000);
    EXPECT_TRUE(epd(x.data(), 255, 16000, p).empty());
    x.assign(256, 1000);
    EXPECT_TRUE(epd(x.data(), 256, 16000, p).empty());
    x.assign(256 * 50, 0);
    EXPECT_TRUE(epd(x.data(), static_cast<int>(x.size()), 16000, p).empty());
}

TEST(EpdFeatureRange, MapsDetectorFramesToTheFeatureGrid) {
    // Speech from the very first frame: sample 127 rounds to feature frame 1.
    std::vector<int32_t> x = bursts(100, {{0, 10}});
    epdRange r;
    EXPECT_TRUE(epdFeatureRange(x.data(), static_cast<int>(x.size()), 16000, true, r));
    EXPECT_EQ(r.waveBeginFrameId, 1);
    EXPECT_EQ(r.waveBeginIndex, 160);
    const int end = 9 * 256 + 127;  // last sample index of frame 9's centre
    EXPECT_EQ(r.waveEndFrameId, roundHalfAway(end / 160.0));
    EXPECT_EQ(r.waveEndIndex, 160 * r.waveEndFrameId + 319);

    // Speech up to the end: the end index is held inside the signal.
    x = bursts(100, {{90, 100}});
    ASSERT_TRUE(epdFeatureRange(x.data(), static_cast<int>(x.size()), 16000, true, r));
    EXPECT_EQ(r.waveEndIndex, static_cast<int>(x.size()) - 1);

    // No speech found, or detection off: the whole signal.
    x.assign(256 * 100, 0);
    for (bool use : {true, false}) {
        EXPECT_FALSE(epdFeatureRange(x.data(), static_cast<int>(x.size()), 16000, use, r));
        EXPECT_EQ(r.waveBeginIndex, 0);
        EXPECT_EQ(r.waveBeginFrameId, 0);
        EXPECT_EQ(r.waveEndIndex, static_cast<int>(x.size()) - 1);
        EXPECT_EQ(r.waveEndFrameId, roundHalfAway((x.size() - 1) / 160.0));
    }
}

// ---- FFT -----------------------------------------------------------------------

TEST(Fft, MatchesTheDirectTransformAndInverts) {
    const int n = 64;
    std::vector<float> re(n), im(n);
    for (int i = 0; i < n; ++i) {
        re[i] = static_cast<float>(std::sin(0.3 * i) + 0.1 * (i % 7));
        im[i] = static_cast<float>(std::cos(1.1 * i) * 0.5);
    }
    const std::vector<float> re0 = re, im0 = im;
    fftRadix2(re.data(), im.data(), n, false);
    for (int k = 0; k < n; ++k) {
        std::complex<double> sum = 0;
        for (int t = 0; t < n; ++t)
            sum += std::complex<double>(re0[t], im0[t]) * std::polar(1.0, -2 * M_PI * k * t / n);
        EXPECT_NEAR(re[k], sum.real(), 1e-4) << k;
        EXPECT_NEAR(im[k], sum.imag(), 1e-4) << k;
    }
    fftRadix2(re.data(), im.data(), n, true);
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(re[i] / n, re0[i], 1e-5);
        EXPECT_NEAR(im[i] / n, im0[i], 1e-5);
    }

    // Not a power of two: untouched.
    std::vector<float> r3 = {1, 2, 3}, i3 = {0, 0, 0};
    fftRadix2(r3.data(), i3.data(), 3, false);
    EXPECT_EQ(r3, (std::vector<float>{1, 2, 3}));
}
