// Shared test fixtures: a message sink that records what the user would see, a scratch
// directory, and the folder of real detector files.
#pragma once

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "core/status.h"

struct RecordedBox {
  std::string text;
  std::string caption;
  IBoxIcon icon;
};

class RecordingSink : public IMessageSink {
 public:
  RecordingSink() { IInstallMessageSink(this); }
  ~RecordingSink() override { IInstallMessageSink(nullptr); }

  void AddLine(const std::string& line) override { lines.push_back(line); }
  void MessageBox(const std::string& text, const std::string& caption, IBoxIcon icon,
                  bool) override {
    boxes.push_back({text, caption, icon});
  }
  IAnswer Question(const std::string& prompt, bool) override {
    questions.push_back(prompt);
    if (answers.empty()) return IAnswer::kCancel;
    IAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::vector<std::string> lines;
  std::vector<RecordedBox> boxes;
  std::vector<std::string> questions;
  std::deque<IAnswer> answers;
};

// The folder TMPDIR names when it is an existing folder, /tmp otherwise (a TMPDIR naming a
// missing folder must not abort the tests).
std::filesystem::path TestTempFolder();

// A fresh directory under TestTempFolder(), removed at the end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Resets the status, the trace, the data-base and the log to their state at program start.
void ResetCoreState();

// True in continuous integration (CI=true), where every independent reference is installed.
bool InContinuousIntegration();

// A cross-check whose independent reference (fabio, pyFAI, numpy, CBFlib's tools, a filter
// plugin) is missing: it skips on a developer's machine, but fails in continuous integration,
// where a skipped check would let a regression land unseen.
#define LV_REFERENCE_MISSING(what)                                                  \
  do {                                                                              \
    if (InContinuousIntegration()) FAIL() << (what) << " (CI installs every reference)"; \
    GTEST_SKIP() << (what);                                                         \
  } while (0)

// The folder of real detector files, or empty when it is absent.
std::filesystem::path SharedData();
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
