// Status report paths, message routines and the log file.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "core/status.h"
#include "core/text.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr IRoutine kInner{"MInner", "V0.21"};
constexpr IRoutine kOuter{"LVOuter", "V1.2"};

int Inner(int& status) {
  if (IBad(kInner, status)) return kFalse;
  return IFail(kInner, kStatusWrite, status);
}

int Outer(int& status) {
  if (IBad(kOuter, status)) return kFalse;
  if (!Inner(status)) {
    IErrorTrace(kOuter.name, kOuter.version);
    return kFalse;
  }
  return kTrue;
}

class StatusTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }
  RecordingSink sink;
};

TEST_F(StatusTest, TraceNamesTheInnermostFailureAndReportResetsOnYes) {
  int status = kStatusGood;
  EXPECT_FALSE(Outer(status));
  EXPECT_EQ(status, kStatusWrite);
  EXPECT_EQ(IErrorTraceText(), "MInner V0.21");

  sink.answers.push_back(IAnswer::kYes);
  IStatusReport(status);
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_EQ(sink.boxes[0].text, "MInner V0.21: Write to output file failed");
  EXPECT_EQ(sink.boxes[0].caption, "!!! ATTENTION ERROR OCCURRED: !!!");
  EXPECT_EQ(sink.lines.back(), "ERROR: MInner V0.21: Write to output file failed");
  ASSERT_EQ(sink.questions.size(), 1u);
  EXPECT_EQ(sink.questions[0], "RE-SET STATUS SYSTEM TO GOOD STATE");
  EXPECT_EQ(status, kStatusGood);
  EXPECT_TRUE(IErrorTraceText().empty());
}

TEST_F(StatusTest, AnsweringNoKeepsTheFailureForEveryLaterReport) {
  int status = kStatusGood;
  Outer(status);
  sink.answers = {IAnswer::kNo, IAnswer::kCancel};
  IStatusReport(status);
  EXPECT_EQ(status, kStatusWrite);
  // A later routine does nothing and the same report comes again.
  EXPECT_FALSE(IInfo("never shown", status));
  IStatusReport(status);
  EXPECT_EQ(status, kStatusWrite);
  EXPECT_EQ(sink.boxes.size(), 2u);
  EXPECT_EQ(sink.boxes[1].text, sink.boxes[0].text);
  for (const auto& line : sink.lines) EXPECT_NE(line, "INFO: never shown");
}

// A trace left behind a good status is told once: the reports of later commands are silent.
TEST_F(StatusTest, GoodStatusWithTraceWarnsOnceAndClearsTheTrace) {
  int status = kStatusGood;
  IErrorTrace("FRead", "V0.2");
  for (int report = 0; report < 3; ++report) IStatusReport(status);
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_EQ(sink.boxes[0].text, "STATUS: The status value is correct, but error reported in: FRead V0.2");
  EXPECT_EQ(sink.boxes[0].caption, "WARNING:");
  EXPECT_TRUE(IErrorTraceText().empty());
  EXPECT_TRUE(sink.questions.empty());
  EXPECT_EQ(status, kStatusGood);

  // A later failure is traced afresh.
  Outer(status);
  EXPECT_EQ(IErrorTraceText(), "MInner V0.21");
}

TEST_F(StatusTest, EscapeGivesOnlyTheNoteLine) {
  int status = kStatusEscape;
  IStatusReport(status);
  EXPECT_TRUE(sink.boxes.empty());
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0], "NOTE: STATUS: The status value is set to the user escape value");
  EXPECT_EQ(status, kStatusEscape);
}

TEST_F(StatusTest, UnknownCodeIsAnUndefinedErrorValue) {
  int status = 12345;
  IErrorTrace("X", "V1");
  sink.answers.push_back(IAnswer::kYes);
  IStatusReport(status);
  ASSERT_FALSE(sink.boxes.empty());
  EXPECT_EQ(sink.boxes[0].text, "X V1: Undefined error value");
  EXPECT_STREQ(IStatusText(26), "Second dimension: real value out of  acceptable range");
  EXPECT_STREQ(IStatusText(1017), "Bad parameter for diffraction geometry");
}

TEST_F(StatusTest, WithoutSinkTheReportTakesTheDefaultYes) {
  IInstallMessageSink(nullptr);
  int status = 21;
  IStatusReport(status);
  EXPECT_EQ(status, kStatusGood);
  IInstallMessageSink(&sink);
}

TEST_F(StatusTest, MessageRoutinesPrefixAndCutLines) {
  int status = kStatusGood;
  IWrite("plain", status);
  IInfo("info", status);
  INote("note", status);
  IWarning("warn", status);
  IError("err", status);
  EXPECT_EQ(sink.lines, (std::vector<std::string>{"plain", "INFO: info", "NOTE: note",
                                                  "WARNING: warn", "ERROR: err"}));
  ASSERT_EQ(sink.boxes.size(), 2u);
  EXPECT_EQ(sink.boxes[0].text, "warn");
  EXPECT_EQ(sink.boxes[0].icon, IBoxIcon::kWarning);
  EXPECT_EQ(sink.boxes[1].icon, IBoxIcon::kError);

  IInfo(std::string(400, 'x'), status);
  EXPECT_EQ(sink.lines.back().size(), 255u);
}

TEST_F(StatusTest, ErrorMessageGivesTwoLinesAndABoxCaptionedWithTheLabel) {
  int status = kStatusGood;
  ISetSystemError(ENOENT);
  ICheckSystemError("Lumivane: Before message loop:", status);
  EXPECT_EQ(ISystemError(), 0);
  ASSERT_EQ(sink.lines.size(), 2u);
  EXPECT_EQ(sink.lines[0], "ERROR: Lumivane: Before message loop:");
  EXPECT_EQ(sink.lines[1].rfind("2: ", 0), 0u);
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_EQ(sink.boxes[0].caption, "Lumivane: Before message loop:");

  // The invalid-parameter code is cleared silently.
  ISetSystemError(EINVAL);
  ICheckSystemError("Quiet", status);
  EXPECT_EQ(ISystemError(), 0);
  // errno left behind by some library call is not a failure of ours.
  errno = ENOENT;
  ICheckSystemError("Quiet", status);
  EXPECT_EQ(sink.lines.size(), 2u);
}

TEST_F(StatusTest, FirstResetInstallsDefaultSeparators) {
  int status = kStatusGood;
  ISetSeparators(";", status);
  EXPECT_EQ(ISeparators(), ";");
  IResetStatus(status);  // not the first reset of this process any more
  EXPECT_EQ(ISeparators(), ";");
  IDefault(status);
  EXPECT_EQ(ISeparators(), " ,\t");
}

TEST_F(StatusTest, LogHoldsHeaderThenMessageLinesInOrder) {
  ScratchDir dir;
  int status = kStatusGood;
  const std::string path = dir.File("lumivane.log");
  ASSERT_TRUE(IOpenLogFile(path, status));
  IWrite("Lumivane V1.17.00", status);
  IWarning("careful", status);
  ICloseLogFile(status);
  EXPECT_EQ(ReadFile(path), "Quorvel: Log File: " + path +
                                "\n\nLumivane V1.17.00\nWARNING: careful\n");
}

// Details summed up by one plain message reach the log alone, also from a thread whose
// messages are recorded and given out later.
TEST_F(StatusTest, LogOnlyLinesSkipTheWindowAndTheBoxes) {
  ScratchDir dir;
  int status = kStatusGood;
  const std::string path = dir.File("lumivane.log");
  ASSERT_TRUE(IOpenLogFile(path, status));
  {
    ILogOnlyScope details;
    IInfo("tested", status);
    IWarning("no format fits", status);
    IErrorMessage("open failed", 2, status);
  }
  IWarning("plain words", status);
  std::vector<ICapturedMessage> recorded;
  {
    IMessageCapture capture;
    ILogOnlyScope details;
    IWarning("from the worker", status);
    recorded = capture.Take();
  }
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].kind, IMessageKind::kLog);
  IReplayMessages(recorded, status);
  ICloseLogFile(status);

  EXPECT_EQ(sink.lines, (std::vector<std::string>{"WARNING: plain words"}));
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_EQ(sink.boxes[0].text, "plain words");
  EXPECT_EQ(ReadFile(path), "Quorvel: Log File: " + path +
                                "\n\nINFO: tested\nWARNING: no format fits\nERROR: open failed\n"
                                "2: No such file or directory\nWARNING: plain words\n"
                                "WARNING: from the worker\n");
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(StatusTest, UnwritableLogDirectoryFailsWithFileOpenAndLeavesLogClosed) {
  // Even root cannot create a file below a regular file.
  ScratchDir dir;
  WriteFile(dir.File("plain"), "x");
  int status = kStatusGood;
  EXPECT_FALSE(IOpenLogFile(dir.File("plain") + "/lumivane.log", status));
  EXPECT_EQ(status, kStatusFileOpen);
  EXPECT_FALSE(ILogOpen());
  IResetStatus(status);
  // Messages still reach the window.
  IInfo("still shown", status);
  EXPECT_EQ(sink.lines.back(), "INFO: still shown");
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(StatusTest, FailedLogWriteGivesUpTheLogButKeepsTheMessage) {
  ScratchDir dir;
  int status = kStatusGood;
  ASSERT_TRUE(IOpenLogFile(dir.File("lumivane.log"), status));
  // Writes past 300 bytes fail as on a full disk.
  auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  getrlimit(RLIMIT_FSIZE, &previous);
  rlimit limit = previous;
  limit.rlim_cur = 300;
  setrlimit(RLIMIT_FSIZE, &limit);
  for (int k = 0; k < 20 && status == kStatusGood; ++k) IInfo(std::string(40, 'm'), status);
  setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_EQ(sink.lines.back(), "INFO: " + std::string(40, 'm'));
  EXPECT_EQ(status, kStatusWrite);
  EXPECT_EQ(IErrorTraceText(), "IWriteLogFile V0.4");
  EXPECT_FALSE(ILogOpen());
}

}  // namespace
