#include "capture/recording.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/utility.h"
#include "platform/waveIn.h"
#include "support/captureutil.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ScopedEnv;
using qvtest::ScratchDir;
using qvtest::Segment;

namespace {

// Level fixed at its initial 819.2: silence is quiet, a tone of amplitude
// 10000 (volume about 6366) is speech.
recordParam fixedLevelParams() {
    recordParam p;
    p.nbits = 16;
    p.fs = 16000;
    p.upRateBSModify = 1;
    p.silenceLimitBeforeSpeech = 10;
    p.silenceLimitInSpeech = 10;
    return p;
}

struct ConsoleCapture {
    std::string text;
    ConsoleCapture() {
        setConsoleSink([this](const std::string& s) { text += s; });
    }
    ~ConsoleCapture() { setConsoleSink(nullptr); }
};

int capture(const recordParam& p, std::vector<int32_t>& out, int budget, const std::atomic<uint8_t>* stop = nullptr) {
    out.assign(static_cast<size_t>(budget) + 16, -7777777);  // canaries after the budget
    int n = -2;
    qvtest::runBounded([&] { n = recordWithSilenceLimit(p, out.data(), budget, stop); }, 20, "capture");
    EXPECT_EQ(waveInOpenCount(), 0);  // closed on every way out
    return n;
}

}  // namespace

TEST(RecordParam, ParsesKeysBlanksAndComments) {
    ScratchDir dir;
    qvtest::writeFile(dir.file("r.prm"),
                      "% header comment\n"
                      "\n"
                      "fs   =   16000   % trailing comment\n"
                      "nbits=8\r\n"
                      "no equals sign here\n"
                      "silenceLimitInSpeech = 0.75\n"
                      "downRateBSModifyUsingVol = 3\n");
    recordParam p;
    p.nAdjustFrame = 99;  // every absent field becomes 0
    recordParamRead(dir.file("r.prm"), p);
    EXPECT_EQ(p.fs, 16000);
    EXPECT_EQ(p.nbits, 8);
    EXPECT_DOUBLE_EQ(p.silenceLimitInSpeech, 0.75);
    EXPECT_DOUBLE_EQ(p.downRateBSModifyUsingVol, 3.0);
    EXPECT_EQ(p.nAdjustFrame, 0);
    EXPECT_DOUBLE_EQ(p.totalDuration, 0.0);
}

TEST(RecordParam, UnknownKeyAndMissingFileAreFatal) {
    ScratchDir dir;
    ConsoleCapture console;
    qvtest::writeFile(dir.file("r.prm"), "fs = 16000\nsampleRate = 8000\n");
    recordParam p;
    try {
        recordParamRead(dir.file("r.prm"), p);
        FAIL() << "no error";
    } catch (const FatalError& e) {
        std::string msg = e.what();
        EXPECT_EQ(msg.rfind("Error in parsing " + dir.file("r.prm") + " (line ", 0), 0u) << msg;
        EXPECT_NE(msg.find(" of file recording)"), std::string::npos) << msg;
    }
    EXPECT_NE(console.text.find("Unknown key = sampleRate\n"), std::string::npos);
    EXPECT_THROW(recordParamRead(dir.file("missing.prm"), p), FatalError);
}

TEST(RecordParam, ShippedFileReads) {
    recordParam p;
    recordParamRead(std::string(QV_SOURCE_DIR) + "/telvoDataChinese/recording.prm", p);
    EXPECT_EQ(p.nbits, 16);
    EXPECT_EQ(p.fs, 16000);
    EXPECT_GT(p.silenceLimitInSpeech, 0);
}

TEST(Recording, RejectsBadSettingsBeforeTouchingTheDevice) {
    ConsoleCapture console;
    std::vector<int32_t> buf(100);
    recordParam p = fixedLevelParams();
    p.nbits = 24;
    EXPECT_EQ(recordWithSilenceLimit(p, buf.data(), 100, nullptr), -1);
    EXPECT_EQ(console.text, "error: \"nbits\" can only be 8 or 16!\n");
    console.text.clear();
    p = fixedLevelParams();
    p.silenceLimitBeforeSpeech = -0.1;
    EXPECT_EQ(recordWithSilenceLimit(p, buf.data(), 100, nullptr), -1);
    EXPECT_EQ(console.text, "error: \"silenceLimitBeforeSpeech\" must be greater or equal to 0!\n");
    console.text.clear();
    p = fixedLevelParams();
    p.silenceLimitInSpeech = -1;
    EXPECT_EQ(recordWithSilenceLimit(p, buf.data(), 100, nullptr), -1);
    EXPECT_EQ(console.text, "error: \"silenceLimitInSpeech\" must be greater or equal to 0!\n");
    // A zero rate would make the frame size 0.
    p = fixedLevelParams();
    p.fs = 0;
    EXPECT_EQ(recordWithSilenceLimit(p, buf.data(), 100, nullptr), -1);
}

TEST(Recording, MissingDeviceFailsCleanly) {
    ConsoleCapture console;
    ScopedEnv env("QUORVANE_WAVEIN", "file-fast:/nonexistent/none.wav");
    std::vector<int32_t> buf;
    EXPECT_EQ(capture(fixedLevelParams(), buf, 1600), -1);
    EXPECT_EQ(console.text.rfind("ERROR 0x00000002: Can't open WAVE In Device!\r\n", 0), 0u) << console.text;
    EXPECT_EQ(buf[0], -7777777);
}

TEST(Recording, DefaultAlsaDeviceOpensOrFailsWithoutHanging) {
    ScopedEnv env("QUORVANE_WAVEIN", nullptr);
    ConsoleCapture console;
    recordParam p = fixedLevelParams();
    std::atomic<uint8_t> stop{1};  // if a real device exists, stop at once
    std::vector<int32_t> buf;
    int n = capture(p, buf, 16000, &stop);
    if (n < 0)
        EXPECT_NE(console.text.find("Can't open WAVE In Device!"), std::string::npos) << console.text;
    else
        EXPECT_LE(n, 16000);
}

TEST(Recording, StopsAtFirstSpeechFrameWhenInSpeechLimitIsZero) {
    ScratchDir dir;
    auto file = qvtest::writeToneWav(dir.file("a.wav"), {{500, 0}, {1000, 10000}});
    ScopedEnv env("QUORVANE_WAVEIN", ("file-fast:" + dir.file("a.wav")).c_str());
    recordParam p = fixedLevelParams();
    p.silenceLimitInSpeech = 0;
    std::vector<int32_t> buf;
    int n = capture(p, buf, 48000);
    // 25 silent frames, then the first loud one stops it; the buffer handed
    // back after the stop may add one more frame before stopping again.
    EXPECT_TRUE(n == 26 * 320 || n == 27 * 320) << n;
    for (int i = 0; i < 26 * 320; ++i) ASSERT_EQ(buf[i], file[i]) << i;
}

TEST(Recording, SilentStartStopsAfterFirstFrameWhenBeforeLimitIsZero) {
    ScratchDir dir;
    qvtest::writeToneWav(dir.file("a.wav"), {{1000, 0}});
    ScopedEnv env("QUORVANE_WAVEIN", ("file-fast:" + dir.file("a.wav")).c_str());
    recordParam p = fixedLevelParams();
    p.silenceLimitBeforeSpeech = 0;
    std::vector<int32_t> buf;
    int n = capture(p, buf, 48000);
    EXPECT_TRUE(n == 320 || n == 640) << n;
}

TEST(Recording, SilenceLimitsCountFramesBeforeAndInsideSpeech) {
    ScratchDir dir;
    // 0.3 s silence, 0.5 s tone, then silence for ever (file end).
    qvtest::writeToneWav(dir.file("a.wav"), {{300, 0}, {500, 10000}});
    ScopedEnv env("QUORVANE_WAVEIN", ("file-fast:" + dir.file("a.wav")).c_str());
    recordParam p = fixedLevelParams();
    p.silenceLimitInSpeech = 0.2;  // 10 frames
    std::vector<int32_t> buf;
    int n = capture(p, buf, 160000);
    // Speech ends at frame 40; ten silent frames later (frame 50) it stops.
    EXPECT_TRUE(n == 50 * 320 || n == 51 * 320) << n;

    p = fixedLevelParams();
    p.silenceLimitBeforeSpeech = 0.2;  // 10 frames: gives up before the tone at frame 16
    n = capture(p, buf, 160000);
    EXPECT_TRUE(n == 10 * 320 || n == 11 * 320) << n;
}

TEST(Recording, BudgetIsNeverExceeded) {
    ScratchDir dir;
    auto file = qvtest::writeToneWav(dir.file("a.wav"), {{2000, 10000}});
    ScopedEnv env("QUORVANE_WAVEIN", ("file-fast:" + dir.file("a.wav")).c_str());
    std::vector<int32_t> buf;
    // Not a multiple of the frame size: the budget ends inside a frame.
    int n = capture(fixedLevelParams(), buf, 5000);
    EXPECT_EQ(n, 5000);
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(buf[i], file[i]) << i;
    for (size_t i = 5000; i < buf.size(); ++i) ASSERT_EQ(buf[i], -7777777) << i;
    // A zero budget records nothing.
    EXPECT_EQ(capture(fixedLevelParams(), buf, 0), 0);
}

TEST(Recording, StopFlagEndsCaptureWithinAFrame) {
    ScratchDir dir;
    qvtest::writeToneWav(dir.file("a.wav"), {{3000, 10000}});
    {
        ScopedEnv env("QUORVANE_WAVEIN", ("file-fast:" + dir.file("a.wav")).c_str());
        std::atomic<uint8_t> stop{1};
        std::vector<int32_t> buf;
        int n = capture(fixedLevelParams(), buf, 160000, &stop);
        EXPECT_TRUE(n == 320 || n == 640) << n;
    }
    // Raised by another thread during a real-time capture.
    ScopedEnv env("QUORVANE_WAVEIN", ("file:" + dir.file("a.wav")).c_str());
    std::atomic<uint8_t> stop{0};
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = 1;
    });
    std::vector<int32_t> buf;
    auto t0 = std::chrono::steady_clock::now();
    int n = capture(fixedLevelParams(), buf, 160000, &stop);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    raiser.join();
    EXPECT_GE(n, 320);
    EXPECT_LE(n, 16000);  // well before the 3 s of tone or the 10 s budget
    EXPECT_LT(secs, 1.5);
}

TEST(Recording, EightBitSamplesAreUnsigned) {
    ScratchDir dir;
    auto file = qvtest::writeToneWav(dir.file("a.wav"), {{200, 0}, {400, 100}}, 8000, 8);
    ScopedEnv env("QUORVANE_WAVEIN", ("file-fast:" + dir.file("a.wav")).c_str());
    recordParam p = fixedLevelParams();
    p.nbits = 8;
    p.fs = 8000;  // 160-sample frames, initial level 3.2
    std::vector<int32_t> buf;
    int n = capture(p, buf, 6000);
    EXPECT_EQ(n, 6000);
    for (int i = 0; i < static_cast<int>(file.size()); ++i) ASSERT_EQ(buf[i], file[i]) << i;
    for (int i = static_cast<int>(file.size()); i < n; ++i) ASSERT_EQ(buf[i], 128) << i;  // silence after the end
}

TEST(Recording, BackgroundLevelFollowsNoiseBeforeSpeech) {
    ScratchDir dir;
    // Steady low hum (volume about 637 < 819.2) then a loud tone: the level
    // settles at 3x the hum, so the hum never counts as speech.
    qvtest::writeToneWav(dir.file("a.wav"), {{600, 1000}, {400, 10000}});
    ScopedEnv env("QUORVANE_WAVEIN", ("file-fast:" + dir.file("a.wav")).c_str());
    recordParam p = fixedLevelParams();
    p.upRateBSInit = p.upRateBSNew = 0.3;
    p.upRateBSModify = 0.5;
    p.downRateBSInit = 0.5;
    p.downRateBSNew = 0.2;
    p.downRateBSModifyUsingVol = 3.0;
    p.silenceLimitInSpeech = 0;
    std::vector<int32_t> buf;
    int n = capture(p, buf, 48000);
    EXPECT_TRUE(n == 31 * 320 || n == 32 * 320) << n;  // stops at the tone's first frame
}

TEST(WaveInDevice, ResetReturnsEveryQueuedBufferAndCloseWaitsForThem) {
    ScratchDir dir;
    qvtest::writeToneWav(dir.file("a.wav"), {{100, 0}});
    ScopedEnv env("QUORVANE_WAVEIN", ("file:" + dir.file("a.wav")).c_str());
    ThreadId me = getCurrentThreadId();
    WaveFormat fmt;
    HWaveIn dev = nullptr;
    ASSERT_EQ(waveInOpen(&dev, WAVE_MAPPER, fmt, me), MM_NOERROR);
    Msg m;
    ASSERT_EQ(getMessageTimeout(m, 1000), 1);
    EXPECT_EQ(m.message, MM_WIM_OPEN);
    std::vector<uint8_t> mem(6400);
    WaveHeader h[2];
    for (int i = 0; i < 2; ++i) {
        h[i].data = mem.data() + 3200 * i;
        h[i].bufferLength = 3200;
        EXPECT_EQ(waveInAddBuffer(dev, &h[i]), MM_WAVE_UNPREPARED);
        ASSERT_EQ(waveInPrepareHeader(dev, &h[i]), MM_NOERROR);
        ASSERT_EQ(waveInAddBuffer(dev, &h[i]), MM_NOERROR);
    }
    EXPECT_EQ(waveInUnprepareHeader(dev, &h[0]), MM_WAVE_STILLPLAYING);
    EXPECT_EQ(waveInClose(dev), MM_WAVE_STILLPLAYING);
    ASSERT_EQ(waveInReset(dev), MM_NOERROR);  // never started: both come back empty, in order
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(getMessageTimeout(m, 1000), 1);
        EXPECT_EQ(m.message, MM_WIM_DATA);
        EXPECT_EQ(reinterpret_cast<WaveHeader*>(m.lParam), &h[i]);
        EXPECT_EQ(h[i].bytesRecorded, 0u);
        EXPECT_TRUE(h[i].flags & WHDR_DONE);
        EXPECT_EQ(waveInUnprepareHeader(dev, &h[i]), MM_NOERROR);
    }
    ASSERT_EQ(waveInClose(dev), MM_NOERROR);
    ASSERT_EQ(getMessageTimeout(m, 1000), 1);
    EXPECT_EQ(m.message, MM_WIM_CLOSE);
    EXPECT_EQ(waveInStart(dev), MM_INVALHANDLE);  // closed handle
}

TEST(WaveInDevice, RejectsFormatsAndThreadsItCannotServe) {
    ScratchDir dir;
    qvtest::writeToneWav(dir.file("a.wav"), {{100, 0}}, 8000);
    ScopedEnv env("QUORVANE_WAVEIN", ("file-fast:" + dir.file("a.wav")).c_str());
    HWaveIn dev = nullptr;
    WaveFormat fmt;  // 16 kHz: the file is 8 kHz
    EXPECT_EQ(waveInOpen(&dev, WAVE_MAPPER, fmt, 0), MM_WAVE_BADFORMAT);
    fmt.samplesPerSec = 8000;
    fmt.avgBytesPerSec = 16000;
    fmt.bitsPerSample = 24;
    EXPECT_EQ(waveInOpen(&dev, WAVE_MAPPER, fmt, 0), MM_WAVE_BADFORMAT);
    fmt.bitsPerSample = 16;
    EXPECT_EQ(waveInOpen(&dev, 5, fmt, 0), MM_BADDEVICEID);
    EXPECT_EQ(waveInOpen(&dev, WAVE_MAPPER, fmt, 0xFFFFFFF0u), MM_INVALPARAM);  // no such thread
    ASSERT_EQ(waveInOpen(&dev, WAVE_MAPPER, fmt, 0), MM_NOERROR);
    EXPECT_EQ(waveInClose(dev), MM_NOERROR);
}
