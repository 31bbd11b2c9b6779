// Our stand-in for the window system. The system's logic reaches message boxes, pop-up menus,
// menu states, file choice, value dialogs and the cursor only through PBackend; a Qt backend
// serves the real window and a headless backend serves command scripts and tests.
//
// This layer knows nothing of the rest of the program (it includes Qt only).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class PCanvas;

enum class PIcon { kNone, kInformation, kWarning, kError, kQuestion };
enum class PButtons { kOk, kYesNoCancel, kYesNo };
enum class PResult { kOk, kYes, kNo, kCancel };

struct PMenuEntry {
  int id = 0;
  std::string label;
  bool enabled = true;
  bool checked = false;
};

// A pop-up menu: a title line and its entries; the answer is an entry id, or 0 when the
// user cancelled.
struct PPopupMenu {
  std::string title;
  std::vector<PMenuEntry> entries;
};

struct PFileRequest {
  bool save = false;
  std::string title;
  std::string filter;          // "Images (*.tif *.cbf);;All files (*)"
  std::string defaultSuffix;   // without the dot
  std::string initialName;
  // The folder the dialog opens in; empty: the current folder. A proposed name with a folder
  // of its own opens in that folder instead.
  std::string directory;
  // Several existing files may be chosen. The answer is then, as the system dialog gives it,
  // the full path alone for one file, or the directory followed by each name, every string
  // ended by a NUL and the list by a second NUL. Names may hold a '/' when the files lie in
  // folders below the directory (a scripted list of files).
  bool multiple = false;
  // The order of the names of a scripted list of files (PReadFileList); byte order when empty.
  std::function<bool(const std::string&, const std::string&)> nameOrder;
};

// The multiple-choice answer of a directory and its names: the folder the paths have in
// common, and each path below it.
std::string PFileListAnswer(const std::vector<std::string>& paths);

// Files the platform makes for the user (a page printed as PDF) are handed to the program's
// own writer, which applies the rules of every save (what it may replace, no half-written
// file); until one is installed they are not written. PWriteFile gives the writer's answer.
using PFileWriter = std::function<bool(const std::string& path, const std::string& bytes)>;
void PSetFileWriter(PFileWriter writer);
bool PWriteFile(const std::string& path, const std::string& bytes);

// A scripted selection of many files: "@LIST" names the files listed in the text file LIST,
// one per line (blank lines and lines starting with '#' left out, names relative to LIST's
// folder), in name order (nameOrder, or byte order without one); "@LIST:FIRST-LAST" takes only
// the FIRST-th to LAST-th of them (counted from 1, LAST cut to the list's length), the chunk of
// a series that one job of a batch runs. False with the reason when the list cannot be read or
// the range is empty or malformed. A list is a regular file of at most kPListFileLimit bytes
// with lines of at most kPListLineLimit characters and no NUL: a pipe, a device or a folder is
// refused unread (a pipe nobody writes would hold the run, /dev/zero would fill the memory with
// one line).
inline constexpr long long kPListFileLimit = 64ll << 20;
inline constexpr std::size_t kPListLineLimit = 64u << 10;
bool PReadFileList(const std::string& answer, std::vector<std::string>& paths,
                   std::string& reason,
                   const std::function<bool(const std::string&, const std::string&)>& nameOrder =
                       {});

enum class PValueKind { kReal, kInteger, kString };

struct PValueRequest {
  PValueKind kind = PValueKind::kString;
  std::string title;
  std::string prompt;
  std::string defaultText;  // empty when no default is given
  bool rangeGiven = false;
  long long lower = 0, upper = 0;
  int widthUnits = 0;  // dialog width in dialog units (about two pixels each)
  // What the field takes, in words for the user ("Enter a number from 1 to 10"): the dialog
  // says it when the text typed cannot be taken, and opens saying it when `refused` (the
  // answer given last time did not fit).
  std::string expected;
  bool refused = false;
};

// A mouse message of the main window, in client pixels.
enum class PMouseKind { kMove, kLeftDown, kLeftUp, kRightDown, kRightUp, kNonClientMove };
struct PMouseEvent {
  PMouseKind kind = PMouseKind::kMove;
  int x = 0;
  int y = 0;
  int hitCode = 0;  // for kNonClientMove: which edge (left 10, right 11, top 12, bottom 15)
};

// Clicks on the main window while a small modeless control dialog is shown (coordinate
// input). The dialog has lines of text and push buttons; each button carries the word a
// command script uses for it.
struct PClickButton {
  int id = 0;
  std::string label;
  bool isDefault = false;
  std::string word;  // "finish", "cancel", "keyboard": the headless answer that presses it
};
struct PClickDialog {
  std::string title;
  std::vector<std::string> lines;
  std::vector<PClickButton> buttons;
  int widthUnits = 0;  // dialog units (about two pixels each)
};
enum class PClickKind { kMove, kPress, kButton };
struct PClickEvent {
  PClickKind kind = PClickKind::kMove;
  int x = 0, y = 0;     // client pixels (kMove, kPress without dataGiven)
  bool right = false;   // kPress: the right button
  bool dataGiven = false;  // kPress from a script: the position is in data coordinates
  float dataX = 0.0f, dataY = 0.0f;
  int id = 0;           // kButton: the button's id
};
// Handler of the click input: false ends the input. It may change the dialog's button labels;
// the dialog shows them after each call.
using PClickHandler = std::function<bool(const PClickEvent&)>;

// The printable area of a page in device pixels, and what the device can do.
struct PPrintPage {
  int left = 0, top = 0, width = 0, height = 0;
  bool canDrawBitmaps = true;
  bool canStretch = true;
};

class PBackend {
 public:
  virtual ~PBackend() = default;

  // False for the headless backend: nobody watches, answers come from a script.
  virtual bool Interactive() const = 0;

  // The answer a script queued for the next prompt, left in place; false when none is queued
  // or answers come from a person. Lets a routine that can decide for itself honour a
  // script's explicit choice.
  virtual bool NextScriptedAnswer(std::string& answer) const {
    (void)answer;
    return false;
  }

  // Whether a main window (or, headless, its stand-in canvas) exists to draw into.
  virtual bool HasMainWindow() const = 0;

  // A line for the information window's display (the lines themselves are kept by ui/).
  virtual void InfoLine(const std::string& line) = 0;

  // A modal box. echoedInLog: the same text reaches the log as a message line anyway.
  virtual PResult MessageBox(const std::string& text, const std::string& caption, PIcon icon,
                             PButtons buttons, PResult defaultButton, bool echoedInLog) = 0;

  virtual int PopupMenu(const PPopupMenu& menu, int screenX, int screenY) = 0;
  virtual bool ChooseFile(const PFileRequest& request, std::string& path) = 0;
  // The answer as typed; the caller converts and validates it.
  virtual bool ValueDialog(const PValueRequest& request, std::string& answer) = 0;

  // Menu-bar items by id.
  virtual void SetMenuItemEnabled(int id, bool enabled) = 0;
  virtual void SetMenuItemChecked(int id, bool checked) = 0;
  virtual void SetMenuItemText(int id, const std::string& text) = 0;
  // Puts the radio mark on checkedId and removes it from the others of first..last.
  virtual void SetMenuRadio(int first, int last, int checkedId) = 0;
  virtual bool MenuItemEnabled(int id) const = 0;
  virtual bool MenuItemChecked(int id) const = 0;
  virtual std::string MenuItemText(int id) const = 0;

  virtual void SetBusyCursor(bool busy) = 0;

  // Progress of long work over many items (the files of a series): the window shows the text
  // ("file i of N: name") over a bar and a Cancel button and keeps repainting; headless, each
  // step is one transcript line. ProgressStep returns false once the user asked to cancel; the
  // work then stops after the item in hand.
  virtual void ProgressBegin(const std::string& title, int total) { (void)title, (void)total; }
  virtual bool ProgressStep(int done, const std::string& text) { (void)done, (void)text; return true; }
  virtual void ProgressEnd() {}
  // Waits while the work shows something (a movie frame), serving the window; false when the
  // user asked to cancel meanwhile.
  virtual bool ProgressWait(int milliseconds) = 0;

  // A page of text in a window of its own beside the main window (help), marked up in
  // Markdown; one such window at a time, brought forward with the new page when it is open.
  // Nothing happens where nobody looks.
  virtual void ShowTextWindow(const std::string& title, const std::string& markdown) {
    (void)title, (void)markdown;
  }

  // Printing one page: the page set-up and print dialogs (or, headless, a scripted PDF file
  // name); the page is drawn on the returned canvas and goes to the printer at EndPrint.
  // Null when the user cancelled.
  virtual PCanvas* BeginPrint(PPrintPage& page) = 0;
  virtual bool EndPrint() = 0;

  // The main window's title bar.
  virtual void SetWindowTitle(const std::string& title) = 0;
  virtual std::string WindowTitle() const = 0;

  // The main window's back-buffer (null when there is none) and its client size. Everything
  // is drawn into the back-buffer; Present shows it.
  virtual PCanvas* Canvas() = 0;
  virtual void ClientSize(int& width, int& height) const = 0;
  virtual void Present() = 0;

  // Runs the click input until the handler returns false: presses and moves over the main
  // window and the dialog's buttons go to the handler, and nothing else of the window sees
  // the mouse meanwhile. Closing the dialog presses its "cancel" button. False (handler never
  // called) when there is no window to click on.
  virtual bool ClickInput(PClickDialog& dialog, const PClickHandler& handler) = 0;

  // Scroll bars of the main window.
  virtual void SetScrollbar(bool horizontal, int minimum, int maximum, int position, int page) = 0;
  virtual void GetScrollbar(bool horizontal, int& minimum, int& maximum, int& position,
                            int& page) const = 0;
};

// The installed backend; a headless one until the program installs another.
PBackend& PCurrentBackend();
void PInstallBackend(std::unique_ptr<PBackend> backend);

// The busy cursor for the life of the object (long work inside a command).
class PBusyCursor {
 public:
  PBusyCursor() { PCurrentBackend().SetBusyCursor(true); }
  ~PBusyCursor() { PCurrentBackend().SetBusyCursor(false); }
  PBusyCursor(const PBusyCursor&) = delete;
  PBusyCursor& operator=(const PBusyCursor&) = delete;
};
