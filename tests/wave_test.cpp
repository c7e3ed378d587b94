#include "capture/wave.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ScratchDir;

namespace {

// Builds RIFF files byte by byte so that broken and unusual layouts can be tested.
struct Riff {
    std::string bytes;
    void u16(uint16_t v) { bytes.push_back(char(v & 0xFF)), bytes.push_back(char(v >> 8)); }
    void u32(uint32_t v) { for (int i = 0; i < 4; ++i) bytes.push_back(char((v >> (8 * i)) & 0xFF)); }
    void tag(const char* t) { bytes.append(t, 4); }
    void chunk(const char* id, const std::string& body, bool pad = true) {
        tag(id);
        u32(static_cast<uint32_t>(body.size()));
        bytes += body;
        if (pad && (body.size() & 1)) bytes.push_back('\0');
    }
    static std::string fmt(uint16_t tag, uint16_t ch, uint32_t rate, uint16_t bits, size_t size = 16) {
        Riff r;
        r.u16(tag), r.u16(ch), r.u32(rate), r.u32(rate * ch * bits / 8), r.u16(uint16_t(ch * bits / 8)), r.u16(bits);
        while (r.bytes.size() < size) r.bytes.push_back('\0');
        return r.bytes;
    }
    std::string file() const {
        Riff r;
        r.tag("RIFF");
        r.u32(static_cast<uint32_t>(bytes.size() + 4));
        r.tag("WAVE");
        return r.bytes + bytes;
    }
};

std::string pcm16(std::initializer_list<int16_t> v) {
    Riff r;
    for (int16_t s : v) r.u16(static_cast<uint16_t>(s));
    return r.bytes;
}

std::vector<int32_t> samplesOf(const CWave& w) {
    std::vector<int32_t> s(static_cast<size_t>(w.dataSize()));
    s.resize(static_cast<size_t>(w.getSamples(s.data(), static_cast<int>(s.size()))));
    return s;
}

CWave loaded(const std::string& path) {
    CWave w;
    EXPECT_TRUE(w.load(path)) << path << ": " << w.lastError();
    return w;
}

}  // namespace

TEST(WaveSave, RecordingFileHasTheExactLayout) {
    ScratchDir dir;
    std::vector<int32_t> in(16000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int32_t>(i % 2000) - 1000;
    CWave w(1, 16000, 16);
    w.setSamples(in.data(), static_cast<int>(in.size()));
    ASSERT_TRUE(w.save(dir.file("a.wav")));
    std::string f = qvtest::readFile(dir.file("a.wav"));
    ASSERT_EQ(f.size(), 46u + 32000u);

    Riff h;
    h.tag("RIFF"), h.u32(46 + 32000 - 8), h.tag("WAVE"), h.tag("fmt "), h.u32(18);
    h.u16(1), h.u16(1), h.u32(16000), h.u32(32000), h.u16(2), h.u16(16), h.u16(0);
    h.tag("data"), h.u32(32000);
    EXPECT_EQ(f.substr(0, 46), h.bytes);
    EXPECT_EQ(samplesOf(loaded(dir.file("a.wav"))), in);
}

TEST(WaveSave, RoundTripsEightAndSixteenBits) {
    ScratchDir dir;
    std::vector<int32_t> s16{-32768, -1, 0, 1, 32767};
    CWave a(1, 8000, 16);
    a.setSamples(s16.data(), 5);
    ASSERT_TRUE(a.save(dir.file("a.wav")));
    CWave ra = loaded(dir.file("a.wav"));
    EXPECT_EQ(ra.sampleRate(), 8000);
    EXPECT_EQ(ra.bitsPerSample(), 16);
    EXPECT_EQ(samplesOf(ra), s16);

    std::vector<int32_t> s8{0, 1, 127, 128, 255};
    CWave b(1, 11025, 8);
    b.setSamples(s8.data(), 5);
    ASSERT_TRUE(b.save(dir.file("b.wav")));
    std::string f = qvtest::readFile(dir.file("b.wav"));
    EXPECT_EQ(f.size(), 46u + 5u + 1u);  // odd data chunk is padded
    CWave rb = loaded(dir.file("b.wav"));
    EXPECT_EQ(rb.bitsPerSample(), 8);
    EXPECT_EQ(rb.dataSize(), 5);
    EXPECT_EQ(samplesOf(rb), s8);
}

TEST(WaveSave, MuLawRoundTripAndWidthMismatch) {
    ScratchDir dir;
    std::vector<int32_t> in{0, 100, -100, 1000, -1000, 32767, -32768, 5};
    CWave w(1, 8000, 16);
    w.setSamples(in.data(), static_cast<int>(in.size()));
    ASSERT_TRUE(w.save(dir.file("u.wav"), true));
    std::string f = qvtest::readFile(dir.file("u.wav"));
    EXPECT_EQ(f.size(), 46u + in.size());
    EXPECT_EQ(f[20], 7);   // tag
    EXPECT_EQ(f[34], 8);   // bits

    CWave r = loaded(dir.file("u.wav"));
    EXPECT_EQ(r.bitsPerSample(), 16);
    EXPECT_EQ(r.dataSize(), static_cast<int>(2 * in.size()));
    EXPECT_EQ(r.format().formatTag, WAVE_FORMAT_PCM_TAG);
    EXPECT_EQ(r.format().avgBytesPerSec, 16000u);
    std::vector<int32_t> out = samplesOf(r);
    for (size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(out[i], muLawToLinear(linearToMuLaw(static_cast<int16_t>(in[i]))));
        EXPECT_NEAR(out[i], in[i], std::abs(in[i]) / 16 + 8) << i;
    }

    CWave eight(1, 8000, 8);
    EXPECT_FALSE(eight.save(dir.file("no.wav"), true));
    EXPECT_EQ(eight.lastError(), "Wave format mismatch.");
    EXPECT_FALSE(qvtest::exists(dir.file("no.wav")));
}

TEST(WaveLoad, FilesWrittenBySox) {
    CWave s16 = loaded(qvtest::dataPath("wave/sox_s16.wav"));
    EXPECT_EQ(s16.sampleRate(), 16000);
    EXPECT_EQ(s16.dataSize(), 1600);
    EXPECT_EQ(s16.format().extraSize, 0);

    CWave u8 = loaded(qvtest::dataPath("wave/sox_u8.wav"));
    EXPECT_EQ(u8.bitsPerSample(), 8);
    EXPECT_EQ(samplesOf(u8).size(), 400u);

    CWave mu = loaded(qvtest::dataPath("wave/sox_mulaw.wav"));  // 18-byte fmt and a fact chunk
    EXPECT_EQ(mu.bitsPerSample(), 16);
    std::string ref = qvtest::readFile(qvtest::dataPath("wave/sox_mulaw_decoded.s16"));
    ASSERT_EQ(static_cast<size_t>(mu.dataSize()), ref.size());
    EXPECT_EQ(0, memcmp(mu.data().data(), ref.data(), ref.size()));
}

TEST(WaveLoad, SkipsUnknownChunksPaddingAndLongFormat) {
    ScratchDir dir;
    Riff r;
    r.chunk("LIST", "abcde");  // odd size: one pad byte follows
    r.chunk("fmt ", Riff::fmt(1, 1, 16000, 16, 40) );
    r.chunk("fact", "1234");
    r.chunk("data", pcm16({7, -7, 300}));
    qvtest::writeFile(dir.file("x.wav"), r.file());
    CWave w = loaded(dir.file("x.wav"));
    EXPECT_EQ(w.sampleRate(), 16000);
    EXPECT_EQ(samplesOf(w), (std::vector<int32_t>{7, -7, 300}));
}

TEST(WaveLoad, BrokenFilesFailCleanly) {
    ScratchDir dir;
    auto expectFail = [&](const std::string& bytes, const char* text) {
        qvtest::writeFile(dir.file("b.wav"), bytes);
        CWave w;
        EXPECT_FALSE(w.load(dir.file("b.wav")));
        EXPECT_EQ(w.lastError(), text);
    };
    const std::string fmt = Riff::fmt(1, 1, 16000, 16);
    {
        Riff r;
        r.chunk("fmt ", fmt);
        expectFail(r.file(), "File chunk read error.");  // no data chunk
    }
    {
        Riff r;
        r.chunk("fmt ", fmt);
        r.chunk("data", "");
        expectFail(r.file(), "File data read error.");
    }
    {
        Riff r;
        r.chunk("fmt ", fmt);
        r.tag("data"), r.u32(1000000), r.bytes += pcm16({1, 2});  // size lies past the end
        expectFail(r.file(), "File data read error.");
    }
    {
        Riff r;
        r.tag("LIST"), r.u32(0x7FFFFFF0);
        r.chunk("fmt ", fmt);
        expectFail(r.file(), "File chunk read error.");
    }
    {
        Riff r;
        r.chunk("fmt ", "short");
        r.chunk("data", pcm16({1}));
        expectFail(r.file(), "File chunk read error.");
    }
    {
        Riff r;
        r.chunk("fmt ", fmt);
        r.chunk("data", pcm16({1, 2, 3, 4}));
        std::string f = r.file();
        expectFail(f.substr(0, f.size() - 3), "File chunk read error.");  // truncated: RIFF size lies
        expectFail(f.substr(0, 10), "File chunk read error.");
        f.replace(8, 4, "AVI ");
        expectFail(f, "File chunk read error.");
    }
    CWave w;
    EXPECT_FALSE(w.load(dir.file("none.wav")));
    EXPECT_EQ(w.lastError(), "File open error.");
}

TEST(WaveSamples, FittingIntoSixteenBits) {
    CWave w(1, 16000, 16);
    // Spread below 65536 but above the range: shifted by the mean.
    std::vector<int32_t> even;
    for (int v = 0; v <= 40000; v += 100) even.push_back(v);
    w.setSamples(even.data(), static_cast<int>(even.size()));
    std::vector<int32_t> out = samplesOf(w);
    EXPECT_EQ(out.front(), -20000);
    EXPECT_EQ(out.back(), 20000);

    // Skewed: the minimum is too far below the mean, so it goes to -32768.
    std::vector<int32_t> skew(100, 0);
    skew[0] = -40000;
    w.setSamples(skew.data(), 100);
    out = samplesOf(w);
    EXPECT_EQ(out[0], -32768);
    EXPECT_EQ(out[1], 7232);

    // Spread too wide: scaled around the mean into the range.
    std::vector<int32_t> wide{-100000, 0, 100000};
    w.setSamples(wide.data(), 3);
    EXPECT_EQ(samplesOf(w), (std::vector<int32_t>{-32767, 0, 32767}));
}

TEST(WaveSamples, FittingIntoEightBitsAndOtherWidths) {
    CWave w(1, 8000, 8);
    std::vector<int32_t> signedSmall{-50, 0, 50};
    w.setSamples(signedSmall.data(), 3);
    EXPECT_EQ(samplesOf(w), (std::vector<int32_t>{78, 128, 178}));
    std::vector<int32_t> wide{-1000, 0, 1000};
    w.setSamples(wide.data(), 3);
    EXPECT_EQ(samplesOf(w), (std::vector<int32_t>{1, 128, 255}));

    CWave w24(1, 8000, 24);
    w24.setSamples(wide.data(), 3);
    EXPECT_EQ(w24.dataSize(), 9);
    int32_t buf[3];
    EXPECT_EQ(w24.getSamples(buf, 3), 0);

    CWave w16(1, 8000, 16);
    std::vector<int32_t> s{1, 2, 3};
    w16.setSamples(s.data(), 3);
    EXPECT_EQ(w16.getSamples(buf, 2), 2);
}

TEST(WaveErrors, TextsAndDeviceReport) {
    CWave w;
    EXPECT_EQ(w.errorText(0), "No error.");
    EXPECT_EQ(w.errorText(9), "File data write error.");
    EXPECT_EQ(w.errorText(10), "Unspecified error.");
    EXPECT_EQ(w.errorText(-1), "Unspecified error.");
    EXPECT_EQ(w.lastError(), "Unspecified error.");
    EXPECT_FALSE(w.errorText(2, WAVE_ERR_WAVEIN).empty());

    std::string out;
    setConsoleSink([&](const std::string& s) { out += s; });
    reportDeviceError(2, "waveInOpen");
    reportDeviceError(0xDEAD, "x");
    setConsoleSink(nullptr);
    EXPECT_EQ(out.rfind("ERROR 0x00000002: waveInOpen\r\n", 0), 0u);
    EXPECT_NE(out.find("0x0000DEAD returned!\r\n"), std::string::npos);
}
