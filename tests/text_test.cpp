#include "engine/lexicon/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/lexicon/dict.h"
#include "engine/recogTask.h"
#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::fatalMessage;
using qvtest::ScratchDir;
using qvtest::writeFile;

namespace {

// Two-byte characters; the word table must be sorted byte-wise (unsigned).
const std::string kShang = "\xa4\x57";  // two readings
const std::string kHao = "\xa6\x6e";    // two readings, one listed twice
const std::string kMa = "\xb6\xdc";     // one reading
const std::string kNone = "\xc0\x40";   // not in the table

std::vector<wpaEntry> chineseWpa() {
    return {
        {kShang, {"shang", "sang"}, {"4", "3"}},
        {kHao, {"hao", "hau", "hao"}, {"3", "4", "1"}},
        {kMa, {"ma"}, {"5"}},
    };
}

// Console capture and a private directory for error logs.
class TextTest : public ::testing::Test {
protected:
    ScratchDir dir;
    qvtest::TempDirEnv temp{dir.path()};
    qvtest::ConsoleCapture capture;
    std::string& console = capture.text;
};

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

}  // namespace

// ---- reading the text ----------------------------------------------------------

TEST_F(TextTest, TxtReadTakesFilesByExtensionAndInlineTextOtherwise) {
    textClass t;
    writeFile(dir.file("s.TXT"), "first line\r\n\nsecond\tcomment\n");
    t.txtRead(dir.file("s.TXT"));
    EXPECT_EQ(t.m_txtVs, (std::vector<std::string>{"first line", "second\tcomment"}));

    t.txtRead("hello_world");
    EXPECT_EQ(t.m_txtVs, (std::vector<std::string>{"hello", "world"}));

    // A value that yields no sentence at all stops the run.
    EXPECT_TRUE(contains(fatalMessage([&] { t.txtRead(""); }), "Error: m_txtVs.size()=0 when reading \"\"."));
}

// ---- normalisation -------------------------------------------------------------

TEST_F(TextTest, NormalizationAppliesRulesInFileOrder) {
    writeFile(dir.file("map.tnm"),
              "% comment line\n"
              ",##g\n"
              ".##$\n"
              " ##^\n"
              "colour#color#g#extra field\n"
              "x#y#?\n");
    textClass t;
    t.tnmRead(dir.file("map.tnm"));
    ASSERT_EQ(t.m_spVs.size(), 5u);
    EXPECT_EQ(t.m_spVs[3].replacement, "color");

    t.m_txtVs = {"  Yes, the colour...\tnot this, part", "...", "x.x"};
    t.textNormalize("english");
    // Only the text before the tab is used; the unknown kind does nothing;
    // "$" strips trailing bytes only, "^" leading ones only.
    EXPECT_EQ(t.m_txtVsNormalized, (std::vector<std::string>{"yes the color", "", "x.x"}));
}

TEST_F(TextTest, EnglishIsLowerCasedBeforeTheRules) {
    textClass t;
    t.m_spVs = {{"Dr", "doctor", "g"}, {"dr", "doctor", "g"}};
    std::string s = "Dr Who";
    t.normalizeString(s, "english");
    EXPECT_EQ(s, "doctor who");  // the capital pattern can no longer match

    s = "Dr Who";
    t.normalizeString(s, "chinese");
    EXPECT_EQ(s, "doctor Who");
}

TEST_F(TextTest, MappingFileErrors) {
    textClass t;
    t.m_spVs = {{"a", "b", "g"}};
    t.tnmRead("");
    EXPECT_TRUE(t.m_spVs.empty());  // no file: no rules

    writeFile(dir.file("short.tnm"), "a#b\n");
    EXPECT_TRUE(contains(fatalMessage([&] { t.tnmRead(dir.file("short.tnm")); }), "Error: Parsing error in"));

    // An empty pattern would strip or replace nothing meaningful.
    writeFile(dir.file("empty.tnm"), ",##g\n#x#g\n");
    const std::string msg = fatalMessage([&] { t.tnmRead(dir.file("empty.tnm")); });
    EXPECT_TRUE(contains(msg, "Empty pattern in the rule \"#x#g\"")) << msg;
    EXPECT_TRUE(contains(msg, "of file text)")) << msg;
}

TEST_F(TextTest, SplitTextUnitsByLanguage) {
    std::vector<std::string> u = {"keep"};
    textClass::splitTextUnits(kShang + kMa + "z", "chinese", u);  // odd last byte dropped
    EXPECT_EQ(u, (std::vector<std::string>{"keep", kShang, kMa}));

    u.clear();
    textClass::splitTextUnits("z", "chinese", u);
    EXPECT_TRUE(u.empty());

    textClass::splitTextUnits("ab", "japanese", u);
    EXPECT_EQ(u, (std::vector<std::string>{"X", "X"}));

    u.clear();
    textClass::splitTextUnits("a  b", "english", u);
    EXPECT_EQ(u, (std::vector<std::string>{"a", "", "b"}));

    textClass::splitTextUnits("a b", "klingon", u);
    EXPECT_EQ(u.size(), 3u);
}

// ---- syllable listing ----------------------------------------------------------

TEST_F(TextTest, ChineseListingOrderAndTones) {
    textClass t;
    t.m_txtVsNormalized = {kShang + kHao, kMa};
    t.text2sylChinese(chineseWpa());
    // Readings of a character in sorted order; the first character varies
    // fastest; "hao" is listed once, with the tone of its first listing.
    EXPECT_EQ(t.m_sylVs, (std::vector<std::string>{"sang-hao\t0", "shang-hao\t0", "sang-hau\t0", "shang-hau\t0",
                                                   "ma\t1"}));
    EXPECT_EQ(t.m_toneVs, (std::vector<std::string>{"3-3", "4-3", "3-4", "4-4", "5"}));
}

TEST_F(TextTest, ChineseCharacterWithoutEntryIsSkipped) {
    textClass t;
    t.m_txtVsNormalized = {kNone + kMa + kNone};
    t.text2sylChinese(chineseWpa());
    EXPECT_EQ(t.m_sylVs, (std::vector<std::string>{"ma\t0"}));
    EXPECT_EQ(console, "Warning: Found no syllable for \"" + kNone + "\"!\n" + "Warning: Found no syllable for \"" +
                             kNone + "\"!\n");
}

TEST_F(TextTest, SentencesWithoutUnitsOrTooManyReadingsAreFatal) {
    textClass t;
    t.m_txtVsNormalized = {kMa, kNone};
    std::string msg = fatalMessage([&] { t.text2sylChinese(chineseWpa()); });
    EXPECT_TRUE(contains(msg, "sentence \"" + kNone + "\"")) << msg;

    t.m_txtVsNormalized = {"z"};
    EXPECT_TRUE(contains(fatalMessage([&] { t.text2sylChinese(chineseWpa()); }), "sentence \"z\""));

    // 2^15 readings is past the limit; 2^14 is not.
    std::string longText, shorter;
    for (int i = 0; i < 15; ++i) longText += kShang;
    for (int i = 0; i < 14; ++i) shorter += kShang;
    t.m_txtVsNormalized = {longText};
    msg = fatalMessage([&] { t.text2sylChinese(chineseWpa()); });
    EXPECT_TRUE(contains(msg, "more than 20000 readings")) << msg;
    EXPECT_TRUE(contains(msg, "sylFile")) << msg;

    t.m_txtVsNormalized = {shorter};
    t.text2sylChinese(chineseWpa());
    EXPECT_EQ(t.m_sylVs.size(), 16384u);

    // Two such sentences fit the cap on all readings together, three do not.
    t.m_txtVsNormalized = {shorter, shorter};
    t.text2sylChinese(chineseWpa());
    EXPECT_EQ(t.m_sylVs.size(), 32768u);
    t.m_txtVsNormalized = {shorter, shorter, shorter};
    msg = fatalMessage([&] { t.text2sylChinese(chineseWpa()); });
    EXPECT_TRUE(contains(msg, "The 3 sentences have more than 40000 readings together")) << msg;
}

TEST_F(TextTest, InconsistentWordTableEntriesAreFatal) {
    textClass t;
    t.m_txtVsNormalized = {kMa};
    std::vector<wpaEntry> wpa = {{kMa, {"ma", "mo"}, {"5"}}};
    EXPECT_TRUE(contains(fatalMessage([&] { t.text2sylChinese(wpa); }), "2 pronunciations but 1 tones"));
    wpa = {{kMa, {}, {}}};
    EXPECT_TRUE(contains(fatalMessage([&] { t.text2sylChinese(wpa); }), "lists no pronunciation"));
}

TEST_F(TextTest, EnglishListing) {
    const std::vector<wpaEntry> wpa = {{"a", {"ah", "ey"}, {}}, {"cat", {"k_ae_t"}, {}}};
    textClass t;
    t.m_toneVs = {"kept"};
    t.m_txtVsNormalized = {"a cat", "cat"};
    t.text2sylEnglish(wpa);
    EXPECT_EQ(t.m_sylVs, (std::vector<std::string>{"ah-k_ae_t\t0", "ey-k_ae_t\t0", "k_ae_t\t1"}));
    EXPECT_EQ(t.m_toneVs.size(), 1u);

    t.m_txtVsNormalized = {"a dog"};
    EXPECT_TRUE(contains(fatalMessage([&] { t.text2sylEnglish(wpa); }),
                         "Error: Found no pronunciation entry for \"dog\". Please add the pronunciation to "
                         "wpaAddendaFile."));
    EXPECT_TRUE(contains(fatalMessage([&] { t.text2sylEnglish({}); }), "Error: wpa.size()==0 at line"));
}

TEST_F(TextTest, AddBetweenSyllables) {
    textClass t;
    t.m_sylVs = {"a-b-c\t0", "d\t1"};
    t.addBetweenSyllables("-sp-");
    EXPECT_EQ(t.m_sylVs, (std::vector<std::string>{"a-sp-b-sp-c\t0", "d\t1"}));
    EXPECT_EQ(console, "\tAdding -sp- between syllables...\n");
}

// ---- matching ------------------------------------------------------------------

namespace {

dictClass matchDict() {
    dictClass d;
    for (const char* n : {"a", "b", "c", "d", "sil", "sp"}) d.m_pronDict.push_back({n, {0}});
    return d;  // indices: a 0, b 1, c 2, d 3, sil 4, sp 5
}

recogParam assessParam() {
    recogParam p;
    setParamText(p.function, "assess");
    p.netType = 0;
    p.usePaddedSoftSil = 0;
    return p;
}

}  // namespace

TEST_F(TextTest, SearchSylVsModes) {
    textClass t;
    t.m_txtVs = {"s0", "s1", "s2"};
    t.m_sylVs = {"a-b\t0", "a-b-c\t1", "x-a-b\t2"};
    std::vector<int32_t> ti = {9}, ei;
    t.searchSylVs("-a-b-", 0, ti, ei);
    EXPECT_EQ(ti, (std::vector<int32_t>{9, 0}));  // appends
    ti.clear();
    ei.clear();
    t.searchSylVs("-a-b-", 1, ti, ei);
    EXPECT_EQ(ei, (std::vector<int32_t>{0, 1}));
    ti.clear();
    ei.clear();
    t.searchSylVs("-a-b-", 2, ti, ei);
    EXPECT_EQ(ti, (std::vector<int32_t>{0, 1, 2}));

    EXPECT_EQ(fatalMessage([&] { t.searchSylVs("-a-", 7, ti, ei); }), "Unknown mode in searchSylVs()!");

    t.m_sylVs = {"a-b"};
    EXPECT_TRUE(contains(fatalMessage([&] { t.searchSylVs("-a-", 0, ti, ei); }), "\"a-b\" has no tab"));
    t.m_sylVs = {"a-b\t3"};
    EXPECT_TRUE(contains(fatalMessage([&] { t.searchSylVs("-a-", 0, ti, ei); }), "out of the range of [0, 2]"));
}

TEST_F(TextTest, Pinyin2textExactBeforePrefixAndContained) {
    const dictClass d = matchDict();
    recogParam p = assessParam();
    textClass t;
    t.m_txtVs = {"s0", "s1", "s2"};
    t.m_sylVs = {"a-b-c\t1", "a-b\t0", "c-a-b-d\t2", "a-b\t0"};
    std::vector<int32_t> ti = {42}, ei = {42};

    // sil at both ends is dropped; mode 1 takes the exact matches only.
    EXPECT_EQ(t.pinyin2text({4, 0, 1, 4}, {1, 1, 1, 1}, 1, d, p, ti, ei), "a-b");
    EXPECT_EQ(ti, (std::vector<int32_t>{0}));
    EXPECT_EQ(ei, (std::vector<int32_t>{1, 3}));

    // No exact match: falls back to prefixes.
    EXPECT_EQ(t.pinyin2text({0}, {1}, 1, d, p, ti, ei), "a");
    EXPECT_EQ(ti, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(ei, (std::vector<int32_t>{0, 1, 3}));

    // Mode 2: part of several strings; indices sorted and unique.
    EXPECT_EQ(t.pinyin2text({0, 1}, {1, 1}, 2, d, p, ti, ei), "a-b");
    EXPECT_EQ(ti, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(ei, (std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(t.m_keywordBegin, -1);
    EXPECT_EQ(t.m_keywordLen, -1);
}

TEST_F(TextTest, Pinyin2textSoftSilencesOnlyWhenAssessing) {
    const dictClass d = matchDict();
    recogParam p = assessParam();
    p.usePaddedSoftSil = 1;
    textClass t;
    t.m_txtVs = {"s0"};
    t.m_sylVs = {"a-b-c\t0"};
    std::vector<int32_t> ti, ei;
    EXPECT_EQ(t.pinyin2text({0, 4, 1, 2}, {1, 1, 1, 1}, 1, d, p, ti, ei), "a-b-c");

    setParamText(p.function, "recog");
    EXPECT_TRUE(contains(fatalMessage([&] { t.pinyin2text({0, 4, 1, 2}, {1, 1, 1, 1}, 1, d, p, ti, ei); }),
                         "Cannot find sylPath within m_sylVs"));
    EXPECT_TRUE(contains(console, "\nsylPath=-a-sil-b-c-\nrecogParam.comparisonMode=1\nm_sylVs[0] = a-b-c\t0\n"))
        << console;
}

TEST_F(TextTest, Pinyin2textKeywordSpotting) {
    const dictClass d = matchDict();
    recogParam p = assessParam();
    textClass t;
    t.m_txtVs = {"s0", "s1", "s2"};
    t.m_sylVs = {"d\t0", "b\t1", "c\t2"};
    std::vector<int32_t> ti, ei;
    // Records with a path flag other than 1 do not count in keyword mode.
    EXPECT_EQ(t.pinyin2text({4, 0, 1, 3, 2}, {1, 1, 1, 0, 1}, 3, d, p, ti, ei), "a-b-c");
    EXPECT_EQ(ti, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(ei, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(t.m_keywordBegin, 2);  // first keyword found: b
    EXPECT_EQ(t.m_keywordLen, 2);

    t.m_sylVs = {"b-c\t0"};
    t.pinyin2text({0, 1, 2}, {1, 1, 1}, 3, d, p, ti, ei);
    EXPECT_EQ(t.m_keywordBegin, 2);
    EXPECT_EQ(t.m_keywordLen, 3);
}

TEST_F(TextTest, Pinyin2textSausageAndErrors) {
    const dictClass d = matchDict();
    recogParam p = assessParam();
    textClass t;
    t.m_txtVs = {"s0"};
    t.m_sylVs = {"a\t0"};
    std::vector<int32_t> ti, ei;

    // Sausage network: no matching, sentence 0.
    p.netType = 1;
    EXPECT_EQ(t.pinyin2text({4, 3, 1, 4}, {1, 1, 1, 1}, 0, d, p, ti, ei), "d-b");
    EXPECT_EQ(ti, (std::vector<int32_t>{0}));
    EXPECT_EQ(t.pinyin2text({4}, {1}, 1, d, p, ti, ei), "");  // silence only

    p.netType = 0;
    EXPECT_EQ(fatalMessage([&] { t.pinyin2text({0}, {1}, 0, d, p, ti, ei); }), "Unknown comparisonMode = 0");
    EXPECT_EQ(fatalMessage([&] { t.pinyin2text({}, {}, 1, d, p, ti, ei); }), "The best syllable path has zero length!");
    EXPECT_TRUE(contains(fatalMessage([&] { t.pinyin2text({6}, {1}, 1, d, p, ti, ei); }), "sylDictIdx (6)"));
}

namespace {
struct FakeCandidate {
    int32_t sylNum;
    int32_t sylDictIdx[4];
    int32_t sylTag[4];
};
}  // namespace

TEST_F(TextTest, Pinyin2textFromCandidateRecordChecksCount) {
    const dictClass d = matchDict();
    recogParam p = assessParam();
    textClass t;
    t.m_txtVs = {"s0"};
    t.m_sylVs = {"a-b\t0"};
    std::vector<int32_t> ti, ei;
    FakeCandidate c{2, {0, 1, 9, 9}, {1, 1, 1, 1}};
    EXPECT_EQ(t.pinyin2text(c, 1, d, p, ti, ei), "a-b");
    c.sylNum = 5;
    EXPECT_TRUE(contains(fatalMessage([&] { t.pinyin2text(c, 1, d, p, ti, ei); }), "sylNum (5)"));
}

// ---- pinyin spellings ----------------------------------------------------------

TEST_F(TextTest, PinyinMapAndConvert) {
    const std::vector<std::vector<std::string>> table = {
        {"1", "zhi", "jr", "zhi"},
        {"2", "hao", "hau", "hao"},
        {"3", "hao", "other", "other"},  // later rows with the same spelling are never reached
        {"4"},
    };
    EXPECT_EQ(textClass::pinyinConvert("zhi-sp-hao-xyz", 1, 2, table), "jr-sp-hau-xyz");
    EXPECT_EQ(textClass::pinyinMap("jr", 2, 3, table), "zhi");
    // Pauses and fillers are expected to be absent from the table; only other
    // syllables are reported.
    EXPECT_EQ(console, "Warning: Cannot find xyz in the pinyinTable!\n");
    console.clear();
    EXPECT_EQ(textClass::pinyinMap("sil", 1, 3, table), "sil");
    EXPECT_EQ(console, "");

    // A matching row must hold the target column.
    const std::vector<std::vector<std::string>> shortRow = {{"1", "zhi"}};
    EXPECT_TRUE(contains(fatalMessage([&] { textClass::pinyinMap("zhi", 1, 3, shortRow); }),
                         "Row 1 of the pinyin table has no column 3"));
}

// ---- diagnostic files ----------------------------------------------------------

TEST_F(TextTest, WritesNormalizedTextAndSyllables) {
    textClass t;
    t.m_txtVsNormalized = {"one", "two"};
    t.m_sylVs = {"a-b\t0"};
    EXPECT_EQ(t.writeNt(dir.path()), dir.file("output.nt"));
    EXPECT_EQ(t.writeSyl(dir.path()), dir.file("output.syl"));
    EXPECT_EQ(qvtest::readFile(dir.file("output.nt")), "one\ntwo\n");
    EXPECT_EQ(qvtest::readFile(dir.file("output.syl")), "a-b\t0\n");

    // Read back as a syllable file.
    t.sylRead(dir.file("output.syl"));
    EXPECT_EQ(t.m_sylVs, (std::vector<std::string>{"a-b\t0"}));
}
