// The real main window for one test, offscreen: started in a scratch directory with the exit
// question switched off, and closed, shut down and left behind at the end of the scope.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <functional>

#include "app/LVCommand.h"
#include "app/LVWindowMain.h"
#include "core/status.h"
#include "platform/QtBackend.h"
#include "tests/support/TestSupport.h"

// Runs `answer` on the next modal dialog or box once it is shown (tried every 50 ms, up to
// `attempts` times).
inline void AnswerNextModal(std::function<void(QWidget*)> answer, int attempts = 100) {
  QTimer::singleShot(50, [answer, attempts] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) {
      if (attempts > 0) AnswerNextModal(answer, attempts - 1);
      return;
    }
    answer(modal);
  });
}

// Presses the push button (or message-box button) whose text, mnemonic aside, is `text`.
inline bool PressButton(QWidget* dialog, const QString& text) {
  for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>()) {
    if (button->text().remove('&') == text) {
      button->click();
      return true;
    }
  }
  return false;
}

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
