// quorvane-record: records one sentence through the control's C API, waits
// for its score and prints it as the last line, "Score=%d".
//
//   quorvane-record --seconds 5 --text "句子" [--home DIR]
//
// With QUORVANE_WAVEIN=file:PATH the recording comes from a WAV file.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quorvane_control.h"

namespace {

struct Outcome {
    bool done = false;
    int score = QV_NO_SCORE;
};

void onFinish(int score, void* user) {
    auto* out = static_cast<Outcome*>(user);
    out->score = score;
    out->done = true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Record a sentence and print its pronunciation score"};
    int seconds = 5;
    std::string text;
    std::string home;
    app.add_option("--seconds", seconds, "recording time limit in seconds")->required()->check(CLI::Range(1, 3600));
    app.add_option("--text", text, "the sentence to be read (UTF-8)")->required();
    app.add_option("--home", home, "installation folder (default: $QUORVANE_HOME or $ProgramFiles/QUORVANE)");
    CLI11_PARSE(app, argc, argv);

    if (!home.empty()) setenv("QUORVANE_HOME", home.c_str(), 1);
    qv_record* rec = qv_record_create();
    if (!rec) {
        fprintf(stderr, "quorvane-record: cannot create the control\n");
        return 1;
    }
    // The callback arrives on this thread, through the message pump below.
    Outcome outcome;
    unsigned cookie = 0;
    int r = qv_record_create_window(rec);
    if (r == QV_OK) r = qv_record_advise(rec, onFinish, &outcome, &cookie);
    if (r == QV_OK) r = qv_record_start_record_utf8(rec, seconds, text.c_str());
    if (r != QV_OK) {
        fprintf(stderr, "quorvane-record: cannot start the recording (code %d)%s\n", r,
                r == QV_E_ARGUMENT ? ": the text is not valid UTF-8" : "");
        qv_record_destroy(rec);
        return 1;
    }
    while (!outcome.done) qv_pump_messages(100);
    qv_record_destroy(rec);

    printf("Score=%d\n", outcome.score);
    if (outcome.score == QV_NO_SCORE) {
        fprintf(stderr,
                "quorvane-record: no score was produced; see telvoDataChinese/output/QUORVANE_LOG.txt "
                "in the installation folder\n");
        return 1;
    }
    return 0;
}
