#include "engine/lexicon/dict.h"

#include <gtest/gtest.h>

#include "engine/lexicon/text.h"
#include "engine/models/macro.h"
#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ConsoleCapture;
using qvtest::fatalMessage;
using qvtest::readFile;
using qvtest::ScratchDir;
using qvtest::writeFile;

namespace {

// A model set that holds only names: enough for lookups and output.dic.
macroClass makeModels(const std::vector<std::string>& names) {
    macroClass m;
    m.allocModels(static_cast<int32_t>(names.size()));
    for (size_t i = 0; i < names.size(); ++i) macroClass::setModelName(m.model[i], names[i]);
    m.sortModels();
    return m;
}

std::vector<std::string> names(const std::vector<wpaEntry>& wpa) {
    std::vector<std::string> v;
    for (const auto& e : wpa) v.push_back(e.word);
    return v;
}

}  // namespace

// ---- pronunciation dictionary ----------------------------------------------

TEST(PronDictRead, ParsesNamesAndModelListsInFileOrder) {
    ScratchDir dir;
    macroClass models = makeModels({"a1", "a2", "b1", "sil", "x-y+sil"});
    const std::string pam = dir.file("d.pam");
    // Tab or spaces after the name, trailing blanks and CR dropped from the
    // model list, comment lines skipped, missing sp resolves to -1, a missing
    // context-dependent model falls back through the set.
    writeFile(pam,
              "% comment\n"
              "b\tb1 a2\r\n"
              "a   a1 a2  \t\n"
              "sp sp\n"
              "z x-y+q\n");
    dictClass d;
    d.pronDictRead(pam, models);
    ASSERT_EQ(d.m_pronDict.size(), 4u);
    EXPECT_EQ(d.m_pronDict[0].name, "b");
    EXPECT_EQ(d.m_pronDict[0].modelIndex, (std::vector<int32_t>{2, 1}));
    EXPECT_EQ(d.m_pronDict[1].name, "a");
    EXPECT_EQ(d.m_pronDict[1].modelIndex, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(d.m_pronDict[2].modelIndex, (std::vector<int32_t>{-1}));
    EXPECT_EQ(d.m_pronDict[3].modelIndex, (std::vector<int32_t>{4}));

    // A second read appends.
    d.pronDictRead(pam, models);
    EXPECT_EQ(d.m_pronDict.size(), 8u);
}

TEST(PronDictRead, RejectsBadLinesNamingFileAndLine) {
    ScratchDir dir;
    macroClass models = makeModels({"a1", "a2"});
    dictClass d;

    writeFile(dir.file("empty.pam"), "a a1\n\nb a2\n");
    std::string msg = fatalMessage([&] { d.pronDictRead(dir.file("empty.pam"), models); });
    EXPECT_NE(msg.find("line 2 in " + dir.file("empty.pam")), std::string::npos) << msg;

    writeFile(dir.file("blank.pam"), "a a1\n \r\n");
    msg = fatalMessage([&] { d.pronDictRead(dir.file("blank.pam"), models); });
    EXPECT_NE(msg.find("line 2 in"), std::string::npos) << msg;

    writeFile(dir.file("nolist.pam"), "% c\na a1\nb \t\r\n");
    msg = fatalMessage([&] { d.pronDictRead(dir.file("nolist.pam"), models); });
    EXPECT_NE(msg.find("\"b\" has no model list at line 3 of " + dir.file("nolist.pam")), std::string::npos) << msg;

    // Two spaces inside the model list make an empty model name, which the
    // model set cannot resolve.
    writeFile(dir.file("gap.pam"), "a a1  a2\n");
    msg = fatalMessage([&] { d.pronDictRead(dir.file("gap.pam"), models); });
    EXPECT_NE(msg.find("findSubstituteModel"), std::string::npos) << msg;

    msg = fatalMessage([&] { d.pronDictRead(dir.file("none.pam"), models); });
    EXPECT_EQ(msg.rfind("Unable to open " + dir.file("none.pam") + " (line ", 0), 0u) << msg;

    macroClass tiny = makeModels({"a1"});
    msg = fatalMessage([&] { d.pronDictRead(dir.file("gap.pam"), tiny); });
    EXPECT_NE(msg.find("Macro is too small"), std::string::npos) << msg;
}

TEST(PronDictSearch, BisectsWithinClampedBounds) {
    dictClass d;
    EXPECT_EQ(d.pronDictSearch("a", 0, -1), -1);  // empty dictionary
    for (const char* n : {"a", "b", "c", "d", "e"}) d.m_pronDict.push_back({n, {0}});
    for (int i = 0; i < 5; ++i) EXPECT_EQ(d.pronDictSearch(d.m_pronDict[i].name, 0, 4), i);
    EXPECT_EQ(d.pronDictSearch("bb", 0, 4), -1);
    EXPECT_EQ(d.pronDictSearch("e", 0, 100), 4);  // bounds beyond the list are clamped
    EXPECT_EQ(d.pronDictSearch("a", -3, 4), 0);
    EXPECT_EQ(d.pronDictSearch("a", 1, 4), -1);  // outside the searched range
}

// ---- pinyin table and word tables ------------------------------------------

class ChineseWpa : public ::testing::Test {
protected:
    ScratchDir dir;
    dictClass d;
    void SetUp() override {
        std::string table;
        for (int r = 1; r <= 8; ++r)
            table += "c0\tcgu" + std::to_string(r) + "\tmpa" + std::to_string(r) + "\tpy" + std::to_string(r) + "\r\n";
        table += "\n";  // empty lines are dropped
        table += "c0\tshort\tx\t\n";  // row 9: three columns
        writeFile(dir.file("py.txt"), table);
        d.pinyinTableRead(dir.file("py.txt"));
    }
    std::string readWpa(const std::string& content) {
        writeFile(dir.file("w.wpa"), content);
        return fatalMessage([&] { d.wpaRead(dir.file("w.wpa"), "chinese", d.m_wpa); });
    }
};

TEST_F(ChineseWpa, MapsRowNumbersToColumnThree) {
    ASSERT_EQ(d.m_pinyinTable.size(), 9u);
    EXPECT_EQ(d.m_pinyinTable[0][3], "py1");  // CR removed by the table reader
    EXPECT_EQ(d.m_pinyinTable[8].size(), 3u);  // trailing tab adds no column

    EXPECT_EQ(readWpa("% c\nAA\t3,7\t\t2,4\t\r\nBB\t1\tx\t5\ty\n"), "<no fatal error>");
    ASSERT_EQ(d.m_wpa.size(), 2u);
    EXPECT_EQ(d.m_wpa[0].word, "AA");
    EXPECT_EQ(d.m_wpa[0].paList, (std::vector<std::string>{"py3", "py7"}));
    EXPECT_EQ(d.m_wpa[0].toneList, (std::vector<std::string>{"2", "4"}));
    EXPECT_EQ(d.m_wpa[1].paList, (std::vector<std::string>{"py1"}));

    // Re-reading replaces the list; an empty path empties it.
    EXPECT_EQ(readWpa("CC\t2\t\t1\t-\n"), "<no fatal error>");
    EXPECT_EQ(names(d.m_wpa), (std::vector<std::string>{"CC"}));
    d.wpaRead("", "chinese", d.m_wpa);
    EXPECT_TRUE(d.m_wpa.empty());
}

TEST_F(ChineseWpa, RejectsInvalidRowsAndTones) {
    std::string msg = readWpa("AA\t1\t\t1\t-\nBB\t0\t\t1\t-\n");
    EXPECT_NE(msg.find("row 0 out of the range of [1, 9] at line 2 of " + dir.file("w.wpa")), std::string::npos) << msg;
    msg = readWpa("AA\t10\t\t1\t-\n");
    EXPECT_NE(msg.find("row 10 out of the range"), std::string::npos) << msg;
    msg = readWpa("AA\t99999999999999999999\t\t1\t-\n");
    EXPECT_NE(msg.find("out of the range"), std::string::npos) << msg;
    msg = readWpa("AA\tx\t\t1\t-\n");  // no digits convert to 0
    EXPECT_NE(msg.find("row 0 out of the range"), std::string::npos) << msg;
    msg = readWpa("% c\nAA\t9\t\t1\t-\n");
    EXPECT_NE(msg.find("row 9 has 3 columns (4 needed), used at line 2 of"), std::string::npos) << msg;
    msg = readWpa("AA\t1,2\t\t1\t-\n");
    EXPECT_NE(msg.find("1 tones for 2 pronunciations at line 1 of"), std::string::npos) << msg;
}

TEST_F(ChineseWpa, WrongFieldCountPrintsLineAndCount) {
    ConsoleCapture out;
    std::string msg = readWpa("AA\t1\t\t1\t-\n\n");  // an empty line has no field
    EXPECT_EQ(msg.rfind("Wrong format of " + dir.file("w.wpa") + " (line ", 0), 0u) << msg;
    EXPECT_NE(out.text.find("line = \ntoken1.size() = 0\n"), std::string::npos) << out.text;
}

TEST(EnglishWpa, ReadsPronunciationsAndKeepsCarriageReturn) {
    ScratchDir dir;
    dictClass d;
    writeFile(dir.file("e.wpa"), "cat\tk_ae_t#k_aa_t\r\n%x\ny\tw_ay\n");
    d.wpaRead(dir.file("e.wpa"), "english", d.m_wpa);
    ASSERT_EQ(d.m_wpa.size(), 2u);
    EXPECT_EQ(d.m_wpa[0].paList, (std::vector<std::string>{"k_ae_t", "k_aa_t\r"}));
    EXPECT_TRUE(d.m_wpa[0].toneList.empty());
    EXPECT_EQ(d.m_wpa[1].paList, (std::vector<std::string>{"w_ay"}));

    ConsoleCapture out;
    writeFile(dir.file("bad.wpa"), "cat\tk_ae_t\textra\n");
    std::string msg = fatalMessage([&] { d.wpaRead(dir.file("bad.wpa"), "english", d.m_wpaAddenda); });
    EXPECT_EQ(msg.rfind("Wrong format of " + dir.file("bad.wpa"), 0), 0u) << msg;
    EXPECT_EQ(out.text.rfind("line = cat\tk_ae_t\textra\ntoken1.size() = 3\n", 0), 0u) << out.text;

    msg = fatalMessage([&] { d.wpaRead(dir.file("missing.wpa"), "english", d.m_wpa); });
    EXPECT_EQ(msg.rfind("Unable to open " + dir.file("missing.wpa"), 0), 0u) << msg;

    // Other languages open the file and read nothing.
    d.wpaRead(dir.file("bad.wpa"), "japanese", d.m_wpa);
    EXPECT_TRUE(d.m_wpa.empty());
}

// ---- merge, sort, search -----------------------------------------------------

TEST(WpaLists, MergeSkipsKnownWordsAndSortOrdersByWord) {
    dictClass d;
    for (const char* w : {"b", "d", "f"}) d.m_wpa.push_back({w, {std::string(w) + "_x"}, {}});
    d.m_wpaAddenda.push_back({"d", {"other"}, {}});
    d.m_wpaAddenda.push_back({"a", {"a_x"}, {}});
    d.m_wpaAddenda.push_back({"g", {"g_x"}, {}});
    ConsoleCapture out;
    d.wpaMerge();
    EXPECT_NE(out.text.find("d is not added to the pronunciation dictionary since it's already there! (line "),
              std::string::npos)
        << out.text;
    EXPECT_TRUE(d.m_wpaAddenda.empty());
    EXPECT_EQ(names(d.m_wpa), (std::vector<std::string>{"b", "d", "f", "a", "g"}));
    EXPECT_EQ(d.m_wpa[1].paList[0], "d_x");  // the table's entry wins

    d.wpaSort();
    EXPECT_EQ(names(d.m_wpa), (std::vector<std::string>{"a", "b", "d", "f", "g"}));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(dictClass::wpaSearch(d.m_wpa[i].word, d.m_wpa), i);
    EXPECT_EQ(dictClass::wpaSearch("c", d.m_wpa), -1);
    EXPECT_EQ(dictClass::wpaSearch("", d.m_wpa), -1);
    EXPECT_EQ(dictClass::wpaSearch("a", {}), -1);

    // Byte-wise order: high bytes (double-byte text) sort after ASCII.
    d.m_wpa.push_back({"\xa4\x40", {}, {}});
    d.m_wpa.push_back({"\x41", {}, {}});
    d.wpaSort();
    EXPECT_EQ(d.m_wpa.front().word, "A");
    EXPECT_EQ(d.m_wpa.back().word, "\xa4\x40");
    EXPECT_EQ(dictClass::wpaSearch("\xa4\x40", d.m_wpa), 6);
}

TEST(WpaLists, EmptyAddendaMergeIsSilent) {
    ScratchDir dir;
    dictClass d;
    d.m_wpa.push_back({"a", {"a"}, {}});
    d.wpaRead("", "english", d.m_wpaAddenda);
    ConsoleCapture out;
    d.wpaMerge();
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(d.m_wpa.size(), 1u);
}

// ---- English dictionary from the text, and the diagnostic files -------------

TEST(EnglishDict, BuildsSortedEntriesWithRightContextModels) {
    macroClass models = makeModels({"ae+t", "k+ae", "sil", "t+sil", "w+ay"});
    dictClass d;
    d.m_wpa.push_back({"cat", {"k_ae_t"}, {}});
    d.m_wpa.push_back({"why", {"w_ay", "k_ae_t"}, {}});
    d.createPronDictFromText({"cat why\tcomment ignored", "cat"}, models);

    std::vector<std::string> got;
    for (const auto& e : d.m_pronDict) got.push_back(e.name);
    EXPECT_EQ(got, (std::vector<std::string>{"k_ae_t", "sil", "sp", "w_ay"}));
    EXPECT_EQ(d.m_pronDict[0].modelIndex, (std::vector<int32_t>{1, 0, 3}));
    EXPECT_EQ(d.m_pronDict[1].modelIndex, (std::vector<int32_t>{2}));
    EXPECT_EQ(d.m_pronDict[2].modelIndex, (std::vector<int32_t>{-1}));  // the set lacks sp
    EXPECT_EQ(d.m_pronDict[3].modelIndex[1], 0);  // ay+sil missing: falls back to model 0
    EXPECT_EQ(d.pronDictSearch("w_ay", 0, 3), 3);

    std::string msg = fatalMessage([&] { d.createPronDictFromText({"cat dog"}, models); });
    EXPECT_EQ(msg.rfind("Error: Found no pronunciation entry for \"dog\". Please add the pronunciation to "
                        "wpaAddendaFile. (line ",
                        0),
              0u)
        << msg;
    EXPECT_NE(msg.find(" of file text)"), std::string::npos) << msg;

    d.m_wpa.push_back({"zz", {"k_ae_t", ""}, {}});
    msg = fatalMessage([&] { d.createPronDictFromText({"zz"}, models); });
    EXPECT_NE(msg.find("Empty pronunciation"), std::string::npos) << msg;
}

TEST(DictOutput, WritesDicAndWpaFiles) {
    ScratchDir dir;
    macroClass models = makeModels({"a1", "b1"});
    dictClass d;
    d.m_pronDict.push_back({"a", {0, -1, 1}});
    d.m_pronDict.push_back({"b", {}});
    d.writePronDict(dir.file("output.dic"), models);
    EXPECT_EQ(readFile(dir.file("output.dic")), "a\ta1 ??? b1\nb\t\n");

    d.m_wpa.push_back({"cat", {"k_ae_t", "k_aa_t"}, {}});
    d.m_wpa.push_back({"dog", {"d_ao_g"}, {}});
    d.m_wpa.push_back({"eel", {"iy_l"}, {}});
    textClass text;
    text.m_txtVsNormalized = {"eel cat", "cat fox"};
    ConsoleCapture out;
    const std::string wpaPath = dir.file("output.wpa");
    d.writeWpa(wpaPath, text, "english");
    EXPECT_EQ(readFile(wpaPath), "cat\tk_ae_t#k_aa_t\neel\tiy_l\n");
    EXPECT_NE(out.text.find("Warning: Found no PA for \"fox\" in " + wpaPath + "! (line "), std::string::npos)
        << out.text;

    // Chinese units are two-byte characters; column-3 spellings are listed.
    dictClass c;
    c.m_wpa.push_back({"\xa4\x40", {"yi1", "yi2"}, {"1", "2"}});
    c.m_wpa.push_back({"\xa4\x48", {"ren2"}, {"2"}});
    text.m_txtVsNormalized = {"\xa4\x48\xa4\x40\xa4\x48"};
    c.writeWpa(wpaPath, text, "chinese");
    EXPECT_EQ(readFile(wpaPath), "\xa4\x40\tyi1#yi2\n\xa4\x48\tren2\n");
}
