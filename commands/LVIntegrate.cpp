#include "commands/LVIntegrate.h"

#include <climits>
#include <cmath>
#include <cstdint>

#include "ui/LVCommandRegistry.h"
#include "core/database.h"
#include "core/status.h"
#include "commands/LVGeometry.h"
#include "graphics/GDisplaySize.h"
#include "maths/MGeometry.h"
#include "maths/MIntegrate.h"
#include "platform/Platform.h"
#include "ui/WDialogs.h"

namespace {

// The bin count of a region: over-sampling times the farthest corner's distance in pixels.
int BinCount(const IRoutine& r, int oversampling, int farthestPixels, int& bins, int& status) {
  const std::int64_t count = static_cast<std::int64_t>(oversampling) * farthestPixels;
  if (count < 1 || count > INT_MAX) return IFail(r, kStatusIntRange1, status);
  bins = static_cast<int>(count);
  return kTrue;
}

// The bins of the region (over-sampling x the farthest corner's distance in pixels) and that
// distance in metres.
int FarthestBins(const IRoutine& r, const DataSet& data, int oversampling, int& bins,
                 float& farDistance, int& status) {
  int nearPixels = 0, farPixels = 0;
  float nearDistance = 0.0f;
  if (!ICalROICornerDistance(data, nearPixels, farPixels, nearDistance, farDistance, status)) {
    return kFalse;
  }
  return BinCount(r, oversampling, farPixels, bins, status);
}

// The wait cursor while the pass runs.
int Integrate(const DataSet& data, const IntegrationParameters& p, DataSet& result,
              int& status) {
  PCurrentBackend().SetBusyCursor(true);
  const int ok = MROIIntegrate(data, p, result, status);
  PCurrentBackend().SetBusyCursor(false);
  return ok;
}

}  // namespace

int LVSelectScanType(int& scanType, int& status) {
  static constexpr IRoutine kR{"LVSelectScanType", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  PPopupMenu menu;
  menu.title = "Select scan type";
  // The pop-up ends with its own "Cancel command" line.
  menu.entries = {{1451, "Distance"}, {1452, "2-Theta"}, {1453, "Q-Space"}, {1454, "D-Spacing"}};
  const int id = PCurrentBackend().PopupMenu(menu, 200, 200);
  if (id >= 1451 && id <= 1454) {
    scanType = id - 719;
    return kTrue;
  }
  return kFalse;
}

int LVIntegrationParameters(int scanType, const DataSet& data, int oversampling, float maximumD,
                            IntegrationParameters& p, int& status) {
  static constexpr IRoutine kR{"LVIntegrate", "V0.8"};
  if (IBad(kR, status)) return kFalse;
  int bins = 0;
  float farDistance = 0.0f;
  if (!FarthestBins(kR, data, oversampling, bins, farDistance, status)) return kFalse;

  const double farAngle = std::atan2(static_cast<double>(farDistance), data.distance);
  double range = farDistance;
  switch (scanType) {
    case kScan2Theta: range = farAngle; break;
    case kScanQ: range = 4.0 * M_PI / (data.wavelength * 1.0e9) * std::sin(farAngle / 2.0); break;
    case kScanDSpacing: range = maximumD; break;
    default: break;
  }
  p = IntegrationParameters{};
  p.scanType = scanType;
  p.innerRadius = 0.0f;
  p.outerRadius = farDistance;
  p.start = 0.0f;
  p.step = static_cast<float>(range / bins);
  p.bins = bins;
  p.obliquityCorrection = kTrue;
  p.polarisationCorrection = kTrue;
  p.sumsOnly = kFalse;
  p.variances = kFalse;
  return kTrue;
}

int LVIntegrate(int scanType, DataSet& data, DataSet& result, int& status) {
  static constexpr IRoutine kR{"LVIntegrate", "V0.8"};
  if (IBad(kR, status)) return kFalse;
  if (!data.dataDefined) {
    IWarning("LVIntegrate; Data is not defined", status);
    return kFalse;
  }
  if (scanType < kScanRadial || scanType > kScanDSpacing) {
    return IFail(kR, kStatusIntRange1, status);
  }
  if (!ICheckData("LVIntegrate:", data, status)) return kFalse;
  if (!LVCheckGeometrySet(kR.name, data, status)) return kFalse;

  int oversampling = 1;
  IGetDBIntItem("Integration_Oversampling_Factor", oversampling, status);
  if (!WGetInteger({"ENTER OVER-SAMPLING FACTOR FOR INTEGRATED DATA:", kTrue, kTrue, 1, 10,
                    oversampling, status})) {
    return kFalse;
  }
  float maximumD = 10.0f;
  if (scanType == kScanDSpacing) {
    IGetDBRealItem("Maximum_D_Spacing", maximumD, status);
    if (!LVAskReal(kR.name, "ENTER MAXIMUM D-SPACING FOR INTEGRATED SCAN:", 1.0f, 10000.0f,
                   maximumD, status)) {
      return kFalse;
    }
    ISetDBRealItem("Maximum_D_Spacing", maximumD, status);
  }
  // Variances are never asked here; the item is cleared for the commands that read it.
  int variances = kFalse;
  IGetDBBooleanItem("Integrate_Calculate_Variances", variances, status);
  ISetDBBooleanItem("Integrate_Calculate_Variances", kFalse, status);

  IntegrationParameters p;
  if (!LVIntegrationParameters(scanType, data, oversampling, maximumD, p, status)) return kFalse;
  LVIntegrationErrors(p, status);
  if (!IAllocateData(p.bins, 1, result, status)) return kFalse;
  if (!Integrate(data, p, result, status)) return kFalse;
  ISetDBIntItem("Integration_Oversampling_Factor", oversampling, status);
  IInfo("Main data integrated to 1-D scan(s)", status);
  return kTrue;
}

int LVIntegrateRadially(DataSet& data, DataSet& result, int& status) {
  static constexpr IRoutine kR{"LVIntegrateRadially", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!data.dataDefined) {
    IWarning("LVIntegrateRadially; Data is not defined", status);
    return kFalse;
  }
  if (!ICheckData("LVIntegrateRadially:", data, status)) return kFalse;
  if (!LVCheckGeometrySet(kR.name, data, status)) return kFalse;
  int oversampling = 1;
  IGetDBIntItem("Radial_Integration_Oversampling_Factor", oversampling, status);
  if (!WGetInteger({"ENTER OVER-SAMPLING FACTOR FOR INTEGRATED DATA:", kTrue, kTrue, 1, 4,
                    oversampling, status})) {
    return kFalse;
  }
  int bins = 0;
  float farDistance = 0.0f;
  if (!FarthestBins(kR, data, oversampling, bins, farDistance, status)) return kFalse;
  if (!IAllocateData(bins, 1, result, status)) return kFalse;

  IntegrationParameters p;
  p.scanType = kScanRadial;
  p.innerRadius = 0.0f;
  p.outerRadius = farDistance;
  p.start = 0.0f;
  p.step = static_cast<float>((static_cast<double>(data.pixelSizeX) + data.pixelSizeY) /
                              (2.0 * oversampling));
  p.bins = bins;
  if (!Integrate(data, p, result, status)) return kFalse;
  ISetText(result.title, IFormat("%s: Radially integrated", data.title.c_str()));
  IInfo(IFormat("Main data radially integrated with %i times over-sampling", oversampling),
        status);
  ISetDBIntItem("Radial_Integration_Oversampling_Factor", oversampling, status);
  return kTrue;
}

int LVInpProjection(DataSet& data, int& oversampling, float x[4], float y[4], int& status) {
  static constexpr IRoutine kR{"LVInpProjection", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  float lineX[2] = {0.0f, 0.0f}, lineY[2] = {0.0f, 0.0f};
  float widthX[2] = {0.0f, 0.0f}, widthY[2] = {0.0f, 0.0f};
  if (!LVClickPoints(kR.name, "ENTER END POINTS OF LINE FOR PROJECTION OF DATA", 2, lineX, lineY,
                     status) ||
      !LVClickPoints(kR.name, "ENTER END POINTS OF WIDTH OF PROJECTION REGION", 2, widthX, widthY,
                     status)) {
    return kFalse;
  }
  MProjectionCorners(lineX[0], lineY[0], lineX[1], lineY[1], widthX[0], widthY[0], widthX[1],
                     widthY[1], x, y);
  (void)data;  // the region's edges are drawn on the image once the display draws overlays
  IGetDBIntItem("Projection_Oversampling_Factor", oversampling, status);
  if (!WGetInteger({"ENTER OVER-SAMPLING FACTOR FOR PROJECTED DATA:", kTrue, kTrue, 1, 8,
                    oversampling, status})) {
    return kFalse;
  }
  ISetDBIntItem("Projection_Oversampling_Factor", oversampling, status);
  return kTrue;
}

int LVProjectionParameters(const DataSet& data, int oversampling, const float x[4],
                           const float y[4], ProjectionParameters& p, int& status) {
  static constexpr IRoutine kR{"LVProjection", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  p.binWidth = static_cast<float>((static_cast<double>(data.pixelSizeX) + data.pixelSizeY) /
                                  (2.0 * oversampling));
  const double dx = (static_cast<double>(x[1]) - x[0]) * data.pixelSizeX;
  const double dy = (static_cast<double>(y[1]) - y[0]) * data.pixelSizeY;
  const double bins = std::sqrt(dx * dx + dy * dy) / p.binWidth + 0.9999;
  if (!(bins >= 1.0) || bins > INT_MAX) return IFail(kR, kStatusIntRange1, status);
  p.bins = static_cast<int>(bins);
  return kTrue;
}

int LVProjection(DataSet& data, DataSet& result, int& status) {
  static constexpr IRoutine kR{"LVProjection", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!data.dataDefined) {
    IWarning("LVProjection; Data is not defined", status);
    return kFalse;
  }
  if (!ICheckData("LVProjection:", data, status)) return kFalse;
  int oversampling = 1;
  float x[4] = {0, 0, 0, 0}, y[4] = {0, 0, 0, 0};
  if (!LVInpProjection(data, oversampling, x, y, status)) return kFalse;

  ProjectionParameters p;
  if (!LVProjectionParameters(data, oversampling, x, y, p, status)) return kFalse;
  if (!IAllocateData(p.bins, 1, result, status)) return kFalse;
  if (!MProjection(data, p, x, y, result, status)) return kFalse;
  IInfo("Main data projected onto 1-D line", status);
  return kTrue;
}

int LVIntegrationErrors(IntegrationParameters& p, int& status) {
  int poisson = kFalse;
  IGetDBBooleanItem("Integrate_Poisson_Errors", poisson, status);
  if (!poisson) return kFalse;
  p.variances = kTrue;
  p.errorModel = kErrorsPoisson;
  return kTrue;
}

namespace {

int CheckedSource(const IRoutine& r, const DataSet& data, int& status) {
  if (!data.dataDefined) {
    IWarning(std::string(r.name) + "; Data is not defined", status);
    return kFalse;
  }
  return ICheckData(std::string(r.name) + ":", data, status) &&
         LVCheckGeometrySet(r.name, data, status);
}

// The source checked, the scan type from the pop-up, the over-sampling and, for d-spacings,
// the largest d-spacing, as the 1-D commands ask them.
int AskScan(const IRoutine& r, const DataSet& data, int& scanType, int& oversampling,
            float& maximumD, int& status) {
  if (!CheckedSource(r, data, status) || !LVSelectScanType(scanType, status)) return kFalse;
  IGetDBIntItem("Integration_Oversampling_Factor", oversampling, status);
  if (!WGetInteger({"ENTER OVER-SAMPLING FACTOR FOR INTEGRATED DATA:", kTrue, kTrue, 1, 10,
                    oversampling, status})) {
    return kFalse;
  }
  ISetDBIntItem("Integration_Oversampling_Factor", oversampling, status);
  if (scanType == kScanDSpacing) {
    IGetDBRealItem("Maximum_D_Spacing", maximumD, status);
    if (!LVAskReal(r.name, "ENTER MAXIMUM D-SPACING FOR INTEGRATED SCAN:", 1.0f, 10000.0f,
                   maximumD, status)) {
      return kFalse;
    }
    ISetDBRealItem("Maximum_D_Spacing", maximumD, status);
  }
  return kTrue;
}

}  // namespace

int LVIntegrateSector(DataSet& data, DataSet& result, int& status) {
  static constexpr IRoutine kR{"LVIntegrateSector", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  int scanType = kScan2Theta, oversampling = 1;
  float maximumD = 10.0f;
  if (!AskScan(kR, data, scanType, oversampling, maximumD, status)) return kFalse;
  float start = -45.0f, end = 45.0f;
  IGetDBRealItem("Sector_Azimuth_Start", start, status);
  IGetDBRealItem("Sector_Azimuth_End", end, status);
  if (!LVAskReal(kR.name, "ENTER START AZIMUTH OF SECTOR (DEGREES, -180 TO 180):", -180.0f,
                 180.0f, start, status) ||
      !LVAskReal(kR.name, "ENTER END AZIMUTH OF SECTOR (DEGREES, -180 TO 180):", -180.0f, 180.0f,
                 end, status)) {
    return kFalse;
  }
  ISetDBRealItem("Sector_Azimuth_Start", start, status);
  ISetDBRealItem("Sector_Azimuth_End", end, status);
  IntegrationParameters p;
  if (!LVIntegrationParameters(scanType, data, oversampling, maximumD, p, status)) return kFalse;
  LVIntegrationErrors(p, status);
  p.sector = kTrue;
  p.azimuthStart = static_cast<float>(start * M_PI / 180.0);
  p.azimuthEnd = static_cast<float>(end * M_PI / 180.0);
  if (!IAllocateData(p.bins, 1, result, status)) return kFalse;
  if (!Integrate(data, p, result, status)) return kFalse;
  ISetText(result.title, IFormat("%s, azimuth %g to %g degrees", result.title.c_str(),
                                 static_cast<double>(start), static_cast<double>(end)));
  IInfo(IFormat("Main data integrated to 1-D scan over the azimuths %g to %g degrees%s",
                static_cast<double>(start), static_cast<double>(end),
                start > end ? " (through 180)" : ""),
        status);
  return kTrue;
}

int LVIntegrateCake(DataSet& data, DataSet& result, int& status) {
  static constexpr IRoutine kR{"LVIntegrateCake", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  int scanType = kScan2Theta, oversampling = 1;
  float maximumD = 10.0f;
  if (!AskScan(kR, data, scanType, oversampling, maximumD, status)) return kFalse;
  int azimuthBins = 360;
  IGetDBIntItem("Cake_Azimuth_Bins", azimuthBins, status);
  if (!WGetInteger({"ENTER NUMBER OF AZIMUTHAL BINS:", kTrue, kTrue, 1, 3600, azimuthBins,
                    status})) {
    return kFalse;
  }
  ISetDBIntItem("Cake_Azimuth_Bins", azimuthBins, status);
  CakeParameters p;
  if (!LVIntegrationParameters(scanType, data, oversampling, maximumD, p.radial, status)) {
    return kFalse;
  }
  LVIntegrationErrors(p.radial, status);
  p.azimuthBins = azimuthBins;
  if (!IAllocateData(p.radial.bins, azimuthBins, result, status)) return kFalse;
  {
    PBusyCursor busy;
    if (!MROICake(data, p, result, status)) return kFalse;
  }
  IInfo(IFormat("Main data regrouped to %i scan bins by %i azimuthal bins", p.radial.bins,
                azimuthBins),
        status);
  // The cake is shown whole, whatever size its store showed before.
  LVAutosetMagnification(result, status);
  return kTrue;
}

int LVTogglePoissonErrors(int& status) {
  int poisson = kFalse;
  IGetDBBooleanItem("Integrate_Poisson_Errors", poisson, status);
  poisson = poisson ? kFalse : kTrue;
  ISetDBBooleanItem("Integrate_Poisson_Errors", poisson, status);
  PCurrentBackend().SetMenuItemChecked(558, poisson != 0);
  IInfo(poisson ? "Integrated scans carry counting-statistics (Poisson) errors"
                : "Integrated scans carry no errors",
        status);
  return kTrue;
}

void LVRegisterIntegrationCommands() {
  auto integrate = [](int scanType) {
    return [scanType](LVCommandCall& call) {
      return LVIntegrate(scanType, call.main, *call.chosen, call.status);
    };
  };
  const char* const prompt = "Select data-set for integrated output";
  LVRegisterCommand({.name = "Integrate_2Theta", .work = integrate(kScan2Theta),
                     .choose = LVChoose::kOutput, .prompt = prompt,
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Integrate_QSpace", .work = integrate(kScanQ),
                     .choose = LVChoose::kOutput, .prompt = prompt,
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Integrate_DSpacings", .work = integrate(kScanDSpacing),
                     .choose = LVChoose::kOutput, .prompt = prompt,
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Integrate_Distance",
                     .work = [](LVCommandCall& call) {
                       return LVIntegrateRadially(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOutput, .prompt = prompt,
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Integrate_Sector",
                     .work = [](LVCommandCall& call) {
                       return LVIntegrateSector(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOutput, .prompt = prompt,
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Integrate_Cake",
                     .work = [](LVCommandCall& call) {
                       return LVIntegrateCake(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOutput,
                     .prompt = "Select data-set for output of the 2-D cake",
                     .then = LVThen::kMainIsChosenOnSuccess});
  LVRegisterCommand({.name = "Poisson_Errors", .work = [](LVCommandCall& call) {
                       return LVTogglePoissonErrors(call.status);
                     }});
  LVRegisterCommand({.name = "Projection",
                     .work = [](LVCommandCall& call) {
                       return LVProjection(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOutput,
                     .prompt = "Select data-set for projected output",
                     .then = LVThen::kMainIsChosenOnSuccess});
}
