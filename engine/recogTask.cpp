#include "recogTask.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "utility.h"

namespace qv {

// Messages of the parameter reader name the pipeline unit, which owns the file.
static const char* kUnit = "recogTask";

namespace {

enum class Kind { Text, Int };
struct FieldDesc {
    const char* key;
    Kind kind;
    size_t offset;
    int32_t defInt;
};

#define QV_TEXT(name) {#name, Kind::Text, offsetof(recogParam, name), 0}
#define QV_INT(name, def) {#name, Kind::Int, offsetof(recogParam, name), def}

// One table for every key: the reader, the overrides and the defaults use it.
const FieldDesc kFields[] = {
    QV_TEXT(language),
    QV_TEXT(macFile),
    QV_TEXT(pinyinType),
    QV_TEXT(dicFile),
    QV_TEXT(wpaFile),
    QV_TEXT(wpaAddendaFile),
    QV_TEXT(pyTableFile),
    QV_TEXT(qiYinFile),
    QV_TEXT(tnmFile),
    QV_TEXT(featureConfigFile),
    QV_TEXT(wavFile),
    QV_TEXT(wavFileList),
    QV_TEXT(txtFile),
    QV_TEXT(sylFile),
    QV_TEXT(netFile),
    QV_TEXT(outputDir),
    QV_TEXT(function),
    QV_TEXT(phoneRank2scoreParamFile),
    QV_TEXT(scoreDiscountParamFile),
    QV_TEXT(cmParamFile),
    QV_TEXT(epsFile),
    QV_TEXT(inputLabFile),
    QV_INT(useAllModelAsCompetingModel, 0),
    QV_INT(usePaddedHardSp, 1),
    QV_INT(usePaddedSoftSil, 1),
    QV_TEXT(pitchParamFile),
    QV_TEXT(fillerType),
    QV_INT(onlyOneSentence, 0),
    QV_INT(getUvScore, 0),
    QV_INT(getPitch, 0),
    QV_INT(useEpd, 0),
    QV_INT(netType, 0),
    QV_INT(maxCandidateNum, 0),
    QV_INT(probTh, 0),
    QV_INT(comparisonMode, 0),
    QV_INT(wordPenalty, 0),
    QV_INT(nodePenalty, 0),
    QV_INT(useWaveReject, 0),
    QV_INT(useDescCandidateNum, 1),
    QV_INT(useSpecSubtraction, 0),
    QV_TEXT(toneModelFile),
};

#undef QV_TEXT
#undef QV_INT

}  // namespace

void recogParam::setDefaults() {
    char* base = reinterpret_cast<char*>(this);
    for (const auto& f : kFields) {
        if (f.kind == Kind::Text)
            base[f.offset] = '\0';
        else
            *reinterpret_cast<int32_t*>(base + f.offset) = f.defInt;
    }
}

void setParamText(char (&field)[MAX_PARAM_LEN], const std::string& value, const char* key) {
    if (value.size() >= MAX_PARAM_LEN)
        fatalErrorF("Error: value of %s is %zu characters long, at most %d fit (line %d in %s)", key,
                    value.size(), MAX_PARAM_LEN - 1, __LINE__, kUnit);
    memcpy(field, value.c_str(), value.size() + 1);
}

void recogParamSet(recogParam& prm, const std::string& key, const std::string& value, const std::string& source) {
    char* base = reinterpret_cast<char*>(&prm);
    for (const auto& f : kFields) {
        if (key != f.key) continue;
        if (f.kind == Kind::Int) {
            // atoi semantics: "0.5" -> 0, "1e3" -> 1, no digits -> 0.
            *reinterpret_cast<int32_t*>(base + f.offset) = static_cast<int32_t>(strtol(value.c_str(), nullptr, 10));
        } else {
            if (value.size() >= MAX_PARAM_LEN)
                fatalErrorF("Error in parsing %s, value of %s is %zu characters long, at most %d fit (line %d in %s)",
                            source.c_str(), key.c_str(), value.size(), MAX_PARAM_LEN - 1, __LINE__, kUnit);
            memcpy(base + f.offset, value.c_str(), value.size() + 1);
        }
        return;
    }
    fatalErrorF("Error in parsing %s, unknown key = %s (line %d in %s)", source.c_str(), key.c_str(), __LINE__, kUnit);
}

const char* const kParamPathKeys[21] = {
    "macFile",  "dicFile",  "wpaFile", "wpaAddendaFile", "pyTableFile", "qiYinFile", "tnmFile",
    "featureConfigFile", "wavFile", "wavFileList", "txtFile", "sylFile", "netFile", "outputDir",
    "phoneRank2scoreParamFile", "scoreDiscountParamFile", "cmParamFile", "epsFile", "inputLabFile",
    "pitchParamFile", "toneModelFile"};

void recogParamResolvePaths(recogParam& prm, const std::string& base, const std::string& fallback) {
    char* fields = reinterpret_cast<char*>(&prm);
    for (const char* key : kParamPathKeys) {
        const std::string k = key;
        if (k == "outputDir") continue;
        for (const auto& f : kFields) {
            if (k != f.key) continue;
            char (&field)[MAX_PARAM_LEN] = *reinterpret_cast<char(*)[MAX_PARAM_LEN]>(fields + f.offset);
            const std::string value = field;
            if (value.empty() || value[0] == '/') break;
            if (k == "txtFile") {
                const std::string ext = fileExtension(value);
                if (ext != "txt" && ext != "TXT") break;
            }
            std::string resolved = base + "/" + value;
            if (!fileExists(resolved) && !fallback.empty() && fileExists(fallback + "/" + value))
                resolved = fallback + "/" + value;
            setParamText(field, resolved, key);
            break;
        }
    }
}

void recogParamRead(const std::string& path, recogParam& prm) {
    recogParamReadBytes(readFileBytes(path), path, prm);
}

void recogParamReadBytes(const std::string& bytes, const std::string& path, recogParam& prm) {
    std::vector<std::string> lines;
    splitLines(bytes, lines);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::string line : lines) {
        size_t pct = line.find('%');
        if (pct != std::string::npos) line.erase(pct);
        line = trim(line);
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        pairs.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    prm.setDefaults();
    for (const auto& kv : pairs) recogParamSet(prm, kv.first, kv.second, path);
}

}  // namespace qv

// ===========================================================================
// The pipeline: audio file -> prepared signal -> lexicon, text and network ->
// end points and features -> search, scoring and result files.
// ===========================================================================

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "engine/frontend/audioFile.h"
#include "engine/frontend/feature.h"
#include "engine/frontend/lib/audio.h"
#include "engine/frontend/lib/pitch.h"
#include "engine/tone/toneModel.h"
#include "engine/lexicon/dict.h"
#include "engine/lexicon/net.h"
#include "engine/lexicon/text.h"
#include "engine/models/macro.h"
#include "engine/models/viterbi.h"
#include "engine/scoring/mlf.h"

namespace qv {

namespace {

double secondsSince(long t0) { return (clockMs() - t0) / 1000.0; }

std::string outPath(const recogParam& prm, const char* name) { return std::string(prm.outputDir) + "/" + name; }

bool hasOutput(const recogParam& prm) { return prm.outputDir[0] != '\0'; }

std::string missingListPath(const recogParam& prm) {
    return hasOutput(prm) ? outPath(prm, "missingModelUsed.txt") : std::string();
}

bool isFillerName(const std::string& n) {
    return n == "sp" || n == "sil" || n == "filler" || n == "fillerC" || n == "fillerV";
}

// Big5 console texts of the pipeline.
const char* const kConfusingNote =
    "\xc0\xcb\xac\x64\xac\x4f\xa7\x5f\xa8\xab\xa8\xec\xb2\x56\xb2\x63\xb8\xf4\xae\x7c"
    " (Check if a confusing path is taken instead of the correct one)\n";
const char* const kPitchNote =
    "\xad\xb5\xb0\xaa\xbb\x50\xad\xb5\xb6\x71\xa1\x5d\xbe\xe3\xac\x71\xad\x70\xba\xe2\xa1\x5e";

// Syllables of a syllable entry "a-sp-b\t0", pauses left out.
std::vector<std::string> entrySyllables(const std::string& entry) {
    std::vector<std::string> fields, parts, out;
    splitString(entry, '\t', fields);
    if (fields.empty()) return out;
    splitString(fields[0], '-', parts);
    for (const auto& p : parts)
        if (!p.empty() && !isFillerName(p)) out.push_back(p);
    return out;
}

// The characters of a normalised Chinese sentence that have a reading, and
// those that have none (in order, each once).
void readCharacters(const std::string& sentence, const std::vector<wpaEntry>& wpa, std::string& read,
                    std::vector<std::string>& skipped) {
    read.clear();
    skipped.clear();
    for (size_t i = 0; i + 1 < sentence.size(); i += 2) {
        const std::string c = sentence.substr(i, 2);
        if (dictClass::wpaSearch(c, wpa) >= 0)
            read += c;
        else if (std::find(skipped.begin(), skipped.end(), c) == skipped.end())
            skipped.push_back(c);
    }
}

// Speech needs at least this much sound per expected syllable (a fast
// reader spends about 0.15 s on one), and never less than kMinSpeechSeconds.
const double kMinSpeechPerSyllable = 0.05;
const double kMinSpeechSeconds = 0.1;

struct keywordRecord {
    std::string name;
    float score = 0;
    std::vector<std::string> syllables;
    int32_t firstNode = 0;
    int32_t lastNode = -1;
};

// A recording without speech, or with far less than the text needs, gets no
// alignment: the search would stretch the syllables over silence or noise
// and score them. The result then says so, with score 0.
bool noSpeech(const recogParam& prm, const dictClass& dict, const textClass& text, const int32_t* samples,
              int32_t sampleNum, recogResult& result) {
    size_t fewest = 0;
    bool any = false;
    for (const std::string& entry : text.m_sylVs) {
        const size_t n = entrySyllables(entry).size();
        if (!any || n < fewest) fewest = n;
        any = true;
    }
    const double need = std::max(kMinSpeechSeconds, kMinSpeechPerSyllable * static_cast<double>(fewest));
    const double have = speechSeconds(samples, sampleNum);
    if (have >= need) return false;
    result.nodeList.clear();
    result.noSpeech = true;
    result.noSpeechReason =
        strFormat("no speech: %.2f s of the recording stands out from its background, the text's %d syllable(s) "
                  "need at least %.2f s",
                  have, static_cast<int>(fewest), need);
    result.finalScore = 0;
    result.origScore = 0;
    for (int k = 0; k < MLF_SCORE_NUM; ++k) result.origScores[k] = result.finalScores[k] = 0;
    result.m_discountFactor.assign(7, 0);
    if (!text.m_sylVs.empty()) {
        result.expectedSyl = entrySyllables(text.m_sylVs[0]);
        const std::string sentence = text.m_txtVsNormalized.empty() ? "" : text.m_txtVsNormalized[0];
        std::string read;
        if (std::string(prm.language) == "chinese") readCharacters(sentence, dict.m_wpa, read, result.skippedText);
        result.expectedText.clear();
        if (read.size() / 2 == result.expectedSyl.size())
            for (size_t i = 0; i + 1 < read.size(); i += 2) result.expectedText.push_back(read.substr(i, 2));
        result.textIndex = {0};
        if (!text.m_txtVs.empty()) result.texts = {text.m_txtVs[0]};
    }
    consolePrintf("%s\n", result.noSpeechReason.c_str());
    if (hasOutput(prm)) {
        result.writeScoreFiles(prm.outputDir);
        std::string p = outPath(prm, "recogResult.txt");
        FILE* fp = openOrDie(p, "w");
        fprintf(fp, "Text index=%s\nText=%s\nScore=%f\nNoSpeech=%s\n", joinInts(result.textIndex, "#").c_str(),
                joinStrings(result.texts, "#").c_str(), result.finalScore, result.noSpeechReason.c_str());
        fclose(fp);
        consolePrintf("\t===> Saved %s\n", p.c_str());
    }
    return true;
}

}  // namespace

int32_t recogViaTreeLexicon(recogParam& prm, recogResult& result, macroNameList* modelNames) {
    ErrorLogScope logScope(hasOutput(prm));
    waveSignal wave = readAudioFile(prm.wavFile);
    long t0 = clockMs();
    const int level = prepareWave(wave, prm);
    consolePrintf("%4.3f sec: Read wave file \"%s\"\n", secondsSince(t0), prm.wavFile);
    // A level problem that did not refuse the recording travels with the
    // score, so that the user learns why it may be low.
    const std::string warning = levelWarning(level, wave.signal.data(), wave.sampleNum);
    if (!warning.empty()) {
        consolePrintf("Warning: %s\n", warning.c_str());
        result.warnings.push_back(warning);
    }
    return recogSignal(prm, wave.signal.data(), wave.sampleNum, wave.fs, wave.nbits, result, modelNames);
}

dictClass& runDict::mutableDict() {
    if (!m_own) {
        m_copy = std::make_unique<dictClass>(*m_shared);
        m_own = m_copy.get();
    }
    return *m_own;
}

void runDict::buildNet(netClass& net, const std::vector<std::string>& lines, const std::string& missingListPath) {
    if (m_own)
        net.buildFromTxt(lines, *m_own, missingListPath);
    else
        net.buildFromTxtShared(lines, *m_shared);
}

void loadData(const recogParam& prm, loadedData& data, bool shared) {
    long t0 = clockMs();
    data.macro.readMacro(prm.macFile, true);
    consolePrintf("%4.3f sec: Read macro \"%s\" (modelNum=%d)\n", secondsSince(t0), prm.macFile,
                  data.macro.modelNum);
    loadLexicon(prm, data.dict, data.macro, data.rules);
    data.macro.getModelNames(data.modelNames);
    data.shared = shared;
    if (!shared) return;
    readLines(prm.qiYinFile, data.qiYin);
    data.scores = scoreTables::read(prm);
    CFeaBuf cfg;
    cfg.readConfig(prm.featureConfigFile);
    data.feaCfg = cfg.config();
    data.warnings = data.dict.replaceMissingModels();
    if (prm.toneModelFile[0] != '\0') {
        data.toneModel.read(prm.toneModelFile);
        data.toneModelFile = prm.toneModelFile;
        data.hasToneModel = true;
    }
}

namespace {

int32_t runPipeline(const macroClass& macro, runDict& dict, textClass& text, recogParam& prm, const int32_t* samples,
                    int32_t sampleNum, int32_t fs, int32_t nbits, recogResult& result, const loadedData* preloaded) {
    netClass net;
    int32_t candidateNum = 0, arenaLen = 0;
    prepareTextAndNet(prm, macro, dict, net, text, candidateNum, arenaLen);
    if (noSpeech(prm, dict.get(), text, samples, sampleNum, result)) return text.m_txtVs.empty() ? -1 : 0;
    pipeFeatures fea = epdAndFeatures(prm, samples, sampleNum, fs, PIPE_FRAME_SIZE, PIPE_OVERLAP,
                                      preloaded ? &preloaded->feaCfg : nullptr);
    std::vector<int32_t> textIdx = recogCore(macro, dict, text, net, prm, samples, sampleNum, fs, nbits,
                                             PIPE_FRAME_SIZE, PIPE_OVERLAP, fea, candidateNum, arenaLen, result,
                                             preloaded);
    return textIdx.empty() ? -1 : textIdx.front();
}

}  // namespace

int32_t recogSignal(recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs, int32_t nbits,
                    recogResult& result, macroNameList* modelNames) {
    ErrorLogScope logScope(hasOutput(prm));
    loadedData data;
    loadData(prm, data, false);
    runDict dict(data.dict);
    const int32_t idx = runPipeline(data.macro, dict, data.rules, prm, samples, sampleNum, fs, nbits, result, nullptr);
    if (modelNames) *modelNames = data.modelNames;
    return idx;
}

int32_t recogLoaded(const loadedData& data, recogParam& prm, textClass text, const int32_t* samples,
                    int32_t sampleNum, int32_t fs, int32_t nbits, recogResult& result) {
    if (!data.shared)
        fatalErrorF("Error: the data were not loaded for shared use (line %d in %s)", __LINE__, kUnit);
    ErrorLogScope logScope(hasOutput(prm));
    runDict dict(data.dict);
    return runPipeline(data.macro, dict, text, prm, samples, sampleNum, fs, nbits, result, &data);
}

void loadLexicon(const recogParam& prm, dictClass& dict, const macroClass& macro, textClass& text) {
    const std::string language = prm.language;
    long t0;
    if (language == "chinese" || language == "japanese") {
        t0 = clockMs();
        dict.pronDictRead(prm.dicFile, macro);
        consolePrintf("%4.3f sec: Read pam \"%s\" (m_pronDict.size()=%d)\n", secondsSince(t0), prm.dicFile,
                      static_cast<int>(dict.m_pronDict.size()));
    }
    if (language == "chinese") {
        t0 = clockMs();
        dict.pinyinTableRead(prm.pyTableFile);
        consolePrintf("%4.3f sec: Read pinyinTable \"%s\" (myDict.m_pinyinTable.size()=%d)\n", secondsSince(t0),
                      prm.pyTableFile, static_cast<int>(dict.m_pinyinTable.size()));
        t0 = clockMs();
        dict.wpaRead(prm.wpaFile, "chinese", dict.m_wpa);
        consolePrintf("%4.3f sec: Read wpa \"%s\" (myDict.m_wpa.size()=%d)\n", secondsSince(t0), prm.wpaFile,
                      static_cast<int>(dict.m_wpa.size()));
    }
    if (language == "english") {
        t0 = clockMs();
        dict.wpaRead(prm.wpaFile, "english", dict.m_wpa);
        consolePrintf("%4.3f sec: Read wpa \"%s\" (myDict.m_wpa.size()=%d)\n", secondsSince(t0), prm.wpaFile,
                      static_cast<int>(dict.m_wpa.size()));
        t0 = clockMs();
        dict.wpaRead(prm.wpaAddendaFile, "english", dict.m_wpaAddenda);
        consolePrintf("%4.3f sec: Read wpaAddenda \"%s\" (myDict.m_wpaAddenda.size()=%d)\n", secondsSince(t0),
                      prm.wpaAddendaFile, static_cast<int>(dict.m_wpaAddenda.size()));
        t0 = clockMs();
        dict.wpaMerge();
        consolePrintf("%4.3f sec: wpaMerge (myDict.m_wpa.size()=%d)\n", secondsSince(t0),
                      static_cast<int>(dict.m_wpa.size()));
        t0 = clockMs();
        dict.wpaSort();
        consolePrintf("%4.3f sec: Sort myDict.m_wpa\n", secondsSince(t0));
    }
    if (prm.tnmFile[0] == '\0')
        fatalErrorF("Error: recogParam.tnmFile is not specified! (line %d in %s)", __LINE__, kUnit);
    t0 = clockMs();
    text.tnmRead(prm.tnmFile);
    consolePrintf("%4.3f sec: Read text normalization mapping file \"%s\" (myText.m_spVs.size()=%d)\n",
                  secondsSince(t0), prm.tnmFile, static_cast<int>(text.m_spVs.size()));
}

void prepareTextAndNet(const recogParam& prm, const macroClass& macro, runDict& dicts, netClass& net,
                       textClass& text, int32_t& candidateNum, int32_t& arenaLen) {
    const std::string language = prm.language;
    const std::string function = prm.function;
    const dictClass& dict = dicts.get();
    const bool givenText = !text.m_txtVs.empty();
    const bool givenSyl = !text.m_sylVs.empty();
    long t0 = clockMs();
    if (!givenText) text.txtRead(prm.txtFile);
    consolePrintf("%4.3f sec: Read text \"%s\" (m_txtVs.size()=%d)\n", secondsSince(t0), prm.txtFile,
                  static_cast<int>(text.m_txtVs.size()));
    t0 = clockMs();
    text.textNormalize(language);
    consolePrintf("%4.3f sec: text normalization (m_txtVsNormalized.size()=%d)\n", secondsSince(t0),
                  static_cast<int>(text.m_txtVsNormalized.size()));
    if (hasOutput(prm)) {
        std::string p = outPath(prm, "output.nt");
        writeLines(p, text.m_txtVsNormalized);
        consolePrintf("\t===> Saved %s\n", p.c_str());
    }

    if (prm.sylFile[0] == '\0' && !givenSyl) {
        t0 = clockMs();
        if (prm.netType == 0) {
            if (language == "chinese")
                text.text2sylChinese(dict.m_wpa);
            else if (language == "english")
                text.text2sylEnglish(dict.m_wpa);
            else if (language == "japanese")
                consolePrintf("Do nothing for text to syl conversion for Japanese!\n");
        }
        consolePrintf("%4.3f sec: Texts to phonetic alphabets by exhaustive listing\n", secondsSince(t0));
        consolePrintf("\tNo. of text entries = %d, no. of PA entries = %d\n", static_cast<int>(text.m_txtVs.size()),
                      static_cast<int>(text.m_sylVs.size()));
        if (hasOutput(prm)) {
            std::string p = outPath(prm, "output.syl");
            writeLines(p, text.m_sylVs);
            consolePrintf("\t===> Saved %s\n", p.c_str());
        }
    } else {
        t0 = clockMs();
        if (!givenSyl) text.sylRead(prm.sylFile);
        consolePrintf("%4.3f sec: Read syl \"%s\" (Size=%d)\n", secondsSince(t0), prm.sylFile,
                      static_cast<int>(text.m_sylVs.size()));
    }

    if (function == "assess" && prm.usePaddedHardSp == 1) text.addBetweenSyllables("-sp-");

    if (language == "english") {
        t0 = clockMs();
        dicts.mutableDict().createPronDictFromText(text.m_txtVsNormalized, macro);
        consolePrintf("%4.3f sec: Create m_pronDict from m_txtVs. (m_pronDict.size() = %d)\n", secondsSince(t0),
                      static_cast<int>(dicts.get().m_pronDict.size()));
        if (hasOutput(prm)) {
            std::string p = outPath(prm, "output.dic");
            dicts.get().writePronDict(p, macro);
            consolePrintf("\t===> Saved %s\n", p.c_str());
        }
    }

    const bool sylGiven = prm.sylFile[0] != '\0' || givenSyl;
    if (prm.netFile[0] != '\0') {
        t0 = clockMs();
        net.readNetFile(prm.netFile, dicts.mutableDict());
        consolePrintf("%4.3f sec: Read net \"%s\" (nodeNum=%d)\n", secondsSince(t0), prm.netFile, net.nodeNum);
    } else {
        t0 = clockMs();
        if (prm.netType == 1 && !sylGiven) {
            text.genSausageNet(dicts.get().m_wpa, prm);
            if (hasOutput(prm)) {
                std::string p = outPath(prm, "output.nt");
                writeLines(p, text.m_txtVsNormalized);
                consolePrintf("\t===> Saved %s\n", p.c_str());
            }
            dicts.buildNet(net, text.netVs, missingListPath(prm));
            consolePrintf("%4.3f sec: Generated sausage net (nodeNum=%d)\n", secondsSince(t0), net.nodeNum);
        } else {
            int fillerLoop, softSil;
            if (function == "recog") {
                fillerLoop = prm.comparisonMode == 3 ? 1 : 0;
                softSil = 0;
            } else if (function == "assess") {
                fillerLoop = 0;
                softSil = prm.usePaddedSoftSil;
            } else {
                fatalErrorF("Unknown recogParam.function = %s! (line %d in %s)", prm.function, __LINE__, kUnit);
            }
            text.genTreeNet(fillerLoop, softSil, prm.useEpd == 0 ? 1 : 0);
            dicts.buildNet(net, text.netVs, missingListPath(prm));
            consolePrintf("%4.3f sec: Generated tree net (nodeNum=%d)\n", secondsSince(t0), net.nodeNum);
        }
        if (hasOutput(prm)) {
            std::string p = outPath(prm, "output.net");
            net.writeTxtFile(p);
            consolePrintf("\t===> Saved net file: %s\n", p.c_str());
        }
    }

    if (language != "japanese" && hasOutput(prm)) {
        std::string p = outPath(prm, "output.wpa");
        dicts.get().writeWpa(p, text, language);
        consolePrintf("\t===> Saved wap file %s\n", p.c_str());
    }

    net.setNodePenalty(static_cast<float>(prm.nodePenalty));

    const int32_t fanOut = net.maxFanOut();
    if (prm.comparisonMode == 3) {
        candidateNum = 20 * fanOut;
        if (candidateNum < 20) candidateNum = 100;
        if (candidateNum > prm.maxCandidateNum) candidateNum = prm.maxCandidateNum;
        arenaLen = 100 * candidateNum;
    } else {
        candidateNum = 4 * fanOut;
        if (candidateNum < 20) candidateNum = 100;
        if (candidateNum > prm.maxCandidateNum) candidateNum = prm.maxCandidateNum;
        arenaLen = 5 * candidateNum;
    }
}

pipeFeatures epdAndFeatures(const recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs,
                            int32_t frameSize, int32_t overlap, const featureConfig* cfg) {
    long t0 = clockMs();
    epdRange range;
    epdFeatureRange(samples, sampleNum, fs, prm.useEpd != 0, range);
    consolePrintf("%4.3f sec: EPD\n", secondsSince(t0));
    consolePrintf("\twaveBeginIndex=%d, waveEndIndex=%d\n", range.waveBeginIndex, range.waveEndIndex);
    consolePrintf("\twaveBeginFrameId=%d, waveEndFrameId=%d\n", range.waveBeginFrameId, range.waveEndFrameId);

    t0 = clockMs();
    const int32_t n = range.waveEndIndex - range.waveBeginIndex + 1;
    if (n < frameSize)
        fatalErrorF("Error: the speech segment holds %d samples, fewer than one frame of %d (line %d in %s)",
                    std::max(n, 0), frameSize, __LINE__, kUnit);
    (void)overlap;
    CFeaBuf buf;
    int frameNum = 0, dim = 0;
    if (cfg)
        buf.compute(samples + range.waveBeginIndex, fs, 16, n, *cfg, frameNum, dim);
    else
        buf.compute(samples + range.waveBeginIndex, fs, 16, n, prm.featureConfigFile, frameNum, dim);
    if (frameNum < 1)
        fatalErrorF("Error: no feature frame from %d samples (line %d in %s)", n, __LINE__, kUnit);
    if (frameNum > MAX_FEA_FRAME_NUM)
        fatalErrorF("Error: the speech lasts %.1f s (%d frames), longer than the %.0f s (%d frames) one run can "
                    "assess (line %d in %s)",
                    static_cast<double>(n) / fs, frameNum,
                    static_cast<double>(MAX_FEA_FRAME_NUM) * buf.frameShift() / fs, MAX_FEA_FRAME_NUM, __LINE__,
                    kUnit);
    pipeFeatures fea;
    fea.data.assign(buf.data().begin(), buf.data().begin() + static_cast<size_t>(frameNum) * dim);
    fea.frameNum = frameNum;
    fea.dim = dim;
    fea.waveBeginFrameId = range.waveBeginFrameId;
    consolePrintf("%4.3f sec: Compute MFCC (cfgFile=%s)\n", secondsSince(t0), prm.featureConfigFile);
    if (hasOutput(prm)) {
        std::string p = outPath(prm, "output.fea");
        consolePrintf("\t===> Saved %s\n", p.c_str());
        buf.write2bin(p);
    }
    return fea;
}

namespace {

// Re-aligns one syllable over the frames of a node whose recognised name
// differs from the designated one; returns the replacement node.
mlfNode realignSyllable(const std::string& syllable, const mlfNode& node, const macroClass& macro,
                        runDict& dicts, const recogParam& prm, const pipeFeatures& fea, int32_t candidateNum,
                        int32_t arenaLen) {
    netClass net;
    dicts.buildNet(net, {"VERSION=1.0 (by recogCore())", "N=3\tL=2", "I=0\tW=!NULL", "I=1\tW=!NULL",
                         "I=2\tW=" + syllable, "J=0\tS=0\tE=2", "J=1\tS=2\tE=1"});
    const dictClass& dict = dicts.get();
    const int32_t first = std::max(node.startFrame, 0);
    const int32_t last = std::min(node.endFrame, fea.frameNum - 1);
    const int32_t frames = last - first + 1;
    if (frames < 1) return node;
    viterbiClass vit(arenaLen, macro.modelNum);
    const int32_t candNum = vit.viterbiSearch(net.node, dict.m_pronDict, fea.data.data() + static_cast<size_t>(first) * fea.dim,
                                              fea.dim, frames, candidateNum, macro, static_cast<float>(prm.probTh),
                                              prm.useDescCandidateNum);
    int32_t best = viterbiClass::findBestPath(vit.candidate.data(), candNum, net.node, dict.m_pronDict);
    if (best < 0) best = 0;
    if (candNum < 1) return node;
    mlfClass part;
    part.fromSearchPath(*vit.candidate[static_cast<size_t>(best)], dict.m_pronDict, macro);
    for (const auto& n : part.nodeList) {
        if (isFillerName(n.name)) continue;
        mlfNode out = n;
        out.startFrame += first;
        out.endFrame += first;
        for (auto& ph : out.phoneList) {
            ph.startFrame += first;
            ph.endFrame += first;
        }
        return out;
    }
    return node;
}

}  // namespace

std::vector<int32_t> recogCore(const macroClass& macro, runDict& dicts, textClass& text, netClass& net,
                               const recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs,
                               int32_t nbits, int32_t frameSize, int32_t overlap, const pipeFeatures& fea,
                               int32_t candidateNum, int32_t arenaLen, recogResult& result,
                               const loadedData* preloaded) {
    const dictClass& dict = dicts.get();
    const std::string language = prm.language;
    const std::string function = prm.function;

    // 1. Search.
    auto vit = std::make_unique<viterbiClass>(arenaLen, macro.modelNum);
    long t0 = clockMs();
    const int32_t candNum = vit->viterbiSearch(net.node, dict.m_pronDict, fea.data.data(), fea.dim, fea.frameNum,
                                               candidateNum, macro, static_cast<float>(prm.probTh),
                                               prm.useDescCandidateNum);
    consolePrintf("%4.3f sec: Viterbi search\n", secondsSince(t0));
    if (hasOutput(prm)) {
        std::string p = outPath(prm, "arenaSylPath.txt");
        consolePrintf("\t===> Saved %s\n", p.c_str());
        viterbiClass::writeArenaSylPath(p, vit->candidate.data(), candNum, dict.m_pronDict);
    }

    // 2. Best candidate; without a complete path the best-scoring one stands in.
    int32_t bestIdx = viterbiClass::findBestPath(vit->candidate.data(), candNum, net.node, dict.m_pronDict);
    const bool pathComplete = bestIdx >= 0;
    if (bestIdx < 0) bestIdx = 0;
    if (candNum < 1) fatalErrorF("Error: the search kept no candidate (line %d in %s)", __LINE__, kUnit);
    const candidateRecord& best = *vit->candidate[static_cast<size_t>(bestIdx)];

    // 3. Match the path back to the sentences.
    std::vector<int32_t> textIdx, sylIdx;
    const std::string recogSyl = text.pinyin2text(best, prm.comparisonMode, dict, prm, textIdx, sylIdx);
    std::sort(textIdx.begin(), textIdx.end());
    textIdx.erase(std::unique(textIdx.begin(), textIdx.end()), textIdx.end());
    for (int32_t ti : textIdx)
        if (ti >= 0 && static_cast<size_t>(ti) < text.m_txtVs.size())
            consolePrintf("\ttextIndex=%d ===> %s\n", ti, text.m_txtVs[static_cast<size_t>(ti)].c_str());
    for (size_t k = 0; k < sylIdx.size(); ++k)
        if (sylIdx[k] >= 0 && static_cast<size_t>(sylIdx[k]) < text.m_sylVs.size())
            consolePrintf("\tsylIndex[%d]=%d ===> %s\n", static_cast<int>(k), sylIdx[k],
                          text.m_sylVs[static_cast<size_t>(sylIdx[k])].c_str());
    const int32_t firstText = textIdx.empty() ? 0 : textIdx.front();
    const std::string firstSentence = static_cast<size_t>(firstText) < text.m_txtVsNormalized.size()
                                          ? text.m_txtVsNormalized[static_cast<size_t>(firstText)]
                                          : std::string();

    // 4. Units of the designated sentence.
    int32_t unitNum;
    if (language == "english") {
        std::vector<std::string> words;
        splitString(firstSentence, ' ', words);
        unitNum = static_cast<int32_t>(std::count_if(words.begin(), words.end(), [](const std::string& w) { return !w.empty(); }));
    } else if (language == "chinese") {
        // Only characters with a reading become syllables; the others
        // (punctuation the rules keep, symbols) would each count as a
        // missing syllable.
        std::string read;
        readCharacters(firstSentence, dict.m_wpa, read, result.skippedText);
        unitNum = static_cast<int32_t>(read.size() / 2);
        if (!result.skippedText.empty()) {
            const std::string warning = "characters without a reading were left out: " + joinStrings(result.skippedText, " ");
            consolePrintf("Warning: %s\n", warning.c_str());
            result.warnings.push_back(warning);
        }
    } else {
        unitNum = static_cast<int32_t>(firstSentence.size() / 2);
    }
    // The designated syllables and their characters, for the syllables the
    // alignment may not reach.
    {
        const size_t entry = !sylIdx.empty() && sylIdx.front() >= 0 && static_cast<size_t>(sylIdx.front()) < text.m_sylVs.size()
                                 ? static_cast<size_t>(sylIdx.front())
                                 : 0;
        result.expectedSyl = text.m_sylVs.empty() ? std::vector<std::string>() : entrySyllables(text.m_sylVs[entry]);
        std::vector<std::string> units;
        std::string read;
        std::vector<std::string> skipped;
        if (language == "chinese") {
            readCharacters(firstSentence, dict.m_wpa, read, skipped);
            textClass::splitTextUnits(read, language, units);
        } else {
            textClass::splitTextUnits(firstSentence, language, units);
        }
        result.expectedText = units.size() == result.expectedSyl.size() ? units : std::vector<std::string>();
    }

    // 5. Nodes and phones.
    if (prm.inputLabFile[0] == '\0')
        result.fromSearchPath(best, dict.m_pronDict, macro);
    else
        result.readPhoneLevel(prm.inputLabFile);

    // 6. Confusing-path report and realignment.
    if (hasOutput(prm) && function == "assess") {
        std::string p = outPath(prm, "confusingPath.txt");
        FILE* fp = openOrDie(p, "w");
        const std::string syl = prm.sylFile;
        if (syl.size() >= 4 && syl.compare(syl.size() - 4, 4, "syl2") == 0) {
            consolePrint(kConfusingNote);
            if (!sylIdx.empty() && sylIdx.front() != 0 && !text.m_sylVs.empty() &&
                static_cast<size_t>(sylIdx.front()) < text.m_sylVs.size()) {
                std::vector<std::string> designated, identified;
                splitString(text.m_sylVs[0], '\t', designated);
                splitString(text.m_sylVs[static_cast<size_t>(sylIdx.front())], '\t', identified);
                const std::string d = designated.empty() ? "" : designated[0];
                const std::string id = identified.empty() ? "" : identified[0];
                fprintf(fp, "Designated: %s\n", d.c_str());
                fprintf(fp, "Identified: %s\n", id.c_str());
                // The designated string carries the padding "sp" of the
                // assessment (and possibly silences); the walk skips those
                // nodes, so the list must skip them too, or every syllable
                // after the first pause would be compared with a pause.
                std::vector<std::string> parts, sylList;
                splitString(d, '-', parts);
                for (const auto& s : parts)
                    if (!s.empty() && !isFillerName(s)) sylList.push_back(s);
                int32_t k = -1;
                for (auto& node : result.nodeList) {
                    if (isFillerName(node.name)) continue;
                    ++k;
                    if (k >= static_cast<int32_t>(sylList.size())) break;
                    const std::string& want = sylList[static_cast<size_t>(k)];
                    if (want == node.name) continue;
                    fprintf(fp, "%s ===> %s\n", node.name.c_str(), want.c_str());
                    node = realignSyllable(want, node, macro, dicts, prm, fea, candidateNum, arenaLen);
                }
            }
        }
        fclose(fp);
        consolePrintf("\t===> Saved %s\n", p.c_str());
    }

    // 7. Texts and result strings.
    {
        // Texts of the skipped characters would shift every later one.
        std::string read = firstSentence;
        std::vector<std::string> skipped;
        if (language == "chinese") readCharacters(firstSentence, dict.m_wpa, read, skipped);
        result.fillNodeText(read, language);
    }
    result.recogSyl = recogSyl;
    result.finalScore = -100000.0f;
    result.LogProb = best.score;
    result.textIndex = textIdx;
    result.texts.clear();
    for (int32_t ti : textIdx)
        if (ti >= 0 && static_cast<size_t>(ti) < text.m_txtVs.size()) result.texts.push_back(text.m_txtVs[static_cast<size_t>(ti)]);
    if (language == "chinese") {
        const std::string type = prm.pinyinType;
        // Columns of the pinyin table: 1 CGU, 2 MPA (Zhuyin), 3 HanYu.
        if (type == "cgu") {
            result.CGU = recogSyl;
            result.MPA = textClass::pinyinConvert(recogSyl, 1, 2, dict.m_pinyinTable);
            result.HanYu = textClass::pinyinConvert(recogSyl, 1, 3, dict.m_pinyinTable);
        } else if (type == "hanyu") {
            result.HanYu = recogSyl;
            result.MPA = textClass::pinyinConvert(recogSyl, 3, 2, dict.m_pinyinTable);
            result.CGU = textClass::pinyinConvert(recogSyl, 3, 1, dict.m_pinyinTable);
        }
        if (!text.m_toneVs.empty() && !sylIdx.empty() && static_cast<size_t>(sylIdx.front()) < text.m_toneVs.size())
            result.Tone = text.m_toneVs[static_cast<size_t>(sylIdx.front())];
    }

    // 8. Phone-level data.
    long tScore = clockMs();
    if (preloaded) {
        result.qiYinList = preloaded->qiYin;
        result.tables = &preloaded->scores;
    } else {
        readLines(prm.qiYinFile, result.qiYinList);
    }
    t0 = clockMs();
    std::vector<int32_t> volume = frameVolume(samples, sampleNum, frameSize, overlap, 1);
    consolePrintf("%4.3f sec: Compute volume\n", secondsSince(t0));
    // Node frames count from the first kept frame until shiftTime; the
    // volumes count from the start of the signal.
    result.fillNodeVolume(volume.data(), static_cast<int32_t>(volume.size()), fea.waveBeginFrameId);

    consolePrintf("\tFind the phone ranking...\n");
    result.findPhoneRanking(fea.data.data(), fea.dim, fea.frameNum, macro, *vit, prm);
    consolePrintf("\tCompute possible score discount factors...\n");
    int32_t firstNode = 0, lastNode = static_cast<int32_t>(result.nodeList.size()) - 1;
    if (prm.comparisonMode == 3) {
        if (text.m_keywordBegin >= 0 && text.m_keywordLen > 0) {
            firstNode = text.m_keywordBegin;
            lastNode = std::min(lastNode, text.m_keywordBegin + text.m_keywordLen - 1);
        }
        result.computeDiscountFactors(firstNode, lastNode, true, -1);
    } else {
        result.computeDiscountFactors(firstNode, lastNode, pathComplete, unitNum);
    }
    result.computeScores(firstNode, lastNode, prm);
    result.shiftTime(fea.waveBeginFrameId);

    // Tone step, only when the parameters name a tone model: each syllable's
    // tone is heard from the pitch over its final and folded into its scores
    // (the rule is in toneModel.h); the utterance scores follow them.
    const bool withTone = prm.toneModelFile[0] != '\0';
    if (withTone) {
        t0 = clockMs();
        // An engine read its model when it loaded; a call that names another
        // one reads that.
        toneModelClass own;
        const toneModelClass* toneModel = &own;
        if (preloaded && preloaded->hasToneModel && preloaded->toneModelFile == prm.toneModelFile)
            toneModel = &preloaded->toneModel;
        else
            own.read(prm.toneModelFile);
        const toneUtterance u = toneUtteranceOf(samples, sampleNum, fs, volume);
        toneScoreNodes(result, firstNode, lastNode, u, *toneModel);
        result.computeUtteranceScores(firstNode, lastNode, prm);
        consolePrintf("%4.3f sec: Tone of every syllable\n", secondsSince(t0));
    }

    if (hasOutput(prm)) result.writeResultFiles(prm.outputDir, macro);
    if (withTone && hasOutput(prm)) {
        const std::string p = outPath(prm, "tone.txt");
        writeToneFile(result, p);
        consolePrintf("\t===> Saved %s\n", p.c_str());
    }
    consolePrintf("%4.3f sec: Compute the score (Score=%f)\n", secondsSince(tScore), result.finalScore);
    if (hasOutput(prm)) result.writeScoreFiles(prm.outputDir);

    // 9. Pitch and volume tracks for display. Without an output directory
    // there is nowhere to put them, so they are skipped.
    if (prm.getPitch != 0) {
        t0 = clockMs();
        if (hasOutput(prm) && sampleNum > 0) {
            std::vector<int32_t> x(samples, samples + sampleNum);
            int64_t sum = 0;
            for (int32_t v : x) sum += v;
            const int64_t mean = sum / sampleNum;
            for (int32_t& v : x) v = static_cast<int32_t>(v - mean);
            const int32_t mx = *std::max_element(x.begin(), x.end());
            const int32_t mn = *std::min_element(x.begin(), x.end());
            const int64_t peak = std::llabs(static_cast<int64_t>(mn)) >= std::llabs(static_cast<int64_t>(mx)) ? mn : mx;
            if (peak != 0) {
                const float scale = 32768.0f / static_cast<float>(std::llabs(peak));
                for (int32_t& v : x) v = roundHalfAway(static_cast<float>(v) * scale);
            }
            ptParam pp;
            ptParamSet(pp, fs, nbits, 1);
            ptParamPrint(pp);
            pitchAndVolume(x.data(), sampleNum, pp, outPath(prm, "pitch.txt"), outPath(prm, "volume.txt"));
        }
        consolePrintf("%4.3f sec: %s\n", secondsSince(t0), kPitchNote);
    }

    // 10. Keyword report of keyword spotting. The matching gives the span of
    // the first keyword found: m_keywordBegin is its first node and
    // m_keywordLen counts the dashes of its bracketed string, one more than
    // its units, so the keyword's own nodes end one before the scoring range
    // does. Its score is the duration-weighted mean over its scored nodes:
    // pauses and fillers carry no score (-1) and would drag it down.
    if (prm.comparisonMode == 3 && text.m_keywordBegin >= 0 && text.m_keywordLen > 0) {
        std::vector<keywordRecord> keywords(1);
        keywordRecord& kw = keywords[0];
        kw.name = firstSentence;
        if (!sylIdx.empty() && static_cast<size_t>(sylIdx.front()) < text.m_sylVs.size()) {
            std::vector<std::string> fields;
            splitString(text.m_sylVs[static_cast<size_t>(sylIdx.front())], '\t', fields);
            const long n = fields.size() > 1 ? strtol(fields[1].c_str(), nullptr, 10) : -1;
            if (n >= 0 && static_cast<size_t>(n) < text.m_txtVsNormalized.size())
                kw.name = text.m_txtVsNormalized[static_cast<size_t>(n)];
        }
        kw.firstNode = text.m_keywordBegin;
        kw.lastNode = std::min(text.m_keywordBegin + std::max(text.m_keywordLen - 1, 1) - 1,
                               static_cast<int32_t>(result.nodeList.size()) - 1);
        float num = 0, den = 0;
        for (int32_t i = kw.firstNode; i <= kw.lastNode; ++i) {
            const mlfNode& nd = result.nodeList[static_cast<size_t>(i)];
            if (!isScoredNodeName(nd.name)) continue;
            const float d = static_cast<float>(nd.endFrame - nd.startFrame);
            num += d * nd.score;
            den += d;
            kw.syllables.push_back(nd.name);
        }
        kw.score = den > 0 ? num / den : 0;
        for (size_t i = 0; i < keywords.size(); ++i) {
            consolePrintf("keyword[%d]:\n", static_cast<int>(i));
            consolePrintf("\tname=%s\n", keywords[i].name.c_str());
            consolePrintf("\tscore=%f\n", keywords[i].score);
            std::string line = "\t";
            for (const auto& syl : keywords[i].syllables) line += syl + " ";
            consolePrintf("%s\n", line.c_str());
        }
    }

    // 11. Summary.
    if (hasOutput(prm)) {
        std::string p = outPath(prm, "recogResult.txt");
        FILE* fp = openOrDie(p, "w");
        fprintf(fp, "Text index=%s\n", joinInts(result.textIndex, "#").c_str());
        fprintf(fp, "Text=%s\n", joinStrings(result.texts, "#").c_str());
        fprintf(fp, "Score=%f\n", result.finalScore);
        fprintf(fp, "CGU=%s\n", result.CGU.c_str());
        fprintf(fp, "MPA=%s\n", result.MPA.c_str());
        fprintf(fp, "HanYu=%s\n", result.HanYu.c_str());
        fprintf(fp, "Tone=%s\n", result.Tone.c_str());
        fprintf(fp, "LogProb=%f\n", result.LogProb);
        fclose(fp);
        consolePrintf("\t===> Saved %s\n", p.c_str());
    }
    return textIdx;
}

}  // namespace qv
