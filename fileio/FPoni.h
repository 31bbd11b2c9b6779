// Geometry files of the pyFAI family (".poni", versions 1 and 2), read and written, and their
// conversion to and from the beam centre, distance and tilt that a data set holds.
//
// A PONI geometry places the detector by the point of normal incidence (poni1 along the rows,
// poni2 along the columns, metres from the detector's first corner), the distance from the
// sample to that point, and three rotations. Our geometry places it by the beam centre, the
// distance along the beam and a tilt about an axis in the detector plane. The two describe
// the same 2-theta of every pixel exactly:
//   beam X = (poni2 - dist tan rot1) / pixel2, beam Y = (poni1 + dist tan rot2 / cos rot1) /
//   pixel1, distance = dist / (cos rot1 cos rot2), tilt = -acos(cos rot1 cos rot2) and tilt
//   axis = atan2(sin rot2, -cos rot2 sin rot1) + 90 degrees (the classic tilt-plane rotation
//   plus a quarter turn), the axis brought into 0..180 degrees.
// Some calibration programs (Dioptas among them) turn an image upside down before calibrating,
// so their row 0 is the last row of the file, where ours, like pyFAI's, is the first. Such a
// geometry is mirrored across the rows: beam Y becomes rows - beam Y, tilt and axis change sign.
// rot3 turns the detector about the beam: 2-theta does not depend on it, azimuths do, and our
// geometry has no place for it (its Z rotation is the user's horizontal). Files we write carry
// rot3 = 0.
#pragma once

#include <string>

#include "data/DataSet.h"

struct PoniGeometry {
  double version = 2.0;         // 1, 2 or 2.1 (2.1 only with the classic orientation)
  std::string detector;         // name in the file; empty when absent
  bool pixelSizesGiven = false;
  double pixel1 = 0.0;          // metres: along the rows (Y)
  double pixel2 = 0.0;          // metres: along the columns (X)
  int rows = 0, columns = 0;    // detector shape when the file gives it, else 0
  double distance = 0.0;        // metres
  double poni1 = 0.0, poni2 = 0.0;
  double rot1 = 0.0, rot2 = 0.0, rot3 = 0.0;  // radians
  bool wavelengthGiven = false;
  double wavelength = 0.0;      // metres
};

// Reads a PONI file. A missing file gives status 1000; a value that is not a number, a
// missing or non-positive distance, or a version newer than 2.1 gives a warning and 1005.
int FReadPoni(const std::string& fileName, PoniGeometry& poni, int& status);
// Writes version 2; failure to write gives status 1010 (the old file is kept).
int FWritePoni(const std::string& fileName, const PoniGeometry& poni, int& status);

// Pixel sizes of well-known detector names whose files leave them out (Pilatus, Eiger);
// false for others.
bool FPoniDetectorPixelSizes(const std::string& detector, double& pixel1, double& pixel2);

// The PONI geometry in our terms (pixel sizes in metres; angles in radians).
void FPoniToBeamGeometry(const PoniGeometry& poni, double pixel1, double pixel2, double& beamX,
                         double& beamY, double& distance, double& tilt, double& tiltAxis);
// The same geometry for the image turned upside down (an image of `rows` rows); the tilt axis
// is kept in [0, pi].
void FMirrorBeamGeometryRows(int rows, double& beamY, double& tilt, double& tiltAxis);
// Our geometry as a PONI geometry (rot3 = 0; pixel sizes and wavelength are not touched).
void FBeamGeometryToPoni(double beamX, double beamY, double distance, double tilt,
                         double tiltAxis, double pixel1, double pixel2, PoniGeometry& poni);
