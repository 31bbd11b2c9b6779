#include "app/LVFrame.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

#include "app/LVCommand.h"
#include "ui/LVDataStores.h"
#include "commands/LVCalibrant.h"
#include "commands/LVMask.h"
#include "ui/LVMenus.h"
#include "core/database.h"
#include "core/status.h"
#include "core/text.h"
#include "graphics/GImage.h"
#include "ui/WWindow.h"
#include "platform/Platform.h"
#include "ui/WInfo.h"

namespace {

struct FrameState {
  std::string startDirectory;
  bool infoCreated = false;
  int infoLeft = 0, infoTop = 500, infoWidth = 800, infoHeight = 100;
};

FrameState& Frame() {
  static FrameState frame;
  return frame;
}

std::string CurrentDirectory() {
  char buffer[PATH_MAX];
  if (!getcwd(buffer, sizeof buffer)) return std::string();
  return buffer;
}

}  // namespace

int LVStartUp(int& status) {
  ISetSystemError(0);
  IResetStatus(status);
  // The first reset of the run also installs the default token separators.
  IDefault(status);
  if (!IOpenLogFile(kLogFileName, status) && status == kStatusFileOpen) IResetStatus(status);
  if (!ILoadDataBase(kDataBaseFileName, status) && status == kStatusFileOpen) {
    IResetStatus(status);
  }
  // A missing log directory or first-run data-base is handled here; its error number must
  // not be blamed on the next system-error check-point.
  ISetSystemError(0);
  std::string directory = CurrentDirectory();
  if (directory.size() > 256) directory.resize(256);
  Frame().startDirectory = directory;
  ISetDBItem("#Starting_Directory", directory, status);
  return status == kStatusGood ? kTrue : kFalse;
}

int LVShutDown(int& status) {
  FrameState& frame = Frame();
  int infoLeft = 0, infoTop = 0, infoWidth = 0, infoHeight = 0;
  if (frame.infoCreated && IInfoGetPosition(infoLeft, infoTop, infoWidth, infoHeight, status)) {
    ISetDBIntItem("Info_Window_StartX", infoLeft, status);
    ISetDBIntItem("Info_Window_StartY", infoTop, status);
    ISetDBIntItem("Info_Window_EndX", infoLeft + infoWidth - 1, status);
    ISetDBIntItem("Info_Window_EndY", infoTop + infoHeight - 1, status);
    ISetDBBooleanItem("Info_Window_Docked", WInfoWindowDocked() ? kTrue : kFalse, status);
  }
  if (!frame.startDirectory.empty() && chdir(frame.startDirectory.c_str()) != 0) ISetSystemError(errno);
  if (!ISaveDataBase(kDataBaseFileName, status)) {
    int local = kStatusGood;
    IWarning("Lumivane; Could not output internal data-base to file", local);
  }
  IStatusReport(status);
  LVCommand("Exit", CommandEvent{}, status);
  int local = kStatusGood;
  ICloseLogFile(local);
  return kTrue;
}

int LVInitialise(int& status) {
  static constexpr IRoutine kR{"LVInitialise", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  PBackend& backend = PCurrentBackend();
  LVSet1DDataCommands(false, status);
  LVSet2DDataCommands(false, status);
  LVSetMaskCommands(false, status);
  backend.SetMenuItemEnabled(552, false);
  GSetMaskColour({255, 60, 200});
  WSetScrollbar(true, true, 0, 2000, 0, 0, status);
  WSetScrollbar(false, true, 0, 2000, 0, 0, status);

  if (LVCommandRegistered("LUT_Set")) {
    int table = 705;
    IGetDBIntItem("Colour_Table", table, status);
    CommandEvent event;
    event.value = table;
    if (LVCommand("LUT_Set", event, status)) backend.SetMenuRadio(180, 190, table - 521);
  }

  int magnification = 0;
  if (IGetDBIntItem("Display_Magnification", magnification, status)) {
    CommandEvent event;
    event.value = magnification;
    if (LVCommand("Set_Magnification", event, status)) {
      backend.SetMenuRadio(130, 144, magnification >= 1 ? 136 + magnification
                                                        : 138 + magnification);
    }
  }

  // The intensity range is restored only when it makes a range.
  int method = kRangeFull;
  float minimum = 0.0f, maximum = 1.0f;
  GGetIntensityScaling(method, minimum, maximum, status);
  // With no choice stored (a first start) the range is the percentile one: a detector image
  // with a few hot pixels shows its rings, not a black field.
  if (!IGetDBIntItem("Intensity_Range_Method", method, status)) method = kRangePercentile;
  IGetDBRealItem("Intensity_Range_Minimum", minimum, status);
  IGetDBRealItem("Intensity_Range_Maximum", maximum, status);
  const bool known = GKnownRangeMethod(method);
  if (known && maximum > minimum && GSetIntensityScaling(method, minimum, maximum, status)) {
    static const int kItems[][2] = {{222, 150}, {223, 151}, {225, 152}, {224, 153}, {226, 154}};
    for (const auto& [code, item] : kItems) {
      if (code == GDisplay().intensityMethod) backend.SetMenuRadio(150, 154, item);
    }
    if (GDisplay().intensityMethod == kRangePercentile) {
      backend.SetMenuRadio(150, 154, 0);
      backend.SetMenuItemChecked(160, true);
    }
  }

  int poisson = kFalse;
  IGetDBBooleanItem("Integrate_Poisson_Errors", poisson, status);
  backend.SetMenuItemChecked(558, poisson != 0);
  backend.SetMenuItemChecked(449, LVCalibrantRingsShown());
  backend.SetMenuItemChecked(315, LVMaskDetectorMarks());

  int linearity = kLinear;
  // A stored value other than the two methods is not used.
  if (IGetDBIntItem("Linearity_Scaling_Method", linearity, status) &&
      (linearity == kLinear || linearity == kLogarithmic)) {
    GSetLinearityMethod(linearity, status);
  }
  backend.SetMenuItemChecked(121, GDisplay().linearity == kLinear);
  backend.SetMenuItemChecked(122, GDisplay().linearity == kLogarithmic);
  return status == kStatusGood ? kTrue : kFalse;
}

int LVCreateInfoWindow(int left, int top, int width, int height, int& status) {
  if (!IInfoCreateWindow("LV Information Window", left, top, width, height, status)) {
    return kFalse;
  }
  Frame().infoCreated = true;
  // Docked when the program last stopped: docked again on this client area, whatever its
  // size. A first start docks it too: the main window may have been widened for its menus.
  int docked = kFalse;
  const bool stored = IGetDBBooleanItem("Info_Window_Docked", docked, status);
  if (docked || !stored) WDockInfoWindow(status);
  return kTrue;
}

int LVFirstCommandSteps(int& status) {
  static constexpr IRoutine kR{"LVCommand", "V1.17"};
  ICheckSystemError("LVCommand: Before LVInitialise", status);
  LVInitialise(status);

  int startX = 0, startY = 500, endX = 799, endY = 599;
  IGetDBIntItem("Info_Window_StartX", startX, status);
  IGetDBIntItem("Info_Window_StartY", startY, status);
  IGetDBIntItem("Info_Window_EndX", endX, status);
  IGetDBIntItem("Info_Window_EndY", endY, status);
  ICheckSystemError("LVCommand: Before IInfoCreateWindow", status);
  LVCreateInfoWindow(startX, startY, endX - startX + 1, endY - startY + 1, status);

  std::string now;
  if (!IDateTime(now, status)) return kFalse;
  IWrite("Lumivane V1.17.00", status);
  IWrite(" ", status);
  IWrite("Lumivane Welcomes Lumivanes !", status);
  IWrite(" ", status);
  IWrite(now, status);
  IWrite(" ", status);

  DataStores& stores = LVStores();
  IInitialiseStores(stores, status);
  LVSetStoreMenuNames(stores, status);
  // The main store's item carries the mark from the start, not only after a choice.
  PCurrentBackend().SetMenuRadio(700, 700 + kNumStores - 1, 700 + stores.mainIndex);
  LVSetDataCommands(stores.Main(), status);
  LVRedraw(status);
  if (IBad(kR, status)) return kFalse;
  return kTrue;
}
