// The filter and background commands.
#include "commands/LVFilters.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <new>
#include <vector>

#include "core/database.h"
#include "core/status.h"
#include "maths/MBackground.h"
#include "maths/MFilters.h"
#include "maths/MIntegrate.h"
#include "maths/MModelFit.h"
#include "maths/MManipulate.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/WDialogs.h"
#include "ui/WDraw.h"

namespace {

bool Defined(const DataSet& d) { return d.dataDefined && d.data; }

int NeedData(const DataSet& d, const char* warning, int& status) {
  if (Defined(d)) return kTrue;
  IWarning(warning, status);
  return kFalse;
}

// A real setting converted to a window size: truncation, held to 1 .. limit; NaN gives 1.
int ToPixels(float value, int limit) {
  if (!(value >= 1.0f)) return 1;
  if (!(value < static_cast<float>(limit))) return limit;
  return static_cast<int>(value);
}

int AskInteger(const char* prompt, int lower, int upper, int& value, int& status) {
  value = std::clamp(value, lower, std::max(lower, upper));
  return WGetInteger({prompt, kTrue, kTrue, lower, upper, value, status});
}

int IntSetting(const char* key, int fallback, int& status) {
  int value = fallback;
  IGetDBIntItem(key, value, status);
  return value;
}

float RealSetting(const char* key, float fallback, int& status) {
  float value = fallback;
  IGetDBRealItem(key, value, status);
  return value;
}

// A scratch data-set of the main data's allocated size, holding the data's description.
int Scratch(const DataSet& d, DataSet& scratch, int& status) {
  if (!IAllocateData(d.dimX, d.dimY, scratch, status)) return kFalse;
  scratch.numX = d.numX, scratch.numY = d.numY;
  scratch.startX = d.startX, scratch.startY = d.startY;
  scratch.endX = d.endX, scratch.endY = d.endY;
  scratch.dataDefined = kTrue;
  return kTrue;
}

// The scratch region back into the main data.
int CopyBack(const DataSet& scratch, DataSet& d, int& status) {
  return MMatrixROIMove(scratch.dimX, scratch.dimY, scratch.data.get(), d.startX, d.startY,
                        d.endX, d.endY, d.dimX, d.dimY, d.startX, d.startY, d.data.get(),
                        status);
}

// Runs filter(scratch) under the busy cursor and copies the region back on success.
template <class Filter>
int Filtered(DataSet& d, int& status, Filter filter) {
  DataSet scratch;
  if (!Scratch(d, scratch, status)) return kFalse;
  WSetCursor(kTrue, status);
  const int ok = filter(scratch) && CopyBack(scratch, d, status);
  int cursorStatus = kStatusGood;
  WSetCursor(kFalse, cursorStatus);
  if (ok) IDataChanged();
  return ok;
}

double ProcessSeconds(std::clock_t start) {
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

}  // namespace

// ---- Median, top hat, Sobel ---------------------------------------------------------------------

int LVFilterMedian(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVFilterMedian", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVFilterMedian: Data is not defined", status)) return kFalse;
  int w = IntSetting("Filter_MedianX", 5, status), h = IntSetting("Filter_MedianY", 5, status);
  if (!AskInteger("MEDIAN FILTER WINDOW WIDTH (PIXELS)", 1, d.numX, w, status) ||
      !AskInteger("MEDIAN FILTER HEIGHT (PIXELS)", 1, d.numY, h, status)) {
    return kFalse;
  }
  ISetDBIntItem("Filter_MedianX", w, status);
  ISetDBIntItem("Filter_MedianY", h, status);
  if (!Filtered(d, status, [&](DataSet& s) { return MMedianFilter(d, w, h, s, status); }))
    return kFalse;
  IInfo(IFormat("Main Data smoothed by a %i * %i pixel median filter", w, h), status);
  return kTrue;
}

int LVFilterTopHat(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVFilterTopHat", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVFilterTopHat: Data is not defined", status)) return kFalse;
  int w = IntSetting("Filter_TopHatX", 3, status), h = IntSetting("Filter_TopHatY", 3, status);
  if (!AskInteger("NUMBER OF PIXELS WIDE OF TOP-HAT IN X-DIRECTION", 1, d.numX, w, status) ||
      !AskInteger("NUMBER OF PIXELS HEIGHT OF TOP-HAT IN Y-DIRECTION", 1, d.numY, h, status)) {
    return kFalse;
  }
  ISetDBIntItem("Filter_TopHatX", w, status);
  ISetDBIntItem("Filter_TopHatY", h, status);
  if (!Filtered(d, status,
                [&](DataSet& s) { return MTopHatConvolution(d, w, h, kTrue, s, status); }))
    return kFalse;
  IInfo(IFormat("Main Data smoothed by a %i * %i pixel top hat function", w, h), status);
  return kTrue;
}

int LVFilterSobel(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVFilterSobel", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVFilterSobel: Data is not defined", status)) return kFalse;
  if (!Filtered(d, status, [&](DataSet& s) { return MFilterSobel(d, s, status); }))
    return kFalse;
  IInfo("Main Data filtered by Sobel operator (edge detection)", status);
  return kTrue;
}

// ---- Rolling ball and balloons ----------------------------------------------------------------

int LVFilterRollingBall(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVFilterRollingBall", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVFilterRollingBall: Data is not defined", status)) return kFalse;
  const float maxX = static_cast<float>(d.numX), maxY = static_cast<float>(d.numY);
  float dx = std::min(RealSetting("Filter_Rolling_Ball_DiaX", 101.0f, status), maxX);
  float dy = std::min(RealSetting("Filter_Rolling_Ball_DiaY", 101.0f, status), maxY);
  int w = std::min(IntSetting("Filter_Rolling_Ball_RecX", 51, status), d.numX);
  int h = std::min(IntSetting("Filter_Rolling_Ball_RecY", 51, status), d.numY);
  if (!WGetReal({"DIAMETER OF 'RUGBY BALL' IN X-DIRECTION (PIXELS)", kTrue, kTrue, 1.0f, maxX,
                 dx, status}) ||
      !WGetReal({"DIAMETER OF 'RUGBY BALL' IN Y-DIRECTION (PIXELS)", kTrue, kTrue, 1.0f, maxY,
                 dy, status}) ||
      !AskInteger("WIDTH OF WINDOW IN X-DIRECTION (PIXELS)", 1, d.numX, w, status) ||
      !AskInteger("HEIGHT OF WINDOW IN Y-DIRECTION (PIXELS)", 1, d.numY, h, status)) {
    return kFalse;
  }
  ISetDBRealItem("Filter_Rolling_Ball_DiaX", dx, status);
  ISetDBRealItem("Filter_Rolling_Ball_DiaY", dy, status);
  ISetDBIntItem("Filter_Rolling_Ball_RecX", w, status);
  ISetDBIntItem("Filter_Rolling_Ball_RecY", h, status);
  const std::clock_t start = std::clock();
  if (!Filtered(d, status,
                [&](DataSet& s) { return MFilterRollingBall(d, dx, dy, w, h, s, status); }))
    return kFalse;
  const double seconds = ProcessSeconds(start);
  IInfo(IFormat("Main Data ROI filtered by a %f * %f pixel rolling ball", static_cast<double>(dx),
                static_cast<double>(dy)),
        status);
  IInfo(IFormat("using a %i * %i sized moving window", w, h), status);
  IInfo(IFormat("Time for filtering = %f seconds", seconds), status);
  return kTrue;
}

int LVSubtractBalloon(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSubtractBalloon", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVSubtractBalloon: Data is not defined", status)) return kFalse;
  const int rw = d.endX - d.startX + 1, rh = d.endY - d.startY + 1;
  int factor = std::min(std::max(rw, rh) / 8, 64);
  float diameterX = static_cast<float>(std::max(rw, rh)), diameterY = diameterX;
  float bestMaximum = -kMHuge, bestVolume = -kMHuge, bestDX = 0.0f, bestDY = 0.0f;
  int bestFactor = 0, bestX = 0, bestY = 0;
  while (factor >= 1) {
    DataSet scratch;
    // The region alone, rebinned: positions are counted from the region's start.
    if (!MDataCopy(d, scratch, status) || !MROICropData(scratch, status) ||
        !MRebin(factor, factor, scratch, status)) {
      return kFalse;
    }
    const float dX = std::min(diameterX, static_cast<float>(scratch.numX));
    const float dY = std::min(diameterY, static_cast<float>(scratch.numY));
    const int w = ToPixels(dX, scratch.numX), h = ToPixels(dY, scratch.numY);
    int column = -1, row = -1;
    float maximum = -kMHuge;
    if (!MMaximumBalloon(scratch, std::max(dX, 1.0f), std::max(dY, 1.0f), 0.0f, w, h, column,
                         row, maximum, status)) {
      return kFalse;
    }
    if (column >= 0) {
      const double volume = static_cast<double>(factor) * factor * maximum;
      IInfo(IFormat("Rebin = %i: Maximum = %f, Volume = %f, Position = (%i, %i)", factor,
                    static_cast<double>(maximum), volume, factor * column, factor * row),
            status);
      if (volume > bestVolume) {
        bestVolume = static_cast<float>(std::clamp(volume, -3.0e38, 3.0e38));
        bestMaximum = maximum, bestFactor = factor;
        bestX = factor * column, bestY = factor * row, bestDX = dX, bestDY = dY;
      }
    }
    diameterX /= 2.0f, diameterY /= 2.0f;
    factor /= 2;
  }
  if (bestMaximum > 0.0f) {
    // The balloon's half axes: half its diameters, in unbinned pixels.
    if (!MROIAddEllipse(static_cast<float>(d.startX + bestX) + 0.5f,
                        static_cast<float>(d.startY + bestY) + 0.5f, -bestMaximum,
                        0.5f * bestFactor * bestDX, 0.5f * bestFactor * bestDY, 0.0f, d,
                        status)) {
      return kFalse;
    }
    IDataChanged();
  }
  return kTrue;
}

int LVFilterBalloon(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVFilterBalloon", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVFilterBalloon: Data is not defined", status)) return kFalse;
  int cycles = IntSetting("Balloon_Subtraction_Num_Cycles", 1, status);
  if (!AskInteger("ENTER NUMBER OF MAXIMUM VOLUME BALLOONS TO SUBTRACT", 1, 100, cycles, status))
    return kFalse;
  ISetDBIntItem("Balloon_Subtraction_Num_Cycles", cycles, status);
  const std::clock_t start = std::clock();
  WSetCursor(kTrue, status);
  int ok = kTrue;
  for (int c = 0; c < cycles && ok; ++c) ok = LVSubtractBalloon(d, status);
  int cursorStatus = kStatusGood;
  WSetCursor(kFalse, cursorStatus);
  if (!ok) return kFalse;
  IInfo(IFormat("Main Data ROI filtered by subtracting %i balloons", cycles), status);
  IInfo(IFormat("Time for operation = %f seconds", ProcessSeconds(start)), status);
  return kTrue;
}

// ---- Peaks of scans ---------------------------------------------------------------------------

int LVDataRemovePeaks(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDataRemovePeaks", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVDataRemovePeaks; Data is not defined", status)) return kFalse;
  if (d.numY != 1) {
    IWarning("The Remove Peaks command only works on 1-D data", status);
    return kFalse;
  }
  float level = RealSetting("Remove_1DPeaks_Significance_Level", 3.0f, status);
  if (!WGetReal({"ENTER SIGNIFICANCE LEVEL ABOVE NOISE FOR PEAKS", kTrue, kFalse, 0.0f, 0.0f,
                 level, status})) {
    return kFalse;
  }
  if (!std::isfinite(level)) {
    IWarning("LVDataRemovePeaks: The significance level must be a finite number", status);
    return kFalse;
  }
  ISetDBRealItem("Remove_1DPeaks_Significance_Level", level, status);
  float rms = 0.0f;
  if (!MRemovePeaks(level, d, rms, status)) return kFalse;
  IDataChanged();
  return kTrue;
}

// ---- Background fits --------------------------------------------------------------------------

namespace {

// The model store for a fit: reused when it holds the data's defined area, else allocated at
// the data's size; 0 throughout, with the data's description and region.
int PrepareModel(const DataSet& d, DataSet& m, const char* routine, int& status) {
  if (&m == &d) {
    IWarning(IFormat("%s: The model cannot be written over the data", routine), status);
    return kFalse;
  }
  if (!(m.dataAllocated && m.data && m.dimX >= d.numX && m.dimY >= d.numY)) {
    if (!IAllocateData(d.numX, d.numY, m, status)) return kFalse;
  }
  std::fill(m.data.get(), m.data.get() + IElementCount(m), 0.0f);
  m.numX = d.numX, m.numY = d.numY;
  m.startX = d.startX, m.startY = d.startY, m.endX = d.endX, m.endY = d.endY;
  IDescriptionCopy(d, m);
  m.maskInUse = kFalse;
  m.variancesDefined = kFalse;
  m.dataDefined = kTrue;
  return kTrue;
}

void WriteParameters(const ModelParameters& p, int& status) {
  for (int i = 0; i < p.count; ++i)
    IInfo(IFormat("Parameter %i = %g", i + 1, static_cast<double>(p.values[i])), status);
}

}  // namespace

int LVFitPolynomial(const DataSet& d, DataSet& m, int& status) {
  static constexpr IRoutine kR{"LVFitPolynomial", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVFitPolynomial: Data is not defined", status)) return kFalse;
  const int rw = d.endX - d.startX + 1, rh = d.endY - d.startY + 1;
  if (d.numY == 1) {
    int order = IntSetting("Polynomial_Fit_Order_1D", 7, status);
    if (!AskInteger("ENTER ORDER OF POLYNOMIAL TO FIT:", 0, std::max(0, rw - 1), order, status))
      return kFalse;
    if (!PrepareModel(d, m, kR.name, status)) return kFalse;
    std::vector<float> c(static_cast<std::size_t>(order) + 1, 0.0f);
    float lo = 0.0f, hi = 0.0f, rms = 0.0f;
    if (!MFitPolynomial1D(order, kFalse, d.startX + 0.5f, 1.0f, rw,
                          d.data.get() + IIndex(d, d.startX, 0), nullptr, lo, hi, c.data(), rms,
                          status) ||
        !MPolynomial1D(order, lo, hi, c.data(), d.startX, rw,
                       m.data.get() + IIndex(m, d.startX, 0), status)) {
      return kFalse;
    }
    ISetDBIntItem("Polynomial_Fit_Order_1D", order, status);
  } else {
    int ox = IntSetting("Polynomial_Fit_Order_X", 5, status);
    int oy = IntSetting("Polynomial_Fit_Order_Y", 5, status);
    if (!AskInteger("ENTER ORDER OF X-DIRECTION POLYNOMIAL FIT:", 0, std::max(0, rw - 1), ox,
                    status) ||
        !AskInteger("ENTER ORDER OF Y-DIRECTION POLYNOMIAL FIT:", 0, std::max(0, rh - 1), oy,
                    status)) {
      return kFalse;
    }
    if (!PrepareModel(d, m, kR.name, status)) return kFalse;
    Polynomial2D poly;
    if (!MFitPolynomial2D(ox, oy, d.maskInUse, kFalse, d, poly, status)) {
      IInfo("LVFitPolynomial: MFitPolynomial2D failed", status);
      return kFalse;
    }
    for (int ky = 0; ky <= poly.orderY; ++ky) {
      for (int kx = 0; kx <= poly.orderX; kx += 4) {
        float v[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int i = 0; i < 4 && kx + i <= poly.orderX; ++i) v[i] = poly.At(kx + i, ky);
        IInfo(IFormat("Order %i = %g %g %g %g", ky, static_cast<double>(v[0]),
                      static_cast<double>(v[1]), static_cast<double>(v[2]),
                      static_cast<double>(v[3])),
              status);
      }
    }
    IInfo(IFormat("polynomial.minimumX = %g, polynomial.maximumX = %g",
                  static_cast<double>(poly.minimumX), static_cast<double>(poly.maximumX)),
          status);
    IInfo(IFormat("polynomial.minimumY = %g, polynomial.maximumY = %g",
                  static_cast<double>(poly.minimumY), static_cast<double>(poly.maximumY)),
          status);
    if (!MPolynomial2D(poly, m, status)) return kFalse;
    ISetDBIntItem("Polynomial_Fit_Order_X", ox, status);
    ISetDBIntItem("Polynomial_Fit_Order_Y", oy, status);
  }
  IDataChanged();
  return kTrue;
}

// The elliptical fit proper: radial profile, its 1-D fit, then the engine.
int LVFitEllipse(const DataSet& d, int order, int twin, DataSet& m, int& status) {
  static constexpr IRoutine kR{"LVFitEllipse", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (order <= 0) return IFail(kR, kStatusIntRange1, status);
  int minPixels = 0, maxPixels = 0;
  float minDistance = 0.0f, maxDistance = 0.0f;
  if (!ICalROICornerDistance(d, minPixels, maxPixels, minDistance, maxDistance, status))
    return kFalse;
  IntegrationParameters p;
  p.scanType = kScanRadial;
  p.step = 0.5f * (d.pixelSizeX + d.pixelSizeY);
  if (!(p.step > 0.0f)) return IFail(kR, kStatusRealRange1, status);
  const double bins = std::ceil(static_cast<double>(maxDistance) / p.step) + 1.0;
  if (!(bins >= 2.0 && bins <= 16777216.0)) return IFail(kR, kStatusIntRange1, status);
  p.bins = static_cast<int>(bins);
  p.outerRadius = static_cast<float>(p.bins * static_cast<double>(p.step));
  DataSet scan;
  if (!IAllocateData(p.bins, 1, scan, status) || !MROIIntegrate(d, p, scan, status)) return kFalse;
  IInfo("Fit Elliptical Background: Raw Data integrated", status);
  const int n = std::min(order, p.bins - 1);
  std::vector<float> c(static_cast<std::size_t>(n) + 1, 0.0f);
  float minimum = 0.0f, maximum = 0.0f, rms = 0.0f;
  if (!MFitPolynomial1D(n, kFalse, 0.5f, 1.0f, p.bins, scan.data.get(), nullptr, minimum, maximum,
                        c.data(), rms, status)) {
    return kFalse;
  }
  IInfo("Fit Elliptical Background: Integrated 1-D data fitted", status);
  if (!MDataCopy(d, m, status)) return kFalse;

  ModelParameters params;
  params.Resize(n + 6 + (twin ? 5 : 0));
  const float start[5] = {1.0f, 0.0f, 0.0f, 0.01f, 0.99f};
  const float scales[5] = {4.0f, 0.003f, 0.003f, 0.1f, 0.1f};
  for (int i = 0; i < 5; ++i) params.values[i] = start[i], params.scales[i] = scales[i];
  for (int k = 0; k <= n; ++k) {
    params.values[5 + k] = c[k];
    params.scales[5 + k] = 1.0f / static_cast<float>(k + 1);
  }
  if (twin) {
    const int g = n + 6;
    const float gs[5] = {d.beamCentreX * 0.5f, d.beamCentreY, 1.0f, d.beamCentreY / 6.0f,
                         0.06283186f};
    const float gscale[5] = {1.0f, 1.0f, 1.0f, d.beamCentreY / 30.0f, 0.03141593f};
    for (int i = 0; i < 5; ++i) {
      params.values[g + i] = gs[i];
      params.scales[g + i] = gscale[i] != 0.0f ? gscale[i] : 1.0f;
    }
  }
  params.clientWords = {&n, &minimum, &maximum, nullptr};
  ModelControl control;
  control.weighted = kFalse;
  control.subtractData = kTrue;
  control.sameCoordinates = kTrue;
  control.maximumEvaluations = 200;
  control.tolerance = 1.0e-5f;
  control.stepFactor = 50.0f;
  control.differenceStep = 1.0e-5f;
  control.outputLevel = kModelTestPoints;
  control.objective = MObFunPlaneEllipse;
  // A fit of many parameters over a whole image takes a minute: the window shows how far it
  // is, stays painted and can stop it.
  PBackend& backend = PCurrentBackend();
  bool cancelled = false;
  control.progress = [&](int evaluations, float) {
    cancelled = cancelled || !backend.ProgressStep(
        std::min(evaluations, control.maximumEvaluations),
        IFormat("%i of at most %i model evaluations", evaluations, control.maximumEvaluations));
    return !cancelled;
  };
  auto minimise = [&](ModelResult& result) {
    struct ProgressShown {
      PBackend& backend;
      ~ProgressShown() { backend.ProgressEnd(); }
    } shown{backend};
    backend.ProgressBegin("Fit Elliptical Background", control.maximumEvaluations);
    if (!MModelMinimise(d, control, params, m, result, status)) return false;
    if (cancelled) IWarning("Fit Elliptical Background: cancelled; no model made", status);
    return !cancelled;
  };
  IInfo("Initial Parameter Values", status);
  WriteParameters(params, status);
  ModelResult result;
  if (twin) {
    IInfo("Pre-fitting plane and ellipse", status);
    for (int i = n + 6; i < params.count; ++i) params.fixed[i] = kTrue;
    if (!minimise(result)) return kFalse;
    for (int i = n + 6; i < params.count; ++i) params.fixed[i] = kFalse;
  }
  int more = kFalse;
  do {
    if (!minimise(result)) return kFalse;
    IInfo("Fitted Parameter Values", status);
    WriteParameters(params, status);
    more = kFalse;
    if (!WGetBoolean({"CONTINUE MINIMISATION", kTrue, more, status})) more = kFalse;
  } while (more);
  // The model of the final parameters.
  return MObFunPlaneEllipse(d, params, m, status);
}

int LVFitElliptical(const DataSet& d, DataSet& m, int& status) {
  static constexpr IRoutine kR{"LVFitElliptical", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVFitElliptical: Data is not defined", status)) return kFalse;
  const int rw = d.endX - d.startX + 1, rh = d.endY - d.startY + 1;
  int order = IntSetting("Elliptical_Fit_Order_1D", 7, status);
  if (!AskInteger("ENTER ORDER OF 1-D RADIAL POLYNOMIAL TO FIT:", 0, std::max(rw, rh) - 1, order,
                  status)) {
    return kFalse;
  }
  int twin = kTrue;
  if (!WGetBoolean({"ADD TWIN POLAR GAUSSIAN TO MODEL:", kTrue, twin, status})) return kFalse;
  ISetDBIntItem("Elliptical_Fit_Order_1D", order, status);
  if (!PrepareModel(d, m, kR.name, status)) return kFalse;
  WSetCursor(kTrue, status);
  const int ok = LVFitEllipse(d, order, twin, m, status);
  int cursorStatus = kStatusGood;
  WSetCursor(kFalse, cursorStatus);
  if (!ok) return kFalse;
  m.title = IFormat("%s: Elliptical symmetric model fit", d.title.c_str());
  m.fileName = d.fileName;
  IDataChanged();
  return kTrue;
}

// ---- Declaration ------------------------------------------------------------------------------

void LVRegisterFilterCommands() {
  struct MainRow {
    const char* name;
    int (*routine)(DataSet&, int&);
  };
  const MainRow rows[] = {
      {"Filter_Median", LVFilterMedian},           {"Filter_TopHat", LVFilterTopHat},
      {"Filter_Sobel", LVFilterSobel},             {"Filter_Rolling_Ball", LVFilterRollingBall},
      {"Filter_Balloon", LVFilterBalloon},         {"Data_Remove_Peaks", LVDataRemovePeaks},
  };
  for (const MainRow& row : rows) {
    LVRegisterCommand({.name = row.name, .work = [routine = row.routine](LVCommandCall& call) {
                         return routine(call.main, call.status);
                       }});
  }
  LVRegisterCommand({.name = "Fit_Polynomial",
                     .work = [](LVCommandCall& call) {
                       return LVFitPolynomial(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOperand,
                     .prompt = "Select data-set for fitted polynomial",
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Fit_Elliptical",
                     .work = [](LVCommandCall& call) {
                       return LVFitElliptical(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOperand,
                     .prompt = "Select data-set for fitted elliptical background",
                     .then = LVThen::kMainIsChosen});
}
