// Checks of the shipped Mandarin data set (telvoDataChinese) through the
// engine's own readers: what they accept, and that the files agree with each
// other (word table -> pinyin table -> dictionary -> model names).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/lexicon/dict.h"
#include "engine/lexicon/text.h"
#include "engine/models/macro.h"
#include "engine/recogTask.h"
#include "engine/utility.h"

namespace {

const std::string kRoot = QV_SOURCE_DIR;
const std::string kData = kRoot + "/telvoDataChinese";

// The parameter file's paths are relative to the installation folder, the
// repository root here.
std::string installed(const char* value) { return kRoot + "/" + value; }

const std::vector<std::string> kSpecialUnits = {"filler", "fillerC", "fillerV", "sil", "sp"};

// Model names of cmParam.txt, which lists the model set in its order.
std::vector<std::string> cmParamModelNames(std::vector<std::string>* badLines = nullptr) {
    std::vector<std::string> lines, names;
    qv::readLines(kData + "/cmParam.txt", lines, '%');
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> f;
        qv::splitString(lines[i], '\t', f);
        const bool ok = f.size() == 6 && f[0] == std::to_string(i) && f[5].size() > 2 && f[5].front() == '[' &&
                        f[5].back() == ']';
        if (!ok && badLines) badLines->push_back(lines[i]);
        names.push_back(f.size() > 1 ? f[1] : "");
    }
    return names;
}

// A model set holding only the names, enough for the dictionary reader.
void namesOnlySet(const std::vector<std::string>& names, qv::macroClass& set) {
    set.allocModels(static_cast<int32_t>(names.size()));
    for (size_t i = 0; i < names.size(); ++i) qv::macroClass::setModelName(set.model[i], names[i]);
}

// The dictionary file's model names per unit, as written.
std::map<std::string, std::vector<std::string>> pamAsWritten() {
    std::vector<std::string> lines;
    qv::readLines(kData + "/chinese.pam", lines, '%');
    std::map<std::string, std::vector<std::string>> out;
    for (const std::string& l : lines) {
        std::istringstream in(l);
        std::string unit, m;
        in >> unit;
        while (in >> m) out[unit].push_back(m);
    }
    return out;
}

// Every entry resolves to a model of exactly the written name: a missing
// "l+r" model would otherwise be replaced silently by a substitute.
void expectDictionaryResolves(const qv::macroClass& set) {
    qv::dictClass dict;
    dict.pronDictRead(kData + "/chinese.pam", set);
    const auto written = pamAsWritten();
    ASSERT_EQ(dict.m_pronDict.size(), written.size());
    for (const qv::pronEntry& e : dict.m_pronDict) {
        const auto& names = written.at(e.name);
        ASSERT_EQ(e.modelIndex.size(), names.size()) << e.name;
        for (size_t k = 0; k < names.size(); ++k) {
            ASSERT_GE(e.modelIndex[k], 0) << e.name << " " << names[k];
            EXPECT_EQ(std::string(set.model[static_cast<size_t>(e.modelIndex[k])].name), names[k]) << e.name;
        }
    }
}

}  // namespace

TEST(DataSet, ParameterFileReadsAndNamesExistingFiles) {
    qv::recogParam prm;
    qv::recogParamRead(kData + "/chinese.sa.prm", prm);
    EXPECT_STREQ(prm.language, "chinese");
    EXPECT_STREQ(prm.function, "assess");
    EXPECT_STREQ(prm.pinyinType, "hanyu");
    for (const char* path : {prm.dicFile, prm.wpaFile, prm.pyTableFile, prm.qiYinFile, prm.tnmFile,
                             prm.featureConfigFile, prm.phoneRank2scoreParamFile, prm.scoreDiscountParamFile,
                             prm.cmParamFile, prm.epsFile, prm.toneModelFile}) {
        ASSERT_NE(path[0], '\0');
        EXPECT_TRUE(qv::fileExists(installed(path))) << path;
    }
    EXPECT_EQ(std::string(prm.macFile), "telvoDataChinese/models/chinese.macb");
    EXPECT_EQ(std::string(prm.outputDir), "telvoDataChinese/output");

    // Discount bases: seven, each 0..1; rank-to-score bell: a b c, with the
    // steepness b within the calibration's limits 0.5..4.
    for (const auto& c : {std::make_pair(prm.scoreDiscountParamFile, 7u), std::make_pair(prm.phoneRank2scoreParamFile, 3u)}) {
        std::ifstream in(installed(c.first));
        std::vector<double> v;
        for (double x; in >> x;) v.push_back(x);
        EXPECT_EQ(v.size(), c.second) << c.first;
        for (size_t i = 0; i < v.size(); ++i) {
            const bool steepness = c.second == 3u && i == 1;
            EXPECT_TRUE(steepness ? v[i] >= 0.5 && v[i] <= 4 : v[i] >= 0 && v[i] <= 1) << c.first << " " << v[i];
        }
    }
}

TEST(DataSet, WordTableReadsAndAgreesWithThePinyinTable) {
    qv::dictClass dict;
    dict.pinyinTableRead(kData + "/pinyinTable.txt");
    ASSERT_FALSE(dict.m_pinyinTable.empty());
    std::set<std::string> syllables;
    for (size_t r = 0; r < dict.m_pinyinTable.size(); ++r) {
        const auto& row = dict.m_pinyinTable[r];
        ASSERT_EQ(row.size(), 4u) << "row " << r + 1;
        EXPECT_EQ(row[0], std::to_string(r + 1));
        EXPECT_TRUE(syllables.insert(row[3]).second) << "duplicate syllable " << row[3];
        if (r > 0) {
            EXPECT_LT(dict.m_pinyinTable[r - 1][3], row[3]);
        }
    }

    // The engine's reader checks every row number against the table.
    dict.wpaRead(kData + "/chinese.wpa", "chinese", dict.m_wpa);
    ASSERT_GT(dict.m_wpa.size(), 13000u);
    for (size_t i = 0; i < dict.m_wpa.size(); ++i) {
        const qv::wpaEntry& e = dict.m_wpa[i];
        ASSERT_EQ(e.word.size(), 2u) << i;
        ASSERT_GE(static_cast<unsigned char>(e.word[0]), 0x81u) << i;
        // Strictly ascending: lookups bisect, and a duplicate would hide a reading.
        if (i > 0) {
            ASSERT_LT(dict.m_wpa[i - 1].word, e.word) << i;
        }
        ASSERT_FALSE(e.paList.empty()) << i;
        ASSERT_EQ(e.toneList.size(), e.paList.size()) << i;
        for (size_t k = 0; k < e.paList.size(); ++k)
            EXPECT_EQ(e.toneList[k], e.paList[k].substr(e.paList[k].size() - 1)) << e.paList[k];
        EXPECT_EQ(qv::dictClass::wpaSearch(e.word, dict.m_wpa), static_cast<int32_t>(i));
    }

    // The columns the engine skips (Hanyu, Zhuyin) say the same as the rows.
    std::vector<std::string> lines;
    qv::readLines(kData + "/chinese.wpa", lines, '%');
    ASSERT_EQ(lines.size(), dict.m_wpa.size());
    for (const std::string& l : lines) {
        std::vector<std::string> f, rows, hanyu, zhuyin;
        qv::splitString(l, '\t', f);
        ASSERT_EQ(f.size(), 5u);
        qv::splitString(f[1], ',', rows);
        qv::splitString(f[2], ',', hanyu);
        qv::splitString(f[4], ',', zhuyin);
        ASSERT_EQ(hanyu.size(), rows.size()) << l;
        ASSERT_EQ(zhuyin.size(), rows.size()) << l;
        for (size_t k = 0; k < rows.size(); ++k) {
            const auto& row = dict.m_pinyinTable[static_cast<size_t>(std::stoi(rows[k]) - 1)];
            EXPECT_EQ(hanyu[k], row[3]) << l;
            EXPECT_EQ(zhuyin[k], row[2]) << l;
        }
    }
}

TEST(DataSet, DictionaryCoversEverySyllableAndUsesTheListedModels) {
    qv::dictClass dict;
    dict.pinyinTableRead(kData + "/pinyinTable.txt");
    std::vector<std::string> bad;
    const std::vector<std::string> models = cmParamModelNames(&bad);
    EXPECT_TRUE(bad.empty()) << bad.size() << " malformed cmParam lines, first: " << bad.front();
    ASSERT_GE(models.size(), 2u);
    for (size_t i = 1; i < models.size(); ++i) ASSERT_LT(models[i - 1], models[i]) << "model-set order";

    qv::macroClass set;
    namesOnlySet(models, set);
    expectDictionaryResolves(set);

    dict.pronDictRead(kData + "/chinese.pam", set);
    const int32_t n = static_cast<int32_t>(dict.m_pronDict.size());
    for (int32_t i = 1; i < n; ++i)
        ASSERT_LT(dict.m_pronDict[i - 1].name, dict.m_pronDict[i].name) << "the reader needs byte-wise order";
    std::set<std::string> units;
    for (const auto& row : dict.m_pinyinTable) {
        units.insert(row[3]);
        EXPECT_GE(dict.pronDictSearch(row[3], 0, n - 1), 0) << row[3];
    }
    for (const std::string& s : kSpecialUnits) {
        units.insert(s);
        const int32_t i = dict.pronDictSearch(s, 0, n - 1);
        ASSERT_GE(i, 0) << s;
        ASSERT_EQ(dict.m_pronDict[static_cast<size_t>(i)].modelIndex.size(), 1u);
        EXPECT_EQ(std::string(set.model[static_cast<size_t>(dict.m_pronDict[static_cast<size_t>(i)].modelIndex[0])].name), s);
    }
    // Nothing else in the dictionary, and no listed model left unused.
    std::set<int32_t> used;
    for (const qv::pronEntry& e : dict.m_pronDict) {
        EXPECT_TRUE(units.count(e.name)) << "unit not in the pinyin table: " << e.name;
        used.insert(e.modelIndex.begin(), e.modelIndex.end());
    }
    EXPECT_EQ(used.size(), models.size());

    // Alternatives name models of the set.
    std::vector<std::string> eps;
    qv::readLines(kData + "/chinese.eps", eps, '%');
    for (const std::string& l : eps) {
        std::vector<std::string> f;
        qv::splitString(l, '\t', f);
        EXPECT_GE(f.size(), 2u) << l;
        for (const std::string& m : f) EXPECT_TRUE(std::binary_search(models.begin(), models.end(), m)) << m;
    }
}

TEST(DataSet, TrainedModelsMatchTheDictionary) {
    const std::string macb = kData + "/models/chinese.macb";
    if (!qv::fileExists(macb)) GTEST_SKIP() << "no trained models yet: " << macb;
    qv::macroClass set;
    set.readMacro(macb, true);
    std::vector<std::string> names;
    set.getModelNames(names);
    EXPECT_EQ(names, cmParamModelNames());
    expectDictionaryResolves(set);
}

TEST(DataSet, NormalisationLeavesEveryCharacterIntact) {
    // The rules replace bytes without regard to character boundaries, so a
    // pattern must never occur inside a character of the word table, nor
    // across the boundary of two characters.
    qv::textClass text;
    text.tnmRead(kData + "/chinese.tnm");
    ASSERT_FALSE(text.m_spVs.empty());
    for (const qv::tnmRule& r : text.m_spVs) {
        EXPECT_EQ(r.kind, "g");
        EXPECT_FALSE(r.pattern.empty());
        if (r.pattern.size() == 1) {
            EXPECT_LT(static_cast<unsigned char>(r.pattern[0]), 0x40u) << r.pattern;
        }
    }
    qv::dictClass dict;
    dict.pinyinTableRead(kData + "/pinyinTable.txt");
    dict.wpaRead(kData + "/chinese.wpa", "chinese", dict.m_wpa);
    for (const qv::wpaEntry& e : dict.m_wpa) {
        std::string s = e.word;
        text.normalizeString(s, "chinese");
        ASSERT_EQ(s, e.word) << "a rule changes a character of the word table";
    }
    // Character pairs: every first character followed by a few common ones.
    for (const qv::wpaEntry& a : dict.m_wpa)
        for (const char* b : {"\xA4\x40", "\xA9\xFA", "\xA6\x62", "\xAA\xBA"}) {  // 一 明 在 的
            std::string s = a.word + b;
            text.normalizeString(s, "chinese");
            ASSERT_EQ(s, a.word + b);
        }
}

TEST(DataSet, SampleSentencesReadAsTheirSyllableFiles) {
    // Each sample has its Big5 sentence and its reading; the engine's text
    // path must list that reading among the sentence's syllable strings.
    qv::dictClass dict;
    dict.pinyinTableRead(kData + "/pinyinTable.txt");
    dict.wpaRead(kData + "/chinese.wpa", "chinese", dict.m_wpa);
    int checked = 0;
    for (const char* name : {"nihao", "woaini", "jintian", "xuexi"}) {
        const std::string base = kData + "/samples/" + name;
        if (!qv::fileExists(base + ".txt")) continue;
        qv::textClass text;
        text.tnmRead(kData + "/chinese.tnm");
        text.txtRead(base + ".txt");
        text.textNormalize("chinese");
        text.text2sylChinese(dict.m_wpa);
        std::ifstream in(base + ".syl.txt");
        std::string reading, w;
        while (in >> w) reading += (reading.empty() ? "" : "-") + w;
        EXPECT_NE(std::find(text.m_sylVs.begin(), text.m_sylVs.end(), reading + "\t0"), text.m_sylVs.end())
            << name << ": " << reading;
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no samples";
}
