#include "commands/LVPoni.h"

#include <algorithm>
#include <cmath>

#include "ui/LVCommandRegistry.h"
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

// The file named by the argument: "?" asks, empty is an error.
int PoniFileName(const char* routine, const char* command, bool save, const std::string& argument,
                 std::string& fileName, int& status) {
  if (argument == "?") {
    fileName = save ? "geometry.poni" : "";
    IGetDBItem("PONI_File", fileName, status);
    return WSelectFile({save, false,
                        save ? "SELECT OUTPUT PONI GEOMETRY FILE" : "SELECT PONI GEOMETRY FILE",
                        kPoniFilter, save ? "poni" : ""},
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

// Rings must be this much sharper one way for the image to decide.
constexpr double kSharperBy = 1.5;

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
  const double asStored = Usable(stored) ? RingSharpness(d, stored) : -1.0;
  const double upsideDown = Usable(mirrored) ? RingSharpness(d, mirrored) : -1.0;
  Apply(before, d);
  if (asStored > 0.0 && upsideDown > 0.0) {
    const double ratio = upsideDown / asStored;
    if (ratio >= kSharperBy || ratio <= 1.0 / kSharperBy) {
      turned = ratio > 1.0 ? kTrue : kFalse;
      ISetDBBooleanItem("PONI_Image_Upside_Down", turned, status);
      IInfo(IFormat("The image decides the orientation: the geometry is for the image %s "
                    "(its rings %.1f times sharper than the other way)",
                    turned ? "turned upside down" : "as stored", turned ? ratio : 1.0 / ratio),
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
  if (!PoniFileName(kR.name, "Load_PONI", false, argument, fileName, status)) return kFalse;
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
  if (!PoniFileName(kR.name, "Save_PONI", true, argument, fileName, status)) return kFalse;
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
  LVRegisterCommand({.name = "Load_PONI", .work = [](LVCommandCall& call) {
                       return LVLoadPONI(call.event.text, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Save_PONI", .work = [](LVCommandCall& call) {
                       return LVSavePONI(call.event.text, call.main, call.status);
                     }});
}
