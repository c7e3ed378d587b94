#include "engine/utility.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/testutil.h"

using namespace qv;
using qvtest::ConsoleCapture;
using qvtest::ScratchDir;
using qvtest::TempDirEnv;
using qvtest::writeFile;

TEST(FatalError, WritesLogInTempDirAndThrowsMessage) {
    ScratchDir dir;
    ConsoleCapture cap;
    {
        TempDirEnv temp(dir.path());
        try {
            fatalError("boom (line 1 of utility)");
            FAIL() << "fatalError returned";
        } catch (const FatalError& e) {
            EXPECT_STREQ(e.what(), "boom (line 1 of utility)");
        }
    }

    int logs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        std::string name = entry.path().filename().string();
        ASSERT_EQ(name.rfind("error_", 0), 0u);
        ASSERT_EQ(name.size(), std::string("error_20110307_140509.log").size());
        EXPECT_EQ(qvtest::readFile(entry.path().string()), "boom (line 1 of utility)\n");
        EXPECT_NE(cap.text.find("\nSaved error log at " + entry.path().string() + "...\n"), std::string::npos);
        ++logs;
    }
    EXPECT_EQ(logs, 1);
}

TEST(FatalError, UnwritableLogDirectoryStillThrows) {
    ConsoleCapture cap;
    {
        TempDirEnv temp("/nonexistent/dir/for/sure");
        EXPECT_THROW(fatalError("still reported"), FatalError);
    }
    EXPECT_NE(cap.text.find("still reported"), std::string::npos);
}

TEST(Files, ReadLinesDropsCrBlankAndComments) {
    ScratchDir dir;
    writeFile(dir.file("a.txt"), "one\r\n\r\n%comment\n %kept\ntwo\nlast-no-newline");
    std::vector<std::string> lines;
    readLines(dir.file("a.txt"), lines, '%');
    EXPECT_EQ(lines, (std::vector<std::string>{"one", " %kept", "two", "last-no-newline"}));
    readLines(dir.file("a.txt"), lines);
    EXPECT_EQ(lines.size(), 5u);  // the comment line is kept without a comment character
}

TEST(Files, MissingFilesAreFatalWithTheirMessages) {
    std::vector<std::string> lines;
    try {
        readLines("/no/such/file.txt", lines);
        FAIL();
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Error: Cannot open file \"/no/such/file.txt\". (line ", 0), 0u);
        EXPECT_NE(std::string(e.what()).find(" of utility)"), std::string::npos);
    }
    try {
        openOrDie("/no/such/file.txt", "r");
        FAIL();
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot open file /no/such/file.txt (line ", 0), 0u);
    }
    EXPECT_FALSE(fileExists("/no/such/file.txt"));
}

TEST(Files, CountLinesSizeAndExtension) {
    ScratchDir dir;
    writeFile(dir.file("empty"), "");
    writeFile(dir.file("two.txt"), "a\nb\n");
    writeFile(dir.file("open.end"), "a\nb");
    writeFile(dir.file("long"), std::string(1500, 'x') + "\n");
    ConsoleCapture cap;
    EXPECT_EQ(countLines(dir.file("empty")), 0);
    EXPECT_EQ(countLines(dir.file("two.txt")), 2);
    EXPECT_EQ(countLines(dir.file("open.end")), 2);
    EXPECT_EQ(countLines(dir.file("long")), 2);  // a line over 999 bytes counts twice
    EXPECT_NE(cap.text.find("Warning: MAX_STR_LEN too small"), std::string::npos);
    EXPECT_EQ(fileSize(dir.file("two.txt")), 4);
    EXPECT_EQ(fileExtension("a/b.c/d.wav"), "wav");
    EXPECT_EQ(fileExtension("noext"), "");
}

TEST(Files, WritersAndReadersRoundTrip) {
    ScratchDir dir;
    writeLines(dir.file("l"), {"x", "", "y"});
    EXPECT_EQ(qvtest::readFile(dir.file("l")), "x\n\ny\n");
    writeLines(dir.file("e"), {});
    EXPECT_EQ(qvtest::readFile(dir.file("e")), "");
    writeIntegers(dir.file("i"), {3, -5});
    EXPECT_EQ(qvtest::readFile(dir.file("i")), "3\n-5\n");
    writeValue(dir.file("v"), 0.25f);
    EXPECT_EQ(qvtest::readFile(dir.file("v")), "0.25\n");
    writeFile(dir.file("f"), "1.5 2\n-3e1 junk 4");
    std::vector<float> f{9};
    readFloats(dir.file("f"), f);
    EXPECT_EQ(f, (std::vector<float>{1.5f, 2.f, -30.f}));
    writeFile(dir.file("t"), "a\tb\t\tc\nd\n");
    std::vector<std::vector<std::string>> table;
    readTabTable(dir.file("t"), table);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0], (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(table[1], (std::vector<std::string>{"d"}));
}

TEST(Strings, SplitKeepsInnerEmptyPiecesButNoTrailingOne) {
    std::vector<std::string> out;
    splitString("a--b", '-', out);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "", "b"}));
    splitString("-a", '-', out);
    EXPECT_EQ(out, (std::vector<std::string>{"", "a"}));
    splitString("a-", '-', out);
    EXPECT_EQ(out, (std::vector<std::string>{"a"}));
    splitString("", '-', out);
    EXPECT_TRUE(out.empty());
    splitString("c", '-', out);
    splitString("d-e", '-', out, true);
    EXPECT_EQ(out, (std::vector<std::string>{"c", "d", "e"}));
}

TEST(Strings, TrimLowerReplaceJoin) {
    EXPECT_EQ(trim(" \t\v\f\r\nab c \n"), "ab c");
    char buf[] = "abc \t\r\n";
    trimTrailingBlanks(buf);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(toLower("AbC\xA7\x41"), "abc\xA7" "a");
    EXPECT_EQ(replaceAll("aaa", "a", "aa"), "aaaaaa");  // replacement not rescanned
    EXPECT_EQ(replaceAll("a-b-c", "-", ""), "abc");
    EXPECT_EQ(joinStrings({}, "-"), "");
    EXPECT_EQ(joinStrings({"a", "b"}, "-"), "a-b");
    EXPECT_EQ(joinInts({3, 5, 7}, "#"), "3#5#7");
    EXPECT_EQ(joinInts({3}, "#"), "3");
}

TEST(Strings, LinearSearchMatchPositions) {
    std::vector<std::string> v{"ab", "xab", "abx", "b"};
    std::vector<int32_t> r;
    strVecLinSearch(v, "ab", 0, r);
    EXPECT_EQ(r, (std::vector<int32_t>{0, 1, 2}));
    strVecLinSearch(v, "ab", 1, r);
    EXPECT_EQ(r, (std::vector<int32_t>{0, 2}));
    strVecLinSearch(v, "ab", 2, r);
    EXPECT_EQ(r, (std::vector<int32_t>{0, 1}));
    strVecLinSearch(v, "ab", 3, r);
    EXPECT_EQ(r, (std::vector<int32_t>{0}));
    EXPECT_THROW(strVecLinSearch(v, "ab", 7, r), FatalError);
    strVecLinSearch(v, "zz", 7, r);  // unknown position only noticed on a hit
    EXPECT_TRUE(r.empty());
}

TEST(Strings, ExhaustiveListingLaterListVariesSlowest) {
    EXPECT_EQ(exhaustiveListing({{"a", "b"}, {"x", "y"}}),
              (std::vector<std::string>{"a-x", "b-x", "a-y", "b-y"}));
    EXPECT_EQ(exhaustiveListing({{"a"}, {"x", "y"}, {"1"}}), (std::vector<std::string>{"a-x-1", "a-y-1"}));
    EXPECT_TRUE(exhaustiveListing({{"a"}, {}}).empty());
    EXPECT_TRUE(exhaustiveListing({}).empty());
}

TEST(Strings, PrintListFormats) {
    ConsoleCapture cap;
    printList({}, "v");
    printList({"p", "q"}, "w");
    EXPECT_EQ(cap.text, "v has zero element!\nw[0] = p\nw[1] = q\n");
}

TEST(Numbers, RoundingAndUnits) {
    EXPECT_EQ(roundHalfAway(2.5), 3);
    EXPECT_EQ(roundHalfAway(-2.5), -3);
    EXPECT_EQ(roundHalfAway(0.0), 0);
    EXPECT_EQ(roundHalfAway(0.49f), 0);
    EXPECT_EQ(roundHalfAway(-0.49), 0);
    EXPECT_EQ(frame2sampleIndex(0, 320, 160), 159);
    EXPECT_EQ(frame2sampleIndex(10, 320, 160), 1759);
    EXPECT_FLOAT_EQ(freq2semitone(440), 69);
    EXPECT_FLOAT_EQ(freq2semitone(880), 81);
    EXPECT_EQ(freq2semitone(0), 0);
    EXPECT_EQ(freq2semitone(-3), 0);
    EXPECT_FLOAT_EQ(semitone2freq(69), 440);
    EXPECT_EQ(semitone2freq(0), 0);
    EXPECT_NEAR(semitone2freq(freq2semitone(123.4f)), 123.4f, 1e-3);
}

TEST(Clock, MonotonicMilliseconds) {
    long a = clockMs();
    long b = clockMs();
    EXPECT_GE(b, a);
    EXPECT_GE(a, 0);
}
