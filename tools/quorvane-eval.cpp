// quorvane-eval: measures how well the acoustic models and score mappings
// tell right from wrong readings, and fits the rank-ratio score mappings.
//
//   quorvane-eval eval --data DIR --list TEST.lst [--json OUT] [--markdown OUT]
//   quorvane-eval calibrate --data DIR --list TRAIN.lst --cm-out FILE --rank-out FILE
//   quorvane-eval features --data DIR --list LIST --set toneModelFile=M --out FEATS
//
// A list line is "<wav> TAB <syllables> [TAB <start end of each syllable, s>]".
// Every utterance is assessed with its own syllables and, one syllable at a
// time, with a wrong tone, initial and final in their place (a syllable of
// the dictionary that the scorer does not accept as an alternative); "eval"
// also asks the recogniser to pick the utterance out of five sentences that
// differ in one syllable. Runs go through the public engine entry only.
//
// Exit codes: 0 success, 1 input error, 2 usage error.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "quorvane.h"
#include "tools/common/toolText.h"
#include "tools/common/evalCore.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using qvtool::AlterKind;

using qvtool::InputError;
using qvtool::kPathKeys;
using qvtool::readDataLines;
using qvtool::trimBlanks;

namespace {

const char* const kPrmName = "chinese.sa.prm";
const AlterKind kKinds[3] = {AlterKind::Tone, AlterKind::Initial, AlterKind::Final};
// One Big5 character (一) per syllable: with a syllable file the text only
// labels the nodes, so any character of the right count serves.
const char* const kPlaceholderChar = "\xA4\x40";

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw InputError{"cannot write " + path};
}

// The data folder's parameter file; relative paths in it name files below
// the folder that holds the data folder. `sets` ("key=value") come last.
struct DataSet {
    std::string prmFile;
    std::vector<std::pair<std::string, std::string>> overrides;

    std::string value(const std::string& key) const {
        std::string v;
        for (const auto& kv : overrides)
            if (kv.first == key) v = kv.second;
        return v;
    }
};

DataSet loadDataSet(const std::string& dir, const std::vector<std::string>& sets) {
    DataSet ds;
    const fs::path d = fs::absolute(dir).lexically_normal();
    const fs::path folder = d.filename().empty() ? d.parent_path() : d;
    ds.prmFile = (folder / kPrmName).string();
    const fs::path base = folder.parent_path();
    auto resolve = [&](const std::string& key, const std::string& v) {
        for (const char* k : kPathKeys)
            if (key == k && !v.empty() && !fs::path(v).is_absolute()) return (base / v).lexically_normal().string();
        return v;
    };
    for (std::string line : readDataLines(ds.prmFile, 0)) {
        const size_t pct = line.find('%');
        if (pct != std::string::npos) line.erase(pct);
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trimBlanks(line.substr(0, eq));
        ds.overrides.emplace_back(key, resolve(key, trimBlanks(line.substr(eq + 1))));
    }
    for (const std::string& s : sets) {
        const size_t eq = s.find('=');
        if (eq == std::string::npos) throw InputError{"--set wants key=value, got " + s};
        const std::string key = trimBlanks(s.substr(0, eq));
        // Paths on the command line are relative to the current folder.
        std::string v = trimBlanks(s.substr(eq + 1));
        for (const char* k : kPathKeys)
            if (key == k && !v.empty()) v = fs::absolute(v).lexically_normal().string();
        ds.overrides.emplace_back(key, v);
    }
    return ds;
}

std::vector<qvtool::TestItem> loadList(const std::string& path, size_t maxItems) {
    std::vector<qvtool::TestItem> items;
    const fs::path listDir = fs::absolute(path).parent_path();
    size_t n = 0;
    for (const std::string& line : readDataLines(path, '#')) {
        ++n;
        qvtool::TestItem it;
        std::string err;
        if (!qvtool::parseTestLine(line, it, err))
            throw InputError{path + ": item " + std::to_string(n) + ": " + err};
        if (!fs::path(it.wav).is_absolute()) it.wav = (listDir / it.wav).lexically_normal().string();
        items.push_back(it);
    }
    // An evenly spread subset keeps every speaker and part of a list.
    if (maxItems > 0 && items.size() > maxItems) {
        std::vector<qvtool::TestItem> sub;
        for (size_t i = 0; i < maxItems; ++i) sub.push_back(items[i * items.size() / maxItems]);
        items.swap(sub);
    }
    return items;
}

bool isScoredName(const std::string& n) {
    return n != "sil" && n != "sp" && n != "filler" && n != "fillerC" && n != "fillerV";
}

std::string joinSyl(const std::vector<std::string>& s, const char* sep) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) out += (i ? sep : "") + s[i];
    return out;
}

// ---------------------------------------------------------------------------
// Engine runs
// ---------------------------------------------------------------------------

struct RunOutcome {
    bool ok = false;
    std::string error;
    quorvane::Result result;
    std::vector<const quorvane::Syllable*> scored;  // into result
};

// One engine run on `wav` with the sentences `sentences` (syllable lists),
// through files in the worker's folder `work`.
RunOutcome runEngine(const DataSet& ds, const std::string& work, const std::string& wav,
                     const std::vector<std::vector<std::string>>& sentences, bool recog,
                     const std::string& outputDir = "") {
    RunOutcome out;
    std::string txt, syl;
    for (size_t k = 0; k < sentences.size(); ++k) {
        for (size_t i = 0; i < sentences[k].size(); ++i) txt += kPlaceholderChar;
        txt += "\n";
        // Recognition sentences get the optional-pause token between
        // syllables, as assessment does: without it a pause before a branch
        // of the tree must be taken by the branches' first phones, and the
        // beam can drop the spoken branch there.
        syl += joinSyl(sentences[k], recog ? "-sp-" : "-") + "\t" + std::to_string(k) + "\n";
    }
    writeText(work + "/s.txt", txt);
    writeText(work + "/s.syl", syl);
    quorvane::Request req;
    req.paramFile = ds.prmFile;
    req.overrides = ds.overrides;
    const std::vector<std::pair<std::string, std::string>> run = {
        {"function", recog ? "recog" : "assess"},
        {"wavFile", wav},
        {"txtFile", work + "/s.txt"},
        {"sylFile", work + "/s.syl"},
        {"netFile", ""},
        {"inputLabFile", ""},
        {"onlyOneSentence", recog ? "0" : "1"},
        {"outputDir", outputDir},
        {"getPitch", "0"},
    };
    req.overrides.insert(req.overrides.end(), run.begin(), run.end());
    try {
        out.result = quorvane::run(req);
        out.ok = true;
    } catch (const std::exception& e) {
        out.error = e.what();
        while (!out.error.empty() && (out.error.back() == '\n' || out.error.front() == '\n'))
            out.error = trimBlanks(out.error);
        return out;
    }
    for (const quorvane::Syllable& s : out.result.syllables)
        if (isScoredName(s.name) && s.found) out.scored.push_back(&s);  // aligned ones only
    return out;
}

// The position and wrong syllable for one alteration of `syl`; position -1
// when no syllable of the utterance has an alteration of that kind.
std::pair<int, std::string> chooseAlteration(const qvtool::SyllableInventory& inv,
                                             const std::vector<std::string>& syl, AlterKind kind,
                                             uint64_t seed) {
    const size_t n = syl.size();
    const size_t start = qvtool::mixPick(seed, 1) % n;
    for (size_t k = 0; k < n; ++k) {
        const size_t p = (start + k) % n;
        const std::string alt = inv.alter(syl[p], kind, qvtool::mixPick(seed, 2));
        if (!alt.empty()) return {static_cast<int>(p), alt};
    }
    return {-1, ""};
}

// What one utterance contributes.
struct ItemOutcome {
    std::vector<std::string> failures;
    int runs = 0;
    // eval
    bool correctOk = false;
    float finalScore = 0;
    std::vector<int> discounts;
    std::vector<std::array<float, 3>> correctSyl;  // syllable scores 0,1,2
    std::vector<double> boundErr;                  // hypothesis - reference, seconds
    bool altOk[3] = {false, false, false};
    std::array<float, 3> altSyl[3];  // altered syllable's scores per kind
    float altFinal[3] = {0, 0, 0};
    std::string altText[3];
    int recogState = -1;  // -1 not run, 0 wrong, 1 right
    std::string recogNote;
    bool recogSearchError = false;
    int incompleteCorrect = 0, incompleteAltered = 0;  // runs without a complete path
    // calibrate: rank ratios per expected model
    std::vector<std::pair<std::string, double>> rightPhones, wrongPhones;
    // features: the tone result file of the correct reading
    std::string toneLines;
};

struct Job {
    const DataSet* ds;
    const qvtool::SyllableInventory* inv;
    const std::vector<qvtool::TestItem>* items;
    bool calibrate = false;
    bool toneFeatures = false;
    bool recog = true;
    uint64_t seed = 1;
};

// A run whose search reached no end of the network (the first discount
// counts an incomplete path) and so aligned fewer syllables than expected.
bool incomplete(const RunOutcome& r, size_t expected) {
    return r.ok && r.scored.size() != expected && !r.result.discounts.empty() && r.result.discounts[0] > 0;
}

void scoresOf(const quorvane::Syllable& s, std::array<float, 3>& out) {
    for (int k = 0; k < 3; ++k) out[static_cast<size_t>(k)] = s.scores[k];
}

void processItem(const Job& job, const std::string& work, size_t idx, ItemOutcome& o) {
    const qvtool::TestItem& it = (*job.items)[idx];
    const qvtool::SyllableInventory& inv = *job.inv;
    const uint64_t seed = qvtool::mixPick(job.seed, idx);
    auto note = [&](const std::string& what, const RunOutcome& r) {
        if (!r.ok)
            o.failures.push_back(it.wav + " [" + what + "]: " + r.error);
        else
            o.failures.push_back(it.wav + " [" + what + "]: " + std::to_string(r.scored.size()) +
                                 " syllables aligned for " + std::to_string(it.syllables.size()));
    };
    for (const std::string& s : it.syllables)
        if (!inv.has(s)) {
            o.failures.push_back(it.wav + ": syllable " + s + " is not in the dictionary");
            return;
        }

    ++o.runs;
    if (job.toneFeatures) {
        // The tone step writes its features with the other result files.
        const std::string outDir = work + "/out";
        fs::create_directories(outDir);
        fs::remove(outDir + "/tone.txt");
        RunOutcome t = runEngine(*job.ds, work, it.wav, {it.syllables}, false, outDir);
        std::ifstream in(outDir + "/tone.txt");
        if (!t.ok || !in) {
            note("features", t);
            return;
        }
        o.toneLines.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return;
    }
    RunOutcome c = runEngine(*job.ds, work, it.wav, {it.syllables}, false);
    if (incomplete(c, it.syllables.size())) {
        // No path through the syllables: the engine's score stands and every
        // syllable counts as rejected.
        o.correctOk = true;
        ++o.incompleteCorrect;
        o.finalScore = c.result.finalScore;
        o.discounts = c.result.discounts;
        o.correctSyl.assign(it.syllables.size(), std::array<float, 3>{0, 0, 0});
    } else if (!c.ok || c.scored.size() != it.syllables.size()) {
        note("correct", c);
    } else {
        o.correctOk = true;
        o.finalScore = c.result.finalScore;
        o.discounts = c.result.discounts;
        for (size_t i = 0; i < c.scored.size(); ++i) {
            const quorvane::Syllable& s = *c.scored[i];
            std::array<float, 3> sc{};
            scoresOf(s, sc);
            o.correctSyl.push_back(sc);
            for (const quorvane::Phone& p : s.phones)
                if (p.name.rfind("sil+", 0) != 0) o.rightPhones.emplace_back(p.name, p.rankRatio);
            if (!it.bounds.empty()) {
                o.boundErr.push_back(s.startFrame * 0.01 - it.bounds[2 * i]);
                o.boundErr.push_back((s.endFrame + 1) * 0.01 - it.bounds[2 * i + 1]);
            }
        }
    }

    for (int k = 0; k < 3; ++k) {
        const auto alt = chooseAlteration(inv, it.syllables, kKinds[k], qvtool::mixPick(seed, 10 + k));
        if (alt.first < 0) continue;
        std::vector<std::string> expected = it.syllables;
        const size_t pos = static_cast<size_t>(alt.first);
        expected[pos] = alt.second;
        ++o.runs;
        RunOutcome r = runEngine(*job.ds, work, it.wav, {expected}, false);
        if (incomplete(r, expected.size())) {
            // The search found no way through the wrong syllable: rejected.
            o.altOk[k] = true;
            ++o.incompleteAltered;
            o.altSyl[k] = {0, 0, 0};
            o.altFinal[k] = r.result.finalScore;
            o.altText[k] = it.syllables[pos] + "->" + alt.second;
            continue;
        }
        if (!r.ok || r.scored.size() != expected.size()) {
            note(qvtool::alterKindName(kKinds[k]), r);
            continue;
        }
        o.altOk[k] = true;
        scoresOf(*r.scored[pos], o.altSyl[k]);
        o.altFinal[k] = r.result.finalScore;
        o.altText[k] = it.syllables[pos] + "->" + alt.second;
        // Phones of the wrong syllable that the scorer should not accept.
        const std::vector<std::string>& spoken = inv.models(it.syllables[pos]);
        const std::vector<std::string>& wrong = inv.models(alt.second);
        for (const quorvane::Phone& p : r.scored[pos]->phones) {
            if (p.name.rfind("sil+", 0) == 0) continue;
            bool accepted = false;
            if (wrong.size() == spoken.size()) {
                for (size_t j = 0; j < wrong.size(); ++j)
                    if (wrong[j] == p.name) accepted = inv.accepts(p.name, spoken[j]);
            } else {
                for (const std::string& m : spoken) accepted = accepted || inv.accepts(p.name, m);
            }
            if (!accepted) o.wrongPhones.emplace_back(p.name, p.rankRatio);
        }
    }

    if (job.calibrate || !job.recog) return;
    // Five sentences: the spoken one among four that differ from it in one
    // syllable, at a position that varies with the item.
    std::vector<std::vector<std::string>> sentences;
    for (uint64_t attempt = 0; attempt < 60 && sentences.size() < 4; ++attempt) {
        const AlterKind kind = kKinds[qvtool::mixPick(seed, 100 + attempt) % 3];
        const auto alt = chooseAlteration(inv, it.syllables, kind, qvtool::mixPick(seed, 200 + attempt));
        if (alt.first < 0) continue;
        std::vector<std::string> s = it.syllables;
        s[static_cast<size_t>(alt.first)] = alt.second;
        if (std::find(sentences.begin(), sentences.end(), s) == sentences.end()) sentences.push_back(s);
    }
    if (sentences.size() < 4) {
        o.failures.push_back(it.wav + " [recog]: fewer than 4 distinct wrong sentences");
        return;
    }
    const size_t truth = idx % 5;
    sentences.insert(sentences.begin() + static_cast<long>(truth), it.syllables);
    ++o.runs;
    RunOutcome r = runEngine(*job.ds, work, it.wav, sentences, true);
    if (!r.ok) {
        note("recog", r);
        return;
    }
    o.recogState = r.result.textIndex == static_cast<int>(truth) ? 1 : 0;
    if (!o.recogState) {
        o.recogNote = "chose " + std::to_string(r.result.textIndex) + " (" + r.result.recognized + ", " +
                      std::to_string(r.result.logProb) + ") for " + std::to_string(truth);
        // The spoken sentence alone: when it scores better than the choice,
        // the search lost it (a search error, not a model error).
        ++o.runs;
        RunOutcome alone = runEngine(*job.ds, work, it.wav, {it.syllables}, true);
        if (alone.ok) {
            o.recogSearchError = alone.result.logProb > r.result.logProb;
            o.recogNote += "; spoken sentence alone " + std::to_string(alone.result.logProb);
        }
    }
}

std::vector<ItemOutcome> runAll(const Job& job, int jobs) {
    const size_t n = job.items->size();
    std::vector<ItemOutcome> out(n);
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::mutex progressLock;
    auto worker = [&]() {
        std::string tmpl = (fs::temp_directory_path() / "quorvane-eval.XXXXXX").string();
        if (!mkdtemp(tmpl.data())) return;
        for (size_t i; (i = next.fetch_add(1)) < n;) {
            try {
                processItem(job, tmpl, i, out[i]);
            } catch (const InputError& e) {
                out[i].failures.push_back(e.message);
            }
            const size_t d = ++done;
            if (d % 20 == 0 || d == n) {
                std::lock_guard<std::mutex> g(progressLock);
                fprintf(stderr, "\r%zu/%zu utterances", d, n);
                if (d == n) fputc('\n', stderr);
            }
        }
        std::error_code ec;
        fs::remove_all(tmpl, ec);
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < std::max(1, jobs); ++t) pool.emplace_back(worker);
    for (auto& t : pool) t.join();
    return out;
}

double mean(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? 0 : s / static_cast<double>(v.size());
}

double round4(double x) { return std::round(x * 10000) / 10000; }

// ---------------------------------------------------------------------------
// eval
// ---------------------------------------------------------------------------

json summarize(const std::vector<ItemOutcome>& outs, const std::string& list, double tolMs) {
    json j;
    j["list"] = list;
    j["utterances"] = outs.size();
    int runs = 0;
    std::vector<std::string> failures;
    std::vector<double> finals, sylScores[3], altFinal[3];
    std::vector<double> altScores[3][3];  // kind, score k
    std::vector<double> err;
    int recogN = 0, recogRight = 0, recogSearchErrors = 0, incCorrect = 0, incAltered = 0;
    for (const ItemOutcome& o : outs) {
        runs += o.runs;
        incCorrect += o.incompleteCorrect;
        incAltered += o.incompleteAltered;
        failures.insert(failures.end(), o.failures.begin(), o.failures.end());
        if (o.correctOk) {
            finals.push_back(o.finalScore);
            for (const auto& s : o.correctSyl)
                for (int k = 0; k < 3; ++k) sylScores[k].push_back(s[static_cast<size_t>(k)]);
            err.insert(err.end(), o.boundErr.begin(), o.boundErr.end());
        }
        for (int t = 0; t < 3; ++t)
            if (o.altOk[t]) {
                altFinal[t].push_back(o.altFinal[t]);
                for (int k = 0; k < 3; ++k) altScores[t][k].push_back(o.altSyl[t][static_cast<size_t>(k)]);
            }
        if (o.recogState >= 0) {
            ++recogN;
            recogRight += o.recogState;
            recogSearchErrors += o.recogSearchError;
        }
    }
    j["engineRuns"] = runs;
    j["problems"] = failures.size();
    // Counted, with all syllable scores 0 (correct) or the wrong syllable's 0.
    j["incompleteCorrectRuns"] = incCorrect;
    j["incompleteAlteredRuns"] = incAltered;
    json fl = json::array();
    for (size_t i = 0; i < failures.size() && i < 20; ++i) fl.push_back(failures[i]);
    j["firstProblems"] = fl;

    size_t at80 = 0;
    for (double f : finals) at80 += f >= 80;
    j["correct"] = {{"utterances", finals.size()},
                    {"meanFinalScore", round4(mean(finals))},
                    {"medianFinalScore", round4(qvtool::quantile(finals, 0.5))},
                    {"shareFinalScoreAtLeast80", round4(finals.empty() ? 0 : double(at80) / double(finals.size()))},
                    {"syllables", sylScores[1].size()},
                    {"meanSyllableScore", round4(mean(sylScores[1]))}};
    json alt;
    for (int t = 0; t < 3; ++t) {
        json a;
        a["syllables"] = altScores[t][1].size();
        a["meanSyllableScore"] = round4(mean(altScores[t][1]));
        a["meanFinalScore"] = round4(mean(altFinal[t]));
        a["auc"] = round4(qvtool::rocAuc(sylScores[1], altScores[t][1]));
        a["aucScore0"] = round4(qvtool::rocAuc(sylScores[0], altScores[t][0]));
        a["aucScore2"] = round4(qvtool::rocAuc(sylScores[2], altScores[t][2]));
        alt[qvtool::alterKindName(kKinds[t])] = a;
    }
    j["altered"] = alt;

    size_t within = 0;
    std::vector<double> absMs, signedMs;
    for (double e : err) {
        absMs.push_back(std::fabs(e) * 1000);
        signedMs.push_back(e * 1000);
        within += std::fabs(e) * 1000 <= tolMs + 1e-6;
    }
    j["boundaries"] = {{"count", err.size()},
                       {"toleranceMs", tolMs},
                       {"within", within},
                       {"share", round4(err.empty() ? -1 : double(within) / double(err.size()))},
                       {"meanSignedErrorMs", round4(mean(signedMs))},
                       {"medianAbsErrorMs", round4(qvtool::quantile(absMs, 0.5))}};
    j["recog"] = {{"utterances", recogN},
                  {"right", recogRight},
                  // wrong choices that scored below the spoken sentence alone
                  {"searchErrors", recogSearchErrors},
                  {"accuracy", round4(recogN ? double(recogRight) / recogN : -1)}};
    return j;
}

std::string fmt(double v, const char* f = "%.3f") {
    if (v < 0) return "n/a";
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

std::string markdown(const json& j) {
    std::string m;
    const json& c = j["correct"];
    const json& b = j["boundaries"];
    const json& r = j["recog"];
    auto pass = [](bool ok) { return ok ? "met" : "**not met**"; };
    m += "| Measure | Value | Target |\n|---|---|---|\n";
    const double mf = c["meanFinalScore"].get<double>();
    m += "| Mean final score, correct readings (" + std::to_string(c["utterances"].get<size_t>()) + ") | " +
         fmt(mf, "%.1f") + " | >= 80: " + pass(mf >= 80) + " |\n";
    m += "| Share of correct readings scoring >= 80 | " + fmt(c["shareFinalScoreAtLeast80"].get<double>()) + " | |\n";
    for (const char* k : {"tone", "initial", "final"}) {
        const json& a = j["altered"][k];
        const double auc = a["auc"].get<double>();
        const double target = std::string(k) == "tone" ? 0.90 : 0.95;
        m += std::string("| ROC AUC, correct vs wrong ") + k + " (" + std::to_string(a["syllables"].get<size_t>()) +
             " wrong syllables; mean score " + fmt(a["meanSyllableScore"].get<double>(), "%.1f") + ") | " +
             fmt(auc) + " | >= " + fmt(target, "%.2f") + ": " + pass(auc >= target) + " |\n";
    }
    const double share = b["share"].get<double>();
    m += "| Syllable boundaries within " + fmt(b["toleranceMs"].get<double>(), "%.0f") + " ms (" +
         std::to_string(b["count"].get<size_t>()) + "; median error " +
         fmt(b["medianAbsErrorMs"].get<double>(), "%.0f") + " ms, mean signed " +
         fmt(std::fabs(b["meanSignedErrorMs"].get<double>()), "%.0f") +
         (b["meanSignedErrorMs"].get<double>() < 0 ? " ms early" : " ms late") + ") | " + fmt(share) +
         " | >= 0.90: " + (share < 0 ? "n/a" : pass(share >= 0.9)) + " |\n";
    const double acc = r["accuracy"].get<double>();
    m += "| Recognition among 5 sentences (" + std::to_string(r["utterances"].get<int>()) + "; " +
         std::to_string(r["searchErrors"].get<int>()) + " wrong choices scored below the spoken sentence alone) | " +
         fmt(acc) +
         " | >= 0.95: " + (acc < 0 ? "n/a" : pass(acc >= 0.95)) + " |\n";
    m += "\n" + std::to_string(j["engineRuns"].get<int>()) + " engine runs, " +
         std::to_string(j["problems"].get<size_t>()) + " problems (failed runs or alignments that lost a syllable); " +
         std::to_string(j["incompleteCorrectRuns"].get<int>()) + " correct and " +
         std::to_string(j["incompleteAlteredRuns"].get<int>()) +
         " altered readings without a complete search path (scored 0 for their syllables).\n";
    return m;
}

// ---------------------------------------------------------------------------
// calibrate
// ---------------------------------------------------------------------------

struct CalibrationOut {
    std::string cmText, rankText;
    json summary;
};

// Rank ratios of phones by expected model: read correctly, or standing for
// a sound that was not spoken.
struct Samples {
    std::map<std::string, std::vector<double>> right, wrong;
};

Samples collectSamples(const std::vector<ItemOutcome>& outs) {
    Samples s;
    for (const ItemOutcome& o : outs) {
        for (const auto& p : o.rightPhones) s.right[p.first].push_back(p.second);
        for (const auto& p : o.wrongPhones) s.wrong[p.first].push_back(p.second);
    }
    return s;
}

// "model TAB right|wrong TAB rankRatio" lines, so that a fit can be redone
// without the engine runs.
std::string samplesText(const Samples& s) {
    std::string t;
    char line[256];
    for (const auto* side : {&s.right, &s.wrong})
        for (const auto& kv : *side)
            for (double v : kv.second) {
                snprintf(line, sizeof line, "%s\t%s\t%.6f\n", kv.first.c_str(), side == &s.right ? "right" : "wrong", v);
                t += line;
            }
    return t;
}

Samples readSamples(const std::string& path) {
    Samples s;
    for (const std::string& line : readDataLines(path, '#')) {
        const size_t a = line.find('\t');
        const size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) throw InputError{path + ": bad sample line: " + line};
        const std::string side = line.substr(a + 1, b - a - 1);
        const double v = std::atof(line.c_str() + b + 1);
        if (side == "right")
            s.right[line.substr(0, a)].push_back(v);
        else if (side == "wrong")
            s.wrong[line.substr(0, a)].push_back(v);
        else
            throw InputError{path + ": bad sample line: " + line};
    }
    return s;
}

CalibrationOut calibrate(const Samples& samples, const std::vector<std::string>& modelNames, size_t minRight,
                         size_t minWrong) {
    std::map<std::string, std::vector<double>> right = samples.right, wrong = samples.wrong;
    std::vector<double> allRight, allWrong;
    for (const auto& kv : right) allRight.insert(allRight.end(), kv.second.begin(), kv.second.end());
    for (const auto& kv : wrong) allWrong.insert(allWrong.end(), kv.second.begin(), kv.second.end());
    const qvtool::BellFitOptions opt;
    const qvtool::BellFit global = qvtool::fitBell(allRight, allWrong, opt);
    CalibrationOut out;
    char line[512];
    snprintf(line, sizeof line, "%g %g %g\n", global.a, global.b, global.c);
    out.rankText = line;
    out.cmText =
        "% modelIndex\tmodelName\tsampleCount\tmeanRankRatio\tstdRankRatio\t[a b c] -- fitted by quorvane-eval "
        "calibrate; one line per model in model-set order\n"
        "% sampleCount, mean and std: rank ratios of correctly read phones. [a b c]: c = 0; the 90th percentile of\n"
        "% those maps to 80 and the median rank ratio of wrong phones in the model's place maps to 20 (b within\n"
        "% 0.5..4); models with few samples, or whose wrong phones do not rank lower, take the global fit.\n";
    size_t own = 0, ownA = 0, noSep = 0;
    for (size_t i = 0; i < modelNames.size(); ++i) {
        const std::string& m = modelNames[i];
        const std::vector<double>& r = right[m];
        const std::vector<double>& w = wrong[m];
        qvtool::BellFit f = qvtool::fitBell(r, w, opt);
        const double q = std::max(opt.minRatio, qvtool::quantile(r, opt.correctQuantile));
        auto useGlobal = [&]() {
            f.a = global.a;
            f.b = global.b;
        };
        // Few samples: the width from the model when it has enough correct
        // readings, the steepness from the global fit, else the global fit.
        // A model whose wrong phones rank no lower than its correct ones
        // cannot tell them apart; a width of its own would only raise the
        // wrong ones' scores.
        if (r.size() < minRight) {
            useGlobal();
        } else if (w.size() < minWrong) {
            qvtool::BellFitOptions o = opt;
            o.defaultB = global.b;
            f = qvtool::fitBell(r, {}, o);
            ++ownA;
        } else if (qvtool::quantile(w, 0.5) <= 1.05 * q) {
            useGlobal();
            ++noSep;
        } else {
            ++own;
        }
        snprintf(line, sizeof line, "%zu\t%s\t%zu\t%f\t%f\t[%f %f %f]\n", i, m.c_str(), r.size(), f.meanCorrect,
                 f.stdCorrect, f.a, f.b, f.c);
        out.cmText += line;
    }
    out.summary = {{"correctPhones", allRight.size()},
                   {"wrongPhones", allWrong.size()},
                   {"global", {{"a", global.a}, {"b", global.b}, {"c", global.c}}},
                   {"globalScoreOfMedianWrong", round4(qvtool::bellValue(qvtool::quantile(allWrong, 0.5), global.a,
                                                                         global.b, global.c))},
                   {"correctRankRatioQuantiles",
                    {round4(qvtool::quantile(allRight, 0.5)), round4(qvtool::quantile(allRight, 0.9)),
                     round4(qvtool::quantile(allRight, 0.95))}},
                   {"wrongRankRatioQuantiles",
                    {round4(qvtool::quantile(allWrong, 0.1)), round4(qvtool::quantile(allWrong, 0.25)),
                     round4(qvtool::quantile(allWrong, 0.5))}},
                   {"modelsOwnFit", own},
                   {"modelsOwnWidthGlobalSteepness", ownA},
                   {"modelsGlobalFitNoSeparation", noSep},
                   {"modelsGlobalFitFewSamples", modelNames.size() - own - ownA - noSep},
                   {"minCorrectSamples", minRight},
                   {"minWrongSamples", minWrong}};
    return out;
}

struct Options {
    std::string data = "telvoDataChinese";
    std::string list;
    std::vector<std::string> sets;
    size_t max = 0;
    int jobs = 1;
    uint64_t seed = 1;
    std::string jsonOut, mdOut, detailsOut;
    double tolMs = 20;
    bool noRecog = false;
    std::string cmOut, rankOut, cmTemplate, samplesOut, samplesIn, featuresOut;
    size_t minRight = 30, minWrong = 10;
};

qvtool::SyllableInventory loadInventory(const DataSet& ds) {
    const std::string eps = ds.value("epsFile");
    return qvtool::SyllableInventory(readDataLines(ds.value("dicFile"), '%'),
                                     eps.empty() ? std::vector<std::string>() : readDataLines(eps, '%'));
}

void emit(const std::string& path, const std::string& text) {
    if (path.empty() || path == "-")
        fputs(text.c_str(), stdout);
    else
        writeText(path, text);
}

// One JSON line per utterance, for looking into the figures.
std::string details(const std::vector<qvtool::TestItem>& items, const std::vector<ItemOutcome>& outs) {
    std::string text;
    for (size_t i = 0; i < outs.size(); ++i) {
        const ItemOutcome& o = outs[i];
        json j;
        j["wav"] = items[i].wav;
        j["syllables"] = joinSyl(items[i].syllables, " ");
        if (o.correctOk) {
            j["finalScore"] = round4(o.finalScore);
            j["discounts"] = o.discounts;
            json s = json::array();
            for (const auto& sc : o.correctSyl) s.push_back(round4(sc[1]));
            j["syllableScores"] = s;
            json e = json::array();
            for (double x : o.boundErr) e.push_back(std::round(x * 1000));
            j["boundaryErrorsMs"] = e;
        }
        for (int t = 0; t < 3; ++t)
            if (o.altOk[t])
                j[qvtool::alterKindName(kKinds[t])] = {{"change", o.altText[t]},
                                                       {"syllableScore", round4(o.altSyl[t][1])},
                                                       {"finalScore", round4(o.altFinal[t])}};
        if (o.recogState >= 0) j["recogRight"] = o.recogState == 1;
        if (!o.recogNote.empty()) j["recogNote"] = o.recogNote;
        if (!o.failures.empty()) j["problems"] = o.failures;
        text += j.dump() + "\n";
    }
    return text;
}

int runEval(const Options& o) {
    const DataSet ds = loadDataSet(o.data, o.sets);
    const qvtool::SyllableInventory inv = loadInventory(ds);
    const std::vector<qvtool::TestItem> items = loadList(o.list, o.max);
    Job job{&ds, &inv, &items};
    job.recog = !o.noRecog;
    job.seed = o.seed;
    quorvane::setLogSink([](const std::string&) {});
    const std::vector<ItemOutcome> outs = runAll(job, o.jobs);
    json j = summarize(outs, o.list, o.tolMs);
    j["models"] = ds.value("macFile");
    j["cmParamFile"] = ds.value("cmParamFile");
    emit(o.jsonOut, j.dump(2) + "\n");
    if (!o.mdOut.empty()) emit(o.mdOut, markdown(j));
    if (!o.detailsOut.empty()) emit(o.detailsOut, details(items, outs));
    return 0;
}

// The tone features of every utterance's correct reading, concatenated (the
// data set's parameters must name a tone model: the step runs only then).
int runFeatures(const Options& o) {
    const DataSet ds = loadDataSet(o.data, o.sets);
    if (ds.value("toneModelFile").empty()) throw InputError{"features: the parameters name no toneModelFile"};
    const qvtool::SyllableInventory inv = loadInventory(ds);
    const std::vector<qvtool::TestItem> items = loadList(o.list, o.max);
    Job job{&ds, &inv, &items};
    job.toneFeatures = true;
    const std::vector<ItemOutcome> outs = runAll(job, o.jobs);
    std::string text;
    size_t failed = 0;
    for (const ItemOutcome& r : outs) {
        text += r.toneLines;
        failed += r.failures.empty() ? 0 : 1;
        for (const std::string& f : r.failures) fprintf(stderr, "%s\n", f.c_str());
    }
    writeText(o.featuresOut, text);
    fprintf(stderr, "%zu utterances, %zu failed\n", outs.size(), failed);
    return 0;
}

int runCalibrate(const Options& o) {
    const DataSet ds = loadDataSet(o.data, o.sets);
    const qvtool::SyllableInventory inv = loadInventory(ds);
    // The model set's order, as the cmParam file in use (or the template) lists it.
    const std::string tmpl = o.cmTemplate.empty() ? ds.value("cmParamFile") : o.cmTemplate;
    std::vector<std::string> names;
    for (const std::string& line : readDataLines(tmpl, '%')) {
        const size_t a = line.find('\t');
        const size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) throw InputError{tmpl + ": a line without a model name: " + line};
        names.push_back(line.substr(a + 1, b - a - 1));
    }
    Samples samples;
    json info;
    if (!o.samplesIn.empty()) {
        samples = readSamples(o.samplesIn);
        info["samplesFrom"] = o.samplesIn;
    } else {
        const std::vector<qvtool::TestItem> items = loadList(o.list, o.max);
        Job job{&ds, &inv, &items};
        job.calibrate = true;
        job.seed = o.seed;
        quorvane::setLogSink([](const std::string&) {});
        const std::vector<ItemOutcome> outs = runAll(job, o.jobs);
        samples = collectSamples(outs);
        size_t problems = 0;
        int runs = 0;
        for (const ItemOutcome& it : outs) {
            problems += it.failures.size();
            runs += it.runs;
        }
        info["utterances"] = items.size();
        info["engineRuns"] = runs;
        info["problems"] = problems;
        if (!o.samplesOut.empty()) writeText(o.samplesOut, samplesText(samples));
    }
    CalibrationOut c = calibrate(samples, names, o.minRight, o.minWrong);
    for (auto it = info.begin(); it != info.end(); ++it) c.summary[it.key()] = it.value();
    writeText(o.cmOut, c.cmText);
    writeText(o.rankOut, c.rankText);
    emit(o.jsonOut, c.summary.dump(2) + "\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Evaluate the acoustic models and fit the score mappings"};
    app.require_subcommand(1);
    Options o;
    auto common = [&](CLI::App* c) {
        c->add_option("--data", o.data, "data folder holding chinese.sa.prm (default telvoDataChinese)");
        c->add_option("--list", o.list, "utterance list: wav TAB syllables [TAB boundaries]");
        c->add_option("--set", o.sets, "parameter override key=value (repeatable), e.g. macFile=DIR/chinese.macb");
        c->add_option("--max", o.max, "use at most N utterances, evenly spread over the list");
        c->add_option("--jobs", o.jobs, "parallel engine runs (default 1)");
        c->add_option("--seed", o.seed, "seed of the wrong-syllable choice (default 1)");
        c->add_option("--json", o.jsonOut, "write the JSON summary here (default standard output)");
    };
    CLI::App* evalCmd = app.add_subcommand("eval", "score correct and altered readings; report AUC, boundaries, recog");
    common(evalCmd);
    evalCmd->add_option("--markdown", o.mdOut, "write a markdown table of the results here");
    evalCmd->add_option("--details", o.detailsOut, "write one JSON line per utterance here");
    evalCmd->add_option("--tolerance-ms", o.tolMs, "boundary tolerance (default 20)");
    evalCmd->add_flag("--no-recog", o.noRecog, "skip the five-sentence recognition test");
    CLI::App* calCmd = app.add_subcommand("calibrate", "fit the rank-ratio bell mappings from correct and altered readings");
    common(calCmd);
    calCmd->add_option("--cm-out", o.cmOut, "per-model mapping file to write (cmParamFile format)")->required();
    calCmd->add_option("--rank-out", o.rankOut, "global mapping file to write (phoneRank2scoreParamFile format)")
        ->required();
    calCmd->add_option("--cm-template", o.cmTemplate, "cmParam file giving the model order (default: the one in use)");
    calCmd->add_option("--samples-out", o.samplesOut, "also write the phones' rank ratios here");
    calCmd->add_option("--samples-in", o.samplesIn, "fit from rank ratios written by --samples-out (no engine runs)");
    calCmd->add_option("--min-correct", o.minRight, "correct phones a model needs for its own fit (default 30)");
    calCmd->add_option("--min-wrong", o.minWrong, "wrong phones a model needs for its own steepness (default 10)");
    CLI::App* featCmd = app.add_subcommand("features", "write the tone features of the correct readings");
    common(featCmd);
    featCmd->add_option("--out", o.featuresOut, "feature file to write (tone.txt lines)")->required();
    CLI11_PARSE(app, argc, argv);
    try {
        if (o.list.empty() && !(calCmd->parsed() && !o.samplesIn.empty())) throw InputError{"--list is required"};
        if (evalCmd->parsed()) return runEval(o);
        if (featCmd->parsed()) return runFeatures(o);
        return runCalibrate(o);
    } catch (const InputError& e) {
        fprintf(stderr, "quorvane-eval: %s\n", e.message.c_str());
        return 1;
    } catch (const std::exception& e) {
        fprintf(stderr, "quorvane-eval: %s\n", e.what());
        return 1;
    }
}
