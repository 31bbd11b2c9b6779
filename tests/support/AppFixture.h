// The fixture of tests that run commands: a headless backend with the message sink, a fresh
// interpreter with every command declared, and clean core state.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "core/status.h"
#include "platform/Headless.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"

// The headless backend, keeping every file dialog it was asked to show (title, proposed name,
// the folder it opens in).
class FileRequestRecorder : public PHeadlessBackend {
 public:
  bool ChooseFile(const PFileRequest& request, std::string& path) override {
    fileRequests.push_back(request);
    return PHeadlessBackend::ChooseFile(request, path);
  }
  std::vector<PFileRequest> fileRequests;
};

class HeadlessAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    PEnsureApplication();
    auto backend = std::make_unique<FileRequestRecorder>();
    headless = backend.get();
    fileDialogs = backend.get();
    headless->SetTranscript([this](const std::string& line) { transcript.push_back(line); });
    PInstallBackend(std::move(backend));
    WInstallMessageSink();
    IInfoClear();
    LVResetInterpreter();
    LVRegisterAllCommands();
  }
  void TearDown() override {
    IInstallMessageSink(nullptr);
    ResetCoreState();
  }

  // True when the information window holds this line.
  static bool InfoHas(const std::string& line) {
    for (const auto& held : IInfoLines())
      if (held == line) return true;
    return false;
  }

  PHeadlessBackend* headless = nullptr;
  FileRequestRecorder* fileDialogs = nullptr;  // the same backend
  std::vector<std::string> transcript;
  int status = kStatusGood;
};
