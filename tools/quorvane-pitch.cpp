// quorvane-pitch LIST OUTDIR: for every audio file named in LIST (one path a
// line), writes OUTDIR/<name>.f0 with one line per 10 ms frame,
//   time_s  display_tracker_Hz  tone_tracker_Hz  tone_tracker_ncc
// (0 Hz where a tracker reports no pitch), so that both trackers can be
// compared with a reference tracker by scripts/eval-pitch.
#include <cstdio>
#include <fstream>
#include <string>

#include "engine/frontend/audioFile.h"
#include "engine/frontend/lib/pitch.h"
#include "engine/frontend/lib/tonePitch.h"
#include "engine/recogTask.h"
#include "engine/utility.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIST OUTDIR\n", argc > 0 ? argv[0] : "quorvane-pitch");
        return 2;
    }
    std::ifstream list(argv[1]);
    if (!list) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    qv::setConsoleSink([](const std::string&) {});
    int failed = 0;
    std::string path;
    while (std::getline(list, path)) {
        if (path.empty()) continue;
        try {
            qv::recogParam prm;
            prm.useWaveReject = 0;
            prm.outputDir[0] = '\0';
            qv::waveSignal wave = qv::readAudioFile(path);
            qv::prepareWave(wave, prm);
            qv::ptParam pp;
            qv::ptParamSet(pp, wave.fs, wave.nbits, 1);
            const std::vector<double> old = qv::pitchTracking(wave.signal.data(), wave.sampleNum, pp);
            const qv::tonePitchTrack tone =
                qv::tonePitchTracking(wave.signal.data(), wave.sampleNum, qv::tonePitchDefaults(wave.fs));
            std::string name = path.substr(path.find_last_of('/') + 1);
            name = name.substr(0, name.find_last_of('.'));
            std::ofstream out(std::string(argv[2]) + "/" + name + ".f0");
            const int hop = wave.fs / 100;
            for (size_t t = 0; t < tone.f0.size(); ++t) {
                // The display tracker's frame t is centred half its frame later.
                const long centre = static_cast<long>(t) * hop + hop;
                const long oldFrame = (centre - pp.frameSize / 2) / (pp.frameSize - pp.overlap);
                double oldHz = 0;
                if (centre >= pp.frameSize / 2 && oldFrame < static_cast<long>(old.size()))
                    oldHz = qv::semitone2freq(static_cast<float>(old[static_cast<size_t>(oldFrame)]));
                char line[96];
                snprintf(line, sizeof line, "%.3f\t%.2f\t%.2f\t%.3f\n", centre / double(wave.fs), oldHz,
                         tone.f0[t], tone.strength[t]);
                out << line;
            }
        } catch (const std::exception& e) {
            fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
            ++failed;
        }
    }
    return failed ? 1 : 0;
}
