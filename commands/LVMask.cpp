// The masking commands.
#include "commands/LVMask.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ui/LVCommandRegistry.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GCoordinates.h"
#include "fileio/FScanFiles.h"
#include "maths/MMask.h"
#include "platform/Platform.h"
#include "ui/LVFileSelect.h"
#include "ui/LVMenus.h"
#include "ui/WDialogs.h"

namespace {

const char* const kMaskNotDefined = "The mask is not defined, so the operation is impossible";
const char* const kDataNotDefined =
    "WARNING: The data is not defined, so the operation is impossible";

// Erosion, fill, growth, inversion and saving work only on a mask with content.
int NeedMask(const DataSet& d, int& status) {
  if (d.maskDefined && d.maskAllocated && d.mask) return kTrue;
  IWarning(kMaskNotDefined, status);
  return kFalse;
}

int NeedData(const DataSet& d, int& status) {
  if (d.dataDefined && d.data) return kTrue;
  IWarning(kDataNotDefined, status);
  return kFalse;
}

// A mask that was changed is in use from now on; the mask menu items follow.
void MaskChanged(DataSet& d, int& status) {
  d.maskDefined = kTrue;
  d.maskInUse = kTrue;
  LVSetDataCommands(d, status);
}

int StoredInteger(const char* key, int fallback, int& status) {
  int value = fallback;
  IGetDBIntItem(key, value, status);
  return value;
}

// Asks a number of cycles from 1 to 100, the default under `key`.
int AskCycles(const char* prompt, const char* key, int& cycles, int& status) {
  cycles = StoredInteger(key, 1, status);
  return WGetInteger({prompt, kTrue, kTrue, 1, 100, cycles, status});
}

// A click position truncated to a pixel, kept in the int range.
int PixelOf(float value) {
  if (!(value > -2.0e9f)) return -2000000000;
  if (value > 2.0e9f) return 2000000000;
  return static_cast<int>(value);
}

}  // namespace

int LVMaskClear(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskClear", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (d.maskAllocated && d.mask) std::memset(d.mask.get(), 0, IElementCount(d));
  d.maskDefined = kFalse;
  d.maskInUse = kFalse;
  IInfo("The mask has been cleared", status);
  LVSetDataCommands(d, status);
  return kTrue;
}

int LVMaskClearROI(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskClearROI", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!MROISetMask(0, d, status)) return kFalse;
  IInfo("The mask has been cleared in the ROI", status);
  return kTrue;
}

int LVMaskErode(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskErode", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedMask(d, status)) return kFalse;
  int cycles = 1;
  if (!AskCycles("ENTER NUMBER OF ERODE MASK CYCLES TO APPLY", "Mask_Erode_Num_Cycles", cycles,
                 status)) {
    return kFalse;
  }
  {
    PBusyCursor busy;
    // The fill test (k > 9) never holds in a 3 x 3 window: a pure erosion.
    if (!MMask3ErodeFill(6, 9, cycles, d, status)) return kFalse;
  }
  IInfo(IFormat("Main data mask eroded by %i cycle(s)", cycles), status);
  ISetDBIntItem("Mask_Erode_Num_Cycles", cycles, status);
  return kTrue;
}

int LVMaskErodeFill(int size, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskErodeFill", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (size != 3 && size != 5) return IFail(kR, kStatusIntRange1, status);
  if (!NeedMask(d, status)) return kFalse;
  int cycles = 1;
  if (!AskCycles("ENTER NUMBER OF ERODE / FILL MASK CYCLES TO APPLY", "Mask_ErodeFill_Num_Cycles",
                 cycles, status)) {
    return kFalse;
  }
  {
    PBusyCursor busy;
    const int done = size == 3 ? MMask3ErodeFill(2, 5, cycles, d, status)
                               : MMask5ErodeFill(6, 12, cycles, d, status);
    if (!done) return kFalse;
  }
  IInfo(IFormat("Main data mask eroded / filled by %i cycle(s)", cycles), status);
  ISetDBIntItem("Mask_ErodeFill_Num_Cycles", cycles, status);
  return kTrue;
}

int LVMaskGrow(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskGrow", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedMask(d, status)) return kFalse;
  int cycles = 1;
  if (!AskCycles("ENTER NUMBER OF CYCLES TO MASK GROWTH ALGORITHM", "Mask_Grow_Num_Cycles", cycles,
                 status)) {
    return kFalse;
  }
  {
    PBusyCursor busy;
    if (!MMask3Grow(cycles, d, status)) return kFalse;
  }
  IInfo(IFormat("Main data mask grown by %i layer(s)", cycles), status);
  ISetDBIntItem("Mask_Grow_Num_Cycles", cycles, status);
  return kTrue;
}

int LVMaskInvert(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskInvert", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedMask(d, status)) return kFalse;
  PBusyCursor busy;
  return MMaskInvert(d, status);
}

int LVMaskLoad(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskLoad", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, status)) return kFalse;
  std::string name = "lumivane.msk";
  IGetDBItem("MASK_FILE", name, status);
  if (!LVSelectInMaskFile(256, name, status)) return kFalse;
  {
    PBusyCursor busy;
    if (!FInputMask(name, d, status)) return kFalse;
  }
  ISetDBItem("MASK_FILE", name, status);
  LVSetDataCommands(d, status);
  return kTrue;
}

int LVMaskSave(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskSave", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedMask(d, status)) return kFalse;
  std::string name = "lumivane.msk";
  IGetDBItem("Mask_File", name, status);
  if (!LVSelectOutMaskFile(256, name, status)) return kFalse;
  if (!FOutputMask(name, d, status)) return kFalse;
  ISetDBItem("Mask_File", name, status);
  return kTrue;
}

int LVMaskSignificant(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskSignificant", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, status)) return kFalse;
  int windowX = StoredInteger("Mask_Significant_WindowX", 71, status);
  int windowY = StoredInteger("Mask_Significant_WindowY", 71, status);
  int cycles = StoredInteger("Mask_Significant_Num_Cycles", 3, status);
  float sigmas = 1.0f;
  IGetDBRealItem("Mask_Significant_Sigma", sigmas, status);
  if (!WGetInteger({"ENTER SIZE OF MOVING SIGNIFICANCE WINDOW IN PIXELS FOR X-DIRECTION", kTrue,
                    kTrue, 1, d.numX, windowX, status}) ||
      !WGetInteger({"ENTER SIZE OF MOVING SIGNIFICANCE WINDOW IN PIXELS FOR Y-DIRECTION", kTrue,
                    kTrue, 1, d.numY, windowY, status}) ||
      !WGetReal({"ENTER SIGNIFICANCE LEVEL: NUMBER OF SIGMAS ABOVE BACKGROUND", kTrue, kTrue, 1.0f,
                 20.0f, sigmas, status}) ||
      !WGetInteger({"ENTER NUMBER OF REPEAT CYCLES TO APPLY MASKING ALGORITHM", kTrue, kTrue, 1,
                    100, cycles, status})) {
    return kFalse;
  }
  {
    PBusyCursor busy;
    if (!MMaskSignificant(windowX, windowY, sigmas, cycles, d, status)) return kFalse;
  }
  MaskChanged(d, status);
  ISetDBIntItem("Mask_Significant_WindowX", windowX, status);
  ISetDBIntItem("Mask_Significant_WindowY", windowY, status);
  ISetDBRealItem("Mask_Significant_Sigma", sigmas, status);
  ISetDBIntItem("Mask_Significant_Num_Cycles", cycles, status);
  IInfo(IFormat("Masked data elements >= %f sigma above average in %i by %i window",
                static_cast<double>(sigmas), windowX, windowY),
        status);
  return kTrue;
}

int LVMaskThreshold(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskThreshold", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, status)) return kFalse;
  int useLower = kTrue, useUpper = kFalse;
  float lower = 1.0f, upper = 65535.0f;
  IGetDBBooleanItem("Mask_Lower_Threshold", useLower, status);
  IGetDBRealItem("Mask_Lower_Value", lower, status);
  IGetDBBooleanItem("Mask_Upper_Threshold", useUpper, status);
  IGetDBRealItem("Mask_Upper_Value", upper, status);
  if (!WGetBoolean({"MASK ELEMENTS BELOW A THRESHOLD", kTrue, useLower, status})) return kFalse;
  if (useLower && !WGetReal({"ENTER INTENSITY BELOW WHICH ALL ELEMENTS ARE MASKED", kTrue, kFalse,
                             0.0f, 0.0f, lower, status})) {
    return kFalse;
  }
  if (!WGetBoolean({"MASK ELEMENTS ABOVE A THRESHOLD", kTrue, useUpper, status})) return kFalse;
  if (useUpper && !WGetReal({"ENTER INTENSITY ABOVE WHICH ALL ELEMENTS ARE MASKED", kTrue, kTrue,
                             lower, 1.7e38f, upper, status})) {
    return kFalse;
  }
  if (!MMaskThreshold(useLower, lower, useUpper, upper, d, status)) return kFalse;
  MaskChanged(d, status);
  ISetDBBooleanItem("Mask_Lower_Threshold", useLower, status);
  ISetDBRealItem("Mask_Lower_Value", lower, status);
  ISetDBBooleanItem("Mask_Upper_Threshold", useUpper, status);
  ISetDBRealItem("Mask_Upper_Value", upper, status);
  if (useLower) {
    IInfo(IFormat("Data elements with values <= %f are masked", static_cast<double>(lower)),
          status);
  }
  if (useUpper) {
    IInfo(IFormat("Data elements with values >= %f are masked", static_cast<double>(upper)),
          status);
  }
  return kTrue;
}

int LVMaskAskCircleDiameter(const DataSet& d, int& diameter, int& status) {
  static constexpr IRoutine kR{"LVMaskCircles", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  diameter = StoredInteger("Mask_Circle_Diameter", 21, status);
  return WGetInteger(
      {"ENTER DIAMETER IN PIXELS OF MASKING CIRCLES", kTrue, kTrue, 1, d.numX, diameter, status});
}

int LVMaskCirclesAt(int diameter, int count, const float* xs, const float* ys, DataSet& d,
                    int& status) {
  static constexpr IRoutine kR{"LVMaskCircles", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  int taken = 0;
  for (int i = 0; i < count && xs && ys; ++i) {
    const int x = PixelOf(xs[i]);
    const int y = PixelOf(ys[i]);
    if (!MMaskCircle(x, y, diameter, d, status)) return kFalse;
    IInfo(IFormat("Masked with %i diameter circle at (%i, %i)", diameter, x, y), status);
    ++taken;
  }
  if (taken > 0) MaskChanged(d, status);
  ISetDBIntItem("Mask_Circle_Diameter", diameter, status);
  return kTrue;
}

int LVMaskPolygonPoints(int mask, int count, const float* xs, const float* ys, DataSet& d,
                        int& status) {
  static constexpr IRoutine kR{"LVMaskPolygon", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (count < 3 || !xs || !ys) return kFalse;
  if (!MMaskPolygon(mask, kMaskPolygonMaxVertices, count, xs, ys, d, status)) return kFalse;
  if (mask) {
    IInfo("Polygon region masked", status);
    MaskChanged(d, status);
  } else {
    IInfo("Polygon region un-masked", status);
  }
  return kTrue;
}

int LVMaskCircles(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskCircles", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  int diameter = 0;
  if (!LVMaskAskCircleDiameter(d, diameter, status)) return kFalse;
  std::vector<float> xs(kMaskPolygonMaxVertices), ys(kMaskPolygonMaxVertices);
  int count = 0;  // any number, until FINISH INPUT
  if (!GGetCoordinates({d, kMaskCirclesPrompt, kTrue, kFalse, kFalse, kFalse,
                        kMaskPolygonMaxVertices, count, xs.data(), ys.data(), status})) {
    return kFalse;
  }
  return LVMaskCirclesAt(diameter, count, xs.data(), ys.data(), d, status);
}

int LVMaskPolygon(int mask, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMaskPolygon", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  std::vector<float> xs(kMaskPolygonMaxVertices), ys(kMaskPolygonMaxVertices);
  int count = 0;
  // The outline follows the clicks and closes on the first vertex at the end.
  if (!GGetCoordinates({d, kMaskPolygonPrompt, kTrue, kTrue, kFalse, kTrue,
                        kMaskPolygonMaxVertices, count, xs.data(), ys.data(), status})) {
    return kFalse;
  }
  return LVMaskPolygonPoints(mask, count, xs.data(), ys.data(), d, status);
}

bool LVMaskDetectorMarks() {
  int on = kTrue, local = kStatusGood;
  IGetDBBooleanItem("Mask_Detector_Marks", on, local);
  return on != kFalse;
}

void LVRegisterMaskCommands() {
  LVRegisterCommand({.name = "Mask_Detector_Marks", .work = [](LVCommandCall& call) {
                       const bool on = !LVMaskDetectorMarks();
                       ISetDBBooleanItem("Mask_Detector_Marks", on ? kTrue : kFalse, call.status);
                       PCurrentBackend().SetMenuItemChecked(315, on);
                       IInfo(on ? "Images are opened with the gaps and bad pixels their detector "
                                  "marks masked"
                                : "Images are opened with no mask",
                             call.status);
                       return kTrue;
                     }});
  LVRegisterCommand({.name = "Mask_Circles", .work = [](LVCommandCall& call) {
                       return LVMaskCircles(call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Mask_Polygon", .work = [](LVCommandCall& call) {
                       return LVMaskPolygon(kTrue, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Mask_Clear_Polygon", .work = [](LVCommandCall& call) {
                       return LVMaskPolygon(kFalse, call.main, call.status);
                     }});
  struct Row {
    const char* name;
    int (*routine)(DataSet&, int&);
  };
  const Row rows[] = {
      {"Mask_Clear", LVMaskClear},         {"Mask_Clear_ROI", LVMaskClearROI},
      {"Mask_Erode", LVMaskErode},         {"Mask_Grow", LVMaskGrow},
      {"Mask_Invert", LVMaskInvert},       {"Mask_Load", LVMaskLoad},
      {"Mask_Save", LVMaskSave},           {"Mask_Significant", LVMaskSignificant},
      {"Mask_Threshold", LVMaskThreshold},
  };
  for (const Row& row : rows) {
    LVRegisterCommand({.name = row.name, .work = [routine = row.routine](LVCommandCall& call) {
                         return routine(call.main, call.status);
                       }});
  }
  LVRegisterCommand({.name = "Mask_Erode/Fill", .work = [](LVCommandCall& call) {
                       return LVMaskErodeFill(call.event.value, call.main, call.status);
                     }});
}
