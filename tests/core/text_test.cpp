// Text, token, file-name, byte and time utilities.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/status.h"
#include "core/text.h"
#include "tests/support/TestSupport.h"

namespace {

class TextTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  RecordingSink sink;
  int status = kStatusGood;
};

TEST_F(TextTest, ComparisonIgnoresTrailingWhiteSpaceOnly) {
  EXPECT_TRUE(IStringsEqual("Exit", "Exit \n"));
  EXPECT_TRUE(IStringsEqual("Exit\t\r", "Exit"));
  EXPECT_FALSE(IStringsEqual("Exit", "exit"));
  EXPECT_FALSE(IStringsEqual(" Exit", "Exit"));
  EXPECT_FALSE(IStringsEqual("Exi", "Exit"));
  EXPECT_EQ(ITrimmedLength(" \t\n"), 0);
  EXPECT_EQ(ITrimmedLength(""), 0);
  EXPECT_EQ(ITrimmedLength("a b  "), 3);
}

TEST_F(TextTest, SearchesStayWithinTheTrimmedText) {
  EXPECT_EQ(IFindCharacter("a.b.c", '.'), 1);
  EXPECT_EQ(IFindLastCharacter("a.b.c", '.'), 3);
  EXPECT_EQ(IFindCharacter("abc  ", ' '), -1);
  EXPECT_EQ(IFirstNonBlank(" \t x", 0), 3);
  EXPECT_EQ(IFirstNonBlank("x   ", 1), -1);
  EXPECT_EQ(IFindText("HEADER_BYTES= 512;", 0, "="), 12);
  EXPECT_EQ(IFindText("abcabc", 2, "abc"), 3);
  EXPECT_EQ(IFindText("abc", 5, "a"), -1);
}

TEST_F(TextTest, TokensSplitOnRunsOfSeparators) {
  int count = 0;
  std::vector<std::string> tokens;
  EXPECT_TRUE(IString2Tokens("1, 2,,3", 10, count, tokens, status));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(tokens, (std::vector<std::string>{"1", "2", "3"}));

  EXPECT_TRUE(IString2Tokens("7", 10, count, tokens, status));
  EXPECT_EQ(count, 1);

  EXPECT_TRUE(IString2Tokens("4 5 ,, \t", 10, count, tokens, status));
  EXPECT_EQ(count, 2);

  // More tokens than room: false, the first ones kept.
  EXPECT_FALSE(IString2Tokens("1 2 3", 2, count, tokens, status));
  EXPECT_EQ(count, 2);
  EXPECT_TRUE(IString2Tokens("1 2 ,", 2, count, tokens, status));

  EXPECT_FALSE(IString2Tokens("1", 0, count, tokens, status));
  EXPECT_EQ(status, 1);
}

TEST_F(TextTest, FindTokenReportsStartAndLength) {
  int start = -1, length = -1;
  EXPECT_TRUE(IFindToken("  abc,def", 0, start, length, status));
  EXPECT_EQ(start, 2);
  EXPECT_EQ(length, 3);
  EXPECT_TRUE(IFindToken("  abc,def", 5, start, length, status));
  EXPECT_EQ(start, 6);
  EXPECT_FALSE(IFindToken("abc ,,", 3, start, length, status));
  EXPECT_FALSE(IFindToken("abc", 3, start, length, status));
}

TEST_F(TextTest, IntegerTokensReadInTheCForm) {
  int value = 0;
  EXPECT_TRUE(IToken2Integer("010", value, status));
  EXPECT_EQ(value, 8);
  EXPECT_TRUE(IToken2Integer("12abc", value, status));
  EXPECT_EQ(value, 12);
  EXPECT_TRUE(IToken2Integer("0x1F", value, status));
  EXPECT_EQ(value, 31);
  EXPECT_TRUE(IToken2Integer("-42", value, status));
  EXPECT_EQ(value, -42);
  value = 99;
  EXPECT_FALSE(IToken2Integer("   ", value, status));
  EXPECT_FALSE(IToken2Integer("abc", value, status));
  EXPECT_FALSE(IToken2Integer("99999999999", value, status));
  EXPECT_EQ(value, 99);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(TextTest, RealTokensAndFormatting) {
  float value = 0.0f;
  EXPECT_TRUE(IToken2Real("1.5e3xyz", value, status));
  EXPECT_FLOAT_EQ(value, 1500.0f);
  EXPECT_TRUE(IToken2Real(" -0.25", value, status));
  EXPECT_FLOAT_EQ(value, -0.25f);
  EXPECT_FALSE(IToken2Real("e5", value, status));

  std::string text;
  EXPECT_TRUE(IReal2Token(kTrue, 3.14159f, text, status));
  EXPECT_EQ(text, "3.142");
  EXPECT_TRUE(IReal2Token(kTrue, 1.0f, text, status));
  EXPECT_EQ(text, "1");
  EXPECT_FALSE(IReal2Token(kFalse, 1.0f, text, status));
  EXPECT_EQ(sink.lines.back(), "WARNING: IReal2Token: NYI");
}

TEST_F(TextTest, BytesToIntegerSwapsInPlace) {
  unsigned char bytes[4] = {0x12, 0x34, 0, 0};
  EXPECT_EQ(IBytes2Integer(kTrue, 2, bytes), 0x1234);
  EXPECT_EQ(bytes[0], 0x34);
  EXPECT_EQ(bytes[1], 0x12);
  unsigned char four[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(IBytes2Integer(kFalse, 4, four), -1);
  unsigned char three[3] = {0x01, 0x02, 0x83};
  EXPECT_EQ(IBytes2Integer(kFalse, 3, three), 0x830201);
  EXPECT_EQ(IBytes2Integer(kFalse, 5, four), 0x7FFFFFFF);
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_EQ(sink.boxes[0].text, "IBytes2Integer: num_bytes = 5 (Only 1 to 4) allowed");
  EXPECT_EQ(sink.boxes[0].caption, "Message:");
}

TEST_F(TextTest, FileNameParts) {
  std::string name = "image.mar3450";
  EXPECT_TRUE(IChangeFileExtension("msk", name, status));
  EXPECT_EQ(name, "image.msk");
  name = "frame";
  IChangeFileExtension("msk", name, status);
  EXPECT_EQ(name, "frame.msk");
  name = "/data.d/frame";
  IChangeFileExtension("msk", name, status);
  EXPECT_EQ(name, "/data.msk");  // a dot in a directory counts like any other

  std::string directory = "unchanged";
  std::string file = "unchanged";
  IGetFileDirectory("/a/b/c.tif", directory, status);
  IGetFileName("/a/b/c.tif  ", file, status);
  EXPECT_EQ(directory, "/a/b/");
  EXPECT_EQ(file, "c.tif");
  directory = file = "unchanged";
  IGetFileDirectory("c.tif", directory, status);
  IGetFileName("c.tif", file, status);
  EXPECT_EQ(directory, "unchanged");
  EXPECT_EQ(file, "unchanged");
}

TEST_F(TextTest, DateTimeFormat) {
  std::tm when{};
  when.tm_year = 2004 - 1900;
  when.tm_mon = 2;
  when.tm_mday = 3;
  when.tm_hour = 9;
  when.tm_min = 5;
  EXPECT_EQ(IFormatDateTime(when), "03-Mar-2004 09:05:00");
  std::string now;
  EXPECT_TRUE(IDateTime(now, status));
  EXPECT_EQ(now.size(), 20u);
}

TEST_F(TextTest, SortUpperCaseSubstringAndSleep) {
  std::vector<std::string> texts = {"b", "B", "a", "ab"};
  ISortStrings(texts, status);
  EXPECT_EQ(texts, (std::vector<std::string>{"B", "a", "ab", "b"}));

  std::string text = "abc def  ";
  IConvertUpperCase(text, status);
  EXPECT_EQ(text, "ABC DEF  ");
  std::string part;
  ISubString("abcdef", 1, 4, part, status);
  EXPECT_EQ(part, "bcd");
  ISubString("abc", 2, 10, part, status);
  EXPECT_EQ(part, "c");

  EXPECT_TRUE(ISleep(0.0f, status));
  EXPECT_FALSE(ISleep(-1.0f, status));
  EXPECT_EQ(status, 25);
}

// Names of a series in the order a person counts them: numbers by their value, the rest by
// the bytes, and no two different names equal.
TEST_F(TextTest, NaturalOrderCountsNumbersByValue) {
  struct Row {
    const char* before;
    const char* after;
  };
  const Row rows[] = {
      {"frame_2.cbf", "frame_11.cbf"},
      {"frame_9", "frame_10"},
      {"a.chi", "b.chi"},
      {"run1_frame10", "run2_frame1"},        // the first number decides
      {"f1_2", "f1_10"},                      // then the next one
      {"scan007", "scan8"},                   // leading zeros do not count...
      {"scan01", "scan1"},                    // ...unless nothing else differs
      {"x99999999999999999999", "x100000000000000000000"},  // beyond 64 bits
      {"frame", "frame_1"},
      {"B", "a"},                             // bytes: capitals first
      {"/data/run9/f.cbf", "/data/run10/f.cbf"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.before) + " < " + row.after);
    EXPECT_TRUE(INaturalLess(row.before, row.after));
    EXPECT_FALSE(INaturalLess(row.after, row.before));
  }
  EXPECT_FALSE(INaturalLess("frame_7", "frame_7"));

  std::vector<std::string> names = {"f_11.cbf", "f_2.cbf", "f_1.cbf", "f_100.cbf", "f_20.cbf"};
  ASSERT_TRUE(ISortStrings(names, status));
  EXPECT_EQ(names,
            (std::vector<std::string>{"f_1.cbf", "f_2.cbf", "f_11.cbf", "f_20.cbf", "f_100.cbf"}));
}

TEST_F(TextTest, ReadLineDropsLineEndsAndTheRestOfLongLines) {
  ScratchDir dir;
  WriteFile(dir.File("lines"), "short\r\n\nabcdefghij\nlast");
  std::FILE* file = std::fopen(dir.File("lines").c_str(), "r");
  ASSERT_NE(file, nullptr);
  std::string line;
  EXPECT_TRUE(IReadLine(file, 256, line));
  EXPECT_EQ(line, "short");
  EXPECT_TRUE(IReadLine(file, 256, line));
  EXPECT_EQ(line, "");
  EXPECT_TRUE(IReadLine(file, 5, line));
  EXPECT_EQ(line, "abcd");
  EXPECT_TRUE(IReadLine(file, 256, line));
  EXPECT_EQ(line, "last");
  EXPECT_FALSE(IReadLine(file, 256, line));
  std::fclose(file);
}

TEST_F(TextTest, WideConversion) {
  std::wstring wide;
  EXPECT_TRUE(IString2Wide("A\xC3\xA5", 256, wide, status));  // "Aå" in UTF-8
  EXPECT_EQ(wide, std::wstring(L"A\u00E5"));
  EXPECT_TRUE(IString2Wide("\xE5x", 256, wide, status));  // a stray Latin-1 byte
  EXPECT_EQ(wide, std::wstring(L"\u00E5x"));
  EXPECT_FALSE(IString2Wide("", 256, wide, status));
}

TEST_F(TextTest, RoutinesDoNothingWithBadStatus) {
  int bad = 1000;
  std::string text = "abc";
  EXPECT_FALSE(IConvertUpperCase(text, bad));
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(IErrorTraceText(), "IConvertUpperCase V0.2");
}

}  // namespace
