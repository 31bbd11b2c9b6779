// The Qt backend: the real main window with its back-buffer canvas, both scroll bars, the menu
// bar built from a table, message boxes, value dialogs, the store pop-up, file dialogs, the
// busy cursor and the single-instance rule.
//
// The window only reports what happens (menu ids, mouse, scroll bars, wheel, close, expose);
// the program decides what each means through the handlers it installs.
#pragma once

#include <optional>
#include <QDialog>
#include <QPoint>
#include <QPointer>

#include <QRect>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class QProgressDialog;

#include "platform/PCanvas.h"
#include "platform/Platform.h"

class QImage;
class QWidget;
class PMainWindow;

struct PMenuItemSpec {
  int id = 0;               // 0 with an empty label: a separator
  std::string label;        // with "&" for the mnemonic
  std::string shortcut;     // Qt key sequence text ("Ctrl+O", "F5"); empty for none
  bool checkable = false;
};

struct PMenuSpec {
  std::string title;
  std::vector<PMenuItemSpec> items;
};

// Keys that reach a menu id without a menu item (panning keys, numeric pad).
struct PShortcutSpec {
  std::string key;
  int id = 0;
};

enum class PScrollAction { kLineUp, kLineDown, kPageUp, kPageDown, kThumb };

struct PWindowHandlers {
  std::function<void(int id)> menu;
  std::function<void(const PMouseEvent&)> mouse;
  std::function<void(bool horizontal, PScrollAction action, int position)> scroll;
  std::function<void(bool forward)> wheel;
  // true: the window may close; asked: the program has already had the user confirm it
  std::function<bool(bool asked)> close;
  std::function<void()> expose;   // the back-buffer must be painted again (resize)
  std::function<void(const std::string& file)> anotherStart;  // a second start's file
  // true while the program is in the middle of work (a command runs): handed-over files wait
  std::function<bool()> busy;
};

// Where a window asked for at `wanted` goes on these screens (their available areas, the
// primary first): widened to `menuWidth` when asked (a menu bar that does not fit hides its
// last menus behind a button), on the screen it overlaps most, or on the primary screen's top
// left corner when it overlaps none by 50 x 50 pixels (a display since unplugged), and never
// larger than that screen or past its edges.
QRect PFitWindowRectangle(QRect wanted, const std::vector<QRect>& screens, int menuWidth,
                          bool widen);
// The first start's window (nothing stored) on a screen's available area: most of it, with
// a margin all round that leaves room for the window manager's frame and title bar.
QRect PFirstWindowRectangle(const QRect& screen);

class PQtBackend : public PBackend {
 public:
  PQtBackend();
  ~PQtBackend() override;

  // Creates the main window with its frame's top-left corner at (left, top) and a client area
  // of width x height, fitted to the screens (PFitWindowRectangle); `widenForMenus` on a first
  // start, which takes most of the screen (PFirstWindowRectangle) rather than the size given.
  void CreateMainWindow(const std::string& title, int left, int top, int width, int height,
                        const std::vector<PMenuSpec>& menus,
                        const std::vector<PShortcutSpec>& shortcuts, PWindowHandlers handlers,
                        bool widenForMenus = false);
  void ShowMainWindow();
  // The window's rectangle for storing at shut-down: the top-left corner of its frame (the
  // window manager's title bar included) and the size of its client area, as
  // CreateMainWindow places it again.
  void WindowRectangle(int& left, int& top, int& right, int& bottom) const;
  // Menu ids whose command is not built: they stay grey whatever the data enables.
  void SetUnavailable(const std::set<int>& ids, const std::string& tip);
  bool MenuItemExists(int id) const;
  // Closes the main window; asked: the user has already confirmed it, the close handler need
  // not ask again.
  void CloseMainWindow(bool asked = false);
  // A picture of the whole main window (menus, canvas, scroll bars), with the dialogs and
  // message boxes open at the time drawn over it where they stand, as the bytes of a PNG file
  // (the program writes it as it writes every file).
  bool GrabWindowPng(std::string& png);
  // The same picture straight into a file (pictures the tests keep for a look).
  bool GrabWindow(const std::string& path);
  // Ends every dialog, message box and click input now open (as cancelled) and answers any
  // later one at once, unseen, with its default: the program is on its way out.
  void EndDialogs();
  bool EndingDialogs() const { return endingDialogs_; }

  // Single instance: true when another start already runs (the file, if any, was handed to
  // it); otherwise this process listens for later starts.
  // The file goes over as it is given: the caller makes it absolute.
  //
  // The socket `name` lies in a folder of this user's alone: $XDG_RUNTIME_DIR, or else
  // "lumivane-<uid>" in the temporary folder, made 0700 and used only while it is a folder
  // (not a link) of this user's with no rights for others. Both ends check that the other is
  // a process of the same user (SO_PEERCRED) before anything is handed over. With no such
  // folder each start runs on its own.
  static std::string InstanceSocketPath(const std::string& name);
  static bool HandToRunningInstance(const std::string& name, const std::string& file);
  // Files handed over wait until no dialog, message box, pop-up menu, click input or busy work
  // is active, and are then given to the anotherStart handler one at a time. The socket is
  // removed when the backend goes, at exit, and at once on SIGTERM or SIGINT (which then end
  // the event loop with 128 + the signal's number, the program shutting down as on a close).
  void ListenForOtherStarts(const std::string& name);
  void StopListening();
  // 128 + the signal's number once SIGTERM or SIGINT asked the program to end, else 0.
  static int TerminateRequested();
  // Whether a handed-over file may be opened now.
  bool FreeToOpenHandedFiles() const;
  std::size_t HandedFilesWaiting() const;

  bool Interactive() const override { return true; }
  bool HasMainWindow() const override;
  void InfoLine(const std::string&) override {}
  PResult MessageBox(const std::string& text, const std::string& caption, PIcon icon,
                     PButtons buttons, PResult defaultButton, bool echoedInLog) override;
  int PopupMenu(const PPopupMenu& menu, int screenX, int screenY) override;
  bool ChooseFile(const PFileRequest& request, std::string& path) override;
  bool ValueDialog(const PValueRequest& request, std::string& answer) override;
  void SetMenuItemEnabled(int id, bool enabled) override;
  void SetMenuItemChecked(int id, bool checked) override;
  void SetMenuItemText(int id, const std::string& text) override;
  void SetMenuRadio(int first, int last, int checkedId) override;
  bool MenuItemEnabled(int id) const override;
  bool MenuItemChecked(int id) const override;
  std::string MenuItemText(int id) const override;
  void SetBusyCursor(bool busy) override;
  void ProgressBegin(const std::string& title, int total) override;
  bool ProgressStep(int done, const std::string& text) override;
  void ProgressEnd() override;
  bool ProgressWait(int milliseconds) override;
  void ShowTextWindow(const std::string& title, const std::string& markdown) override;
  // The window of ShowTextWindow while it is open (tests read it), else null.
  QWidget* TextWindow() const;
  // The progress dialog while one is shown (tests press its Cancel button).
  QProgressDialog* Progress() const { return progress_; }
  PCanvas* BeginPrint(PPrintPage& page) override;
  bool EndPrint() override;
  void SetWindowTitle(const std::string& title) override;
  std::string WindowTitle() const override;
  PCanvas* Canvas() override;
  void ClientSize(int& width, int& height) const override;
  void Present() override;
  void SetScrollbar(bool horizontal, int minimum, int maximum, int position, int page) override;
  void GetScrollbar(bool horizontal, int& minimum, int& maximum, int& position,
                    int& page) const override;
  bool ClickInput(PClickDialog& dialog, const PClickHandler& handler) override;

  PMainWindow* Window() const { return window_; }
  // The control dialog of a click input while one runs (tests press its buttons), else null.
  QWidget* ClickDialog() const { return clickDialog_; }
  // The widget that shows the back-buffer and takes the mouse.
  QWidget* CanvasWidget() const;
  // The main window as a widget (tests send it keys and close requests).
  QWidget* MainWidget() const;

 private:
  PMainWindow* window_ = nullptr;  // owned by Qt (deleted on close)
  int busyDepth_ = 0;
  QProgressDialog* progress_ = nullptr;
  QWidget* clickDialog_ = nullptr;
  std::optional<QPoint> clickDialogPlace_;  // where the user last moved the click dialog
  QPointer<QDialog> textWindow_;
  std::unique_ptr<class PPageJob> printJob_;
  bool endingDialogs_ = false;

  void DeliverHandedFiles();
};
