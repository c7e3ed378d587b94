// quorvane-train: trains the phone HMMs of a pronunciation dictionary from a
// list of recordings and writes them in both model formats.
//
//   quorvane-train --dic PAM --config CFG --list LIST --out PREFIX
//                  [--work DIR] [--mix N] [--iters N] [--threads N]
//                  [--beam W] [--sil-marks]
//
// LIST lines: "<audio file> TAB <unit> <unit> ...". Writes PREFIX.mac and
// PREFIX.macb. Features are cached under DIR (default $QV_WORK or
// /tmp/quorvane-train). Schedule: flat start from the global statistics,
// one pass over a uniform segmentation, ITERS iterations with one
// mixture, then mixtures doubled up to N with ITERS iterations after each
// split; the models of every smaller mixture count are kept as
// PREFIX-mixN.mac/.macb. Nothing is random: the same inputs give the same models.
// --beam sets the pruning width of the forward-backward passes (log
// domain, default 2000: practically none). --sil-marks keeps each
// recording's leading and trailing silence, found by its energy (the last
// static value of a frame), in "sil".
//
//   quorvane-train --eval MODELS --dic PAM --config CFG --list LIST [--work DIR]
//
// Tone test instead of training: for every single-syllable item of LIST,
// whether its own tone scores best among the dictionary's tones of the same
// syllable; prints the accuracy and the confusion matrix. --syllables adds
// the syllable test: whether it beats every other syllable of its tone.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "engine/lexicon/dict.h"
#include "engine/utility.h"
#include "tools/common/trainData.h"
#include "tools/common/trainHmm.h"

namespace {

void usage(const char* prog) {
    fprintf(stderr,
            "usage: %s --dic PAM --config CFG --list LIST --out PREFIX [--work DIR] [--mix N] [--iters N] "
            "[--threads N] [--beam W] [--sil-marks]\n"
            "       %s --eval MODELS --dic PAM --config CFG --list LIST [--syllables] [--work DIR] [--threads N]\n",
            prog, prog);
}

void makeDirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

}  // namespace

int main(int argc, char** argv) {
    std::string dic, cfg, list, out, work, evalModels;
    int mix = 4, iters = 4, threads = 2;
    bool syllableTest = false, silMarks = false;
    double beam = 0.0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--dic" && hasValue) dic = argv[++i];
        else if (a == "--config" && hasValue) cfg = argv[++i];
        else if (a == "--list" && hasValue) list = argv[++i];
        else if (a == "--out" && hasValue) out = argv[++i];
        else if (a == "--work" && hasValue) work = argv[++i];
        else if (a == "--eval" && hasValue) evalModels = argv[++i];
        else if (a == "--syllables") syllableTest = true;
        else if (a == "--sil-marks") silMarks = true;
        else if (a == "--beam" && hasValue) beam = atof(argv[++i]);
        else if (a == "--mix" && hasValue) mix = atoi(argv[++i]);
        else if (a == "--iters" && hasValue) iters = atoi(argv[++i]);
        else if (a == "--threads" && hasValue) threads = atoi(argv[++i]);
        else {
            usage(argv[0]);
            return 2;
        }
    }
    if (dic.empty() || cfg.empty() || list.empty() || (out.empty() && evalModels.empty()) || mix < 1 || mix > qv::MAX_MIXTURE_NUM ||
        iters < 1 || threads < 1) {
        usage(argv[0]);
        return 2;
    }
    if (work.empty()) {
        const char* env = getenv("QV_WORK");
        work = (env && *env) ? env : "/tmp/quorvane-train";
    }
    try {
        long t0 = qv::clockMs();
        qv::hmmTrainer trainer;
        trainer.config().threads = threads;
        if (beam > 0.0) trainer.config().beam = beam;
        if (evalModels.empty()) trainer.defineModels(qv::dictModelNames(dic));
        else trainer.loadModels(evalModels);
        qv::dictClass dict;
        dict.pronDictRead(dic, trainer.set());
        qv::consolePrintf("Models: %d, dictionary units: %d\n", trainer.set().modelNum,
                          static_cast<int>(dict.m_pronDict.size()));

        const std::vector<qv::trainItem> items = qv::readTrainList(list);
        const std::string cacheDir = work + "/fea-" + qv::configTag(cfg);
        makeDirs(cacheDir);
        std::vector<std::vector<float>> fea;
        std::vector<int32_t> frameNum;
        std::vector<std::string> failed;
        int32_t dim = 0;
        qv::loadTrainFeatures(items, cfg, cacheDir, threads, fea, frameNum, dim, failed);
        for (const std::string& f : failed) qv::consolePrintf("Warning: skipped %s\n", f.c_str());
        if (dim != trainer.set().streamNum * trainer.set().streamWidth[0])
            qv::fatalErrorF("Features have %d values per frame, the models %d (line %d of %s)", dim,
                            trainer.set().streamNum * trainer.set().streamWidth[0], __LINE__, "quorvane-train");

        if (!evalModels.empty()) {
            const qv::toneEvalResult r = qv::evalTones(trainer, dict, items, fea, frameNum, threads, syllableTest);
            qv::consolePrintf("Tone test of %s: %d of %d correct (%.1f%%)\n", evalModels.c_str(), r.correct, r.tested,
                              r.tested > 0 ? 100.0 * r.correct / r.tested : 0.0);
            if (syllableTest)
                qv::consolePrintf("Syllable test of %s: %d of %d correct (%.1f%%)\n", evalModels.c_str(), r.sylCorrect,
                                  r.sylTested, r.sylTested > 0 ? 100.0 * r.sylCorrect / r.sylTested : 0.0);
            qv::consolePrintf("spoken\\best      1      2      3      4      5\n");
            for (int a = 1; a <= 5; ++a)
                qv::consolePrintf("tone %d      %6d %6d %6d %6d %6d\n", a, r.confusion[a][1], r.confusion[a][2],
                                  r.confusion[a][3], r.confusion[a][4], r.confusion[a][5]);
            return 0;
        }

        std::vector<qv::trainUtterance> utts;
        int64_t frames = 0;
        int noModels = 0;
        int64_t markedFrames = 0;
        for (size_t i = 0; i < items.size(); ++i) {
            if (frameNum[i] <= 0) continue;
            qv::trainUtterance u;
            std::string missing;
            if (!qv::itemModels(items[i], dict, trainer, u, missing)) {
                qv::consolePrintf("Warning: skipped %s: unit \"%s\" not in the dictionary\n", items[i].audio.c_str(),
                                  missing.c_str());
                noModels++;
                continue;
            }
            u.fea = fea[i].data();
            u.frameNum = frameNum[i];
            if (silMarks) {
                qv::silenceMarks(u.fea, u.frameNum, dim, dim / 3 - 1, u.silLead, u.silTrail);
                markedFrames += u.silLead + u.silTrail;
            }
            frames += u.frameNum;
            utts.push_back(u);
        }
        long t1 = qv::clockMs();
        qv::consolePrintf("%4.3f sec: Read %d utterances (%lld frames); skipped %d unreadable, %d unknown units\n",
                          (t1 - t0) / 1000.0, static_cast<int>(utts.size()), static_cast<long long>(frames),
                          static_cast<int>(failed.size()), noModels);
        if (silMarks)
            qv::consolePrintf("Silence marks: %lld frames kept in sil\n", static_cast<long long>(markedFrames));
        if (utts.empty()) qv::fatalErrorF("No training data (line %d of %s)", __LINE__, "quorvane-train");

        trainer.flatStart(utts);
        const int32_t segmented = trainer.segmentalStart(utts);
        qv::consolePrintf("Flat start, then uniform segmentation of %d utterances\n", segmented);
        int iter = 0;
        int mixNow = 1;
        auto run = [&]() {
            for (int k = 0; k < iters; ++k) {
                const long ts = qv::clockMs();
                const qv::trainStats st = trainer.iterate(utts);
                const long te = qv::clockMs();
                ++iter;
                qv::consolePrintf("iter %2d (mix %2d): avg log-lik/frame = %.4f (%d aligned, %d failed) %4.3f sec\n",
                                  iter, mixNow, st.frames > 0 ? st.logLik / st.frames : 0.0, st.aligned, st.failed,
                                  (te - ts) / 1000.0);
            }
        };
        // Each finished mixture count is kept (PREFIX-mixN.*): the same models
        // a run with --mix N gives, usable if a long run has to stop early.
        auto keep = [&]() {
            for (const char* ext : {".mac", ".macb"}) {
                const std::string path = out + "-mix" + std::to_string(mixNow) + ext;
                trainer.write(path);
                qv::consolePrintf("\t===> Saved %s\n", path.c_str());
            }
        };
        run();
        while (mixNow < mix) {
            keep();
            mixNow = std::min(mix, mixNow * 2);
            const int added = trainer.splitMixtures(mixNow);
            qv::consolePrintf("split to %d mixtures: %d added\n", mixNow, added);
            run();
        }
        for (const char* ext : {".mac", ".macb"}) {
            const std::string path = out + ext;
            trainer.write(path);
            qv::consolePrintf("\t===> Saved %s\n", path.c_str());
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "quorvane-train: %s\n", e.what());
        return 1;
    }
    return 0;
}
