// Command-script lines taken apart (app/LVScriptLine): the words the runner acts on, and the
// event a command's arguments make. The fuzz target "script" drives the same routines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/LVScriptLine.h"
#include "ui/LVCommandRegistry.h"

TEST(ScriptLine, KindsWordsAndTrimmedArguments) {
  struct Case {
    std::string raw;
    LVScriptLineKind kind;
    std::string word, arguments, line;
  };
  const Case cases[] = {
      {"", LVScriptLineKind::kNothing, "", "", ""},
      {" \t\r", LVScriptLineKind::kNothing, "", "", ""},
      {"  # Open_File x", LVScriptLineKind::kNothing, "", "", ""},
      {"answer  store 3 \r", LVScriptLineKind::kAnswer, "answer", "store 3", "answer  store 3"},
      {"answer", LVScriptLineKind::kAnswer, "answer", "", "answer"},
      {"picture\tout.png", LVScriptLineKind::kPicture, "picture", "out.png", "picture\tout.png"},
      {"Exit now", LVScriptLineKind::kExit, "Exit", "now", "Exit now"},
      // The words are matched exactly; in another case they are command names.
      {"EXIT", LVScriptLineKind::kCommand, "EXIT", "", "EXIT"},
      {"Answer 3", LVScriptLineKind::kCommand, "Answer", "3", "Answer 3"},
      {"\tOpen_File  a b.tif ", LVScriptLineKind::kCommand, "Open_File", "a b.tif",
       "Open_File  a b.tif"},
      {"Set_Beam_Centre#1", LVScriptLineKind::kCommand, "Set_Beam_Centre#1", "",
       "Set_Beam_Centre#1"},
  };
  for (const Case& c : cases) {
    const LVScriptLine parsed = LVParseScriptLine(c.raw);
    EXPECT_EQ(parsed.kind, c.kind) << c.raw;
    EXPECT_EQ(parsed.word, c.word) << c.raw;
    EXPECT_EQ(parsed.arguments, c.arguments) << c.raw;
    EXPECT_EQ(parsed.line, c.line) << c.raw;
  }
}

TEST(ScriptLine, EventFromArguments) {
  CommandEvent event;
  LVScriptEvent("12.5 -3 extra", event);
  EXPECT_EQ(event.text, "12.5 -3 extra");
  EXPECT_FLOAT_EQ(event.realX, 12.5f);
  EXPECT_FLOAT_EQ(event.realY, -3.0f);
  EXPECT_EQ(event.value, 12);  // as "%i" reads it: the integer the token starts with

  CommandEvent whole;
  LVScriptEvent("7", whole);
  EXPECT_EQ(whole.value, 7);
  EXPECT_FLOAT_EQ(whole.realX, 0.0f);  // one number is no coordinate pair

  // Numbers out of range or not numbers leave the fields at their defaults.
  CommandEvent odd;
  LVScriptEvent("99999999999999999999 nan", odd);
  EXPECT_EQ(odd.value, 0);
  CommandEvent none;
  LVScriptEvent("", none);
  EXPECT_EQ(none.text, "");
  EXPECT_EQ(none.value, 0);
}

TEST(ScriptLine, EnvironmentExpansion) {
  setenv("LV_SCRIPT_LINE_TEST", "12", 1);
  std::string line = "answer @f.txt:${LV_SCRIPT_LINE_TEST}-${LV_SCRIPT_LINE_TEST}x ${";
  std::string missing;
  ASSERT_TRUE(LVExpandScriptEnvironment(line, missing));
  EXPECT_EQ(line, "answer @f.txt:12-12x ${");  // an unclosed "${" stays as it is

  std::string unset = "Open_File ${LV_SCRIPT_LINE_TEST}/${LV_SCRIPT_LINE_UNSET}";
  EXPECT_FALSE(LVExpandScriptEnvironment(unset, missing));
  EXPECT_EQ(missing, "LV_SCRIPT_LINE_UNSET");
  EXPECT_EQ(unset, "Open_File ${LV_SCRIPT_LINE_TEST}/${LV_SCRIPT_LINE_UNSET}");
  std::string empty = "${}";
  EXPECT_FALSE(LVExpandScriptEnvironment(empty, missing));

  // What the expansion gives is split as it stands: a line that became empty is a command
  // without a name (which the interpreter refuses), not a blank line.
  EXPECT_EQ(LVSplitScriptLine("").kind, LVScriptLineKind::kCommand);
  EXPECT_EQ(LVSplitScriptLine(" Exit").word, "");
  unsetenv("LV_SCRIPT_LINE_TEST");
}
