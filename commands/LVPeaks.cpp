#include "commands/LVPeaks.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "commands/LVGeometry.h"
#include "commands/LVOverlay.h"
#include "core/database.h"
#include "core/status.h"
#include "data/DataStores.h"
#include "graphics/GCoordinates.h"
#include "graphics/GGraphics.h"
#include "maths/MManipulate.h"
#include "maths/MModelFit.h"
#include "maths/MSimulate.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/LVMenus.h"
#include "ui/WDialogs.h"
#include "ui/WDraw.h"

namespace {

constexpr double kDegrees = 57.29577951308232;
// Half width at half height of a Gaussian in sigmas: sqrt(2 ln 2).
constexpr double kHalfHeightSigmas = 1.1774100225154747;
constexpr int kMaximumPolynomialOrder = 5;

bool Defined(const DataSet& d) { return d.dataDefined && d.data; }

double MiddleX(const DataSet& d) { return (d.startX + d.endX + 1) / 2.0; }
double MiddleY(const DataSet& d) { return (d.startY + d.endY + 1) / 2.0; }

// One real with the data-base value (or `fallback`) as default; written back when accepted.
int AskReal(const char* routine, const std::string& prompt, const char* key, float lower,
            float upper, float fallback, float& value, int& status) {
  value = fallback;
  IGetDBRealItem(key, value, status);
  if (!std::isfinite(value)) value = fallback;
  if (!LVAskReal(routine, prompt, lower, upper, value, status)) return kFalse;
  return kTrue;
}

// A click on the image of `d`: the clicked pixel's centre.
int Click(const DataSet& d, const std::string& prompt, double& x, double& y, int& status) {
  float cx = 0.0f, cy = 0.0f;
  if (!GGetCoordinate(d, prompt, kTrue, cx, cy, status)) return kFalse;
  x = std::floor(cx) + 0.5;
  y = std::floor(cy) + 0.5;
  return kTrue;
}

// Mean of data - model over the 5 x 5 pixels around (x, y), clipped to the data.
float LocalHeight(const DataSet& data, const DataSet& model, double x, double y) {
  const int cx = static_cast<int>(std::floor(x)), cy = static_cast<int>(std::floor(y));
  double sum = 0.0;
  int count = 0;
  for (int j = std::max(0, cy - 2); j <= std::min(cy + 2, data.numY - 1); ++j) {
    for (int i = std::max(0, cx - 2); i <= std::min(cx + 2, data.numX - 1); ++i) {
      double v = data.data[IIndex(data, i, j)];
      if (i < model.dimX && j < model.dimY) v -= model.data[IIndex(model, i, j)];
      sum += v;
      ++count;
    }
  }
  return count > 0 ? static_cast<float>(sum / count) : 0.0f;
}

void ReportPeak(const Gaussian2DPeak& p, int& status) {
  IInfo(IFormat("Gaussian added to the data centred at (%f,%f) with intensity %f",
                static_cast<double>(p.centreX), static_cast<double>(p.centreY),
                static_cast<double>(p.intensity)),
        status);
  IInfo(IFormat("Angle of first axis = %f degrees; Axis sigmas = %f, %f", p.angle * kDegrees,
                static_cast<double>(p.sigma1), static_cast<double>(p.sigma2)),
        status);
}

void ReportParameters(const char* heading, const float values[7], const float* errors,
                      int& status) {
  IInfo(heading, status);
  for (int i = 0; i < 7; ++i) {
    IInfo(IFormat("Parameter %i = %f", i, static_cast<double>(values[i])), status);
  }
  if (errors) {
    for (int i = 0; i < 7; ++i) {
      IInfo(IFormat("Parameter %i standard error = %f", i, static_cast<double>(errors[i])),
            status);
    }
  }
}

// ---- Polynomials ----------------------------------------------------------------------------

// The polynomial through data - model over the data's region, masked pixels and pixels that are
// not numbers left out. False with a warning when it cannot be fitted.
int FitPolynomial(const DataSet& data, const DataSet& model, int orderX, int orderY,
                  Polynomial2D& p, int& status) {
  DataSet residual;
  IInitialiseData(residual, status);
  if (!IAllocateData(data.numX, data.numY, residual, status)) return kFalse;
  IDefineWholeImage(residual, data.numX, data.numY);  // drops any mask: allocated after it
  if (!IAllocateMask(residual, status)) {
    int local = kStatusGood;
    IFreeData(residual, local);
    return kFalse;
  }
  residual.startX = data.startX, residual.endX = data.endX;
  residual.startY = data.startY, residual.endY = data.endY;
  const bool masked = data.maskInUse && data.mask;
  for (int y = data.startY; y <= data.endY; ++y) {
    for (int x = data.startX; x <= data.endX; ++x) {
      const std::size_t i = IIndex(data, x, y), r = IIndex(residual, x, y);
      double target = data.data[i];
      if (x < model.dimX && y < model.dimY) target -= model.data[IIndex(model, x, y)];
      const bool out = (masked && data.mask[i]) || !std::isfinite(target);
      residual.data[r] = out ? 0.0f : static_cast<float>(target);
      residual.mask[r] = out ? 1 : 0;
    }
  }
  residual.dataDefined = kTrue;
  residual.maskInUse = kTrue;
  // Its own warning says why when no row of the region can be fitted.
  const bool fitted = MFitPolynomial2D(orderX, orderY, kTrue, kFalse, residual, p, status);
  int local = kStatusGood;
  IFreeData(residual, local);
  return fitted ? kTrue : kFalse;
}

// ---- The model's parameters -----------------------------------------------------------------

// Gathers every parameter of the description in order (values and scales), or puts values
// back into a copy of it.
struct ParameterMap {
  std::vector<float*> slots;
  std::vector<float> scales;
  std::vector<std::string> names;
};

ParameterMap MapParameters(ModelDescription& model) {
  ParameterMap map;
  auto add = [&](float& slot, float scale, const std::string& name) {
    map.slots.push_back(&slot);
    map.scales.push_back(scale > 0.0f && std::isfinite(scale) ? scale : 1.0f);
    map.names.push_back(name);
  };
  int number = 0;
  for (ModelComponent& c : model.components) {
    ++number;
    const std::string tag = IFormat("Component %i ", number);
    if (c.kind == kModel2DGaussian) {
      Gaussian2DPeak& g = c.gaussian;
      add(g.centreX, 0.5f, tag + "2-D Gaussian centre X");
      add(g.centreY, 0.5f, tag + "2-D Gaussian centre Y");
      add(g.intensity, 0.05f * std::max(std::fabs(g.intensity), 1.0e-3f), tag + "2-D Gaussian intensity");
      add(g.angle, 0.3141593f, tag + "2-D Gaussian angle (radians)");
      add(g.sigma1, 0.1f * std::fabs(g.sigma1), tag + "2-D Gaussian sigma 1");
      add(g.sigma2, 0.1f * std::fabs(g.sigma2), tag + "2-D Gaussian sigma 2");
    } else if (c.kind == kModelPolarGaussian) {
      PolarGaussianPeak& g = c.polar;
      add(g.centreX, 0.5f, tag + "Polar Gaussian centre X");
      add(g.centreY, 0.5f, tag + "Polar Gaussian centre Y");
      add(g.intensity, 0.05f * std::max(std::fabs(g.intensity), 1.0e-3f), tag + "Polar Gaussian intensity");
      add(g.radialSigma, 0.1f * std::fabs(g.radialSigma), tag + "Polar Gaussian radial sigma");
      add(g.azimuthalSigma, 0.1f * std::fabs(g.azimuthalSigma),
          tag + "Polar Gaussian azimuthal sigma (radians)");
      if (g.twin) add(g.twinRatio, 0.05f, tag + "Polar Gaussian twin ratio");
    } else if (c.kind == kModel2DPolynomial) {
      Polynomial2D& p = c.polynomial;
      for (std::size_t k = 0; k < p.coefficients.size(); ++k) {
        const int i = static_cast<int>(k) / (p.orderY + 1), j = static_cast<int>(k) % (p.orderY + 1);
        add(p.coefficients[k], 0.05f * std::max(std::fabs(p.coefficients[k]), 1.0e-2f),
            tag + IFormat("polynomial coefficient T%i(x) T%i(y)", i, j));
      }
    }
  }
  return map;
}

// The model of a description at the engine's parameter values.
struct OptimiseWords {
  ModelDescription* working;  // a copy whose slots the values are written into
  ParameterMap* map;
};

int DescriptionObjective(const DataSet&, const ModelParameters& p, DataSet& model, int& status) {
  const auto* words = static_cast<const OptimiseWords*>(p.clientWords[0]);
  for (std::size_t k = 0; k < words->map->slots.size(); ++k) *words->map->slots[k] = p.values[k];
  if (!MROISetValue(0.0f, model, status)) return kFalse;
  for (ModelComponent c : words->working->components) {
    // A trial with a degenerate width shows that component as absent.
    if (c.kind == kModel2DGaussian) {
      c.gaussian.sigma1 = std::fabs(c.gaussian.sigma1);
      c.gaussian.sigma2 = std::fabs(c.gaussian.sigma2);
      if (!(c.gaussian.sigma1 > 0.0f) || !(c.gaussian.sigma2 > 0.0f) ||
          !std::isfinite(c.gaussian.sigma1 + c.gaussian.sigma2 + c.gaussian.centreX +
                         c.gaussian.centreY + c.gaussian.intensity + c.gaussian.angle)) {
        continue;
      }
    } else if (c.kind == kModelPolarGaussian) {
      c.polar.radialSigma = std::fabs(c.polar.radialSigma);
      c.polar.azimuthalSigma = std::fabs(c.polar.azimuthalSigma);
      if (!(c.polar.radialSigma > 0.0f) || !(c.polar.azimuthalSigma > 0.0f) ||
          !std::isfinite(c.polar.radialSigma + c.polar.azimuthalSigma + c.polar.centreX +
                         c.polar.centreY + c.polar.intensity + c.polar.twinRatio)) {
        continue;
      }
    }
    if (!MModelAddComponent(c, model, status)) {
      if (status != kStatusGood) return kFalse;
    }
  }
  return kTrue;
}

const char* KindName(int kind) {
  switch (kind) {
    case kModel2DPolynomial: return "2-D Polynomial";
    case kModel2DGaussian: return "2-D Gaussian";
    case kModelPolarGaussian: return "Polar Gaussian";
    default: return "unknown";
  }
}

// The model store ready for `data`: reused when allocated and large enough, else allocated at
// the data's size; its region is the data's and it is cleared to 0.
int PrepareModel(const DataSet& data, DataSet& model, int& status) {
  if (!model.dataAllocated || !model.data || model.dimX < data.numX || model.dimY < data.numY) {
    if (!IAllocateData(data.numX, data.numY, model, status)) return kFalse;
  }
  std::fill(model.data.get(), model.data.get() + IElementCount(model), 0.0f);
  IDescriptionCopy(data, model);
  model.numX = data.numX;
  model.numY = data.numY;
  model.startX = data.startX;
  model.startY = data.startY;
  model.endX = data.endX;
  model.endY = data.endY;
  model.dataDefined = kTrue;
  model.maskInUse = kFalse;
  ISetText(model.title, "Model");
  IDataChanged();
  return kTrue;
}

}  // namespace

ModelDescription& LVModelDescription() {
  static ModelDescription description;
  return description;
}

int MModelAddComponent(const ModelComponent& c, DataSet& model, int& status) {
  static constexpr IRoutine kR{"MModelAddComponent", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  switch (c.kind) {
    case kModel2DGaussian: return MGaussian2D(c.gaussian, model, status);
    case kModelPolarGaussian: return MPolarGaussian2D(c.polar, model, status);
    case kModel2DPolynomial: return MPolynomial2D(c.polynomial, model, status);
    default: return IFail(kR, kStatusIntRange1, status);
  }
}

int LVAddGaussian(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVAddGaussian", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!Defined(d)) {
    IWarning("LVAddGaussian: Data is not defined", status);
    return kFalse;
  }
  Gaussian2DPeak p;
  float angleDegrees = 0.0f, angle = 0.0f;
  IGetDBRealItem("Gaussian_Angle", angle, status);
  angleDegrees = std::isfinite(angle) ? static_cast<float>(angle * kDegrees) : 0.0f;
  int method = kGaussianInterpolate;
  IGetDBIntItem("Gaussian_Method", method, status);
  if (method < kGaussianNearest || method > kGaussianExact) method = kGaussianInterpolate;
  if (!AskReal(kR.name, "ENTER X-PIXEL COORDINATE FOR CENTRE OF GAUSSIAN", "Gaussian_CentreX",
               -1.0e9f, 1.0e9f, static_cast<float>(MiddleX(d)), p.centreX, status) ||
      !AskReal(kR.name, "ENTER Y-PIXEL COORDINATE FOR CENTRE OF GAUSSIAN", "Gaussian_CentreY",
               -1.0e9f, 1.0e9f, static_cast<float>(MiddleY(d)), p.centreY, status) ||
      !AskReal(kR.name, "ENTER MAXIMUM INTENSITY OF GAUSSIAN", "Gaussian_Intensity", -1.0e30f,
               1.0e30f, 1000.0f, p.intensity, status) ||
      !LVAskReal(kR.name, "ENTER ROTATION ANGLE OF FIRST AXIS OF GAUSSIAN (DEGREES)", -180.0f,
                 180.0f, angleDegrees, status) ||
      !AskReal(kR.name, "ENTER STANDARD DEVIATION SIZE OF FIRST AXIS OF GAUSSIAN (PIXELS)",
               "Gaussian_Sigma1", 0.0f, 1.0e6f, 100.0f, p.sigma1, status) ||
      !AskReal(kR.name, "ENTER STANDARD DEVIATION SIZE OF SECOND AXIS OF GAUSSIAN (PIXELS)",
               "Gaussian_Sigma2", 0.0f, 1.0e6f, 50.0f, p.sigma2, status)) {
    return kFalse;
  }
  p.angle = static_cast<float>(angleDegrees / kDegrees);
  p.maxSigmas = 6;
  p.method = method;
  long long added = 0;
  if (!MGaussian2D(p, d, status, &added)) return kFalse;
  ISetDBRealItem("Gaussian_CentreX", p.centreX, status);
  ISetDBRealItem("Gaussian_CentreY", p.centreY, status);
  ISetDBRealItem("Gaussian_Intensity", p.intensity, status);
  ISetDBRealItem("Gaussian_Angle", p.angle, status);
  ISetDBRealItem("Gaussian_Sigma1", p.sigma1, status);
  ISetDBRealItem("Gaussian_Sigma2", p.sigma2, status);
  ISetDBIntItem("Gaussian_Method", p.method, status);
  if (added == 0) {
    IWarning("LVAddGaussian: The Gaussian lies outside the region of interest; nothing added",
             status);
    return kFalse;
  }
  IDataChanged();
  ReportPeak(p, status);
  return kTrue;
}

int LVAddPGaussian(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVAddPGaussian", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!Defined(d)) {
    IWarning("LVAddPGaussian: Data is not defined", status);
    return kFalse;
  }
  PolarGaussianPeak p;
  p.symmetryX = d.beamCentreX;
  p.symmetryY = d.beamCentreY;
  float azimuth = 0.2617994f;
  IGetDBRealItem("Polar_Gaussian_Azimuthal_Sigma", azimuth, status);
  float azimuthDegrees = std::isfinite(azimuth) ? static_cast<float>(azimuth * kDegrees) : 15.0f;
  int method = kGaussianInterpolate;
  IGetDBIntItem("Polar_Gaussian_Method", method, status);
  if (method < kGaussianNearest || method > kGaussianExact) method = kGaussianInterpolate;
  if (!AskReal(kR.name, "ENTER X-PIXEL COORDINATE FOR CENTRE OF POLAR GAUSSIAN",
               "Polar_Gaussian_CentreX", -1.0e9f, 1.0e9f, static_cast<float>(MiddleX(d)),
               p.centreX, status) ||
      !AskReal(kR.name, "ENTER Y-PIXEL COORDINATE FOR CENTRE OF POLAR GAUSSIAN",
               "Polar_Gaussian_CentreY", -1.0e9f, 1.0e9f, static_cast<float>(MiddleY(d)),
               p.centreY, status) ||
      !AskReal(kR.name, "ENTER MAXIMUM INTENSITY OF POLAR GAUSSIAN", "Polar_Gaussian_Intensity",
               -1.0e30f, 1.0e30f, 1000.0f, p.intensity, status) ||
      !AskReal(kR.name, "ENTER STANDARD DEVIATION SIZE OF GAUSSIAN IN RADIAL DIRECTION (PIXELS)",
               "Polar_Gaussian_Radial_Sigma", 0.0f, 1.0e6f, 5.0f, p.radialSigma, status) ||
      !LVAskReal(kR.name, "ENTER STANDARD DEVIATION SIZE OF GAUSSIAN IN AZIMUTH (DEGREES)", 0.0f,
                 1.0e6f, azimuthDegrees, status)) {
    return kFalse;
  }
  p.azimuthalSigma = static_cast<float>(azimuthDegrees / kDegrees);
  p.twin = kTrue;
  p.twinRatio = 1.0f;
  p.maxSigmas = 6;
  p.method = method;
  long long added = 0;
  if (!MPolarGaussian2D(p, d, status, &added)) return kFalse;
  ISetDBRealItem("Polar_Gaussian_CentreX", p.centreX, status);
  ISetDBRealItem("Polar_Gaussian_CentreY", p.centreY, status);
  ISetDBRealItem("Polar_Gaussian_Intensity", p.intensity, status);
  ISetDBRealItem("Polar_Gaussian_Radial_Sigma", p.radialSigma, status);
  ISetDBRealItem("Polar_Gaussian_Azimuthal_Sigma", p.azimuthalSigma, status);
  ISetDBIntItem("Polar_Gaussian_Method", p.method, status);
  if (added == 0) {
    IWarning("LVAddPGaussian: The polar Gaussian lies outside the region of interest; nothing "
             "added",
             status);
    return kFalse;
  }
  IDataChanged();
  IInfo(IFormat("Polar Gaussian added centred at (%f, %f) with intensity %f",
                static_cast<double>(p.centreX), static_cast<double>(p.centreY),
                static_cast<double>(p.intensity)),
        status);
  IInfo(IFormat("Radial direction sigma = %f, Azimuthal sigma = %f",
                static_cast<double>(p.radialSigma), p.azimuthalSigma * kDegrees),
        status);
  return kTrue;
}

int LVFitGaussian(DataSet& d, DataSet& model, int& status) {
  static constexpr IRoutine kR{"LVFitGaussian", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  float background = 0.0f;
  Gaussian2DPeak peak;
  float scales[7] = {5.0f, 0.5f, 0.5f, 5.0f, 0.3141593f, 0.5f, 0.5f};
  if (!Defined(d)) {
    // No data: the test pattern, a known peak on a flat level with counting noise.
    if (!d.dataAllocated || !d.data || d.dimX < 400 || d.dimY < 300) {
      if (!IAllocateData(400, 300, d, status)) return kFalse;
    }
    IDefineWholeImage(d, 400, 300);
    ISetText(d.title, "Test Gaussian");
    if (!MROISetValue(20.0f, d, status)) return kFalse;
    Gaussian2DPeak truth;
    truth.centreX = static_cast<float>(MiddleX(d));
    truth.centreY = static_cast<float>(MiddleY(d));
    truth.intensity = 50.0f;
    truth.sigma1 = 30.0f;
    truth.sigma2 = 20.0f;
    truth.angle = 0.5235988f;
    truth.maxSigmas = 5;
    truth.method = kGaussianInterpolate;
    if (!MGaussian2D(truth, d, status) || !MROIPoissonNoise(d, status)) return kFalse;
    IDataChanged();
    ReportPeak(truth, status);
    background = 17.0f;
    peak.centreX = truth.centreX + 3.0f;
    peak.centreY = truth.centreY - 1.9f;
    peak.intensity = 46.5f;
    peak.angle = 0.59275335f;
    peak.sigma1 = 26.0f;
    peak.sigma2 = 18.0f;
    for (float& s : scales) s = 5.0f;
    scales[4] = 0.3141593f;
  } else {
    // Data: the start from the highest pixel of the region.
    if (!ICheckData("LVFitGaussian: data", d, status)) return kFalse;
    int bestX = d.startX, bestY = d.startY;
    float best = -3.4028235e38f;
    for (int y = d.startY; y <= d.endY; ++y)
      for (int x = d.startX; x <= d.endX; ++x) {
        const std::size_t i = IIndex(d, x, y);
        if (d.maskInUse && d.mask && d.mask[i]) continue;
        if (d.data[i] > best) {
          best = d.data[i];
          bestX = x;
          bestY = y;
        }
      }
    PixelRegion region;
    if (!MInit2DGaussian(bestX, bestY, d, region, background, peak, status)) {
      IWarning("LVFitGaussian: No start for the fit: no peak stands out in the region", status);
      return kFalse;
    }
  }
  const float initial[7] = {background, peak.centreX, peak.centreY, peak.intensity,
                            peak.angle, peak.sigma1, peak.sigma2};
  ReportParameters("Initial Fit Parameters", initial, nullptr, status);

  // The fit goes into a model of the data's size; the model store takes it only on success.
  DataSet fitted;
  if (!IAllocateData(d.numX, d.numY, fitted, status)) return kFalse;
  GaussianFitReport report;
  const auto start = std::chrono::steady_clock::now();
  const int ok = MFitGaussian2D(d, scales, background, peak, fitted, status, &report);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  IInfo(IFormat("Number of function calls = %i, result status = %i", report.result.evaluations,
                report.result.code),
        status);
  IInfo(IFormat("Time for minimisation = %f seconds", seconds), status);
  if (!ok) return kFalse;
  const float final[7] = {background, peak.centreX, peak.centreY, peak.intensity,
                          peak.angle, peak.sigma1, peak.sigma2};
  ReportParameters("Minimised Fit Parameters", final, report.errors.data(), status);

  // Outside the region the model is the fitted background.
  for (int y = 0; y < fitted.numY; ++y)
    for (int x = 0; x < fitted.numX; ++x)
      if (x < d.startX || x > d.endX || y < d.startY || y > d.endY)
        fitted.data[IIndex(fitted, x, y)] = background;
  IDescriptionCopy(d, fitted);
  ISetText(fitted.title, "Fitted 2-D Gaussian model");
  fitted.name = model.name;
  model = std::move(fitted);
  IDataChanged();
  return kTrue;
}

int LVBeamFitGaussian(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVBeamFitGaussian", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!Defined(d)) {
    IWarning("LVBeamFitGaussian: Data is not defined", status);
    return kFalse;
  }
  if (!ICheckData("LVBeamFitGaussian: data", d, status)) return kFalse;
  float cx = 0.0f, cy = 0.0f;
  if (!GGetCoordinate(d, "CLICK ON DIRECT BEAM PEAK:", kTrue, cx, cy, status)) return kFalse;
  PixelRegion region;
  float background = 0.0f;
  Gaussian2DPeak peak;
  if (!MInit2DGaussian(static_cast<int>(std::floor(cx)), static_cast<int>(std::floor(cy)), d,
                       region, background, peak, status)) {
    return kFalse;
  }
  DataSet model;
  if (!IAllocateData(region.endX + 1, region.endY + 1, model, status)) return kFalse;
  const int startX = d.startX, startY = d.startY, endX = d.endX, endY = d.endY;
  d.startX = region.startX;
  d.startY = region.startY;
  d.endX = region.endX;
  d.endY = region.endY;
  GaussianFitReport report;
  const int ok = MDiz2IGaussian(d, background, peak, model, status, &report);
  d.startX = startX;
  d.startY = startY;
  d.endX = endX;
  d.endY = endY;
  if (!ok) return kFalse;
  IInfo(IFormat("Direct beam fitted: centre (%f +/- %f, %f +/- %f), intensity %f, sigmas %f, %f",
                static_cast<double>(peak.centreX), static_cast<double>(report.errors[1]),
                static_cast<double>(peak.centreY), static_cast<double>(report.errors[2]),
                static_cast<double>(peak.intensity), static_cast<double>(peak.sigma1),
                static_cast<double>(peak.sigma2)),
        status);
  LVSetBeamCentre(d, peak.centreX, peak.centreY, status);
  if (PCanvas* canvas = LVOverlayCanvas()) {
    WDrawMarker(canvas, GDataToWindowX(d.beamCentreX, d), GDataToWindowY(d.beamCentreY, d),
                status);
    LVOverlayPresent();
  }
  return kTrue;
}

int LVSelectFunction(int& kind, int& status) {
  static constexpr IRoutine kR{"LVSelectFunction", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  PPopupMenu menu;
  menu.title = "Select Model Function";
  menu.entries = {{1401, "End of model definition"},
                  {1402, "2-D Polynomial"},
                  {1403, "2-D Gaussian"},
                  {1404, "Polar Gaussian"}};
  const int id = PCurrentBackend().PopupMenu(menu, 200, 200);
  if (id < 1401 || id > 1404) return kFalse;  // "Cancel command" or no choice
  kind = id - 1242;
  return kTrue;
}

int LVModel2DGaussian(const DataSet& data, DataSet& model, ModelComponent& component,
                      int& status) {
  static constexpr IRoutine kR{"LVModel2DGaussian", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!Defined(data) || !Defined(model)) {
    IWarning("LVModel2DGaussian: Data or model values are not defined", status);
    return kFalse;
  }
  double x = 0.0, y = 0.0, hx = 0.0, hy = 0.0, sx = 0.0, sy = 0.0;
  if (!Click(data, "CLICK ON CENTRE OF 2-D GAUSSIAN PEAK", x, y, status)) return kFalse;
  const float height = LocalHeight(data, model, x, y);
  if (!Click(data, "CLICK ON HALF HEIGHT COORDINATE OF PRINCIPAL AXIS", hx, hy, status) ||
      !Click(data, "CLICK ON HALF HEIGHT COORDINATE OF SECOND AXIS", sx, sy, status)) {
    return kFalse;
  }
  Gaussian2DPeak& g = component.gaussian;
  component.kind = kModel2DGaussian;
  g.centreX = static_cast<float>(x);
  g.centreY = static_cast<float>(y);
  g.intensity = height;
  // The clicks are half-height points: the sigmas are their distances over sqrt(2 ln 2).
  g.sigma1 = static_cast<float>(std::hypot(hx - x, hy - y) / kHalfHeightSigmas);
  g.angle = static_cast<float>(std::atan2(hy - y, hx - x));
  g.sigma2 = static_cast<float>(std::hypot(sx - x, sy - y) / kHalfHeightSigmas);
  g.maxSigmas = 5;
  g.method = kGaussianInterpolate;
  if (!MGaussian2D(g, model, status)) return kFalse;
  IInfo(IFormat("2-D Gaussian defined at (%f, %f), intensity %f, sigmas %f, %f, angle %f degrees",
                x, y, static_cast<double>(g.intensity), static_cast<double>(g.sigma1),
                static_cast<double>(g.sigma2), g.angle * kDegrees),
        status);
  return kTrue;
}

int LVModelPGaussian(const DataSet& data, DataSet& model, ModelComponent& component,
                     int& status) {
  static constexpr IRoutine kR{"LVModelPGaussian", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!Defined(data) || !Defined(model)) {
    IWarning("LVModelPGaussian: Data or model values are not defined", status);
    return kFalse;
  }
  double bx = 0.0, by = 0.0, x = 0.0, y = 0.0, rx = 0.0, ry = 0.0, ax = 0.0, ay = 0.0;
  if (!Click(data, "CLICK ON SYMMETRY CENTRE (BEAM CENTRE)", bx, by, status) ||
      !Click(data, "CLICK ON CENTRE OF POLAR GAUSSIAN PEAK", x, y, status)) {
    return kFalse;
  }
  PolarGaussianPeak& g = component.polar;
  component.kind = kModelPolarGaussian;
  g.symmetryX = static_cast<float>(bx);
  g.symmetryY = static_cast<float>(by);
  g.centreX = static_cast<float>(x);
  g.centreY = static_cast<float>(y);
  g.intensity = LocalHeight(data, model, x, y);
  if (!Click(data, "CLICK ON RADIAL DIRECTION HALF HEIGHT COORDINATE", rx, ry, status) ||
      !Click(data, "CLICK ON AZIMUTHAL DIRECTION HALF HEIGHT COORDINATE", ax, ay, status)) {
    return kFalse;
  }
  g.radialSigma = static_cast<float>(std::hypot(rx - x, ry - y) / kHalfHeightSigmas);
  // The azimuthal click's distance from the peak is an arc at the peak's radius.
  const double radius = std::hypot(x - bx, y - by);
  const double arc = std::hypot(ax - x, ay - y);
  g.azimuthalSigma = radius > 0.0 ? static_cast<float>(arc / radius / kHalfHeightSigmas) : 0.0f;
  int twin = kFalse;
  if (!WGetBoolean({"DEFINE TWIN PEAK", kTrue, twin, status})) return kFalse;
  g.twin = twin ? kTrue : kFalse;
  g.twinRatio = 1.0f;
  if (g.twin) {
    double tx = 0.0, ty = 0.0;
    if (!Click(data, "CLICK ON CENTRE OF TWIN POLAR GAUSSIAN PEAK", tx, ty, status)) return kFalse;
    const float twinHeight = LocalHeight(data, model, tx, ty);
    g.twinRatio = g.intensity != 0.0f ? twinHeight / g.intensity : 1.0f;
  }
  g.maxSigmas = 5;
  g.method = kGaussianInterpolate;
  if (!MPolarGaussian2D(g, model, status)) return kFalse;
  IInfo(IFormat("Polar Gaussian defined at (%f, %f), intensity %f, radial sigma %f, azimuthal "
                "sigma %f degrees",
                x, y, static_cast<double>(g.intensity), static_cast<double>(g.radialSigma),
                g.azimuthalSigma * kDegrees),
        status);
  return kTrue;
}

int LVModel2DPolynomial(const DataSet& data, DataSet& model, ModelComponent& component,
                        int& status) {
  static constexpr IRoutine kR{"LVModel2DPolynomial", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!Defined(data) || !Defined(model)) {
    IWarning("LVModel2DPolynomial: Data or model values are not defined", status);
    return kFalse;
  }
  int orderX = 2, orderY = 2;
  IGetDBIntItem("Model_Polynomial_X_Order", orderX, status);
  IGetDBIntItem("Model_Polynomial_Y_Order", orderY, status);
  orderX = std::clamp(orderX, 0, kMaximumPolynomialOrder);
  orderY = std::clamp(orderY, 0, kMaximumPolynomialOrder);
  if (!WGetInteger({"ENTER ORDER OF POLYNOMIAL IN X-DIRECTION", kTrue, kTrue, 0,
                    kMaximumPolynomialOrder, orderX, status}) ||
      !WGetInteger({"ENTER ORDER OF POLYNOMIAL IN Y-DIRECTION", kTrue, kTrue, 0,
                    kMaximumPolynomialOrder, orderY, status})) {
    return kFalse;
  }
  ISetDBIntItem("Model_Polynomial_X_Order", orderX, status);
  ISetDBIntItem("Model_Polynomial_Y_Order", orderY, status);
  component.kind = kModel2DPolynomial;
  if (!FitPolynomial(data, model, orderX, orderY, component.polynomial, status)) return kFalse;
  if (!MModelAddComponent(component, model, status)) return kFalse;
  IInfo(IFormat("2-D polynomial of orders %i, %i defined", orderX, orderY), status);
  return kTrue;
}

int LVModelDefine(const DataSet& data, ModelDescription& components, DataSet& model,
                  int& status) {
  static constexpr IRoutine kR{"LVModelDefine", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!Defined(data)) {
    IWarning("LVModelDefine: Data is not defined", status);
    return kFalse;
  }
  if (!PrepareModel(data, model, status)) return kFalse;
  const int dataIndex = components.dataIndex;
  components = ModelDescription{};
  components.dataIndex = dataIndex;
  for (;;) {
    int kind = kModelEnd;
    if (!LVSelectFunction(kind, status) || kind == kModelEnd) break;
    ModelComponent component;
    int defined = kFalse;
    switch (kind) {
      case kModel2DPolynomial: defined = LVModel2DPolynomial(data, model, component, status); break;
      case kModel2DGaussian: defined = LVModel2DGaussian(data, model, component, status); break;
      case kModelPolarGaussian: defined = LVModelPGaussian(data, model, component, status); break;
      default: break;
    }
    if (status != kStatusGood) return kFalse;
    if (!defined) return kFalse;  // a cancelled click or dialog ends the definition
    components.components.push_back(component);
    IInfo(IFormat("Model component %i: %s", static_cast<int>(components.components.size()),
                  KindName(kind)),
          status);
  }
  IDataChanged();
  IInfo(IFormat("Model defined with %i component(s)",
                static_cast<int>(components.components.size())),
        status);
  return kTrue;
}

int LVModelOptimise(const DataSet& data, ModelDescription& components, DataSet& model,
                    int& status) {
  static constexpr IRoutine kR{"LVModelOptimise", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (components.components.empty()) {
    IWarning("LVModelOptimise: No model is defined (use Model_Define first)", status);
    return kFalse;
  }
  if (!Defined(data)) {
    IWarning("LVModelOptimise: Data is not defined", status);
    return kFalse;
  }
  if (!ICheckData("LVModelOptimise: data", data, status)) return kFalse;
  if (&data == &model) {
    IWarning("LVModelOptimise: The data and the model are the same data-set", status);
    return kFalse;
  }

  ModelDescription working = components;
  ParameterMap map = MapParameters(working);
  const int n = static_cast<int>(map.slots.size());
  ModelParameters p;
  p.Resize(n);
  for (int k = 0; k < n; ++k) {
    p.values[static_cast<std::size_t>(k)] = *map.slots[static_cast<std::size_t>(k)];
    p.scales[static_cast<std::size_t>(k)] = map.scales[static_cast<std::size_t>(k)];
  }
  const std::vector<float> before = p.values;
  OptimiseWords words{&working, &map};
  p.clientWords[0] = &words;

  ModelControl control;
  control.weighted = kFalse;
  control.subtractData = kTrue;
  control.sameCoordinates = kTrue;
  control.maximumEvaluations = std::max(100, 20 * (n + 1));  // per run
  control.tolerance = 1.0e-5f;
  control.stepFactor = 100.0f;
  control.differenceStep = 1.0e-5f;
  control.outputLevel = kModelInitialFinal;
  control.objective = DescriptionObjective;

  IInfo("Model parameters before optimisation:", status);
  for (int k = 0; k < n; ++k) {
    IInfo(IFormat("%s = %g", map.names[static_cast<std::size_t>(k)].c_str(),
                  static_cast<double>(before[static_cast<std::size_t>(k)])),
          status);
  }
  DataSet scratch;
  if (!PrepareModel(data, scratch, status)) return kFalse;
  ModelResult result;
  // A run stopped by the evaluation limit goes on from where it stopped, three runs at most.
  int ran = kFalse, evaluations = 0;
  for (int run = 0; run < 3; ++run) {
    ran = MModelMinimise(data, control, p, scratch, result, status);
    evaluations += result.evaluations;
    if (!ran || status != kStatusGood || result.code != kModelEvaluations) break;
  }
  result.evaluations = evaluations;
  if (status != kStatusGood) return kFalse;
  IInfo(IFormat("Number of function calls = %i, result status = %i", result.evaluations,
                result.code),
        status);
  bool finite = true;
  for (float v : p.values) finite = finite && std::isfinite(v);
  if (!ran || !finite || result.code == kModelEvaluations) {
    IWarning(IFormat("LVModelOptimise: The optimisation did not converge (result code %i); the "
                     "model is unchanged",
                     result.code),
             status);
    return kFalse;
  }
  // The fitted values into the description (widths positive), then the model recomputed.
  for (int k = 0; k < n; ++k) *map.slots[static_cast<std::size_t>(k)] = p.values[static_cast<std::size_t>(k)];
  for (ModelComponent& c : working.components) {
    if (c.kind == kModel2DGaussian) {
      c.gaussian.sigma1 = std::fabs(c.gaussian.sigma1);
      c.gaussian.sigma2 = std::fabs(c.gaussian.sigma2);
      c.gaussian.angle = static_cast<float>(MIntoPlusMinusPi(c.gaussian.angle));
    } else if (c.kind == kModelPolarGaussian) {
      c.polar.radialSigma = std::fabs(c.polar.radialSigma);
      c.polar.azimuthalSigma = std::fabs(c.polar.azimuthalSigma);
    }
  }
  if (!MROISetValue(0.0f, scratch, status)) return kFalse;
  for (const ModelComponent& c : working.components) {
    if (!MModelAddComponent(c, scratch, status) && status != kStatusGood) return kFalse;
  }
  IInfo("Model parameters after optimisation:", status);
  ParameterMap after = MapParameters(working);
  for (int k = 0; k < n; ++k) {
    IInfo(IFormat("%s = %g", after.names[static_cast<std::size_t>(k)].c_str(),
                  static_cast<double>(*after.slots[static_cast<std::size_t>(k)])),
          status);
  }
  IInfo(IFormat("RMS residual = %g",
                std::sqrt(std::max(0.0f, result.sumOfSquares) /
                          std::max(1, (data.endX - data.startX + 1) * (data.endY - data.startY + 1)))),
        status);
  ISetText(scratch.title, "Optimised model");
  scratch.name = model.name;
  model = std::move(scratch);
  components = std::move(working);
  IDataChanged();
  return kTrue;
}

void LVRegisterPeakCommands() {
  LVRegisterCommand({.name = "Add_Gaussian", .work = [](LVCommandCall& call) {
                       return LVAddGaussian(call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Add_Polar_Gaussian", .work = [](LVCommandCall& call) {
                       return LVAddPGaussian(call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Fit_Gaussian",
                     .work = [](LVCommandCall& call) {
                       return LVFitGaussian(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOperand,
                     .prompt = "Select data-set for fitted model",
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Beam_Fit_Gaussian",
                     .work = [](LVCommandCall& call) {
                       return LVBeamFitGaussian(call.main, call.status);
                     },
                     .setsGeometry = true});
  LVRegisterCommand({.name = "Model_Define",
                     .work = [](LVCommandCall& call) {
                       LVModelDescription().dataIndex = call.stores.mainIndex;
                       return LVModelDefine(call.main, LVModelDescription(), *call.chosen,
                                            call.status);
                     },
                     .choose = LVChoose::kModel,
                     .prompt = "Select data-set for model values",
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Model_Optimise", .work = [](LVCommandCall& call) {
                       DataStores& stores = call.stores;
                       DataSet& model = stores.stores[static_cast<std::size_t>(stores.modelIndex)];
                       DataSet* data = &call.main;
                       // "Model_Define" leaves the model store as the main store: the data
                       // it was defined on is then fitted.
                       if (data == &model) {
                         const int index = LVModelDescription().dataIndex;
                         if (index < 0 || index >= kNumStores || index == stores.modelIndex) {
                           IWarning("LVModelOptimise: The main data-set is the model store; "
                                    "select the data to fit as main data-set",
                                    call.status);
                           return kFalse;
                         }
                         data = &stores.stores[static_cast<std::size_t>(index)];
                         IInfo(IFormat("Optimising the model against the data of store %i",
                                       index),
                               call.status);
                       }
                       return LVModelOptimise(*data, LVModelDescription(), model, call.status);
                     }});
}
