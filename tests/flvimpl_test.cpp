// FLV reader and Nellymoser decoder: agreement with an independent decoder's
// output (tests/data/flv, see its README), tag-walk checks and payload edges.
#include "engine/frontend/flvimpl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/utility.h"
#include "tests/support/testutil.h"

using ::testing::HasSubstr;
using qvtest::ConsoleCapture;

namespace {

std::vector<int16_t> readS16(const std::string& path) {
    std::string bytes = qvtest::readFile(path);
    std::vector<int16_t> v(bytes.size() / 2);
    for (size_t i = 0; i < v.size(); i++) {
        auto lo = static_cast<uint8_t>(bytes[2 * i]), hi = static_cast<uint8_t>(bytes[2 * i + 1]);
        v[i] = static_cast<int16_t>(lo | (hi << 8));
    }
    return v;
}

double snrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& test) {
    double sig = 0, err = 0;
    for (size_t i = 0; i < ref.size() && i < test.size(); i++) {
        double d = double(ref[i]) - double(test[i]);
        sig += double(ref[i]) * ref[i];
        err += d * d;
    }
    return err == 0 ? 300.0 : 10.0 * std::log10(sig / err);
}

// ---- FLV image builders ------------------------------------------------------

std::string be(uint32_t v, int bytes) {
    std::string s;
    for (int i = bytes - 1; i >= 0; i--) s += static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

struct flvBuilder {
    std::string bytes = std::string("FLV\x01\x04", 5) + be(9, 4);
    uint32_t prevSize = 0;

    flvBuilder& tag(uint8_t type, const std::string& data, uint32_t streamId = 0) {
        bytes += be(prevSize, 4);
        bytes += static_cast<char>(type);
        bytes += be(static_cast<uint32_t>(data.size()), 3);
        bytes += be(0, 4);  // timestamp + extension
        bytes += be(streamId, 3);
        bytes += data;
        prevSize = 11 + static_cast<uint32_t>(data.size());
        return *this;
    }
    flvBuilder& audio(uint8_t format, const std::string& payload) {
        return tag(8, std::string(1, static_cast<char>(format)) + payload);
    }
    std::string finish() const { return bytes + be(prevSize, 4); }
};

// Arbitrary bytes are a valid Nellymoser stream; a fixed generator keeps the
// blocks reproducible.
std::string pseudoBlocks(size_t n, uint32_t seed = 12345) {
    std::string s(n, '\0');
    for (auto& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

struct flvResult {
    std::vector<int16_t> samples;
    int32_t rate = -1, size = -1, num = -1, channels = -1;
};

flvResult decode(const std::string& image, qv::nellymoserDecoder* decoder = nullptr) {
    flvResult r;
    r.samples = qv::decodeFlvBuffer(reinterpret_cast<const uint8_t*>(image.data()), image.size(), r.rate,
                                    r.size, r.num, r.channels, decoder);
    return r;
}

flvResult readFile(const char* path) {
    flvResult r;
    r.samples = qv::readFlvFile(path, r.rate, r.size, r.num, r.channels);
    return r;
}

std::string fatalMessage(const std::string& image) {
    return qvtest::fatalMessage([&] { decode(image); }, "(no error)");
}

// Fatal errors write an error log into $temp; keep those out of /tmp.
class tempDirEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_dir = std::make_unique<qvtest::ScratchDir>();
        m_temp = std::make_unique<qvtest::TempDirEnv>(m_dir->path());
    }
    void TearDown() override {
        m_temp.reset();
        m_dir.reset();
    }

private:
    std::unique_ptr<qvtest::ScratchDir> m_dir;
    std::unique_ptr<qvtest::TempDirEnv> m_temp;
};
::testing::Environment* const kTempEnv = ::testing::AddGlobalTestEnvironment(new tempDirEnvironment);

struct referenceCase {
    const char* name;
    int32_t rate;
};
const referenceCase kReferences[] = {{"speech8000", 8000}, {"speech16000", 16000}, {"speech22050", 22050}};

}  // namespace

// With the reference decoder's noise-fill signs replayed, everything else in
// the two decoders (bit allocation, dequantisation, transform, level) must
// agree to within the 16-bit rounding of the two outputs.
TEST(FlvReference, MatchesIndependentDecoderSampleBySample) {
    const std::string signs = qvtest::readFile(qvtest::dataPath("flv/peer_signs.bin"));
    ASSERT_FALSE(signs.empty());
    for (const auto& c : kReferences) {
        SCOPED_TRACE(c.name);
        size_t next = 0;
        bool ranOut = false;
        qv::nellymoserDecoder decoder;
        decoder.setNoiseSigns([&]() {
            if (next >= signs.size() * 8) {
                ranOut = true;
                return false;
            }
            bool bit = (static_cast<uint8_t>(signs[next >> 3]) >> (next & 7)) & 1;
            next++;
            return bit;
        });
        std::string image = qvtest::readFile(qvtest::dataPath(std::string("flv/") + c.name + ".flv"));
        flvResult r = decode(image, &decoder);
        std::vector<int16_t> ref = readS16(qvtest::dataPath(std::string("flv/") + c.name + ".s16"));
        ASSERT_FALSE(ranOut);
        EXPECT_EQ(r.rate, c.rate);
        EXPECT_EQ(r.size, 16);
        EXPECT_EQ(r.channels, 1);
        ASSERT_EQ(r.samples.size(), ref.size());
        EXPECT_EQ(r.num, static_cast<int32_t>(ref.size()));
        EXPECT_GT(snrDb(ref, r.samples), 60.0);
    }
}

// The file reader's own deterministic signs change only the noise-filled
// bins, so the result stays close to the reference and is repeatable.
TEST(FlvReference, DeterministicDecodeStaysCloseToReference) {
    for (const auto& c : kReferences) {
        SCOPED_TRACE(c.name);
        std::string path = qvtest::dataPath(std::string("flv/") + c.name + ".flv");
        flvResult a = readFile(path.c_str());
        flvResult b = readFile(path.c_str());
        std::vector<int16_t> ref = readS16(qvtest::dataPath(std::string("flv/") + c.name + ".s16"));
        EXPECT_EQ(a.rate, c.rate);
        ASSERT_EQ(a.samples.size(), ref.size());
        EXPECT_EQ(a.samples, b.samples);
        EXPECT_GT(snrDb(ref, a.samples), 25.0);
    }
}

TEST(FlvFormat, FormatByteGivesRateAndChannels) {
    struct {
        uint8_t format;
        int32_t rate, channels;
    } cases[] = {
        {0x52, 8000, 1},   // Nellymoser 8 kHz mono
        {0x50, 8000, 1},   // same with the 8-bit flag: still 16-bit samples
        {0x42, 16000, 1},  // Nellymoser 16 kHz mono
        {0x62, 5500, 1},  {0x66, 11025, 1}, {0x6a, 22050, 1}, {0x6e, 44100, 1},
        {0x6b, 22050, 2},  // stereo flag: decoded as one block sequence
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        flvResult r = decode(flvBuilder().audio(c.format, pseudoBlocks(64)).finish());
        EXPECT_EQ(r.rate, c.rate);
        EXPECT_EQ(r.channels, c.channels);
        EXPECT_EQ(r.size, 16);
        EXPECT_EQ(r.samples.size(), 256u);
    }
}

TEST(FlvPayload, BlocksPerTagAndPadding) {
    const std::string blocks = pseudoBlocks(3 * 64);

    // 1 + 64k bytes give 256k samples; tags continue the same stream.
    flvResult whole = decode(flvBuilder().audio(0x52, blocks.substr(0, 128)).audio(0x52, blocks.substr(128)).finish());
    EXPECT_EQ(whole.samples.size(), 3 * 256u);
    EXPECT_EQ(whole.num, 3 * 256);

    // A short last block is read within its tag and padded with zeros: the
    // next tag's bytes must not leak into it.
    std::string shortPayload = blocks.substr(0, 64 + 10);
    std::string padded = shortPayload + std::string(54, '\0');
    flvResult a = decode(flvBuilder().audio(0x52, shortPayload).audio(0x52, blocks.substr(0, 64)).finish());
    flvResult b = decode(flvBuilder().audio(0x52, padded).audio(0x52, blocks.substr(0, 64)).finish());
    EXPECT_EQ(a.samples.size(), 3 * 256u);
    EXPECT_EQ(a.samples, b.samples);

    // A tag holding only the format byte carries no block.
    flvResult empty = decode(flvBuilder().audio(0x52, "").audio(0x52, blocks.substr(0, 64)).finish());
    EXPECT_EQ(empty.samples.size(), 256u);
    EXPECT_EQ(empty.rate, 8000);
}

TEST(FlvPayload, OtherTagsAndEmptyAudioTagsAreSkipped) {
    const std::string blocks = pseudoBlocks(128);
    flvResult plain = decode(flvBuilder().audio(0x52, blocks).finish());
    flvResult mixed = decode(flvBuilder()
                                 .tag(18, std::string("\x02\x00\x0aonMetaData", 13))
                                 .tag(8, "")  // empty audio tag: no format byte to check
                                 .tag(9, pseudoBlocks(40, 7))
                                 .audio(0x52, blocks)
                                 .finish());
    EXPECT_EQ(mixed.samples, plain.samples);

    // Header and the first previous-tag size only: no tags, no samples.
    flvResult none = decode(std::string("FLV\x01\x04", 5) + be(9, 4) + be(0, 4));
    EXPECT_TRUE(none.samples.empty());
    EXPECT_EQ(none.num, 0);
}

// Every header field may be anything: the decoder must stay in range and
// never turn an overflowed scale into undefined integer conversions.
TEST(FlvDecoder, ExtremeBlocksStayInRange) {
    const uint8_t fills[] = {0x00, 0x55, 0xaa, 0xff};
    for (uint8_t fill : fills) {
        SCOPED_TRACE(fill);
        std::vector<uint8_t> block(64, fill);
        qv::nellymoserDecoder d;
        float out[256];
        for (int rep = 0; rep < 3; rep++) d.decodeBlock(block.data(), out);
        // All-ones blocks push the band scale past the float range; the
        // others must stay finite.
        if (fill != 0xff) {
            for (float v : out) ASSERT_TRUE(std::isfinite(v));
        }
    }
    EXPECT_EQ(qv::nellySampleToInt16(40000.0f), 32767);
    EXPECT_EQ(qv::nellySampleToInt16(-40000.0f), -32768);
    EXPECT_EQ(qv::nellySampleToInt16(-12.9f), -12);
    EXPECT_EQ(qv::nellySampleToInt16(std::nanf("")), 0);
}

TEST(FlvCorrupt, TagStructureErrorsAreFatal) {
    const std::string blk = pseudoBlocks(64);
    const std::string good = flvBuilder().audio(0x52, blk).audio(0x52, blk).finish();

    std::string badFirst = good;
    badFirst[12] = 1;  // first previous-tag size must be 0
    EXPECT_THAT(fatalMessage(badFirst), HasSubstr("Corrupt file (tag size check failed)"));

    std::string badLater = good;
    badLater[9 + 4 + 11 + 65 + 3] ^= 1;  // previous-tag size after the first tag
    EXPECT_THAT(fatalMessage(badLater), HasSubstr("Corrupt file (tag size check failed)"));

    EXPECT_THAT(fatalMessage(flvBuilder().tag(8, "\x52" + blk, 0x000100).finish()),
                HasSubstr("Corrupt file (tag padding ignored)"));
    EXPECT_EQ(fatalMessage(flvBuilder().tag(8, "\x52" + blk, 0x7f0000).finish()), "(no error)");

    EXPECT_THAT(fatalMessage(flvBuilder().audio(0x52, blk).audio(0x6a, blk).finish()),
                HasSubstr("Corrupt file (changed audio format midstream)"));

    EXPECT_THAT(fatalMessage(flvBuilder().audio(0x22, blk).finish()), HasSubstr("stream is not Nellymoser"));
    EXPECT_THAT(fatalMessage(flvBuilder().audio(0x72, blk).finish()), HasSubstr("stream is not Nellymoser"));
}

TEST(FlvCorrupt, TruncatedFilesNeverReadPastTheEnd) {
    const std::string good = flvBuilder().audio(0x52, pseudoBlocks(128)).finish();
    // Every cut inside a tag header, its data or a previous-tag size is fatal;
    // a cut right after a previous-tag size or a whole tag ends the walk.
    const size_t tagEnd = 9 + 4 + 11 + 129;
    for (size_t cut = 9; cut < good.size(); cut++) {
        SCOPED_TRACE(cut);
        std::string image = good.substr(0, cut);
        if (cut == 9 || cut == 13 || cut == tagEnd) {
            flvResult r = decode(image);
            EXPECT_EQ(r.samples.size(), cut == tagEnd ? 512u : 0u);
        } else {
            EXPECT_THAT(fatalMessage(image), HasSubstr("Corrupt file ("));
        }
    }
    std::string huge = good;
    huge[13 + 1] = '\x7f';  // data size far beyond the file
    EXPECT_THAT(fatalMessage(huge), HasSubstr("Corrupt file (tag data runs past end of file)"));
}

TEST(FlvNoData, UnusableFilesReturnNothingWithAReason) {
    qvtest::ScratchDir dir;
    {
        ConsoleCapture out;
        flvResult r = readFile(nullptr);
        EXPECT_TRUE(r.samples.empty());
        EXPECT_THAT(out.text, HasSubstr("flv_flvFile is NULL"));
    }
    {
        ConsoleCapture out;
        flvResult r = readFile(dir.file("missing.flv").c_str());
        EXPECT_TRUE(r.samples.empty());
        EXPECT_THAT(out.text, HasSubstr("flv_fopen"));
    }
    {
        qvtest::writeFile(dir.file("empty.flv"), "");
        ConsoleCapture out;
        flvResult r = readFile(dir.file("empty.flv").c_str());
        EXPECT_TRUE(r.samples.empty());
        EXPECT_THAT(out.text, HasSubstr("Warning: flvFileSize=0! (line "));
        EXPECT_THAT(out.text, HasSubstr(" of flvimpl)\n"));
        EXPECT_EQ(r.rate, 0);
        EXPECT_EQ(r.size, 0);
        EXPECT_EQ(r.num, 0);
        EXPECT_EQ(r.channels, 1);
    }
    const std::string notFlv[] = {"RIFF....WAVE", std::string("FLV\x02\x04\0\0\0\x09", 9), "FLV"};
    for (const auto& image : notFlv) {
        qvtest::writeFile(dir.file("bad.flv"), image);
        ConsoleCapture out;
        flvResult r = readFile(dir.file("bad.flv").c_str());
        EXPECT_TRUE(r.samples.empty());
        EXPECT_EQ(out.text, "Unknown file format!\n");
    }
}
