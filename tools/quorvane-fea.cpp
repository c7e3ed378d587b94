// quorvane-fea CONFIG AUDIO OUT [--epd] [--specsub] [--wav-out WAV]: reads a
// WAV, FLV or raw audio file, prepares it as a recognition run does (16 kHz,
// 16 bits, level check, DC removal; spectral subtraction only with
// --specsub), optionally trims it to the detected end points (the whole
// signal when none are found), computes the features of the configuration
// file and writes them as text, one frame per line. --wav-out also saves the
// stretch the features were computed from, to listen to what was analysed.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "capture/wave.h"
#include "engine/frontend/audioFile.h"
#include "engine/frontend/feature.h"
#include "engine/frontend/lib/audio.h"
#include "engine/recogTask.h"
#include "engine/utility.h"

int main(int argc, char** argv) {
    std::string pos[3];
    int npos = 0;
    bool useEpd = false;
    bool specSub = false;
    bool bad = false;
    std::string wavOut;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--epd") == 0) useEpd = true;
        else if (strcmp(argv[i], "--wav-out") == 0 && i + 1 < argc) wavOut = argv[++i];
        else if (strcmp(argv[i], "--specsub") == 0) specSub = true;
        else if (argv[i][0] == '-' && argv[i][1] == '-') bad = true;
        else if (npos < 3) pos[npos++] = argv[i];
        else bad = true;
    }
    if (bad || npos != 3) {
        fprintf(stderr,
                "usage: %s CONFIG AUDIO OUT [--epd] [--specsub] [--wav-out WAV]\n"
                "  writes the features of AUDIO (.wav, .flv, .raw) as text, one frame per line\n",
                argc > 0 ? argv[0] : "quorvane-fea");
        return 2;
    }
    const std::string& cfgFile = pos[0];
    const std::string& audioFile = pos[1];
    const std::string& outFile = pos[2];
    try {
        qv::recogParam prm;
        prm.useSpecSubtraction = specSub ? 1 : 0;
        prm.useWaveReject = 0;
        prm.outputDir[0] = '\0';

        long t0 = qv::clockMs();
        qv::waveSignal wave = qv::readAudioFile(audioFile);
        qv::prepareWave(wave, prm);
        long t1 = qv::clockMs();
        qv::consolePrintf("%4.3f sec: Read wave file \"%s\"\n", (t1 - t0) / 1000.0, audioFile.c_str());

        qv::epdRange range;
        qv::epdFeatureRange(wave.signal.data(), wave.sampleNum, wave.fs, useEpd, range);
        t0 = t1;
        t1 = qv::clockMs();
        qv::consolePrintf("%4.3f sec: EPD\n", (t1 - t0) / 1000.0);
        qv::consolePrintf("\twaveBeginIndex=%d, waveEndIndex=%d\n", range.waveBeginIndex, range.waveEndIndex);
        qv::consolePrintf("\twaveBeginFrameId=%d, waveEndFrameId=%d\n", range.waveBeginFrameId,
                          range.waveEndFrameId);

        const int32_t count = range.waveEndIndex - range.waveBeginIndex + 1;
        if (!wavOut.empty()) {
            qv::CWave out(1, wave.fs, wave.nbits);
            out.setSamples(wave.signal.data() + range.waveBeginIndex, count);
            if (!out.save(wavOut))
                qv::fatalErrorF("Cannot save %s: %s (line %d of %s)", wavOut.c_str(), out.lastError().c_str(),
                                __LINE__, "quorvane-fea");
            qv::consolePrintf("\t===> Saved %s\n", wavOut.c_str());
        }

        qv::CFeaBuf fea;
        int frameNum = 0, vecSize = 0;
        fea.compute(wave.signal.data() + range.waveBeginIndex, wave.fs, wave.nbits, count, cfgFile, frameNum,
                    vecSize);
        t0 = t1;
        t1 = qv::clockMs();
        qv::consolePrintf("%4.3f sec: Compute MFCC (cfgFile=%s)\n", (t1 - t0) / 1000.0, cfgFile.c_str());
        if (frameNum < 1)
            qv::fatalErrorF("No feature frames in %s (line %d of %s)", audioFile.c_str(), __LINE__, "quorvane-fea");
        qv::consolePrintf("\t===> Saved %s\n", outFile.c_str());
        fea.write2bin(outFile);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
