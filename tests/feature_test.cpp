#include "engine/frontend/feature.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ScratchDir;

namespace {

std::vector<int32_t> tone(int n, double freq, double amp, unsigned seed = 7) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> d(-50, 50);
    std::vector<int32_t> x(n);
    for (int i = 0; i < n; ++i) {
        // A slow amplitude change keeps the frames from being identical.
        const double a = amp * (0.5 + 0.5 * std::sin(i * 2 * M_PI / 4000.0));
        x[i] = static_cast<int32_t>(a * std::sin(2 * M_PI * freq * i / 16000.0)) + d(gen);
    }
    return x;
}

struct Features {
    int frames = 0;
    int dim = 0;
    std::vector<float> data;
    float at(int t, int j) const { return data[static_cast<size_t>(t) * dim + j]; }
};

// The configuration goes beside the test's scratch directory, which a test
// may be using itself.
std::string configPath() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(QV_BINARY_DIR) + "/testtmp/" + info->test_suite_name() + "." + info->name() + ".cfg";
}

Features run(const std::string& cfgText, const std::vector<int32_t>& x, CFeaBuf* keep = nullptr) {
    const std::string cfg = configPath();
    qvtest::writeFile(cfg, cfgText);
    CFeaBuf local;
    CFeaBuf& fea = keep ? *keep : local;
    Features f;
    fea.compute(x.data(), 16000, 16, static_cast<int>(x.size()), cfg, f.frames, f.dim);
    f.data = fea.data();
    return f;
}

float deltaOf(const Features& f, int t, int col, int window) {
    float num = 0, den = 0;
    for (int th = 1; th <= window; ++th) {
        const int fwd = std::min(t + th, f.frames - 1);
        const int back = std::max(t - th, 0);
        num += th * (f.at(fwd, col) - f.at(back, col));
        den += th * th;
    }
    return num / (2 * den);
}

}  // namespace

// ---- configuration ------------------------------------------------------------------

TEST(ParseParmKind, BaseKindsAndQualifiers) {
    EXPECT_EQ(parseParmKind("MFCC_E_D_A"), 0x346);
    EXPECT_EQ(parseParmKind("MFCC_E"), 0x46);
    EXPECT_EQ(parseParmKind("MFCC"), 6);
    EXPECT_EQ(parseParmKind("MFCC_0_D_A_Z"), 6 | PK_0 | PK_D | PK_A | PK_Z);
    EXPECT_EQ(parseParmKind("FBANK_K_N_C_V"), 7 | PK_K | PK_N | PK_C | PK_V);
    EXPECT_EQ(parseParmKind("LPDELCEP"), 0x103);
    EXPECT_EQ(parseParmKind("LPDELCEP_E"), 0x143);
    EXPECT_EQ(parseParmKind("DISCRETE"), 10);
    EXPECT_EQ(parseParmKind("MFCC_X_E"), 0x46);  // unknown qualifier letters are dropped
    EXPECT_THROW(parseParmKind("MFCCX_E"), FatalError);
    EXPECT_THROW(parseParmKind("_E"), FatalError);
}

TEST(FeatureConfig, DefaultsAndKeyHandling) {
    CFeaBuf fea;
    const std::vector<int32_t> x = tone(16000, 440, 5000);
    // Only unknown keys and ignored ones: the defaults give 20 ms / 10 ms / 39.
    Features f = run("SOURCEKIND = WAVEFORM\nSOURCEFORMAT = WAV\nnumchans = 5\nFOO = 1\n", x, &fea);
    EXPECT_EQ(fea.frameSize(), 320);
    EXPECT_EQ(fea.frameShift(), 160);
    EXPECT_EQ(f.dim, 39);
    EXPECT_EQ(f.frames, (16000 - 320) / 160 + 1);
    EXPECT_EQ(fea.config().numChans, 26);

    CFeaBuf b;
    run(" NUMCHANS   =   24 \r\nUSEHAMMING = F\nZMEANSOURCE = TRUE\nENORMALISE = no\nPREEMCOEF=0.97\n"
        "LOFREQ = 300\nHIFREQ = 3400\n# a comment line that is far longer than forty-nine characters = 1\n"
        "NUMCEPS\nCEPLIFTER =\n",
        x, &b);
    EXPECT_EQ(b.config().numChans, 24);
    EXPECT_FALSE(b.config().useHamming);
    EXPECT_TRUE(b.config().zMeanSource);
    EXPECT_TRUE(b.config().eNormalise);  // only FALSE or F switch it off
    EXPECT_FLOAT_EQ(b.config().preEmph, 0.97f);
    EXPECT_EQ(b.config().numCepCoef, 12);
    EXPECT_EQ(b.config().cepLifter, 22);
    // Filterbank edges at 16 kHz, 512-point FFT.
    EXPECT_EQ(b.fbank().klo, 12);
    EXPECT_EQ(b.fbank().khi, 109);

    CFeaBuf c;
    run("USEHAMMING = no\nUSEPOWER = yes\n", x, &c);
    EXPECT_TRUE(c.config().useHamming);
    EXPECT_FALSE(c.config().usePower);
}

TEST(FeatureConfig, MissingFileAndUnusableLayoutsAreFatal) {
    CFeaBuf fea;
    const std::vector<int32_t> x(3200, 0);
    int frames = 0, dim = 0;
    try {
        fea.compute(x.data(), 16000, 16, 3200, "/nonexistent/fea.cfg", frames, dim);
        FAIL() << "no error";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot open config file /nonexistent/fea.cfg! (line ", 0), 0u);
    }
    EXPECT_THROW(run("TARGETKIND = MFCC_E_A\n", x), FatalError);
    EXPECT_THROW(run("NUMCHANS = 0\n", x), FatalError);
    EXPECT_THROW(run("DELTAWINDOW = 0\n", x), FatalError);
    EXPECT_THROW(run("WINDOWSIZE = 0\n", x), FatalError);
    // Far beyond an int: refused before the conversion, not wrapped.
    EXPECT_THROW(run("WINDOWSIZE = 1e13\n", x), FatalError);
    EXPECT_THROW(run("TARGETRATE = 1e13\n", x), FatalError);
    EXPECT_THROW(run("TARGETRATE = nan\n", x), FatalError);
    EXPECT_GT(run("LOFREQ = 1e13\nHIFREQ = 1e30\n", x).frames, 0);
}

// ---- sizes -----------------------------------------------------------------------------

TEST(FeatureSizes, KindsGiveTheirVectorSizes) {
    const std::vector<int32_t> x = tone(4000, 300, 4000);
    EXPECT_EQ(run("TARGETKIND = MFCC_E\n", x).dim, 13);
    EXPECT_EQ(run("TARGETKIND = MFCC\n", x).dim, 12);
    EXPECT_EQ(run("TARGETKIND = MFCC_E_D\n", x).dim, 26);
    EXPECT_EQ(run("TARGETKIND = MFCC_0_D_A\n", x).dim, 39);
    EXPECT_EQ(run("TARGETKIND = MFCC_E_0_D_A\n", x).dim, 42);
    EXPECT_EQ(run("TARGETKIND = MFCC_E_D_A\nNUMCEPS = 16\n", x).dim, 51);
    // 25 ms every 10 ms.
    CFeaBuf fea;
    const Features f = run("WINDOWSIZE = 250000.0\n", x, &fea);
    EXPECT_EQ(fea.frameSize(), 400);
    EXPECT_EQ(f.frames, (4000 - 400) / 160 + 1);
    EXPECT_EQ(fea.fbank().fftN, 512);
}

TEST(FeatureSizes, ShortSignals) {
    const std::vector<int32_t> x = tone(480, 500, 6000);
    Features f = run("", std::vector<int32_t>(x.begin(), x.begin() + 319));
    EXPECT_EQ(f.frames, 0);
    EXPECT_TRUE(f.data.empty());
    f = run("", std::vector<int32_t>(x.begin(), x.begin() + 320));
    ASSERT_EQ(f.frames, 1);
    EXPECT_FLOAT_EQ(f.at(0, 12), 1.0f);  // the loudest frame normalises to 1
    for (int j = 13; j < 39; ++j) EXPECT_EQ(f.at(0, j), 0.0f) << j;
    EXPECT_EQ(run("", std::vector<int32_t>(x.begin(), x.begin() + 479)).frames, 1);
    EXPECT_EQ(run("", x).frames, 2);
}

// ---- values ----------------------------------------------------------------------------

TEST(FeatureValues, DigitalSilence) {
    const Features f = run("ENORMALISE = F\n", std::vector<int32_t>(1600, 0));
    ASSERT_EQ(f.frames, 9);
    for (int t = 0; t < f.frames; ++t) {
        // Every channel at ln 1 = 0, hence zero cepstra.
        for (int j = 0; j < 12; ++j) EXPECT_EQ(f.at(t, j), 0.0f);
        EXPECT_EQ(f.at(t, 12), -1.0e10f);
    }
}

TEST(FeatureValues, LogEnergyAndItsNormalisation) {
    // A constant frame's raw energy is taken before pre-emphasis: 320 * c^2.
    const Features raw = run("ENORMALISE = F\nTARGETKIND = MFCC_E\n", std::vector<int32_t>(320, 100));
    EXPECT_NEAR(raw.at(0, 12), std::log(320.0 * 100 * 100), 1e-4);

    const std::vector<int32_t> x = tone(16000, 440, 8000);
    const Features plain = run("ENORMALISE = F\n", x);
    const Features norm = run("", x);
    float maxE = -1e30f;
    for (int t = 0; t < plain.frames; ++t) maxE = std::max(maxE, plain.at(t, 12));
    const float floorE = 1.0f - 50.0f * std::log(10.0f) / 10.0f * 0.1f;
    for (int t = 0; t < norm.frames; ++t) {
        const float expect = std::max(1.0f - (maxE - plain.at(t, 12)) * 0.1f, floorE);
        EXPECT_NEAR(norm.at(t, 12), expect, 1e-5) << t;
        // The cepstra are not touched by the normalisation.
        EXPECT_EQ(norm.at(t, 3), plain.at(t, 3));
    }
}

TEST(FeatureValues, DeltasAndAccelerationsUseClampedNeighbours) {
    const std::vector<int32_t> x = tone(8000, 700, 7000);
    const Features f = run("DELTAWINDOW = 2\nACCWINDOW = 3\n", x);
    ASSERT_GT(f.frames, 10);
    for (int t : {0, 1, f.frames / 2, f.frames - 2, f.frames - 1}) {
        for (int j : {0, 5, 11, 12}) {
            EXPECT_NEAR(f.at(t, 13 + j), deltaOf(f, t, j, 2), 1e-4) << t << "," << j;
            EXPECT_NEAR(f.at(t, 26 + j), deltaOf(f, t, 13 + j, 3), 1e-4) << t << "," << j;
        }
    }
}

TEST(FeatureValues, ZeroMeanSourceRemovesAnOffset) {
    const std::vector<int32_t> x = tone(4800, 600, 5000);
    std::vector<int32_t> shifted = x;
    for (int32_t& v : shifted) v += 3000;
    const Features a = run("ZMEANSOURCE = T\n", x);
    const Features b = run("ZMEANSOURCE = T\n", shifted);
    const Features c = run("", shifted);
    ASSERT_EQ(a.frames, b.frames);
    float diffZ = 0, diffPlain = 0;
    for (int t = 0; t < a.frames; ++t) {
        diffZ = std::max(diffZ, std::fabs(a.at(t, 12) - b.at(t, 12)));
        diffPlain = std::max(diffPlain, std::fabs(a.at(t, 12) - c.at(t, 12)));
    }
    EXPECT_LT(diffZ, 1e-3);
    EXPECT_GT(diffPlain, 1e-2);
}

TEST(FeatureValues, CepstralMeanSubtraction) {
    const Features f = run("TARGETKIND = MFCC_E_D_A_Z\n", tone(8000, 900, 6000));
    for (int j = 0; j < 12; ++j) {
        double sum = 0;
        for (int t = 0; t < f.frames; ++t) sum += f.at(t, j);
        EXPECT_NEAR(sum / f.frames, 0.0, 1e-4) << j;
    }
}

TEST(Filterbank, TablesCoverTheBandMonotonically) {
    CFeaBuf fea;
    run("", tone(1600, 500, 3000), &fea);
    const fbankInfo& fb = fea.fbank();
    EXPECT_EQ(fb.fftN, 512);
    EXPECT_EQ(fb.klo, 2);
    EXPECT_EQ(fb.khi, 256);
    EXPECT_EQ(fb.loChan[1], -1);
    int prev = 0;
    for (int k = fb.klo; k <= fb.khi; ++k) {
        EXPECT_GE(fb.loChan[k], prev) << k;
        EXPECT_LE(fb.loChan[k], fb.numChans) << k;
        EXPECT_GE(fb.loWt[k], 0.0f) << k;
        EXPECT_LE(fb.loWt[k], 1.0f + 1e-5f) << k;
        prev = fb.loChan[k];
    }
    EXPECT_EQ(fb.loChan[fb.khi], fb.numChans);
}

TEST(Filterbank, ToneEnergyLandsInTheChannelsAroundItsFrequency) {
    // With c0 and no lifter the cepstra are a cosine transform of the log
    // channels; a tone raises c0 and changes the shape with its frequency.
    const Features low = run("TARGETKIND = MFCC_0\nCEPLIFTER = 0\n", tone(3200, 300, 8000));
    const Features high = run("TARGETKIND = MFCC_0\nCEPLIFTER = 0\n", tone(3200, 4000, 8000));
    const Features quiet = run("TARGETKIND = MFCC_0\nCEPLIFTER = 0\n", tone(3200, 300, 0));
    const int t = low.frames / 2;
    EXPECT_GT(low.at(t, 12), quiet.at(t, 12));
    // c1 weighs low channels positively and high ones negatively.
    EXPECT_GT(low.at(t, 0), high.at(t, 0));
}

// ---- text dump ----------------------------------------------------------------------------

TEST(Write2bin, OneLinePerFrameWithTrailingBlanks) {
    ScratchDir dir;
    CFeaBuf fea;
    const Features f = run("", tone(1600, 440, 5000), &fea);
    fea.write2bin(dir.file("output.fea"));
    const std::string text = qvtest::readFile(dir.file("output.fea"));
    std::istringstream in(text);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), ' ');
        std::istringstream vals(line);
        float v;
        int n = 0;
        while (vals >> v) {
            EXPECT_NEAR(v, f.at(lines, n), std::fabs(f.at(lines, n)) * 1e-5 + 1e-6);
            ++n;
        }
        EXPECT_EQ(n, 39);
        ++lines;
    }
    EXPECT_EQ(lines, f.frames);
    // Six significant digits, shortest form.
    std::ostringstream ref;
    ref << f.at(0, 0) << ' ';
    EXPECT_EQ(text.substr(0, ref.str().size()), ref.str());

    CFeaBuf empty;
    run("", std::vector<int32_t>(100, 0), &empty);
    try {
        empty.write2bin(dir.file("none.fea"));
        FAIL() << "no error";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("[ERRMSG] CFeaBuf::write2bin => Write frame number error! ", 0), 0u);
    }
    EXPECT_THROW(fea.write2bin(dir.file("no/such/dir.fea")), FatalError);
}
