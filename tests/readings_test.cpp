// The reading step on the shipped data set: words settle polyphones, the tone
// changes of connected speech, Simplified input, the two standards, the word
// file reader's checks and the tool's `readings` command.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>

#include "platform/codePage.h"
#include "readings/readingStep.h"
#include "support/testutil.h"

using qv::readingStandard;
using qv::readingStep;

namespace {

const std::string kData = QV_SOURCE_DIR "/telvoDataChinese/";

const readingStep& step(readingStandard s = readingStandard::taiwan) {
    static auto tw = readingStep::shared(kData + "chinese.wpa", kData + "pinyinTable.txt", readingStandard::taiwan);
    static auto cn = readingStep::shared(kData + "chinese.wpa", kData + "pinyinTable.txt", readingStandard::mainland);
    return s == readingStandard::taiwan ? *tw : *cn;
}

std::string spoken(const std::string& utf8, readingStandard s = readingStandard::taiwan) {
    std::string out;
    for (const std::string& syl : step(s).read(utf8).syllables) out += (out.empty() ? "" : " ") + syl;
    return out;
}

std::string readingErrorOf(const std::string& utf8) {
    try {
        step().read(utf8);
    } catch (const qv::readingError& e) {
        return e.what();
    }
    return "<read>";
}

}  // namespace

TEST(Readings, WordsSettleThePolyphones) {
    // The readings the audio used to choose wrongly (中 zhong4, 會 hui3, 相 xiang4).
    EXPECT_EQ(spoken("中介公司"), "zhong1 jie4 gong1 si1");
    EXPECT_EQ(spoken("我們的協會"), "wo3 men5 de5 xie2 hui4");
    EXPECT_EQ(spoken("相比之下"), "xiang1 bi3 zhi1 xia4");
    EXPECT_EQ(spoken("長大"), "zhang3 da4");
    // Longest match: 中國人 is one word, not 中 + 國人.
    const qv::sentenceReading r = step().read("中國人民");
    EXPECT_EQ(r.wordOf[0], r.wordOf[2]);
    EXPECT_EQ(r.syllables.size(), 4u);
    // Punctuation ends a phrase and carries no syllable.
    EXPECT_EQ(spoken("好，好。"), "hao3 hao3");
}

TEST(Readings, ToneChangesOfConnectedSpeech) {
    // Third tone: inside a word, across a one-syllable word, not after a longer word.
    EXPECT_EQ(spoken("你好"), "ni2 hao3");
    EXPECT_EQ(spoken("展覽館"), "zhan2 lan2 guan3");
    EXPECT_EQ(spoken("我很好"), "wo2 hen2 hao3");
    EXPECT_EQ(spoken("老鼠很小"), "lao2 shu3 hen2 xiao3");
    EXPECT_EQ(spoken("好，我"), "hao3 wo3");
    // 一 by the next tone (a neutral one by its character's own tone), not in numbers and ordinals.
    EXPECT_EQ(spoken("一直"), "yi4 zhi2");
    EXPECT_EQ(spoken("一線"), "yi2 xian4");
    EXPECT_EQ(spoken("一起"), "yi4 qi3");
    EXPECT_EQ(spoken("一個"), "yi2 ge5");
    EXPECT_EQ(spoken("第一"), "di4 yi1");
    EXPECT_EQ(spoken("十一月"), "shi2 yi1 yue4");
    EXPECT_EQ(spoken("統一"), "tong3 yi1");
    // 不 before a fourth tone only.
    EXPECT_EQ(spoken("不是"), "bu2 shi4");
    EXPECT_EQ(spoken("不少"), "bu4 shao3");
    EXPECT_EQ(spoken("我不"), "wo3 bu4");
}

TEST(Readings, SimplifiedTextIsConvertedFirst) {
    const qv::sentenceReading r = step().read("我们学习汉语");
    EXPECT_TRUE(r.converted);
    EXPECT_EQ(qv::big5ToUtf8(r.big5), "我們學習漢語");
    EXPECT_EQ(spoken("我们学习汉语"), spoken("我們學習漢語"));
    // The whole sentence is converted, so a character takes the form its word needs.
    EXPECT_EQ(qv::big5ToUtf8(step().read("干净的干部").big5), "乾淨的幹部");
    // Traditional text stays as written.
    EXPECT_FALSE(step().read("台灣").converted);
    EXPECT_EQ(qv::big5ToUtf8(step().read("台灣").big5), "台灣");
    // What cannot be read is named.
    EXPECT_NE(readingErrorOf("你好\xF0\x9F\x98\x80").find("\"\xF0\x9F\x98\x80\" (U+1F600) has no Big5 form"),
              std::string::npos);
    EXPECT_NE(readingErrorOf("你好abc").find("\"a\", which is not a Chinese character"), std::string::npos);
    EXPECT_NE(readingErrorOf("，。").find("empty"), std::string::npos);
}

TEST(Readings, TwoStandards) {
    EXPECT_EQ(spoken("垃圾"), "le4 se4");
    EXPECT_EQ(spoken("垃圾", readingStandard::mainland), "la1 ji1");
    EXPECT_EQ(spoken("星期", readingStandard::mainland), "xing1 qi1");
    EXPECT_EQ(spoken("星期"), "xing1 qi2");
    // Single characters: mainland's reading where CC-CEDICT has no other.
    EXPECT_EQ(spoken("期", readingStandard::mainland), "qi1");
    // The same rules apply to both.
    EXPECT_EQ(spoken("一直不是", readingStandard::mainland), "yi4 zhi2 bu2 shi4");
}

TEST(Readings, WordFileIsChecked) {
    qvtest::ScratchDir dir;
    qvtest::TempDirEnv temp(dir.path());
    qvtest::writeFile(dir.file("py.txt"), "1\tni3\tx\tni3\n2\thao3\tx\thao3\n3\tni2\tx\tni2\n");
    qvtest::writeFile(dir.file("w.wpa"), "\xA7\x41\t1\tni3\t3\tx\n\xA6\x6E\t2\thao3\t3\tx\n");
    const auto load = [&](const std::string& words) {
        qvtest::writeFile(dir.file("chinese.words"), words);
        return qvtest::fatalMessage([&] { readingStep(dir.file("w.wpa"), dir.file("py.txt"), readingStandard::taiwan); },
                                    "");
    };
    EXPECT_EQ(load("% ok\n\xA7\x41\xA6\x6E\tni3 hao3\n"), "");
    std::string m = load("% c\n\xA7\x41\xA6\x6E\tni3 hao3\n\xA7\x41\xA6\x6E\tni3\n");
    EXPECT_NE(m.find("at its line 3: 1 syllable(s) for 2 character(s)"), std::string::npos) << m;
    EXPECT_NE(m.find("chinese.words"), std::string::npos) << m;
    m = load("\xA7\x41\tnii3\n");
    EXPECT_NE(m.find("at its line 1: \"nii3\" is no syllable"), std::string::npos) << m;
    m = load("\xA7\x41 ni3\n");
    EXPECT_NE(m.find("at its line 1: a Big5 word, a tab"), std::string::npos) << m;
    m = load("\xA7\x41\xA7\x42\tni3 ni3\n");
    EXPECT_NE(m.find("character 2 has no entry"), std::string::npos) << m;
}

TEST(Readings, ToolPrintsOneLinePerSentence) {
    qvtest::ScratchDir dir;
    qvtest::writeFile(dir.file("in.txt"), "\xEF\xBB\xBF垃圾\nabc\n一直\n");
    const auto run = [&](const std::string& args) {
        const std::string cmd = std::string(QV_BINARY_DIR "/quorvane readings --data " QV_SOURCE_DIR
                                            "/telvoDataChinese ") +
                                args + " <" + dir.file("in.txt") + " >" + dir.file("out.txt") + " 2>" +
                                dir.file("err.txt");
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run(""), 1);
    EXPECT_EQ(qvtest::readFile(dir.file("out.txt")), "le4 se4\n\nyi4 zhi2\n");
    EXPECT_NE(qvtest::readFile(dir.file("err.txt")).find("line 2: contains \"a\""), std::string::npos);
    EXPECT_EQ(run("--standard mainland --with-text -t 垃圾"), 0);
    EXPECT_EQ(qvtest::readFile(dir.file("out.txt")), "垃圾\tla1 ji1\n");
    EXPECT_EQ(run("--standard martian -t 垃圾"), 2);  // a usage error
}

TEST(Readings, AssessAndRecogExpectTheStepsSyllables) {
    const std::string data = QV_SOURCE_DIR "/telvoDataChinese";
    if (!qvtest::exists(data + "/models/chinese.macb")) GTEST_SKIP() << "the shipped models are not built";
    qvtest::ScratchDir dir;
    const auto run = [&](const std::string& args) {
        const std::string cmd = std::string(QV_BINARY_DIR "/quorvane ") + args + " --data " + data + " >" +
                                dir.file("out.txt") + " 2>" + dir.file("err.txt");
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string wav = data + "/samples/yilupingan.wav";
    // Simplified text, Taiwan readings with 一 changed before the fourth tone.
    ASSERT_EQ(run("assess " + wav + " --text 一路平安 --json"), 0) << qvtest::readFile(dir.file("err.txt"));
    std::string out = qvtest::readFile(dir.file("out.txt"));
    EXPECT_NE(out.find("\"hanyu\": \"yi2-sp-lu4-sp-ping2-sp-an1\""), std::string::npos) << out;
    // Candidates read the same in both standards here; the step's syllables decide the match.
    ASSERT_EQ(run("recog " + wav + " --text 学习 --text 一路平安 --standard mainland --json"), 0)
        << qvtest::readFile(dir.file("err.txt"));
    out = qvtest::readFile(dir.file("out.txt"));
    EXPECT_NE(out.find("\"index\": 2"), std::string::npos) << out;
    // --pinyin wins over the step.
    ASSERT_EQ(run("assess " + wav + " --text 一路平安 --pinyin 'yi4 lu4 ping2 an1' --json"), 0);
    EXPECT_NE(qvtest::readFile(dir.file("out.txt")).find("\"pinyin\": \"yi4\""), std::string::npos);
}
