#include "engine/scoring/mlf.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <numeric>
#include <unordered_map>

#include "engine/lexicon/text.h"
#include "engine/models/macro.h"
#include "engine/models/viterbi.h"
#include "engine/recogTask.h"
#include "engine/utility.h"

namespace qv {

static const char* kUnit = "mlf";

// The Chinese texts of the result files are stored in Big5 (the code page of
// the system's own messages); escaped here so the source stays ASCII.
//   % discountReason={'路徑走不完全', '過短音節的個數', '過長音節的個數',
//   '超過0.25秒的sp的個數', '實際音節個數和找出來音節個數的差異',
//   '最長和最短音節的比值大於4', 'sil的音量過大'}
static const char* const kCmReasonsBig5 =
    "% discountReason={'\270\364\256|\250\253\244\243\247\271\245\376', "
    "'\271L\265u\255\265\270`\252\272\255\323\274\306', "
    "'\271L\252\370\255\265\270`\252\272\255\323\274\306', "
    "'\266W\271L0.25\254\355\252\272sp\252\272\255\323\274\306', "
    "'\271\352\273\332\255\265\270`\255\323\274\306\251M\247\344\245X\250\323\255\265\270`\255\323\274\306\252\272"
    "\256t\262\247', "
    "'\263\314\252\370\251M\263\314\265u\255\265\270`\252\272\244\361\255\310\244j\251\3634', "
    "'sil\252\272\255\265\266q\271L\244j'}\n";
static const char* const kCmReasonsEnglish =
    "% discountReason={'Incomplete Viterbi search path', 'No. of over-short syllables', "
    "'No. of overlong syllables', 'No. of sp longer than 0.25 sec', "
    "'Difference between identified and actual no. of syllables', "
    "'Ratio between the longest and shortest syllables greater than 4', 'Volume of sil too large'}\n";
// % 格式說明：每三列為一個單位 / 第一列是 ... / 第二列是 ... / 第三列是 ...
static const char* const kPlpHeaderBig5[4] = {
    "% \256\346\246\241\273\241\251\372\241G\250C\244T\246C\254\260\244@\255\323\263\346\246\354",
    "% \262\304\244@\246C\254O modelName, modelIndex, frameNum",
    "% \262\304\244G\246C\254O compModelIndex1, compModelIndex2, ...",
    "% \262\304\244T\246C\254O logProb1, logProb2, ...",
};
static const char* const kOrigScoresBig5 = "\255\354\251l\244\300\274\306 = ";   // 原始分數 =
static const char* const kFinalScoresBig5 = "\255\327\245\277\244\300\274\306 = ";  // 修正分數 =
// （路徑走不完全）（過短音節的個數）（過長音節的個數（超過0.7秒））（超過0.25秒的sp的個數）
// （實際音節個數和找出來音節個數的差異）（最長和最短音節的比值大於4）（sil的音量過大）
static const char* const kDiscountNotesBig5[DISCOUNT_FACTOR_NUM] = {
    "\241]\270\364\256|\250\253\244\243\247\271\245\376\241^",
    "\241]\271L\265u\255\265\270`\252\272\255\323\274\306\241^",
    "\241]\271L\252\370\255\265\270`\252\272\255\323\274\306\241]\266W\271L0.7\254\355\241^\241^",
    "\241]\266W\271L0.25\254\355\252\272sp\252\272\255\323\274\306\241^",
    "\241]\271\352\273\332\255\265\270`\255\323\274\306\251M\247\344\245X\250\323\255\265\270`\255\323\274\306\252"
    "\272\256t\262\247\241^",
    "\241]\263\314\252\370\251M\263\314\265u\255\265\270`\252\272\244\361\255\310\244j\251\3634\241^",
    "\241]sil\252\272\255\265\266q\271L\244j\241^",
};

static const float kImpossible = -1e10f;
// Default score-1 mapping without a cmParamFile: 100 / (1 + 20 rankRatio).
static const float kDefaultBell[3] = {0.05f, 0.5f, 0.0f};

bool isScoredNodeName(const std::string& name) {
    return !(name == "sp" || name == "sil" || name == "filler" || name == "fillerC" || name == "fillerV");
}

bool isScoredPhoneName(const std::string& name) { return name.compare(0, 4, "sil+") != 0; }

static int32_t duration(int32_t startFrame, int32_t endFrame) { return endFrame - startFrame + 1; }

static std::string joinPath(const std::string& dir, const char* name) { return dir + "/" + name; }

// Writes dir/name through write(path) and says where it went.
template <class Write>
static void saveFile(const std::string& dir, const char* name, Write write) {
    const std::string p = joinPath(dir, name);
    write(p);
    consolePrintf("\t===> Saved %s\n", p.c_str());
}

static const std::string& modelName(const std::vector<std::string>& names, int32_t idx) {
    static const std::string unknown = "???";
    return idx >= 0 && static_cast<size_t>(idx) < names.size() ? names[static_cast<size_t>(idx)] : unknown;
}

size_t mlfClass::checkedCount(long long count, size_t capacity, const char* what) {
    if (count < 0 || static_cast<unsigned long long>(count) > capacity)
        fatalErrorF("Error: %s=%lld is outside 0..%zu (line %d of %s)", what, count, capacity, __LINE__, kUnit);
    return static_cast<size_t>(count);
}

void mlfClass::checkRange(int32_t firstNode, int32_t lastNode, const char* caller) const {
    if (lastNode < firstNode) return;  // empty range
    if (firstNode < 0 || static_cast<size_t>(lastNode) >= nodeList.size())
        fatalErrorF("Error: %s: node range %d..%d is outside the %zu nodes (line %d of %s)", caller, firstNode,
                    lastNode, nodeList.size(), __LINE__, kUnit);
}

// ---- alignment in ------------------------------------------------------------

void mlfClass::fromSearchPath(const searchPath& path, const std::vector<pronEntry>& dict,
                              const std::vector<std::string>& modelNames) {
    const size_t sylNum = path.sylDictIdx.size();
    const size_t phoneNum = path.phonePos.size();
    if (path.sylEndFrame.size() != sylNum || path.sylScore.size() != sylNum ||
        path.phoneEndFrame.size() != phoneNum || path.phoneScore.size() != phoneNum)
        fatalErrorF("Error: inconsistent search path records (line %d of %s)", __LINE__, kUnit);

    nodeList.clear();
    nodeList.reserve(sylNum);
    for (size_t i = 0; i < sylNum; ++i) {
        int32_t d = path.sylDictIdx[i];
        if (d < 0 || static_cast<size_t>(d) >= dict.size())
            fatalErrorF("Error: node record %zu refers to dictionary entry %d of %zu (line %d of %s)", i, d,
                        dict.size(), __LINE__, kUnit);
        mlfNode node;
        node.name = dict[static_cast<size_t>(d)].name;
        node.startFrame = i == 0 ? 0 : path.sylEndFrame[i - 1] + 1;
        node.endFrame = path.sylEndFrame[i];
        node.cumLogProb = path.sylScore[i];
        nodeList.push_back(std::move(node));
    }

    long cur = -1;
    for (size_t j = 0; j < phoneNum; ++j) {
        int32_t pos = path.phonePos[j];
        if (pos == 0) ++cur;
        if (cur < 0 || static_cast<size_t>(cur) >= sylNum)
            fatalErrorF("Error: phone record %zu of the search path belongs to no node (line %d of %s)", j,
                        __LINE__, kUnit);
        const pronEntry& entry = dict[static_cast<size_t>(path.sylDictIdx[static_cast<size_t>(cur)])];
        if (pos < 0 || static_cast<size_t>(pos) >= entry.modelIndex.size())
            fatalErrorF("Error: phone position %d is outside the %zu phones of \"%s\" (line %d of %s)", pos,
                        entry.modelIndex.size(), entry.name.c_str(), __LINE__, kUnit);
        int32_t m = entry.modelIndex[static_cast<size_t>(pos)];
        if (m < 0 || static_cast<size_t>(m) >= modelNames.size())
            fatalErrorF("Error: model index %d of \"%s\" is outside the %zu models (line %d of %s)", m,
                        entry.name.c_str(), modelNames.size(), __LINE__, kUnit);
        mlfPhone phone;
        phone.name = modelNames[static_cast<size_t>(m)];
        phone.modelIndex = m;
        phone.startFrame = j == 0 ? 0 : path.phoneEndFrame[j - 1] + 1;
        phone.endFrame = path.phoneEndFrame[j];
        phone.cumLogProb = path.phoneScore[j];
        nodeList[static_cast<size_t>(cur)].phoneList.push_back(std::move(phone));
    }
    // Scores start at -1 (the member defaults).
}

void mlfClass::fromSearchPath(const searchPath& path, const std::vector<pronEntry>& dict, const macroClass& macro) {
    std::vector<std::string> names;
    macro.getModelNames(names);
    fromSearchPath(path, dict, names);
}

// Decimal integer token, whole token consumed.
static bool parseLong(const std::string& tok, long long& v) {
    if (tok.empty()) return false;
    char* end = nullptr;
    v = strtoll(tok.c_str(), &end, 10);
    return *end == '\0';
}

static bool parseFloat(const std::string& tok, float& v) {
    if (tok.empty()) return false;
    char* end = nullptr;
    v = strtof(tok.c_str(), &end);
    return *end == '\0';
}

void mlfClass::readPhoneLevel(const std::string& path) { readPhoneLevelBytes(readFileBytes(path), path); }

void mlfClass::readPhoneLevelBytes(const std::string& bytes, const std::string& path) {
    nodeList.clear();
    std::vector<std::string> lines;
    splitLines(bytes, lines, '%');
    for (const std::string& line : lines) {
        std::vector<std::string> tok;
        size_t p = 0;
        while (p < line.size()) {
            while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
            size_t q = p;
            while (q < line.size() && line[q] != ' ' && line[q] != '\t') ++q;
            if (q > p) tok.push_back(line.substr(p, q - p));
            p = q;
        }
        if (tok.empty()) continue;  // a blank line carries no label
        long long start = 0, end = 0;
        float cum = 0;
        bool ok = tok.size() >= 4 && parseLong(tok[0], start) && parseLong(tok[1], end) &&
                  parseFloat(tok[3], cum) && (tok.size() > 4 || !nodeList.empty());
        // Frames must fit int32 after the 100 ns -> 10 ms conversion.
        ok = ok && std::llabs(start / 100000) < 2000000000LL && std::llabs(end / 100000) < 2000000000LL;
        if (!ok)
            fatalErrorF("Error: Wrong label line \"%s\" in %s (line %d of %s)", line.c_str(), path.c_str(), __LINE__,
                        kUnit);
        if (tok.size() > 4) {
            mlfNode node;
            node.name = tok[4];
            nodeList.push_back(std::move(node));
        }
        mlfPhone phone;
        phone.name = tok[2];
        phone.startFrame = static_cast<int32_t>(start / 100000);
        phone.endFrame = static_cast<int32_t>(end / 100000 - 1);
        phone.cumLogProb = cum;
        nodeList.back().phoneList.push_back(std::move(phone));
    }
    for (mlfNode& node : nodeList) {
        node.startFrame = node.phoneList.front().startFrame;
        node.endFrame = node.phoneList.back().endFrame;
        node.cumLogProb = node.phoneList.back().cumLogProb;
    }
}

// ---- confidence measure ------------------------------------------------------

void mlfClass::findPhoneRanking(const std::vector<std::string>& modelNames, const modelScorer& scorer,
                                int32_t frameNum, const recogParam& prm) {
    const std::string outputDir = prm.outputDir;
    if (!outputDir.empty()) {
        std::string p = joinPath(outputDir, "modelStrVec.txt");
        writeLines(p, modelNames);
        consolePrintf("\t===> Saved %s\n", p.c_str());
    }

    scoreTables own;
    if (!tables) own.readAlternatives(prm);
    const scoreTables& tab = tables ? *tables : own;
    const bool useAlt = tab.useAlt;
    const std::map<std::string, std::vector<std::string>>& alternatives = tab.alternatives;

    std::unordered_map<std::string, int32_t> index;
    for (size_t i = 0; i < modelNames.size(); ++i) index.emplace(modelNames[i], static_cast<int32_t>(i));

    // Competitor lists by the part of the phone name from its first "+" on;
    // useAllModelAsCompetingModel uses one list for every phone. A name
    // without "+" competes with the other models without "+" (for toned
    // finals: the other finals and tones).
    std::vector<int32_t> allModels;
    for (size_t i = 0; i < modelNames.size(); ++i)
        if (isScoredNodeName(modelNames[i])) allModels.push_back(static_cast<int32_t>(i));
    std::map<std::string, std::vector<int32_t>> listCache;
    auto competitorsOf = [&](const std::string& phoneName) -> const std::vector<int32_t>& {
        if (prm.useAllModelAsCompetingModel != 0) return allModels;
        size_t plus = phoneName.find('+');
        std::string key = plus == std::string::npos ? std::string() : phoneName.substr(plus);
        auto it = listCache.find(key);
        if (it != listCache.end()) return it->second;
        std::vector<int32_t> list;
        if (key.empty()) {
            for (int32_t i : allModels)
                if (modelNames[static_cast<size_t>(i)].find('+') == std::string::npos) list.push_back(i);
        } else {
            std::vector<int32_t> found;
            strVecLinSearch(modelNames, key, 2, found);
            list = found;
        }
        return listCache.emplace(key, std::move(list)).first->second;
    };

    totalPhoneNum = 0;
    totalFrameNum = 0;
    actualSylNum = 0;
    weightedRank = 0;
    avgLogProb = 0;
    for (mlfNode& node : nodeList) {
        if (!isScoredNodeName(node.name)) continue;
        ++actualSylNum;
        totalPhoneNum += static_cast<int32_t>(node.phoneList.size());
        for (const mlfPhone& ph : node.phoneList)
            if (isScoredPhoneName(ph.name)) totalFrameNum += duration(ph.startFrame, ph.endFrame);
    }

    float sumOwn = 0;
    for (mlfNode& node : nodeList) {
        const bool scoredNode = isScoredNodeName(node.name);
        for (mlfPhone& ph : node.phoneList) {
            auto it = index.find(ph.name);
            ph.modelIndex = it == index.end() ? -1 : it->second;
            if (!scoredNode || !isScoredPhoneName(ph.name)) continue;
            if (ph.modelIndex < 0)
                fatalErrorF("Error: Phone \"%s\" of node \"%s\" is not a model of the model set (line %d of %s)",
                            ph.name.c_str(), node.name.c_str(), __LINE__, kUnit);
            const int32_t n = duration(ph.startFrame, ph.endFrame);
            // Spans under 3 frames are not evaluated (the scorer returns
            // -1e10 for them); longer ones must lie within the features.
            if (n >= 3 && (ph.startFrame < 0 || ph.endFrame >= frameNum))
                fatalErrorF("Error: Phone \"%s\" spans frames %d..%d outside the %d feature frames (line %d of %s)",
                            ph.name.c_str(), ph.startFrame, ph.endFrame, frameNum, __LINE__, kUnit);

            ph.competingModel = competitorsOf(ph.name);
            if (std::find(ph.competingModel.begin(), ph.competingModel.end(), ph.modelIndex) ==
                ph.competingModel.end())
                ph.competingModel.push_back(ph.modelIndex);
            ph.competingModelLogProb.clear();
            ph.ownLogProb = kImpossible;
            for (int32_t m : ph.competingModel) {
                float lp = scorer(ph.startFrame, ph.endFrame, m);
                ph.competingModelLogProb.push_back(lp);
                if (m == ph.modelIndex) ph.ownLogProb = lp;
            }
            sumOwn += ph.ownLogProb;

            // Best first, keeping both lists aligned; ties keep list order.
            std::vector<size_t> order(ph.competingModel.size());
            std::iota(order.begin(), order.end(), 0);
            std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
                return ph.competingModelLogProb[a] > ph.competingModelLogProb[b];
            });
            std::vector<int32_t> models;
            std::vector<float> probs;
            for (size_t k : order) {
                models.push_back(ph.competingModel[k]);
                probs.push_back(ph.competingModelLogProb[k]);
            }
            ph.competingModel.swap(models);
            ph.competingModelLogProb.swap(probs);

            // rank = competitors not worse than the own model, itself excluded.
            size_t lead = 0;
            while (lead < ph.competingModelLogProb.size() && ph.competingModelLogProb[lead] >= ph.ownLogProb) ++lead;
            ph.rank = static_cast<int32_t>(lead) - 1;

            ph.altModel.clear();
            if (useAlt) {
                auto alt = alternatives.find(ph.name);
                if (alt != alternatives.end()) ph.altModel = alt->second;
                // Acceptable alternatives directly above the own model do not
                // count against it.
                int32_t passed = 0;
                for (int32_t k = ph.rank - 1; k >= 0; --k) {
                    const std::string& nm = modelNames[static_cast<size_t>(ph.competingModel[static_cast<size_t>(k)])];
                    if (std::find(ph.altModel.begin(), ph.altModel.end(), nm) == ph.altModel.end()) break;
                    ++passed;
                }
                ph.rank -= passed;
            }

            ph.timeRatio = totalFrameNum > 0 ? static_cast<float>(n) / static_cast<float>(totalFrameNum) : 0.0f;
            ph.rankRatio = static_cast<float>(ph.rank) / static_cast<float>(ph.competingModel.size());
            weightedRank += ph.timeRatio * ph.rankRatio;
        }
    }
    avgLogProb = totalFrameNum > 0 ? sumOwn / static_cast<float>(totalFrameNum) : 0.0f;
}

void mlfClass::findPhoneRanking(const float* fea, int32_t dim, int32_t frameNum, const macroClass& macro,
                                viterbiClass& vit, const recogParam& prm) {
    std::vector<std::string> names;
    macro.getModelNames(names);
    findPhoneRanking(
        names,
        [&](int32_t f1, int32_t f2, int32_t m) { return vit.modelProb(fea, dim, f1, f2, macro, m, frameNum); },
        frameNum, prm);
}

void mlfClass::computeDiscountFactors(int32_t firstNode, int32_t lastNode, bool pathComplete,
                                      int32_t identifiedSylNum) {
    checkRange(firstNode, lastNode, "computeDiscountFactors");
    m_discountFactor.clear();
    int32_t overShort = 0, overLong = 0, longPause = 0;
    int32_t shortest = -1, longest = -1;
    long long loud = -1;
    for (int32_t i = firstNode; i <= lastNode; ++i) {
        const mlfNode& node = nodeList[static_cast<size_t>(i)];
        const int32_t dur = duration(node.startFrame, node.endFrame);
        if (!isScoredNodeName(node.name)) {
            for (int32_t v : node.volume) loud = std::max<long long>(loud, v);
            if ((node.name == "sp" || node.name == "sil") && i > firstNode && i < lastNode && dur > 50) ++longPause;
            continue;
        }
        int32_t shortPhones = 0;
        bool hasOverlong = false;
        for (const mlfPhone& ph : node.phoneList) {
            if (ph.startFrame < 0 || !isScoredPhoneName(ph.name)) continue;
            const int32_t pd = duration(ph.startFrame, ph.endFrame);
            // Plosive and h onsets are short by nature.
            const std::string onset = ph.name.substr(0, 2);
            if (onset != "b+" && onset != "d+" && onset != "g+" && onset != "h+" && pd < 4) ++shortPhones;
            if (pd > 69) hasOverlong = true;
        }
        const int32_t phoneCount = static_cast<int32_t>(node.phoneList.size());
        if ((phoneCount > 0 && shortPhones == phoneCount) || (shortPhones > phoneCount / 2 && phoneCount >= 3))
            ++overShort;
        if (hasOverlong) ++overLong;
        shortest = shortest < 0 ? dur : std::min(shortest, dur);
        longest = std::max(longest, dur);
    }

    m_discountFactor.push_back(pathComplete ? 0 : 1);
    m_discountFactor.push_back(overShort);
    m_discountFactor.push_back(overLong);
    m_discountFactor.push_back(longPause);
    m_discountFactor.push_back(identifiedSylNum < 0 ? 0 : std::abs(identifiedSylNum - actualSylNum));
    const double ratio = shortest < 0 ? -1.0 : static_cast<double>(longest) / static_cast<double>(shortest);
    m_discountFactor.push_back(ratio > 4.0 ? 1 : 0);

    // Reference level from the closing node: the mean of a short list, else
    // the last four values over 5 (the established calibration of the
    // 1500000 threshold). A node without volumes gives 0.
    long long ref = 0;
    if (!nodeList.empty()) {
        const std::vector<int32_t>& v = nodeList.back().volume;
        if (!v.empty() && v.size() < 5) {
            long long sum = 0;
            for (int32_t x : v) sum += x;
            ref = sum / static_cast<long long>(v.size());
        } else if (v.size() >= 5) {
            long long sum = 0;
            for (size_t k = v.size() - 4; k < v.size(); ++k) sum += v[k];
            ref = sum / 5;
        }
    }
    m_discountFactor.push_back(loud - ref > 1500000 ? 1 : 0);

    for (int32_t i = firstNode; i <= lastNode; ++i) nodeList[static_cast<size_t>(i)].weight = 1.0f;
}

float mlfClass::bellScore(float x, const std::vector<float>& param) {
    if (param.size() < 3)
        fatalErrorF("Error: bellScore needs 3 parameters, got %zu (line %d of %s)", param.size(), __LINE__, kUnit);
    const float a = param[0], b = param[1], c = param[2];
    // At the centre the score is 100 whatever the width (also for a = 0).
    if (x - c == 0) return 100.0f;
    const float t = (x - c) / a;
    return 100.0f / (1.0f + std::pow(t * t, b));
}

// a, b, c of score 1 for one phone, from the cmParamFile line of its model:
// six TAB-separated fields, the sixth "[a b c]".
static std::vector<float> cmBellParam(const std::vector<std::string>& lines, const std::string& file,
                                      const mlfPhone& ph) {
    if (ph.modelIndex < 0 || static_cast<size_t>(ph.modelIndex) >= lines.size())
        fatalErrorF("Error: %s has no line for model %d (\"%s\"), only %zu lines (line %d of %s)", file.c_str(),
                    ph.modelIndex, ph.name.c_str(), lines.size(), __LINE__, kUnit);
    const std::string& line = lines[static_cast<size_t>(ph.modelIndex)];
    std::vector<std::string> f;
    splitString(line, '\t', f);
    float a = 0, b = 0, c = 0;
    if (f.size() != 6 || sscanf(f[5].c_str(), "[%f %f %f]", &a, &b, &c) != 3) {
        consolePrintf("modelName=%s\n", ph.name.c_str());
        consolePrintf("modelIndex=%d\n", ph.modelIndex);
        consolePrintf("contents[%d]=%s\n", ph.modelIndex, line.c_str());
        fatalErrorF("Error: Cannot parse %s (line %d of file %s)", file.c_str(), __LINE__, kUnit);
    }
    return {a, b, c};
}

std::vector<float> scoreTables::readRankParam(const recogParam& prm) {
    std::vector<float> rankParam;
    readFloats(prm.phoneRank2scoreParamFile, rankParam);
    if (rankParam.size() < 3)
        fatalErrorF("Error: %s holds %zu numbers, 3 are needed (line %d of %s)", prm.phoneRank2scoreParamFile,
                    rankParam.size(), __LINE__, kUnit);
    return rankParam;
}

std::vector<float> scoreTables::readDiscountBases(const recogParam& prm) {
    std::vector<float> bases;
    readFloats(prm.scoreDiscountParamFile, bases);
    if (bases.size() < static_cast<size_t>(DISCOUNT_FACTOR_NUM))
        fatalErrorF("Error: %s holds %zu discount bases, %d are needed (line %d of %s)", prm.scoreDiscountParamFile,
                    bases.size(), DISCOUNT_FACTOR_NUM, __LINE__, kUnit);
    return bases;
}

void scoreTables::readCm(const recogParam& prm) {
    cmFile = prm.cmParamFile;
    useCm = !cmFile.empty() && fileExists(cmFile);
    cmLines.clear();
    if (useCm) readLines(cmFile, cmLines, '%');
}

// Alternatives: "phone<TAB>alt<TAB>alt...", "%" comments.
void scoreTables::readAlternatives(const recogParam& prm) {
    alternatives.clear();
    useAlt = prm.epsFile[0] != '\0';
    if (!useAlt) return;
    std::vector<std::string> lines;
    readLines(prm.epsFile, lines, '%');
    for (const std::string& l : lines) {
        std::vector<std::string> f;
        splitString(l, '\t', f);
        if (f.empty()) continue;
        alternatives.emplace(f[0], std::vector<std::string>(f.begin() + 1, f.end()));
    }
}

scoreTables scoreTables::read(const recogParam& prm) {
    scoreTables t;
    t.readAlternatives(prm);
    t.rankParam = readRankParam(prm);
    t.readCm(prm);
    t.discountBases = readDiscountBases(prm);
    return t;
}

void mlfClass::computeScores(int32_t firstNode, int32_t lastNode, const recogParam& prm) {
    checkRange(firstNode, lastNode, "computeScores");
    scoreTables own;
    if (!tables) {
        own.rankParam = scoreTables::readRankParam(prm);
        own.readCm(prm);
    }
    const scoreTables& tab = tables ? *tables : own;
    const std::vector<float>& rankParam = tab.rankParam;
    const std::vector<std::string>& cmLines = tab.cmLines;
    const bool useCm = tab.useCm;

    for (mlfNode& node : nodeList) {
        for (float& s : node.scores) s = -1;
        for (mlfPhone& ph : node.phoneList)
            for (float& s : ph.scores) s = -1;
    }

    for (mlfNode& node : nodeList) {
        if (!isScoredNodeName(node.name)) continue;
        if (node.phoneList.size() == 1 && !isScoredPhoneName(node.phoneList[0].name)) {
            for (int k = 0; k < MLF_SCORE_NUM; ++k) node.scores[k] = node.phoneList[0].scores[k] = 0;
            continue;
        }
        float acc[MLF_SCORE_NUM] = {0, 0, 0};
        float sumTime = 0;
        for (mlfPhone& ph : node.phoneList) {
            if (!isScoredPhoneName(ph.name)) continue;
            ph.scores[0] = bellScore(ph.rankRatio, rankParam);
            ph.bellParam = useCm ? cmBellParam(cmLines, tab.cmFile, ph)
                                 : std::vector<float>(kDefaultBell, kDefaultBell + 3);
            ph.scores[1] = bellScore(ph.rankRatio, ph.bellParam);
            float hi = kImpossible, lo = 0;
            if (!ph.competingModelLogProb.empty()) {
                hi = *std::max_element(ph.competingModelLogProb.begin(), ph.competingModelLogProb.end());
                lo = *std::min_element(ph.competingModelLogProb.begin(), ph.competingModelLogProb.end());
            }
            ph.scores[2] = hi <= lo ? 0.0f : 100.0f * (ph.ownLogProb - lo) / (hi - lo);
            for (int k = 0; k < MLF_SCORE_NUM; ++k) acc[k] += ph.timeRatio * ph.scores[k];
            sumTime += ph.timeRatio;
        }
        // A node without scored time (only silence phones) scores 0 rather
        // than 0/0.
        for (int k = 0; k < MLF_SCORE_NUM; ++k) node.scores[k] = sumTime > 0 ? acc[k] / sumTime : 0.0f;
    }

    for (int32_t i = firstNode; i <= lastNode; ++i) {
        mlfNode& node = nodeList[static_cast<size_t>(i)];
        for (float& s : node.scores) s *= node.weight;
    }
    computeUtteranceScores(firstNode, lastNode, prm);
}

void mlfClass::computeUtteranceScores(int32_t firstNode, int32_t lastNode, const recogParam& prm) {
    checkRange(firstNode, lastNode, "computeUtteranceScores");
    float num[MLF_SCORE_NUM] = {0, 0, 0};
    float den = 0;
    for (int32_t i = firstNode; i <= lastNode; ++i) {
        const mlfNode& node = nodeList[static_cast<size_t>(i)];
        if (!isScoredNodeName(node.name)) continue;
        const float dur = static_cast<float>(duration(node.startFrame, node.endFrame));
        for (int k = 0; k < MLF_SCORE_NUM; ++k) num[k] += node.scores[k] * dur;
        den += dur;
    }
    for (int k = 0; k < MLF_SCORE_NUM; ++k) origScores[k] = den != 0 ? num[k] / den : 0.0f;

    const std::vector<float> ownBases = tables ? std::vector<float>() : scoreTables::readDiscountBases(prm);
    const std::vector<float>& bases = tables ? tables->discountBases : ownBases;
    if (m_discountFactor.size() > static_cast<size_t>(DISCOUNT_FACTOR_NUM))
        fatalErrorF("Error: %zu discount factors, at most %d (line %d of %s)", m_discountFactor.size(),
                    DISCOUNT_FACTOR_NUM, __LINE__, kUnit);
    for (int k = 0; k < MLF_SCORE_NUM; ++k) finalScores[k] = origScores[k];
    for (size_t i = 0; i < m_discountFactor.size(); ++i) {
        if (m_discountFactor[i] == 0) continue;
        const float f = static_cast<float>(std::pow(static_cast<double>(bases[i]), m_discountFactor[i]));
        for (int k = 0; k < MLF_SCORE_NUM; ++k) finalScores[k] *= f;
    }

    for (mlfNode& node : nodeList) {
        node.score = node.scores[1];
        for (mlfPhone& ph : node.phoneList) ph.score = ph.scores[1];
    }
    origScore = origScores[1];
    finalScore = finalScores[1];
}

void mlfClass::shiftTime(int32_t offset) {
    for (mlfNode& node : nodeList) {
        node.startFrame += offset;
        node.endFrame += offset;
        for (mlfPhone& ph : node.phoneList) {
            ph.startFrame += offset;
            ph.endFrame += offset;
        }
    }
}

void mlfClass::fillNodeText(const std::string& text, const std::string& language) {
    std::vector<std::string> units;
    textClass::splitTextUnits(text, language, units);
    size_t k = 0;
    for (mlfNode& node : nodeList) {
        if (isScoredNodeName(node.name))
            node.text = k < units.size() ? units[k++] : std::string();
        else
            node.text.clear();
    }
}

void mlfClass::fillNodeVolume(const int32_t* volume, int32_t len, int32_t frameOffset) {
    if (!volume) len = 0;
    for (mlfNode& node : nodeList) {
        node.volume.clear();
        for (int64_t f = static_cast<int64_t>(node.startFrame) + frameOffset;
             f <= static_cast<int64_t>(node.endFrame) + frameOffset && f < len; ++f)
            if (f >= 0) node.volume.push_back(volume[f]);
    }
}

// ---- result files ------------------------------------------------------------

void mlfClass::writePhoneLevel(const std::string& path, bool withScores, bool withVolumes) const {
    FILE* fp = openOrDie(path, "w");
    if (withScores) {
        fprintf(fp, "%% finalScore=%g\n", finalScore);
        fprintf(fp, "%% origScores=[%g, %g, %g]\n", origScores[0], origScores[1], origScores[2]);
        fprintf(fp, "%% finalScores=[%g, %g, %g]\n", finalScores[0], finalScores[1], finalScores[2]);
        fprintf(fp, "%% discountFactor=[");
        for (int32_t d : m_discountFactor) fprintf(fp, "%d ", d);
        fprintf(fp, "]\n");
        fputs(kCmReasonsBig5, fp);
        fputs(kCmReasonsEnglish, fp);
    }
    for (const mlfNode& node : nodeList) {
        for (size_t j = 0; j < node.phoneList.size(); ++j) {
            const mlfPhone& ph = node.phoneList[j];
            if (withScores)
                fprintf(fp, "%d00000\t%d00000\t%s#%g\t%g", ph.startFrame, ph.endFrame + 1, ph.name.c_str(), ph.score,
                        ph.cumLogProb);
            else
                fprintf(fp, "%d00000 %d00000 %s %g", ph.startFrame, ph.endFrame + 1, ph.name.c_str(), ph.cumLogProb);
            if (j == 0) {
                if (withScores) {
                    fprintf(fp, "\t%s#%s#%g", node.name.c_str(), node.text.c_str(), node.score);
                    if (withVolumes)
                        for (size_t v = 0; v < node.volume.size(); ++v) fprintf(fp, v == 0 ? "#%d" : "_%d", node.volume[v]);
                } else {
                    fprintf(fp, " %s", node.name.c_str());
                }
            }
            fprintf(fp, "\n");
        }
    }
    fclose(fp);
}

void mlfClass::writeCmXml(const std::string& path, const std::vector<std::string>& modelNames) const {
    FILE* fp = openOrDie(path, "w");
    fprintf(fp, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(fp, "<confidenceMeasure>\n");
    fprintf(fp, "\t<score>%f</score><!--Overall score-->\n", finalScore);
    fprintf(fp, "\t<discountedScores>%g %g %g</discountedScores><!--All discounted scores-->\n", finalScores[0],
            finalScores[1], finalScores[2]);
    fprintf(fp, "\t<scores>%g %g %g</scores><!--All original scores-->\n", origScores[0], origScores[1],
            origScores[2]);
    fprintf(fp, "\t<discountFactor>");
    for (int32_t d : m_discountFactor) fprintf(fp, "%d ", d);
    fprintf(fp, "</discountFactor><!--Discount factors for computing the discounted scores-->\n");
    fprintf(fp,
            "\t<discountReason>Incomplete Viterbi search path_No. of over-short syllables_No. of overlong "
            "syllables_No. of sp longer than 0.25 sec_Difference between identified and actual no. of "
            "syllables_Ratio between the longest and shortest syllables greater than 4_Volume of sil too "
            "large</discountReason><!--Reasons for computing discount factors-->\n");
    fprintf(fp, "\t<nodeList><!--List of nodes, which each node is a word (for English) or a syllable (for "
                "Chinese)-->\n");
    for (size_t i = 0; i < nodeList.size(); ++i) {
        const mlfNode& node = nodeList[i];
        // The explanatory comments appear once: on the first node and on
        // the first phone of the first node.
        const bool cn = i == 0;
        auto end = [&](bool withComment, const char* comment) {
            if (withComment)
                fprintf(fp, "<!--%s-->\n", comment);
            else
                fprintf(fp, "\n");
        };
        fprintf(fp, "\t\t<node>");
        end(cn, "A node is a word (for English) or a syllable (for Chinese)");
        fprintf(fp, "\t\t\t<name>%s</name>", node.name.c_str());
        end(cn, "Phonetic alphabets of the node");
        fprintf(fp, "\t\t\t<interval>%d00000 %d00000</interval>", node.startFrame, node.endFrame + 1);
        end(cn, "Time span of the node, in the unit of 100 ns, or 10E-7 sec");
        fprintf(fp, "\t\t\t<text>%s</text>", node.text.c_str());
        end(cn, "Text of the node (empty if the node is sil/sp)");
        fprintf(fp, "\t\t\t<score>%f</score>", node.score);
        end(cn, "Score of the node (-1 if the node is sil/sp)");
        fprintf(fp, "\t\t\t<pitch>%f</pitch>", 0.0);
        end(cn, "Pitch of the node (0 if not computed)");
        fprintf(fp, "\t\t\t<volume>");
        for (size_t v = 0; v < node.volume.size(); ++v) fprintf(fp, v == 0 ? "%d" : " %d", node.volume[v]);
        fprintf(fp, "</volume>");
        end(cn, "Volume of the node (0 if not computed)");
        fprintf(fp, "\t\t\t<scores>%f %f %f</scores>", node.scores[0], node.scores[1], node.scores[2]);
        end(cn, "All scores of the node (primarily for debugging)");
        fprintf(fp, "\t\t\t<phoneList>");
        end(cn, "List of phones in the node");
        for (size_t j = 0; j < node.phoneList.size(); ++j) {
            const mlfPhone& ph = node.phoneList[j];
            const bool cp = i == 0 && j == 0;
            fprintf(fp, "\t\t\t\t<phone>\n");
            fprintf(fp, "\t\t\t\t\t<name>%s</name>", ph.name.c_str());
            end(cp, "Phonetic alphabets for the node");
            fprintf(fp, "\t\t\t\t\t<interval>%d00000 %d00000</interval>", ph.startFrame, ph.endFrame + 1);
            end(cp, "Time span of the phone, in the unit of 100 ns, or 10E-7 sec");
            fprintf(fp, "\t\t\t\t\t<score>%f</score>", ph.score);
            end(cp, "Score of the node (-1 if the node is sil/sp)");
            fprintf(fp, "\t\t\t\t\t<cumLogProb>%f</cumLogProb>", ph.cumLogProb);
            end(cp, "Cumulated log probability of the phone");
            fprintf(fp, "\t\t\t\t\t<rankRatio>%f</rankRatio>", ph.rankRatio);
            end(cp, "Rank ratio of the phone");
            fprintf(fp, "\t\t\t\t\t<timeRatio>%f</timeRatio>", ph.timeRatio);
            end(cp, "Time ratio of the phone");
            fprintf(fp, "\t\t\t\t\t<competingModel>");
            for (size_t k = 0; k < ph.competingModel.size(); ++k)
                fprintf(fp, "%s%s", k == 0 ? "" : " ", modelName(modelNames, ph.competingModel[k]).c_str());
            fprintf(fp, "</competingModel>");
            end(cp, "Competing models of the phone");
            fprintf(fp, "\t\t\t\t\t<competingModelLogProb>");
            for (size_t k = 0; k < ph.competingModelLogProb.size(); ++k)
                fprintf(fp, "%s%f", k == 0 ? "" : " ", ph.competingModelLogProb[k]);
            fprintf(fp, "</competingModelLogProb>");
            end(cp, "Log probabilities of the competing models of the phone");
            fprintf(fp, "\t\t\t\t\t<scores>%f %f %f</scores>", ph.scores[0], ph.scores[1], ph.scores[2]);
            end(cp, "All scores of the phone (primarily for debugging)");
            fprintf(fp, "\t\t\t\t</phone>\n");
        }
        fprintf(fp, "\t\t\t</phoneList>\n");
        fprintf(fp, "\t\t</node>\n");
    }
    fprintf(fp, "\t</nodeList>\n");
    fprintf(fp, "</confidenceMeasure>\n");
    fclose(fp);
}

void mlfClass::writeCmXml(const std::string& path, const macroClass& macro) const {
    std::vector<std::string> names;
    macro.getModelNames(names);
    writeCmXml(path, names);
}

void mlfClass::writePhoneLogProb(const std::string& path, const std::vector<std::string>& /*modelNames*/) const {
    std::ofstream out(path, std::ios::binary);
    if (!out) return;
    for (const char* line : kPlpHeaderBig5) out << line << "\n";
    for (const mlfNode& node : nodeList) {
        if (!isScoredNodeName(node.name)) continue;
        for (const mlfPhone& ph : node.phoneList) {
            if (!isScoredPhoneName(ph.name)) continue;
            out << ph.name << " " << ph.modelIndex << " " << duration(ph.startFrame, ph.endFrame) << "\n";
            for (size_t k = 0; k < ph.competingModel.size(); ++k) out << (k ? " " : "") << ph.competingModel[k];
            out << "\n";
            for (size_t k = 0; k < ph.competingModelLogProb.size(); ++k)
                out << (k ? " " : "") << ph.competingModelLogProb[k];
            out << "\n";
        }
    }
}

void mlfClass::writePhoneLogProb(const std::string& path, const macroClass& macro) const {
    std::vector<std::string> names;
    macro.getModelNames(names);
    writePhoneLogProb(path, names);
}

void mlfClass::writeScoreReport(const std::string& path, const std::vector<std::string>& modelNames) const {
    std::ofstream out(path, std::ios::binary);
    if (!out) return;
    for (const mlfNode& node : nodeList) {
        if (!isScoredNodeName(node.name)) continue;
        out << node.name << ": [" << node.startFrame << " " << node.endFrame << "] (" << node.scores[0] << ", "
            << node.scores[1] << ", " << node.scores[2] << ")\n";
        for (const mlfPhone& ph : node.phoneList) {
            if (ph.startFrame < 0 || !isScoredPhoneName(ph.name)) continue;
            out << "\t" << ph.name << ": [" << ph.startFrame << " " << ph.endFrame << "]\n";
            out << "\t\t";
            for (size_t k = 0; k < ph.competingModel.size(); ++k) {
                out << k << ": " << modelName(modelNames, ph.competingModel[k]) << "(";
                if (k < ph.competingModelLogProb.size()) out << ph.competingModelLogProb[k];
                out << ") ";
            }
            out << "\n";
            out << "\t\tRank ratio: " << ph.rank << "/" << ph.competingModel.size() << "=" << ph.rankRatio << "\n";
            out << "\t\tTime weight: " << duration(ph.startFrame, ph.endFrame) << "/" << totalFrameNum << "="
                << ph.timeRatio * 100 << "%\n";
            out << "\t\tScore: " << ph.scores[0] << ", " << ph.scores[1] << ", " << ph.scores[2] << "\n";
        }
    }
    out << kOrigScoresBig5 << origScores[0] << ", " << origScores[1] << ", " << origScores[2] << "\n";
    out << kFinalScoresBig5 << finalScores[0] << ", " << finalScores[1] << ", " << finalScores[2] << "\n";
    for (size_t i = 0; i < m_discountFactor.size() && i < static_cast<size_t>(DISCOUNT_FACTOR_NUM); ++i)
        out << "m_discountFactor[" << i << "] = " << m_discountFactor[i] << kDiscountNotesBig5[i] << "\n";
}

void mlfClass::writeScoreReport(const std::string& path, const macroClass& macro) const {
    std::vector<std::string> names;
    macro.getModelNames(names);
    writeScoreReport(path, names);
}

void mlfClass::writeResultFiles(const std::string& outputDir, const std::vector<std::string>& modelNames) const {
    if (outputDir.empty()) return;
    saveFile(outputDir, "phone.lab", [&](const std::string& p) { writePhoneLevel(p, false, false); });
    saveFile(outputDir, "phone.cm", [&](const std::string& p) { writePhoneLevel(p, true, true); });
    saveFile(outputDir, "cm.xml", [&](const std::string& p) { writeCmXml(p, modelNames); });
    saveFile(outputDir, "phone.plp", [&](const std::string& p) { writePhoneLogProb(p, modelNames); });
    saveFile(outputDir, "phone.cmd", [&](const std::string& p) { writeScoreReport(p, modelNames); });
}

void mlfClass::writeResultFiles(const std::string& outputDir, const macroClass& macro) const {
    std::vector<std::string> names;
    macro.getModelNames(names);
    writeResultFiles(outputDir, names);
}

void mlfClass::writeScoreFiles(const std::string& outputDir) const {
    if (outputDir.empty()) return;
    saveFile(outputDir, "discountFactor.txt", [&](const std::string& p) { writeIntegers(p, m_discountFactor); });
    saveFile(outputDir, "weightedRank.txt", [&](const std::string& p) { writeValue(p, weightedRank); });
    saveFile(outputDir, "origScore.txt", [&](const std::string& p) { writeValue(p, origScore); });
    saveFile(outputDir, "finalScore.txt", [&](const std::string& p) { writeValue(p, finalScore); });
}

}  // namespace qv
