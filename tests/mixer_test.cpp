#include "control/Record.h"

#include <gtest/gtest.h>

#include "engine/utility.h"
#include "platform/mixer.h"
#include "support/captureutil.h"

using namespace qv;
using qvtest::ControlHome;
using qvtest::ScopedEnv;

namespace {

// A control in a fresh home whose wave-in device is a WAV file.
struct MicSetup {
    ControlHome home;
    std::unique_ptr<ScopedEnv> device;
    std::string console;
    MicSetup() {
        qvtest::writeToneWav(home.data("in.wav"), {{100, 0}});
        device = std::make_unique<ScopedEnv>("QUORVANE_WAVEIN", ("file-fast:" + home.data("in.wav")).c_str());
        setConsoleSink([this](const std::string& s) { console += s; });
    }
    ~MicSetup() { setConsoleSink(nullptr); }
    // GetMicVolume's result code and level (-1: not written).
    std::pair<int32_t, int32_t> query(const char* mixer) {
        ScopedEnv env("QUORVANE_MIXER", mixer);
        CRecord rec;
        int32_t level = -1;
        int32_t hr = rec.GetMicVolume(&level);
        return {hr, level};
    }
};

}  // namespace

TEST(MicVolume, DestinationLineVolumeIsAPercentageOfItsMaximum) {
    MicSetup s;
    EXPECT_EQ(s.query("sim:65535/65535"), std::make_pair(S_OK, 100));
    EXPECT_EQ(s.query("sim:50/100"), std::make_pair(S_OK, 50));
    EXPECT_EQ(s.query("sim:32767/65535"), std::make_pair(S_OK, 49));  // truncated
    EXPECT_EQ(s.query("sim:0/7"), std::make_pair(S_OK, 0));
    EXPECT_EQ(s.query("sim:900/100"), std::make_pair(S_OK, 100));  // past the maximum
    const std::string log = s.home.log();
    EXPECT_NE(log.find("GetMicVolume(): try method1, find volume control directly in destination line.\n"),
              std::string::npos);
    EXPECT_NE(log.find("GetMicVolume(): mixer name: Recording Control\n"), std::string::npos);
    EXPECT_EQ(log.find("method2"), std::string::npos);  // no source enumeration
    EXPECT_EQ(s.console, "");
}

TEST(MicVolume, FallsBackToTheMicrophoneSourceLine) {
    MicSetup s;
    EXPECT_EQ(s.query("sim-mic:30/60"), std::make_pair(S_OK, 50));
    EXPECT_EQ(s.console, "\t#0: Line In\n\t#2: Microphonefound\n");  // the synthesizer is skipped
    const std::string log = s.home.log();
    size_t m1 = log.find(
        "GetMicVolume(): method1: mixerGetLineControls() returned value: MIXERR_INVALCONTROL with mixerLine name: "
        "Recording Control\n");
    size_t m2 = log.find(
        "GetMicVolume(): try method2, find each source line of destination line and locate mic control.\n");
    ASSERT_NE(m1, std::string::npos) << log;
    ASSERT_NE(m2, std::string::npos) << log;
    EXPECT_LT(m1, m2);
}

TEST(MicVolume, NoLevelWithoutAMicrophoneOrDevice) {
    MicSetup s;
    EXPECT_EQ(s.query("sim-nomic"), std::make_pair(S_OK, -1));
    EXPECT_NE(s.home.log().find("GetMicVolume(): method2-2: mixerGetLineInfo() returned value: MIXERR_INVALLINE\n"),
              std::string::npos)
        << s.home.log();

    EXPECT_EQ(s.query("nonsense"), std::make_pair(E_FAIL_RESULT, -1));
    EXPECT_NE(s.home.log().find("GetMicVolume(): mixerOpen() returned value: MMSYSERR_BADDEVICEID\n"), std::string::npos);

    ScopedEnv noDevice("QUORVANE_WAVEIN", "file:/nonexistent.wav");
    EXPECT_EQ(s.query("sim:1/2"), std::make_pair(S_OK, -1));
    EXPECT_NE(s.home.log().find("GetMicVolume(): waveInOpen() returned value: MMSYSERR_BADDEVICEID\tmci string: "
                                "The device identifier is out of range: no such audio device.\n"),
              std::string::npos)
        << s.home.log();
}

TEST(MicVolume, ClosesTheDeviceOnEveryWayOut) {
    // An open wave-in device could block the next recording.
    MicSetup s;
    for (const char* mixer : {"sim:1/2", "sim-mic:1/2", "sim-nomic", "nonsense"}) {
        s.query(mixer);
        EXPECT_EQ(waveInOpenCount(), 0) << mixer;
    }
}

TEST(MicVolume, DefaultAlsaMixerAnswersWithoutHanging) {
    MicSetup s;
    ScopedEnv alsaDevice("QUORVANE_WAVEIN", nullptr);
    std::pair<int32_t, int32_t> r;
    qvtest::runBounded([&] { r = s.query(nullptr); }, 20, "GetMicVolume on ALSA");
    if (r.first == S_OK && r.second >= 0) {
        EXPECT_LE(r.second, 100);  // a machine with a sound card
    } else {
        EXPECT_NE(s.home.log().find("GetMicVolume(): "), std::string::npos);
    }
}

TEST(MixerLayer, SimulatedLinesAndBadHandles) {
    ScopedEnv env("QUORVANE_MIXER", "sim-mic:5/10");
    HMixer m = nullptr;
    EXPECT_EQ(mixerOpen(&m, nullptr), MM_INVALHANDLE);
    HWaveIn fake = reinterpret_cast<HWaveIn>(&m);  // the simulated mixer does not look at the device
    ASSERT_EQ(mixerOpen(&m, fake), MM_NOERROR);
    MixerLine dst, src;
    EXPECT_EQ(mixerGetDestinationLine(m, MIXERLINE_SRC_MICROPHONE, dst), MIXERR_INVALLINE);
    ASSERT_EQ(mixerGetDestinationLine(m, MIXERLINE_DST_WAVEIN, dst), MM_NOERROR);
    EXPECT_EQ(dst.connections, 3u);
    EXPECT_EQ(mixerGetSourceLine(m, dst, 3, src), MIXERR_INVALLINE);
    ASSERT_EQ(mixerGetSourceLine(m, dst, 2, src), MM_NOERROR);
    EXPECT_EQ(src.componentType, MIXERLINE_SRC_MICROPHONE);
    MixerControl c;
    ASSERT_EQ(mixerGetVolumeControl(m, src, c), MM_NOERROR);
    uint32_t v = 0;
    ASSERT_EQ(mixerGetControlValue(m, c, v), MM_NOERROR);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(c.maximum, 10u);
    EXPECT_EQ(mixerClose(m), MM_NOERROR);
    EXPECT_EQ(mixerClose(m), MM_INVALHANDLE);
    ScopedEnv bad("QUORVANE_MIXER", "sim:5/0");
    EXPECT_EQ(mixerOpen(&m, fake), MM_INVALPARAM);
}
