#include "app/LVWindowMain.h"

#include <QApplication>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>
#include <unistd.h>

#include "app/LVCommand.h"
#include "app/LVFrame.h"
#include "app/LVMenus.h"
#include "core/database.h"
#include "core/outputfile.h"
#include "core/status.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GSpyGlass.h"
#include "commands/LVDemo.h"
#include "commands/LVFiles.h"
#include "platform/Headless.h"
#include "ui/LVMenus.h"
#include "platform/QtBackend.h"
#include "ui/WDialogs.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"
#include "ui/WWindow.h"

namespace {

LVWindowTestHooks gHooks;
// The screenshot of a --screenshot run is taken and the program is on its way out.
bool gQuitting = false;

// A display name as a piece of a socket name: its screen number dropped (":0.0" and ":0" are
// one display), any character other than letters, digits, '.', '-' and '_' made '_'.
std::string DisplayKey(const char* variable, bool dropScreen) {
  const char* value = std::getenv(variable);
  std::string name = value ? value : "";
  if (dropScreen) {
    const std::size_t colon = name.rfind(':');
    const std::size_t dot = name.rfind('.');
    if (colon != std::string::npos && dot != std::string::npos && dot > colon) name.resize(dot);
  }
  for (char& c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    if (!plain) c = '_';
  }
  return name;
}

void Redraw() {
  int status = kStatusGood;
  WDrawWindow(status);
}

// The information window takes the messages that drag it; the rest become mouse commands
// (which exist once the mouse work is built; until then they are ignored).
void Mouse(const PMouseEvent& m) {
  int status = kStatusGood;
  int redraw = kFalse;
  if (GSpyGlassMoveRegion(m, redraw, status)) {
    if (redraw) WDrawWindow(status);
    return;
  }
  if (IInfoMoveRegion(m, redraw, status)) {
    if (redraw) WDrawWindow(status);
    return;
  }
  const char* name = nullptr;
  switch (m.kind) {
    case PMouseKind::kMove: name = "Mouse_Move"; break;
    case PMouseKind::kLeftDown: name = "Left_Button_Down"; break;
    case PMouseKind::kLeftUp: name = "Left_Button_Up"; break;
    case PMouseKind::kRightDown: name = "Right_Button_Down"; break;
    case PMouseKind::kRightUp: name = "Right_Button_Up"; break;
    case PMouseKind::kNonClientMove: name = "Mouse_Hit_Edge"; break;
  }
  if (!name || !LVCommandRegistered(name)) return;
  CommandEvent event;
  event.x = m.x;
  event.y = m.y;
  event.value = m.hitCode;
  LVCommand(name, event, status);
}

void Scroll(bool horizontal, PScrollAction action, int position) {
  CommandEvent event;
  int status = kStatusGood;
  int result = kFalse;
  if (action == PScrollAction::kThumb) {
    if (horizontal) {
      event.value = position;
      result = LVCommand("Move_X", event, status);
    } else {
      int minimum = 0, maximum = 0, current = 0, page = 0;
      WGetScrollbar(false, minimum, maximum, current, page, status);
      event.value = std::min(maximum, position + page - 1);
      result = LVCommand("Move_Y", event, status);
    }
  } else {
    static const int kHorizontal[4] = {876, 877, 880, 881};
    static const int kVertical[4] = {878, 879, 882, 883};
    const int index = action == PScrollAction::kLineUp     ? 0
                      : action == PScrollAction::kLineDown ? 1
                      : action == PScrollAction::kPageUp   ? 2
                                                           : 3;
    event.value = horizontal ? kHorizontal[index] : kVertical[index];
    result = LVCommand("Move_Display", event, status);
  }
  if (result) Redraw();
}

void Wheel(bool forward) {
  CommandEvent event;
  event.value = forward ? 878 : 879;
  int status = kStatusGood;
  if (LVCommand("Move_Display", event, status)) Redraw();
}

// asked: the menu's Exit has had the user confirm already, so the question is not put twice.
bool ConfirmClose(PQtBackend* backend, bool asked) {
  int status = kStatusGood;
  if (!asked && gHooks.exitAfterMs <= 0 && !gHooks.closeWithoutAsking) {
    int yes = kTrue;
    if (!WGetBoolean({"CONFIRM REQUEST TO EXIT LUMIVANE", kTrue, yes, status}) || !yes) {
      return false;
    }
  }
  // The window's rectangle is kept for the next start.
  int left = 0, top = 0, right = 0, bottom = 0;
  backend->WindowRectangle(left, top, right, bottom);
  ISetDBIntItem("Window_StartX", left, status);
  ISetDBIntItem("Window_StartY", top, status);
  ISetDBIntItem("Window_EndX", right, status);
  ISetDBIntItem("Window_EndY", bottom, status);
  return true;
}

void FirstPaintAndRedraw() {
  int status = kStatusGood;
  if (!LVInitialised()) LVFirstPaint(status);
  WDrawWindow(status);
}

// The canvas changed size (the user resized the window, or the window manager gave it its
// first size): the image in view is fitted to the new area, then drawn.
void Resized() {
  int status = kStatusGood;
  if (!LVInitialised()) {
    LVFirstPaint(status);
  } else {
    DataSet& main = LVStores().Main();
    if (!LVCommandRunning() && main.dataDefined && main.numY >= 2 && !GImageFillsArea(main)) {
      LVAutosetMagnification(main, status);
      PCurrentBackend().SetMenuRadio(130, 144, GDisplaySizeMenuItem(main));
    }
  }
  WDrawWindow(status);
}

// The end of a --screenshot run: the picture (with any box or dialog open at the time over
// the window), every box and dialog closed, and the program told to quit. Nothing may hold
// it: later boxes are answered at once, unseen.
void ScreenshotAndQuit() {
  PQtBackend* backend = LVWindowBackend();
  if (!backend || !backend->HasMainWindow()) {
    // Not started yet (the log or the data-base is still being read): a moment later.
    QTimer::singleShot(200, [] { ScreenshotAndQuit(); });
    return;
  }
  if (gQuitting) return;
  gQuitting = true;
  const bool dialogOpen = QApplication::activeModalWidget() || QApplication::activePopupWidget() ||
                          backend->ClickDialog();
  if (!dialogOpen) {
    // The picture shows the data as drawn now; a box the drawing raises is not waited for.
    backend->EndDialogs();
    FirstPaintAndRedraw();
    QApplication::processEvents();
  }
  std::string png;
  if (!gHooks.screenshot.empty() && backend->GrabWindowPng(png)) {
    IWriteFileContents(gHooks.screenshot, png);
  }
  backend->EndDialogs();
  backend->CloseMainWindow();
  QCoreApplication::exit(0);
}

}  // namespace

std::string LVInstanceName() {
  return "Lumivane Window Class-" + std::to_string(getuid()) + "-x" +
         DisplayKey("DISPLAY", true) + "-w" + DisplayKey("WAYLAND_DISPLAY", false);
}

std::string LVAbsoluteFileArgument(const std::string& argument) {
  std::string name = argument;
  if (!name.empty() && name[0] == '"') {
    name = name.size() >= 2 && name.back() == '"' ? name.substr(1, name.size() - 2)
                                                  : name.substr(1);
  }
  if (name.empty()) return name;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(name, error);
  return error ? name : absolute.lexically_normal().string();
}

void LVSetWindowTestHooks(const LVWindowTestHooks& hooks) { gHooks = hooks; }

namespace {
PQtBackend* gBackend = nullptr;
}  // namespace

PQtBackend* LVWindowBackend() { return gBackend; }

bool LVStartWindow(const std::string& file, bool singleInstance) {
  PEnsureApplication();
  // A second start hands its file to the first and ends, before it touches the log or the
  // data-base: opening the log would truncate the running program's log under its feet.
  // The file goes over by its absolute name: the running program has its own directory.
  if (singleInstance &&
      PQtBackend::HandToRunningInstance(LVInstanceName(), LVAbsoluteFileArgument(file))) {
    return false;
  }

  int status = kStatusGood;
  LVStartUp(status);

  auto owned = std::make_unique<PQtBackend>();
  PQtBackend* backend = owned.get();
  gBackend = backend;
  PInstallBackend(std::move(owned));
  WInstallMessageSink();
  LVRegisterAllCommands();

  int startX = 0, startY = 0, endX = 800, endY = 600;
  IGetDBIntItem("Window_StartX", startX, status);
  IGetDBIntItem("Window_StartY", startY, status);
  // The first start's default size is widened to show every menu; a size the user left is kept.
  const bool sized = IGetDBIntItem("Window_EndX", endX, status);
  IGetDBIntItem("Window_EndY", endY, status);
  if (startX < 0) startX = 0;
  if (startY < 0) startY = 0;
  if (endX < 50 || endX > 5000) endX = startX + 100;
  if (endY < 50 || endY > 5000) endY = startY + 100;

  PWindowHandlers handlers;
  handlers.menu = LVMenuCommand;
  handlers.mouse = Mouse;
  handlers.scroll = Scroll;
  handlers.wheel = Wheel;
  handlers.close = [backend](bool asked) { return ConfirmClose(backend, asked); };
  handlers.busy = [] { return LVCommandRunning(); };
  handlers.expose = Resized;
  handlers.anotherStart = [](const std::string& other) {
    CommandEvent event;
    event.text = other;
    event.value = kOpenAskStack;
    int local = kStatusGood;
    if (LVCommand("Open_File", event, local)) Redraw();
  };
  backend->CreateMainWindow("Lumivane V1.17.00", startX, startY, endX - startX + 1,
                            endY - startY + 1, LVMenuSpecs(), LVShortcutSpecs(), handlers,
                            !sized);
  const auto unavailable = LVUnavailableMenuIds();
  backend->SetUnavailable(std::set<int>(unavailable.begin(), unavailable.end()),
                          "Not available in this version yet");
  if (singleInstance) backend->ListenForOtherStarts(LVInstanceName());
  backend->ShowMainWindow();
  // The spy-glass comes back as it was left.
  int spyGlass = kFalse;
  IGetDBBooleanItem("SpyGlass_On", spyGlass, status);
  if (spyGlass) LVToggleSpyGlass(status);

  LVCommandLine(file, status);
  IStatusReport(status);
  ICheckSystemError("Lumivane: Before message loop:", status);
  return true;
}

int LVStopWindow() {
  int status = kStatusGood;
  LVShutDown(status);
  // The window goes while the toolkit still runs, never among the exit-time destructors.
  gBackend = nullptr;
  PInstallBackend(std::make_unique<PHeadlessBackend>());
  return 0;
}

int LVRunWindow(int argc, char** argv, const std::string& argument) {
  (void)argc;
  (void)argv;
  const bool demo = argument == "--demo";
  const std::string file = demo ? std::string() : argument;
  gQuitting = false;
  if (gHooks.exitAfterMs > 0) {
    // Armed before the start-up, whose boxes (a file that cannot be read) would otherwise
    // hold the run before the message loop.
    PEnsureApplication();
    QTimer::singleShot(gHooks.exitAfterMs, [] { ScreenshotAndQuit(); });
  }
  if (!LVStartWindow(file, gHooks.exitAfterMs == 0)) return 0;
  if (demo) {
    QTimer::singleShot(0, [] {
      if (gQuitting) return;
      int status = kStatusGood;
      if (!LVInitialised()) LVFirstPaint(status);
      DataSet& main = LVStores().Main();
      if (LVMakeDemoImage(main, status)) {
        LVAutosetMagnification(main, status);
        LVSetDataCommands(main, status);
      }
      IStatusReport(status);
      Redraw();
    });
  }
  // A screenshot taken during the start-up has already asked to quit.
  // A SIGTERM or SIGINT taken during the start-up ends the run as one taken later does.
  const int code = gQuitting                           ? 0
                   : PQtBackend::TerminateRequested() ? PQtBackend::TerminateRequested()
                                                      : QApplication::exec();
  LVStopWindow();
  return code;
}
