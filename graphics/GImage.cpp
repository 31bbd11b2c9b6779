#include "graphics/GImage.h"

#include <algorithm>
#include <cstdint>

#include "core/database.h"
#include "core/status.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GGraphics.h"
#include "graphics/GRender.h"
#include "maths/MStatistics.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/WDialogs.h"
#include "ui/WWindow.h"

namespace {

// The region of interest is changed for the length of one draw only.
class RegionScope {
 public:
  explicit RegionScope(DataSet& d)
      : d_(d), startX_(d.startX), startY_(d.startY), endX_(d.endX), endY_(d.endY) {}
  ~RegionScope() {
    d_.startX = startX_;
    d_.startY = startY_;
    d_.endX = endX_;
    d_.endY = endY_;
  }

 private:
  DataSet& d_;
  int startX_, startY_, endX_, endY_;
};

// ---- The intensity range of a repaint, kept while the data stand still ------------------
// Finding the range reads every visible pixel, as much work as drawing them. Repaints that
// follow one another with nothing changed in between (an expose, a resize, a new colour
// table) keep the range found by the first; anything that may have changed the data moves the
// data generation on (data/DataSet.h), and the region, the arrays, the mask and the store are
// part of the key besides.

enum class RangeKind { kExtremes, kBlockExtremes, kWeakPeak, kPercentile };

struct RangeKey {
  std::uint64_t generation = 0;
  const DataSet* store = nullptr;
  const float* data = nullptr;
  const unsigned char* mask = nullptr;
  int maskInUse = 0;
  int dimX = 0, dimY = 0, numX = 0, numY = 0;
  int startX = 0, startY = 0, endX = 0, endY = 0;
  int reduction = 0;
  RangeKind kind = RangeKind::kExtremes;
  bool operator==(const RangeKey&) const = default;
};

struct KeptRange {
  bool valid = false;
  RangeKey key;
  bool found = false;
  float low = 0.0f, high = 0.0f;
};

KeptRange& TheKeptRange() {
  static KeptRange kept;
  return kept;
}

// The range of the region of `d` by `kind`; reuses the kept one where nothing it depends on
// can have changed (only inside a redraw: see IDataSteady).
bool FindRange(DataSet& d, RangeKind kind, float& low, float& high, int& status) {
  const RangeKey key{IDataGeneration(), &d,       d.data.get(), d.mask.get(), d.maskInUse,
                     d.dimX,            d.dimY,   d.numX,       d.numY,       d.startX,
                     d.startY,          d.endX,   d.endY,       d.reduction,  kind};
  KeptRange& kept = TheKeptRange();
  const bool steady = IDataSteady();
  if (steady && kept.valid && kept.key == key) {
    low = kept.low;
    high = kept.high;
    return kept.found;
  }
  bool found = false;
  switch (kind) {
    case RangeKind::kExtremes: found = MROIMinMax(d, low, high, status); break;
    case RangeKind::kBlockExtremes: found = MROIRebinMinMax(d, low, high, status); break;
    case RangeKind::kWeakPeak: found = MROIWeakPeakScaling(d, low, high, status); break;
    case RangeKind::kPercentile:
      found = MROIPercentiles(d, 0.5, 99.5, low, high, status);
      break;
  }
  kept = KeptRange{};
  if (steady && status == kStatusGood) kept = KeptRange{true, key, found, low, high};
  return found;
}

// A region that does not lie inside the defined data is replaced, for good, by the whole.
void CorrectBadRegion(DataSet& d, int& status) {
  if (d.startX < 0 || d.startX > d.numX - 1 || d.endX < d.startX || d.endX > d.numX - 1) {
    INote("Emergency correction of bad ROI:", status);
    IWriteLogFile(IFormat("data->numX = %i, data->startX = %i, data->endX = %i", d.numX, d.startX,
                          d.endX),
                  status);
    d.startX = 0;
    d.endX = d.numX - 1;
  }
  if (d.startY < 0 || d.startY > d.numY - 1 || d.endY < d.startY || d.endY > d.numY - 1) {
    INote("Emergency correction of bad ROI:", status);
    IWriteLogFile(IFormat("data->numY = %i, data->startY = %i, data->endY = %i", d.numY, d.startY,
                          d.endY),
                  status);
    d.startY = 0;
    d.endY = d.numY - 1;
  }
}

using Renderer = int (*)(float, float, int, int, const DataSet&, int, int, int, std::uint8_t*,
                         int&);

int MenuItemOfMethod(int method) {
  switch (method) {
    case kRangeFull: return 150;
    case kRangeWeakPeak: return 151;
    case kRangeAutoMaximum: return 152;
    case kRangeAutoMinimum: return 153;
    case kRangeFixed:
    case kRangeIncreaseMinimum:
    case kRangeDecreaseMinimum:
    case kRangeIncreaseMaximum:
    case kRangeDecreaseMaximum: return 154;
    case kRangePercentile: return 160;
    default: return 0;
  }
}

}  // namespace

int GSetIntensityScaling(int method, float minimum, float maximum, int& status) {
  static constexpr IRoutine kR{"GSetIntensityScaling", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!GKnownRangeMethod(method)) return IFail(kR, kStatusIntRange1, status);
  DisplaySettings& s = GDisplay();
  s.intensityMinimum = minimum;
  s.intensityMaximum = maximum;
  if (method != kRangeSet) s.intensityMethod = method;
  return kTrue;
}

int GGetIntensityScaling(int& method, float& minimum, float& maximum, int& status) {
  static constexpr IRoutine kR{"GGetIntensityScaling", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  method = GDisplay().intensityMethod;
  minimum = GDisplay().intensityMinimum;
  maximum = GDisplay().intensityMaximum;
  return kTrue;
}

int GSetLinearityMethod(int method, int& status) {
  static constexpr IRoutine kR{"GSetLinearityMethod", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (method != kLinear && method != kLogarithmic) return IFail(kR, kStatusIntRange1, status);
  GDisplay().linearity = method;
  return kTrue;
}

int GGetLinearityMethod(int& method, int& status) {
  static constexpr IRoutine kR{"GGetLinearityMethod", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  method = GDisplay().linearity;
  return kTrue;
}

void GSetMaskColour(GRGB colour) { GDisplay().maskColour = colour; }

int GGetMaskColour(GRGB& colour, int& status) {
  static constexpr IRoutine kR{"GGetMaskColour", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  colour = GDisplay().maskColour;
  return kTrue;
}

namespace {

// The checks every image renderer makes of its arguments.
int DrawArgumentsSound(const IRoutine& r, const PCanvas* canvas, int width, int height,
                       float minimum, float maximum, int linearity, int& status) {
  if (!canvas) return IFail(r, kStatusBadHandle, status);
  if (width <= 0) return IFail(r, kStatusIntRange1, status);
  if (height <= 0) return IFail(r, kStatusIntRange2, status);
  if (!(minimum <= maximum)) return IFail(r, kStatusRealRange1, status);
  if (linearity != kLinear && linearity != kLogarithmic) return IFail(r, kStatusIntRange1, status);
  return kTrue;
}

}  // namespace

int GDrawScaledImage(PCanvas* canvas, int x0, int y0, int width, int height, float minimum,
                     float maximum, int linearity, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"GDrawScaledImage", "V0.6"};
  if (IBad(kR, status)) return kFalse;
  if (!DrawArgumentsSound(kR, canvas, width, height, minimum, maximum, linearity, status)) {
    return kFalse;
  }
  const int columns = d.endX - d.startX + 1;
  const int rows = d.endY - d.startY + 1;
  const int m = d.magnification;
  const int r = std::max(1, d.reduction);
  int bitmapWidth = 0, bitmapHeight = 0;
  if (m >= 1) {
    bitmapWidth = static_cast<int>(std::min<long long>(width, static_cast<long long>(m) * columns));
    bitmapHeight = static_cast<int>(std::min<long long>(height, static_cast<long long>(m) * rows));
  } else {
    // A region narrower than one block still shows as one (partial) block.
    bitmapWidth = std::min(width, std::max(1, columns / r));
    bitmapHeight = std::min(height, std::max(1, rows / r));
  }
  PBitmap bitmap;
  int stride = 0;
  if (!WCreateBitmap(canvas, bitmapWidth, bitmapHeight, stride, bitmap, status)) return kFalse;
  // The drawing area is the whole device, so data rows map onto the rows the bitmap occupies.
  GSetBP(canvas->Width(), canvas->Height(), x0, y0, bitmapWidth, bitmapHeight, status);

  Renderer renderer = nullptr;
  if (linearity == kLinear) {
    renderer = m == 1 ? GLinearScaledImage : m > 1 ? GLinearMagScaledImage : GLinearRebinScaledImage;
  } else {
    renderer = m == 1 ? GLogScaledImage : m > 1 ? GLogMagScaledImage : GLogRebinScaledImage;
  }
  if (!renderer(minimum, maximum, d.startX, d.startY, d, bitmapWidth, bitmapHeight, stride,
                bitmap.bits.data(), status)) {
    return kFalse;
  }
  return WBitmapToWindow(canvas, x0, y0, bitmapWidth, bitmapHeight, bitmap, status);
}

int GDrawImage(PCanvas* canvas, int x0, int y0, int width, int height, DataSet& d, int& status) {
  static constexpr IRoutine kR{"GDrawImage", "V0.7"};
  if (IBad(kR, status)) return kFalse;
  CorrectBadRegion(d, status);
  if (!ICheckDataLayout("GDrawImage", d, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  if (!GSetWindow(canvas, status)) return kFalse;

  // A result with axes of its own is stretched over the whole area, whatever its shape;
  // anything else is drawn at its display size from its display start.
  const bool fitted = GImageFillsArea(d);
  GSetImageFit(false, 1.0, 1.0, 0, 0);
  if (fitted) {
    d.displayStartX = 0;
    d.displayStartY = 0;
  }
  // The display start is validated before the visible part is worked out from it.
  GMoveDisplay(kMoveValidate, d, status);
  RegionScope scope(d);
  const int m = d.magnification;
  const int r = std::max(1, d.reduction);
  const int sx = d.displayStartX;
  const int sy = d.displayStartY;
  int columns = 0, rows = 0;
  if (fitted) {
    columns = d.numX;
    rows = d.numY;
  } else if (m >= 1) {
    columns = std::min(width / m, d.numX - sx);
    rows = std::min(height / m, d.numY - sy);
  } else {
    columns = static_cast<int>(std::min<long long>(static_cast<long long>(width) * r, d.numX - sx));
    rows = static_cast<int>(std::min<long long>(static_cast<long long>(height) * r, d.numY - sy));
  }
  if (columns < 1 || rows < 1 || width < 1 || height < 1) return kFalse;
  d.startX = sx;
  d.endX = sx + columns - 1;
  d.startY = sy;
  d.endY = sy + rows - 1;

  int method = kRangeFull;
  float minimum = 0.0f, maximum = 1.0f;
  GGetIntensityScaling(method, minimum, maximum, status);
  const int linearity = GDisplay().linearity;
  bool found = true;
  if (method == kRangeFull || method == kRangeAutoMinimum || method == kRangeAutoMaximum) {
    float low = 0.0f, high = 0.0f;
    found = FindRange(d, m == 0 && !fitted ? RangeKind::kBlockExtremes : RangeKind::kExtremes,
                      low, high, status);
    if (found) {
      if (method != kRangeAutoMaximum) minimum = low;
      if (method != kRangeAutoMinimum) maximum = high;
    }
  } else if (method == kRangeWeakPeak) {
    found = FindRange(d, RangeKind::kWeakPeak, minimum, maximum, status);
  } else if (method == kRangePercentile) {
    found = FindRange(d, RangeKind::kPercentile, minimum, maximum, status);
    // A view of one value still needs a range to map.
    if (found && !(maximum > minimum)) maximum = minimum + 1.0f;
  }
  // A fully masked view leaves the search's empty extremes; nothing can be shown.
  if (!found || minimum > maximum) {
    WDrawBackground(canvas, kBackgroundHatchGrey, status);
    return kFalse;
  }
  WDrawBackground(canvas, kBackgroundHatchGrey, status);
  if (fitted) {
    if (!GDrawFittedImage(canvas, x0, y0, width, height, minimum, maximum, linearity, d,
                          status)) {
      return kFalse;
    }
  } else if (!GDrawScaledImage(canvas, x0, y0, width, height, minimum, maximum, linearity, d,
                               status)) {
    return kFalse;
  }
  return GSetIntensityScaling(method, minimum, maximum, status);
}

int GDrawFittedImage(PCanvas* canvas, int x0, int y0, int width, int height, float minimum,
                     float maximum, int linearity, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"GDrawFittedImage", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!DrawArgumentsSound(kR, canvas, width, height, minimum, maximum, linearity, status)) {
    return kFalse;
  }
  const int columns = d.endX - d.startX + 1;
  const int rows = d.endY - d.startY + 1;
  if (columns <= 0 || rows <= 0) return IFail(kR, kStatusROI1, status);
  PBitmap bitmap;
  int stride = 0;
  if (!WCreateBitmap(canvas, width, height, stride, bitmap, status)) return kFalse;
  GSetBP(canvas->Width(), canvas->Height(), x0, y0, width, height, status);
  // Markers, boxes and the mouse find the data pixels where the stretch put them.
  GSetImageFit(true, static_cast<double>(width) / columns, static_cast<double>(height) / rows,
               d.startX, d.startY);
  const Renderer renderer = linearity == kLinear ? GLinearResampledImage : GLogResampledImage;
  if (!renderer(minimum, maximum, d.startX, d.startY, d, width, height, stride,
                bitmap.bits.data(), status)) {
    return kFalse;
  }
  return WBitmapToWindow(canvas, x0, y0, width, height, bitmap, status);
}

int GDrawFullScaledImage(PCanvas* canvas, bool stretch, int x, int y, int width, int height,
                         float minimum, float maximum, int linearity, const DataSet& d,
                         int& status) {
  static constexpr IRoutine kR{"GDrawFullScaledImage", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  if (width <= 0) return IFail(kR, kStatusIntRange1, status);
  if (height <= 0) return IFail(kR, kStatusIntRange2, status);
  if (linearity != kLinear && linearity != kLogarithmic) {
    IError(IFormat("GDrawFullScaledImage; Unknown intensity scaling method %i", linearity),
           status);
    return kFalse;
  }
  const int columns = d.endX - d.startX + 1;
  const int rows = d.endY - d.startY + 1;
  if (columns <= 0 || rows <= 0) return IFail(kR, kStatusROI1, status);
  int fitWidth = width, fitHeight = height;
  if (static_cast<double>(rows) / height > static_cast<double>(columns) / width) {
    fitWidth = std::max(1, GTruncate(static_cast<double>(columns) * height / rows));
  } else {
    fitHeight = std::max(1, GTruncate(static_cast<double>(rows) * width / columns));
  }
  PBitmap bitmap;
  int stride = 0;
  if (stretch) {
    if (!WCreateBitmap(canvas, columns, rows, stride, bitmap, status)) return kFalse;
    const Renderer renderer = linearity == kLinear ? GLinearScaledImage : GLogScaledImage;
    if (!renderer(minimum, maximum, d.startX, d.startY, d, columns, rows, stride,
                  bitmap.bits.data(), status)) {
      return kFalse;
    }
    return WStretchBitmapToWindow(canvas, columns, rows, bitmap, x, y, fitWidth, fitHeight,
                                  status);
  }
  if (!WCreateBitmap(canvas, fitWidth, fitHeight, stride, bitmap, status)) return kFalse;
  const Renderer renderer = linearity == kLinear ? GLinearResampledImage : GLogResampledImage;
  if (!renderer(minimum, maximum, d.startX, d.startY, d, fitWidth, fitHeight, stride,
                bitmap.bits.data(), status)) {
    return kFalse;
  }
  return WBitmapToWindow(canvas, x, y, fitWidth, fitHeight, bitmap, status);
}

int GDrawFullImage(PCanvas* canvas, bool stretch, int x, int y, int width, int height,
                   DataSet& d, int& status) {
  static constexpr IRoutine kR{"GDrawFullImage", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  CorrectBadRegion(d, status);
  const DisplaySettings& s = GDisplay();
  return GDrawFullScaledImage(canvas, stretch, x, y, width, height, s.intensityMinimum,
                              s.intensityMaximum, s.linearity, d, status);
}

int LVCommandSetLUT(int method, int& status) {
  static constexpr IRoutine kR{"LVCommandSetLUT", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  if (!GKnownRangeMethod(method)) return IFail(kR, kStatusIntRange1, status);
  PBackend& backend = PCurrentBackend();
  if (const int item = MenuItemOfMethod(method)) {
    backend.SetMenuRadio(150, 154, item);
    backend.SetMenuItemChecked(160, item == 160);
  }

  int current = kRangeFull;
  float minimum = 0.0f, maximum = 1.0f;
  GGetIntensityScaling(current, minimum, maximum, status);
  if (method == kRangeAutoMaximum || method == kRangeFixed || method == kRangeSet) {
    if (!WGetReal({"ENTER MINIMUM INTENSITY OF IMAGE DISPLAY RANGE:", kTrue, kFalse, 0.0f, 0.0f,
                   minimum, status})) {
      return kFalse;
    }
  }
  if (method == kRangeAutoMinimum || method == kRangeFixed || method == kRangeSet) {
    if (!(maximum > minimum)) {
      maximum = minimum > 0.0f ? 1.1f * minimum : minimum < 0.0f ? 0.9f * minimum : 1.0f;
    }
    if (!WGetReal({"ENTER MAXIMUM INTENSITY OF IMAGE DISPLAY RANGE:", kTrue, kTrue, minimum,
                   3.4028235e38f, maximum, status})) {
      return kFalse;
    }
  }
  const float range = maximum - minimum;
  int applied = method;
  switch (method) {
    case kRangeIncreaseMinimum: minimum += 0.1f * range; applied = kRangeFixed; break;
    case kRangeDecreaseMinimum: minimum -= range * 0.11111111f; applied = kRangeFixed; break;
    case kRangeIncreaseMaximum: maximum += range * 0.11111111f; applied = kRangeFixed; break;
    case kRangeDecreaseMaximum: maximum -= 0.1f * range; applied = kRangeFixed; break;
    default: break;
  }
  if (!GSetIntensityScaling(applied, minimum, maximum, status)) return kFalse;
  WDrawWindow(status);
  ISetDBIntItem("Intensity_Range_Method", GDisplay().intensityMethod, status);
  ISetDBRealItem("Intensity_Range_Minimum", minimum, status);
  ISetDBRealItem("Intensity_Range_Maximum", maximum, status);
  return kTrue;
}

int LVCommandLinearity(int method, int& status) {
  static constexpr IRoutine kR{"LVCommandLinearity", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (method != kLinear && method != kLogarithmic) return IFail(kR, kStatusIntRange1, status);
  PBackend& backend = PCurrentBackend();
  backend.SetMenuItemChecked(121, method == kLinear);
  backend.SetMenuItemChecked(122, method == kLogarithmic);
  if (method != GDisplay().linearity) {
    GSetLinearityMethod(method, status);
    WDrawWindow(status);
    ISetDBIntItem("Linearity_Scaling_Method", method, status);
  }
  return kTrue;
}

int LVSetLogMinimum(int& status) {
  static constexpr IRoutine kR{"LVSetLogMinimum", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  float value = 1.0e-6f;
  IGetDBRealItem("Log_Minimum", value, status);
  if (!WGetReal({"ENTER MINIMUM OF LOGARITHMIC IMAGE DISPLAY SCALE:", kTrue, kTrue, 1.0e-37f,
                 1.0e37f, value, status})) {
    return kFalse;
  }
  // A logarithmic scale needs a positive start.
  if (!(value >= 1.0e-37f)) value = 1.0e-37f;
  return ISetDBRealItem("Log_Minimum", value, status);
}

void LVRegisterImageCommands() {
  LVRegisterCommand({.name = "Set_Log_Minimum", .work = [](LVCommandCall& call) {
                       return LVSetLogMinimum(call.status);
                     }});
}
