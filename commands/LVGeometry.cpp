#include "commands/LVGeometry.h"

#include <cmath>

#include "ui/LVCommandRegistry.h"
#include "commands/LVOverlay.h"
#include "core/database.h"
#include "core/status.h"
#include "data/DataStores.h"
#include "data/Experiment.h"
#include "platform/Platform.h"
#include "graphics/GCoordinates.h"
#include "maths/MGeometry.h"
#include "ui/WDialogs.h"

int LVClickPoints(const char* routine, const std::string& prompt, int count, float x[],
                  float y[], int& status) {
  (void)routine;  // the coordinate input speaks for itself
  if (status != kStatusGood || count < 1) return kFalse;
  // The points are clicked on the image of the main store, the one the window shows.
  int given = count;
  const int result = GGetCoordinates({LVStores().Main(), prompt, kTrue, count > 1 ? kTrue : kFalse,
                                      kFalse, kFalse, count, given, x, y, status});
  return result && given == count ? kTrue : kFalse;
}

int LVAskReal(const char* routine, const std::string& prompt, float lower, float upper,
              float& value, int& status) {
  float answer = value;
  if (!WGetReal({prompt, kTrue, kTrue, lower, upper, answer, status})) return kFalse;
  // The dialog passes any number; a geometry value outside its range would divide by zero or
  // describe no detector, so it is refused here.
  if (!(answer >= lower && answer <= upper)) {
    IWarning(IFormat("%s: %g is outside the range %g to %g; nothing changed", routine,
                     static_cast<double>(answer), static_cast<double>(lower),
                     static_cast<double>(upper)),
             status);
    return kFalse;
  }
  value = answer;
  return kTrue;
}

namespace {

// A real typed without a range: any finite number.
int AskFinite(const char* routine, const std::string& prompt, float& value, int& status) {
  float answer = value;
  if (!WGetReal({prompt, kTrue, kFalse, 0.0f, 0.0f, answer, status})) return kFalse;
  if (!std::isfinite(answer)) {
    IWarning(IFormat("%s: the value is not a number; nothing changed", routine), status);
    return kFalse;
  }
  value = answer;
  return kTrue;
}

int SetRotationTo(DataSet& d, double degrees, int& status) {
  d.rotationZ = static_cast<float>(degrees * kDegreesToRadians);
  ISetDBRealItem("Detector_RotationZ", static_cast<float>(degrees), status);
  IInfo(IFormat("Detector rotation offset from horizontal set to %f degrees", degrees), status);
  return kTrue;
}

}  // namespace

int LVSetDistance(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSetDistance", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  float distance = d.distance;
  IGetDBRealItem("Sample_Detector_Distance", distance, status);
  if (!LVAskReal(kR.name, "ENTER SAMPLE TO DETECTOR DISTANCE (METRES)", 0.001f, 1.0e6f, distance,
                 status)) {
    return kFalse;
  }
  d.distance = distance;
  ISetDBRealItem("Sample_Detector_Distance", distance, status);
  return kTrue;
}

int LVSetEnergy(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSetEnergy", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  auto energy = static_cast<float>(MEnergyFromWavelength(d.wavelength * 1.0e10));
  IGetDBRealItem("Photon_Energy", energy, status);
  if (!LVAskReal(kR.name, "ENTER PHOTON ENERGY (keV)", 0.001f, 10000.0f, energy, status)) {
    return kFalse;
  }
  const double angstrom = MWavelengthFromEnergy(energy);
  d.wavelength = static_cast<float>(angstrom * 1.0e-10);
  ISetDBRealItem("Photon_Energy", energy, status);
  ISetDBRealItem("Wavelength", static_cast<float>(angstrom), status);
  return kTrue;
}

int LVSetWavelength(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSetWavelength", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  auto angstrom = static_cast<float>(d.wavelength * 1.0e10);
  IGetDBRealItem("Wavelength", angstrom, status);
  if (!LVAskReal(kR.name, "ENTER WAVELENGTH OF RADIATION (ANGSTROMS)", 0.001f, 1.0e6f, angstrom,
                 status)) {
    return kFalse;
  }
  d.wavelength = static_cast<float>(angstrom * 1.0e-10);
  ISetDBRealItem("Wavelength", angstrom, status);
  ISetDBRealItem("Photon_Energy", static_cast<float>(MEnergyFromWavelength(angstrom)), status);
  return kTrue;
}

int LVSetPixelSizes(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSetPixelSizes", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  auto width = static_cast<float>(d.pixelSizeX * 1.0e6);
  auto height = static_cast<float>(d.pixelSizeY * 1.0e6);
  IGetDBRealItem("Pixel_SizeX", width, status);
  IGetDBRealItem("Pixel_SizeY", height, status);
  if (!LVAskReal(kR.name, "ENTER WIDTH OF PIXELS IN MICRONS", 0.001f, 1.0e6f, width, status) ||
      !LVAskReal(kR.name, "ENTER HEIGHT OF PIXELS IN MICRONS", 0.001f, 1.0e6f, height, status)) {
    return kFalse;
  }
  d.pixelSizeX = static_cast<float>(width * 1.0e-6);
  d.pixelSizeY = static_cast<float>(height * 1.0e-6);
  ISetDBRealItem("Pixel_SizeX", width, status);
  ISetDBRealItem("Pixel_SizeY", height, status);
  return kTrue;
}

int LVSetPolarisation(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSetPolarisation", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  float polarisation = d.polarisation;
  IGetDBRealItem("Polarisation", polarisation, status);
  if (!LVAskReal(kR.name, "ENTER POLARISATION FACTOR: (I_h - I_v) / (I_h + I_v)", -1.0f, 1.0f,
                 polarisation, status)) {
    return kFalse;
  }
  d.polarisation = polarisation;
  ISetDBRealItem("Polarisation", polarisation, status);
  return kTrue;
}

int LVSetDetectorTilt(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSetDetectorTilt", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  auto axis = static_cast<float>(d.tiltAxisAngle * kRadiansToDegrees);
  auto tilt = static_cast<float>(d.tiltAngle * kRadiansToDegrees);
  IGetDBRealItem("Tilt_Axis_Angle", axis, status);
  IGetDBRealItem("Tilt_Angle", tilt, status);
  if (!LVAskReal(kR.name,
                 "ENTER ANGLE OF DETECTOR TILT ROTATION AXIS (ANTI-CLOCKWISE FROM X-AXIS IN "
                 "DEGREES)",
                 -180.0f, 180.0f, axis, status) ||
      !LVAskReal(kR.name,
                 "ENTER DETECTOR TILT ANGLE(ANTI-CLOCKWISE ABOUT TILT ROTATION AXIS IN DEGREES)",
                 -90.0f, 90.0f, tilt, status)) {
    return kFalse;
  }
  d.tiltAxisAngle = static_cast<float>(axis * kDegreesToRadians);
  d.tiltAngle = static_cast<float>(tilt * kDegreesToRadians);
  ISetDBRealItem("Tilt_Axis_Angle", axis, status);
  ISetDBRealItem("Tilt_Angle", tilt, status);
  return kTrue;
}

int LVBeamCentre(int mode, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVBeamCentre", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  float x[2] = {0.0f, 0.0f}, y[2] = {0.0f, 0.0f};
  switch (mode) {
    case kModeKeyboard: {
      float beamX = d.beamCentreX, beamY = d.beamCentreY;
      IGetDBRealItem("Beam_CentreX", beamX, status);
      IGetDBRealItem("Beam_CentreY", beamY, status);
      if (!AskFinite(kR.name, "ENTER X-COORDINATE OF BEAM CENTRE:", beamX, status) ||
          !AskFinite(kR.name, "ENTER Y-COORDINATE OF BEAM CENTRE:", beamY, status)) {
        return kFalse;
      }
      return LVSetBeamCentre(d, beamX, beamY, status);
    }
    case kModeClick:
      if (!LVClickPoints(kR.name, "CLICK ON BEAM CENTRE:", 1, x, y, status)) return kFalse;
      return LVSetBeamCentre(d, x[0], y[0], status);
    case kModeSymmetric:
      if (!LVClickPoints(kR.name, "CLICK ON FIRST SYMMETRY COORDINATE:", 1, x, y, status) ||
          !LVClickPoints(kR.name, "CLICK ON SECOND SYMMETRY COORDINATE:", 1, x + 1, y + 1,
                         status)) {
        return kFalse;
      }
      return LVSetBeamCentre(d, (x[0] + x[1]) / 2.0f, (y[0] + y[1]) / 2.0f, status);
    default:
      return kFalse;
  }
}

int LVDetectorRotation(int mode, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDetectorRotation", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (mode == kModeKeyboard) {
    auto degrees = static_cast<float>(d.rotationZ * kRadiansToDegrees);
    IGetDBRealItem("Detector_RotationZ", degrees, status);
    if (!AskFinite(kR.name, "ENTER ROTATION ANGLE FROM HORIZONTAL TO DETECTOR X-AXIS (DEGREES):",
                   degrees, status)) {
      return kFalse;
    }
    return SetRotationTo(d, degrees, status);
  }
  if (mode == kModeClick) {
    float x = 0.0f, y = 0.0f;
    if (!LVClickPoints(kR.name, "CLICK  ON  POINT HORIZONTAL WITH BEAM CENTRE:", 1, &x, &y,
                       status)) {
      return kFalse;
    }
    const double radians = -std::atan2(static_cast<double>(y) - d.beamCentreY,
                                       static_cast<double>(x) - d.beamCentreX);
    return SetRotationTo(d, radians * kRadiansToDegrees, status);
  }
  return kFalse;
}

int LVDistance(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDistance", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  float x[2] = {0.0f, 0.0f}, y[2] = {0.0f, 0.0f};
  if (!LVClickPoints(kR.name, "CLICK ON 2 COORDINATES FOR DISTANCE MEASUREMENT:", 2, x, y,
                     status)) {
    return kFalse;
  }
  const double dx = static_cast<double>(x[1]) - x[0];
  const double dy = static_cast<double>(y[1]) - y[0];
  const double mx = dx * d.pixelSizeX, my = dy * d.pixelSizeY;
  IInfo(IFormat("Distance between points = %f pixels", std::sqrt(dx * dx + dy * dy)), status);
  IInfo(IFormat("Distance between points = %f metres", std::sqrt(mx * mx + my * my)), status);
  return kTrue;
}

int LVCheckGeometrySet(const char* routine, const DataSet& d, int& status) {
  static bool accepted = false;  // asked once a run
  if (status != kStatusGood) return kFalse;
  if (IExperiment().origin != IGeometryOrigin::kStart || !IGeometryNeverSet(d) || accepted) {
    return kTrue;
  }
  if (!PCurrentBackend().Interactive()) {
    IWarning(IFormat("%s: The geometry was never set (beam centre 0, 0, distance 300 mm, "
                     "wavelength 1 Angstrom): set it, fit a calibrant or load a PONI file first",
                     routine),
             status);
    return kFalse;
  }
  int goOn = kFalse;
  if (!WGetBoolean({"THE GEOMETRY WAS NEVER SET (BEAM CENTRE 0, 0; DISTANCE 0.3 M; WAVELENGTH 1 "
                    "A): GO ON WITH IT ?",
                    kTrue, goOn, status}) ||
      !goOn) {
    return kFalse;
  }
  accepted = true;
  return kTrue;
}

void LVRegisterGeometryCommands() {
  auto onMain = [](int (*routine)(DataSet&, int&)) {
    return [routine](LVCommandCall& call) { return routine(call.main, call.status); };
  };
  auto setting = [&](const char* name, int (*routine)(DataSet&, int&)) {
    LVRegisterCommand({.name = name, .work = onMain(routine), .setsGeometry = true});
  };
  setting("Set_Distance", LVSetDistance);
  setting("Set_Energy", LVSetEnergy);
  setting("Set_Wavelength", LVSetWavelength);
  setting("Set_Pixel_Sizes", LVSetPixelSizes);
  setting("Set_Polarisation", LVSetPolarisation);
  setting("Set_Detector_Tilt", LVSetDetectorTilt);
  LVRegisterCommand({.name = "Distance", .work = onMain(LVDistance)});
  LVRegisterCommand({.name = "Beam_Centre",
                     .work = [](LVCommandCall& call) {
                       return LVBeamCentre(call.event.value, call.main, call.status);
                     },
                     .setsGeometry = true});
  LVRegisterCommand({.name = "Detector_Rotation",
                     .work = [](LVCommandCall& call) {
                       return LVDetectorRotation(call.event.value, call.main, call.status);
                     },
                     .setsGeometry = true});
}
