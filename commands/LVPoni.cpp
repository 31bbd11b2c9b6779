#include "commands/LVPoni.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "ui/LVCommandRegistry.h"
#include "commands/LVOverlay.h"
#include "core/database.h"
#include "core/status.h"
#include "fileio/FPoni.h"
#include "maths/MGeometry.h"
#include "maths/MIntegrate.h"
#include "platform/Platform.h"
#include "ui/LVFileSelect.h"
#include "ui/WDialogs.h"

namespace {

const char* const kPoniFilter = "PONI geometry files|*.poni|All files|*.*";

// Beyond this rotation about the beam (radians) azimuths differ noticeably.
constexpr double kRot3Limit = 1.0e-4;

// The file named by the argument: "?" asks, empty is an error. Loading proposes the file read
// last; saving proposes the image's own name with ".poni" beside it (the calibration belongs
// with the image it was made on), or "geometry.poni" in the folder of the last PONI file while
// no image came from a file.
int PoniFileName(const char* routine, const char* command, bool save, const std::string& argument,
                 const DataSet& d, std::string& fileName, int& status) {
  if (argument == "?") {
    fileName.clear();
    if (!save) {
      IGetDBItem("PONI_File", fileName, status);
    } else if (!d.fileName.empty()) {
      std::error_code error;
      std::filesystem::path image = std::filesystem::absolute(d.fileName, error);
      if (error) image = d.fileName;
      fileName = image.replace_extension("poni").string();
    } else {
      fileName = "geometry.poni";
    }
    return WSelectFile({save, false,
                        save ? "SELECT OUTPUT PONI GEOMETRY FILE" : "SELECT PONI GEOMETRY FILE",
                        kPoniFilter, save ? "poni" : "", kPoniFolder},
                       256, fileName, status);
  }
  if (argument.empty()) {
    IError(IFormat("%s; %s command, but no defined argument", routine, command), status);
    return kFalse;
  }
  fileName = argument;
  return kTrue;
}

// Whether the file's rows count from the last row of the image (the choice is remembered).
int AskRowsTurned(const char* prompt, int& turned, int& status) {
  turned = kFalse;
  IGetDBBooleanItem("PONI_Image_Upside_Down", turned, status);
  if (!WGetBoolean({prompt, kTrue, turned, status})) return kFalse;
  ISetDBBooleanItem("PONI_Image_Upside_Down", turned, status);
  return kTrue;
}


// The detector geometry a PONI file gives, in this program's terms.
struct BeamGeometry {
  double beamX = 0.0, beamY = 0.0, distance = 0.0, tilt = 0.0, tiltAxis = 0.0;
  double pixelX = 0.0, pixelY = 0.0;
};

void Apply(const BeamGeometry& g, DataSet& d) {
  d.beamCentreX = static_cast<float>(g.beamX);
  d.beamCentreY = static_cast<float>(g.beamY);
  d.distance = static_cast<float>(g.distance);
  d.tiltAngle = static_cast<float>(g.tilt);
  d.tiltAxisAngle = static_cast<float>(g.tiltAxis);
  d.pixelSizeX = static_cast<float>(g.pixelX);
  d.pixelSizeY = static_cast<float>(g.pixelY);
}

bool Usable(const BeamGeometry& g) {
  return std::isfinite(g.beamX) && std::isfinite(g.beamY) && g.distance > 0.0 &&
         std::isfinite(g.distance) && std::fabs(g.tilt) < M_PI / 2.0;
}

// How sharp the rings of the image are under a geometry: the 2-theta scan of the region at
// one bin per pixel, and the sum of its squared second differences over bins that, with both
// neighbours, hold pixels. A geometry that puts the beam where it is gives narrow, high peaks;
// one mirrored across the rows smears every ring. Negative when the scan cannot be made.
double RingSharpness(DataSet& d, const BeamGeometry& g) {
  Apply(g, d);
  if (!MGeometryValid(d)) return -1.0;
  double far = 0.0;
  for (const int x : {d.startX, d.endX + 1})
    for (const int y : {d.startY, d.endY + 1})
      far = std::max(far, std::hypot((x - g.beamX) * g.pixelX, (y - g.beamY) * g.pixelY));
  far *= 1.0 / std::max(0.05, std::cos(g.tilt));  // room for the tilt correction
  const double pixel = std::min(g.pixelX, g.pixelY);
  const int bins = static_cast<int>(std::clamp(far / pixel, 16.0, 65536.0));
  DataSet scan;
  int local = kStatusGood;
  if (!IAllocateData(bins, 1, scan, local)) return -1.0;
  IntegrationParameters p;
  p.scanType = kScan2Theta;
  p.outerRadius = static_cast<float>(far);
  p.step = static_cast<float>(std::atan2(far, g.distance) / bins);
  p.bins = bins;
  if (!MROIIntegrate(d, p, scan, local)) return -1.0;
  double sum = 0.0;
  for (int i = 1; i + 1 < bins; ++i) {
    const double a = scan.data[i - 1], b = scan.data[i], c = scan.data[i + 1];
    if (a == 0.0 || b == 0.0 || c == 0.0) continue;  // bins without pixels
    const double second = a - 2.0 * b + c;
    sum += second * second;
  }
  return sum;
}

// How far the image is from rotational symmetry about the beam under a geometry: the pixels
// of the region are grouped by tilt-corrected radius (one group per pixel width) and the
// squared deviations of each pixel from its group's mean are summed. Under the geometry that
// puts the beam where it is, a ring lies in few groups and each group is nearly uniform; one
// mirrored across the rows mixes ring and background pixels in every group. Counting noise
// adds the same amount under both, whatever the ring widths. Negative when nothing can be
// grouped.
double RingScatter(DataSet& d, const BeamGeometry& g, float low, float high) {
  Apply(g, d);
  if (!MGeometryValid(d)) return -1.0;
  MDetectorTransform t;
  MSetDetectorTransform(d, t);
  double far = 0.0;
  for (const int x : {d.startX, d.endX + 1})
    for (const int y : {d.startY, d.endY + 1})
      far = std::max(far, std::hypot((x - g.beamX) * g.pixelX, (y - g.beamY) * g.pixelY));
  far /= std::max(0.05, std::cos(g.tilt));  // room for the tilt correction
  const double binWidth = std::min(g.pixelX, g.pixelY);
  const int bins = static_cast<int>(std::clamp(far / binWidth, 16.0, 65536.0)) + 1;
  std::vector<double> sums(static_cast<std::size_t>(bins)), squares(sums.size());
  std::vector<std::int64_t> counts(sums.size());
  const bool masked = d.maskInUse && d.maskDefined && d.mask;
  for (int y = d.startY; y <= d.endY; ++y) {
    const double h = (y + 0.5 - g.beamY) * g.pixelY;
    for (int x = d.startX; x <= d.endX; ++x) {
      const std::size_t i = IIndex(d, x, y);
      if (masked && d.mask[i]) continue;
      if (!std::isfinite(d.data[i])) continue;
      const double value = std::clamp(d.data[i], low, high);
      double radius = 0.0;
      if ( !MCorrectedRadius(t, (x + 0.5 - g.beamX) * g.pixelX, h, radius))
        continue;
      const auto bin = static_cast<std::size_t>(std::clamp(radius / binWidth, 0.0, bins - 1.0));
      sums[bin] += value;
      squares[bin] += value * value;
      ++counts[bin];
    }
  }
  double scatter = 0.0;
  for (std::size_t bin = 0; bin < sums.size(); ++bin) {
    if (counts[bin] > 1) scatter += squares[bin] - sums[bin] * sums[bin] / counts[bin];
  }
  return scatter;
}

// The range the ring test holds values to: the 1st and 99th percentiles of the region's
// unmasked finite values, so that hot pixels, which stand alike under both orientations, do
// not outweigh the rings. False when the region holds no value.
bool RobustRange(const DataSet& d, float& low, float& high) {
  std::vector<float> values;
  values.reserve(static_cast<std::size_t>(d.endX - d.startX + 1) *
                 static_cast<std::size_t>(d.endY - d.startY + 1));
  const bool masked = d.maskInUse && d.maskDefined && d.mask;
  for (int y = d.startY; y <= d.endY; ++y)
    for (int x = d.startX; x <= d.endX; ++x) {
      const std::size_t i = IIndex(d, x, y);
      if ((!masked || !d.mask[i]) && std::isfinite(d.data[i])) values.push_back(d.data[i]);
    }
  if (values.empty()) return false;
  const auto at = [&values](double fraction) {
    auto k = values.begin() + static_cast<std::ptrdiff_t>(fraction * (values.size() - 1));
    std::nth_element(values.begin(), k, values.end());
    return *k;
  };
  low = at(0.01);
  high = at(0.99);
  return true;
}

// The rings must be this much sharper one way, and the pixels of a ring at least this much
// closer to its mean the same way, for the image to decide. The two tests fail differently:
// the sharpness of rings many degrees wide follows the noise, the scatter of an image full
// of hot pixels or detector gaps barely moves; where they disagree the user is asked.
constexpr double kSharperBy = 1.5;
constexpr double kCloserBy = 1.2;

// Whether the file's rows count from the last row of the image. A script's explicit answer is
// taken; otherwise, with an image loaded, the orientation whose rings are clearly sharper;
// the question is asked only when the image cannot tell.
int ChooseRowsTurned(DataSet& d, const BeamGeometry& stored, int& turned, int& status) {
  const char* prompt =
      "WAS THIS GEOMETRY CALIBRATED ON THE IMAGE TURNED UPSIDE DOWN (AS DIOPTAS SHOWS IT) ?";
  std::string scripted;
  if (PCurrentBackend().NextScriptedAnswer(scripted) || !d.dataDefined || d.numY <= 0) {
    return AskRowsTurned(prompt, turned, status);
  }
  BeamGeometry mirrored = stored;
  FMirrorBeamGeometryRows(d.numY, mirrored.beamY, mirrored.tilt, mirrored.tiltAxis);
  const BeamGeometry before{d.beamCentreX, d.beamCentreY, d.distance,  d.tiltAngle,
                            d.tiltAxisAngle, d.pixelSizeX, d.pixelSizeY};
  PBusyCursor busy;
  float low = 0.0f, high = 0.0f;
  const bool range = RobustRange(d, low, high);
  double sharpness[2] = {-1.0, -1.0}, scatter[2] = {-1.0, -1.0};
  for (int k = 0; k < 2 && range; ++k) {
    const BeamGeometry& g = k == 0 ? stored : mirrored;
    if (!Usable(g)) continue;
    sharpness[k] = RingSharpness(d, g);
    scatter[k] = RingScatter(d, g, low, high);
  }
  Apply(before, d);
  if (sharpness[0] > 0.0 && sharpness[1] > 0.0 && scatter[0] > 0.0 && scatter[1] > 0.0) {
    const double sharper = sharpness[1] / sharpness[0];  // above 1: sharper upside down
    const double closer = scatter[0] / scatter[1];
    const bool upsideDown = sharper >= kSharperBy && closer >= kCloserBy;
    const bool asStored = sharper <= 1.0 / kSharperBy && closer <= 1.0 / kCloserBy;
    if (upsideDown || asStored) {
      turned = upsideDown ? kTrue : kFalse;
      ISetDBBooleanItem("PONI_Image_Upside_Down", turned, status);
      IInfo(IFormat("The image decides the orientation: the geometry is for the image %s "
                    "(its rings %.1f times sharper than the other way)",
                    turned ? "turned upside down" : "as stored",
                    turned ? sharper : 1.0 / sharper),
            status);
      return kTrue;
    }
  }
  return AskRowsTurned(prompt, turned, status);
}

}  // namespace

int LVLoadPONI(const std::string& argument, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVLoadPONI", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  std::string fileName;
  if (!PoniFileName(kR.name, "Load_PONI", false, argument, d, fileName, status)) return kFalse;
  PoniGeometry poni;
  if (!FReadPoni(fileName, poni, status)) return kFalse;
  double pixel1 = d.pixelSizeY, pixel2 = d.pixelSizeX;
  if (poni.pixelSizesGiven) {
    pixel1 = poni.pixel1;
    pixel2 = poni.pixel2;
  } else if (!FPoniDetectorPixelSizes(poni.detector, pixel1, pixel2)) {
    IInfo(IFormat("The PONI file gives no pixel sizes: the data-set's %g x %g microns are used",
                  pixel2 * 1.0e6, pixel1 * 1.0e6),
          status);
  }
  if (!(pixel1 > 0.0) || !(pixel2 > 0.0)) return IFail(kR, kStatusBadGeometry, status);

  BeamGeometry g;
  g.pixelX = pixel2;
  g.pixelY = pixel1;
  FPoniToBeamGeometry(poni, pixel1, pixel2, g.beamX, g.beamY, g.distance, g.tilt, g.tiltAxis);
  // The pixel sizes may be the data-set's own: the beam centre they give is checked as a
  // beam centre typed in would be, before anything is asked or changed.
  if (!(std::fabs(g.beamX) <= kBeamCentreLimit) || !(std::fabs(g.beamY) <= kBeamCentreLimit)) {
    IWarning(IFormat("LVLoadPONI: Bad value for %s in %s: the beam centre (%g, %g) lies beyond "
                     "10^6 pixels",
                     std::fabs(g.beamX) <= kBeamCentreLimit ? "Poni1" : "Poni2",
                     fileName.c_str(), g.beamX, g.beamY),
             status);
    return IFail(kR, kStatusBadGeometry, status);
  }
  int turned = kFalse;
  if (!ChooseRowsTurned(d, g, turned, status)) return kFalse;
  const int rows = d.dataDefined ? d.numY : poni.rows;
  if (turned && rows <= 0) {
    IWarning("LVLoadPONI: The number of rows of the image is needed to turn the geometry: "
             "input the image first",
             status);
    return kFalse;
  }
  if (turned) FMirrorBeamGeometryRows(rows, g.beamY, g.tilt, g.tiltAxis);
  const double distance = g.distance, tilt = g.tilt, tiltAxis = g.tiltAxis;
  if (!Usable(g)) {
    IWarning(IFormat("LVLoadPONI: The geometry of %s places no detector in front of the sample",
                     fileName.c_str()),
             status);
    return IFail(kR, kStatusBadGeometry, status);
  }

  Apply(g, d);
  if (poni.wavelengthGiven) d.wavelength = static_cast<float>(poni.wavelength);

  const double angstrom = static_cast<double>(d.wavelength) * 1.0e10;
  ISetDBRealItem("Beam_CentreX", d.beamCentreX, status);
  ISetDBRealItem("Beam_CentreY", d.beamCentreY, status);
  ISetDBRealItem("Sample_Detector_Distance", d.distance, status);
  ISetDBRealItem("Tilt_Angle", static_cast<float>(tilt * kRadiansToDegrees), status);
  ISetDBRealItem("Tilt_Axis_Angle", static_cast<float>(tiltAxis * kRadiansToDegrees), status);
  ISetDBRealItem("Pixel_SizeX", static_cast<float>(pixel2 * 1.0e6), status);
  ISetDBRealItem("Pixel_SizeY", static_cast<float>(pixel1 * 1.0e6), status);
  if (poni.wavelengthGiven) {
    ISetDBRealItem("Wavelength", static_cast<float>(angstrom), status);
    ISetDBRealItem("Photon_Energy", static_cast<float>(MEnergyFromWavelength(angstrom)), status);
  }
  ISetDBItem("PONI_File", fileName, status);

  IInfo(IFormat("PONI geometry input from %s", fileName.c_str()), status);
  IInfo(IFormat("Beam centre set to (%f, %f)", static_cast<double>(d.beamCentreX),
                static_cast<double>(d.beamCentreY)),
        status);
  IInfo(IFormat("Distance = %f metres, wavelength = %f Angstroms", distance, angstrom), status);
  IInfo(IFormat("Tilt axis angle = %f (degrees), tilt angle = %f (degrees)",
                tiltAxis * kRadiansToDegrees, tilt * kRadiansToDegrees),
        status);
  if (std::fabs(poni.rot3) > kRot3Limit) {
    IWarning(IFormat("LVLoadPONI: rot3 = %g radians turns the detector about the beam, which "
                     "this geometry cannot express: 2-theta, D and Q are exact, azimuths differ "
                     "by %g degrees",
                     poni.rot3, std::fabs(poni.rot3) * kRadiansToDegrees),
             status);
  }
  return kTrue;
}

int LVSavePONI(const std::string& argument, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSavePONI", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!MGeometryValid(d) || !(std::fabs(d.tiltAngle) < M_PI / 2.0)) {
    return IFail(kR, kStatusBadGeometry, status);
  }
  std::string fileName;
  if (!PoniFileName(kR.name, "Save_PONI", true, argument, d, fileName, status)) return kFalse;
  int turned = kFalse;
  if (!AskRowsTurned("WRITE THE GEOMETRY FOR THE IMAGE TURNED UPSIDE DOWN (AS DIOPTAS SHOWS IT) ?",
                     turned, status)) {
    return kFalse;
  }
  if (turned && !d.dataDefined) {
    IWarning("LVSavePONI: The number of rows of the image is needed to turn the geometry: "
             "input the image first",
             status);
    return kFalse;
  }
  double beamY = d.beamCentreY, tilt = d.tiltAngle, tiltAxis = d.tiltAxisAngle;
  if (turned) FMirrorBeamGeometryRows(d.numY, beamY, tilt, tiltAxis);
  PoniGeometry poni;
  poni.detector = "Detector";
  poni.pixelSizesGiven = true;
  poni.pixel1 = d.pixelSizeY;
  poni.pixel2 = d.pixelSizeX;
  if (d.dataDefined) {
    poni.rows = d.numY;
    poni.columns = d.numX;
  }
  FBeamGeometryToPoni(d.beamCentreX, beamY, d.distance, tilt, tiltAxis, poni.pixel1, poni.pixel2,
                      poni);
  poni.wavelengthGiven = true;
  poni.wavelength = d.wavelength;
  if (!FWritePoni(fileName, poni, status)) return kFalse;
  ISetDBItem("PONI_File", fileName, status);
  IInfo(IFormat("PONI geometry output to %s", fileName.c_str()), status);
  return kTrue;
}

void LVRegisterPoniCommands() {
  LVRegisterCommand({.name = "Load_PONI",
                     .work = [](LVCommandCall& call) {
                       return LVLoadPONI(call.event.text, call.main, call.status);
                     },
                     .setsGeometry = true});
  LVRegisterCommand({.name = "Save_PONI", .work = [](LVCommandCall& call) {
                       return LVSavePONI(call.event.text, call.main, call.status);
                     }});
}
