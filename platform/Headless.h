// The headless backend: no display. Answers to questions, value dialogs, store pop-ups and
// file choices come from a queue of scripted answers, in order; a prompt with no answer
// queued is cancelled and remembered (a command script fails on it). Boxes take their
// default answer. Everything asked or shown is handed to the transcript callback, which the
// program points at its log.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/PCanvas.h"
#include "platform/Platform.h"

class QImage;

class PHeadlessBackend : public PBackend {
 public:
  PHeadlessBackend();
  ~PHeadlessBackend() override;
  using Transcript = std::function<void(const std::string&)>;

  void SetTranscript(Transcript transcript) { transcript_ = std::move(transcript); }
  // Information lines go to standard output too (batch runs).
  void SetEcho(bool echo) { echo_ = echo; }

  void QueueAnswer(const std::string& answer) { answers_.push_back(answer); }
  std::size_t PendingAnswers() const { return answers_.size(); }
  void ClearAnswers() { answers_.clear(); }
  bool NextScriptedAnswer(std::string& answer) const override {
    if (answers_.empty()) return false;
    answer = answers_.front();
    return true;
  }
  // Takes the next answer; false (and a transcript line naming `what`) when none is queued,
  // and `prompt` (the text the user would have been shown) joins Unanswered().
  bool TakeAnswer(const std::string& what, const std::string& prompt, std::string& answer);

  // Running counts that let a batch run tell a cancelled command from a failed one: prompts
  // cancelled by a "cancel" answer, answers that did not fit their prompt, and warning or
  // error boxes shown.
  std::size_t Cancels() const { return cancels_; }
  // The prompts that found no answer queued, in order. They were cancelled too, but nobody
  // asked for that: a script that leaves a prompt unanswered has not said what it wants.
  const std::vector<std::string>& Unanswered() const { return unanswered_; }
  std::size_t Misfits() const { return misfits_; }
  std::size_t Alarms() const { return alarms_; }

  bool Interactive() const override { return false; }
  bool HasMainWindow() const override { return hasWindow_; }
  void SetHasMainWindow(bool has) { hasWindow_ = has; }
  void InfoLine(const std::string& line) override;
  PResult MessageBox(const std::string& text, const std::string& caption, PIcon icon,
                     PButtons buttons, PResult defaultButton, bool echoedInLog) override;
  int PopupMenu(const PPopupMenu& menu, int screenX, int screenY) override;
  bool ChooseFile(const PFileRequest& request, std::string& path) override;
  bool ValueDialog(const PValueRequest& request, std::string& answer) override;

  void SetMenuItemEnabled(int id, bool enabled) override { menu_[id].enabled = enabled; }
  void SetMenuItemChecked(int id, bool checked) override { menu_[id].checked = checked; }
  void SetMenuItemText(int id, const std::string& text) override { menu_[id].text = text; }
  void SetMenuRadio(int first, int last, int checkedId) override;
  bool MenuItemEnabled(int id) const override;
  bool MenuItemChecked(int id) const override;
  std::string MenuItemText(int id) const override;

  void SetBusyCursor(bool busy) override { busy_ = busy; }
  void ProgressBegin(const std::string& title, int total) override;
  bool ProgressStep(int done, const std::string& text) override;
  void ProgressEnd() override;
  bool ProgressWait(int milliseconds) override;
  // Tests: the Cancel button is pressed when step `step` is shown (0: never).
  void CancelProgressAtStep(int step) { cancelAtStep_ = step; }
  bool Busy() const { return busy_; }

  // The answer is the PDF file the page goes to ("cancel" or none: no printing); it is
  // written through PWriteFile.
  PCanvas* BeginPrint(PPrintPage& page) override;
  bool EndPrint() override;

  void SetWindowTitle(const std::string& title) override { title_ = title; }
  std::string WindowTitle() const override { return title_; }

  // The stand-in window is an image of the client size (800 x 600 unless set).
  PCanvas* Canvas() override;
  void ClientSize(int& width, int& height) const override;
  void SetClientSize(int width, int height);
  void Present() override {}
  // The back-buffer as it stands, as the bytes of a PNG file (pictures of a batch run, which
  // the program writes as it writes every file); false before anything was drawn.
  bool CanvasPng(std::string& png) const;
  // The same picture straight into a file (pictures the tests keep for a look).
  bool SaveCanvas(const std::string& path);

  // Answers: "click X Y" (data coordinates, a left press), "right X Y", or a button's word
  // ("finish", "cancel", "keyboard"); no answer queued presses "cancel".
  bool ClickInput(PClickDialog& dialog, const PClickHandler& handler) override;

  void SetScrollbar(bool horizontal, int minimum, int maximum, int position, int page) override;
  void GetScrollbar(bool horizontal, int& minimum, int& maximum, int& position,
                    int& page) const override;

 private:
  struct MenuState {
    bool enabled = true;
    bool checked = false;
    std::string text;
  };
  void Note(const std::string& line);
  std::string progressTitle_;
  int progressTotal_ = 0;
  int cancelAtStep_ = 0;
  void Misfit(const std::string& line);

  std::deque<std::string> answers_;
  std::map<int, MenuState> menu_;
  Transcript transcript_;
  bool echo_ = false;
  bool busy_ = false;
  std::size_t cancels_ = 0, misfits_ = 0, alarms_ = 0;
  std::vector<std::string> unanswered_;
  std::string title_;
  bool hasWindow_ = true;
  std::unique_ptr<class PPageJob> printJob_;
  std::unique_ptr<class QTemporaryFile> printFile_;
  std::string printPath_;
  int clientWidth_ = 800;
  int clientHeight_ = 600;
  std::unique_ptr<QImage> image_;
  std::unique_ptr<PCanvas> canvas_;
  struct Scrollbar {
    int minimum = 0, maximum = 0, position = 0, page = 0;
  };
  Scrollbar scroll_[2];
};
