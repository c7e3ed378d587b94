// Scores one recording against its sentence with the installed library:
//   score DATA_DIR AUDIO.wav SENTENCE
#include <cstdio>
#include <quorvane_engine.h>

int main(int argc, char** argv) {
    if (argc != 4) return std::fprintf(stderr, "usage: score DATA_DIR AUDIO.wav SENTENCE\n"), 2;
    try {
        const quorvane::Engine engine(argv[1]);
        quorvane::Input in;
        in.audioFile = argv[2];
        in.text = argv[3];
        const quorvane::Result r = engine.assess(in);
        std::printf("score %.1f\n", r.finalScore);
        for (const quorvane::Syllable& s : r.syllables)
            if (!s.text.empty()) std::printf("%s %s %.2f-%.2f s %.1f\n", s.text.c_str(), s.name.c_str(), s.startTime, s.endTime, s.score);
    } catch (const quorvane::Error& e) {
        return std::fprintf(stderr, "%s\n", e.what()), 1;
    }
}
