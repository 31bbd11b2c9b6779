// The real main window for one test, offscreen: started in a scratch directory with the exit
// question switched off, and closed, shut down and left behind at the end of the scope.
#pragma once

#include <QApplication>
#include <filesystem>

#include "app/LVCommand.h"
#include "app/LVWindowMain.h"
#include "core/status.h"
#include "platform/QtBackend.h"
#include "tests/support/TestSupport.h"

class TestWindow {
 public:
  TestWindow(int width, int height) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir.path());
    ResetCoreState();
    LVResetInterpreter();
    LVWindowTestHooks hooks;
    hooks.closeWithoutAsking = true;
    LVSetWindowTestHooks(hooks);
    started = LVStartWindow("", false);
    backend = LVWindowBackend();
    if (started && backend) {
      backend->MainWidget()->resize(width, height);
      Settle();
    }
  }
  ~TestWindow() {
    if (started && backend) {
      backend->CloseMainWindow();
      LVStopWindow();
    }
    std::filesystem::current_path(previous_);
    ResetCoreState();
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  static void Settle() {
    for (int i = 0; i < 10; ++i) QApplication::processEvents();
  }

  ScratchDir dir;
  bool started = false;
  PQtBackend* backend = nullptr;

 private:
  std::filesystem::path previous_;
};
