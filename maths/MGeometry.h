// Diffraction geometry: from a detector pixel to scattering quantities, the conversions between
// the data-base's user units and the stored geometry, and the calibrant d-spacing tables.
//
// The geometry of a data set (data/DataSet.h) holds lengths in metres and angles in radians:
// beam centre (pixel coordinates: pixel i spans i to i + 1), distance from the sample to the
// point where the direct beam meets the detector, pixel sizes, polarisation, tilt angle,
// tilt-axis angle (anticlockwise from the X axis), Z rotation (an offset of the azimuth) and
// wavelength.
//
// The transform, for a pixel (x, y) with D the distance, tau the tilt and rho the tilt axis:
//   g = (x + 0.5 - bx) px, h = (y + 0.5 - by) py         offsets of the pixel centre (metres)
//   alpha = pi/2 - rho; l = sin a g + cos a h; g' = cos a g - sin a h      the tilt frame
//   Z = D - g' sin tau                                    depth of the point along the beam
//   m = cos tau D g' / Z, l' = D l / Z                    the point seen from the sample,
//                                                         projected whole onto the plane
//                                                         normal to the beam at D
//   r = sqrt(m^2 + l'^2), 2theta = atan2(r, D)
// Projecting only the component across the tilt axis (and keeping l as it is) puts every
// ring off by up to a tenth of a degree at the edge of a detector tilted by 2 degrees; the
// whole projection reproduces an independent integrator's 2-theta to a few micro-degrees.
// Pixels whose point lies at or behind the sample plane (Z <= 0) see nothing.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "data/DataSet.h"

inline constexpr double kDegreesToRadians = 0.017453292222222222;
inline constexpr double kRadiansToDegrees = 57.295780490442965;
// Photon energy (keV) times wavelength (Angstrom).
inline constexpr double kEnergyWavelength = 12.39852;

// The scattering quantities of one pixel.
struct PixelGeometry {
  float radialDistance = 0.0f;  // metres, on the plane normal to the beam at the distance
  float twoTheta = 0.0f;        // radians
  float azimuth = 0.0f;         // radians, Z rotation included
  float dSpacing = 0.0f;        // Angstrom; infinite at the beam centre
  float q = 0.0f;               // nm-1
  float correctedX = 0.0f;      // tilt-corrected pixel coordinate (same convention as x, y)
  float correctedY = 0.0f;
};

// The constants of a data set's geometry, set once and applied to many points.
struct MDetectorTransform {
  double beamX = 0.0, beamY = 0.0;    // pixels
  double pixelX = 0.0, pixelY = 0.0;  // metres
  double distance = 0.0;              // metres
  double sinAlpha = 0.0, cosAlpha = 1.0;
  double sinTilt = 0.0, cosTilt = 1.0;
  double rotationZ = 0.0;             // radians
  double wavelength = 0.0;            // metres
};

void MSetDetectorTransform(const DataSet& dataSet, MDetectorTransform& transform);

// True when distance, wavelength and both pixel sizes are positive (and finite).
bool MGeometryValid(const DataSet& dataSet);

// Offsets (g, h) in metres from the beam centre on the detector to the tilt-corrected position
// (xc, yc) in metres, in detector axes. False when the point lies at or behind the sample
// plane. The radius is sqrt(xc^2 + yc^2).
inline bool MCorrectOffsets(const MDetectorTransform& t, double g, double h, double& xc,
                            double& yc) {
  const double l = t.sinAlpha * g + t.cosAlpha * h;
  const double gt = t.cosAlpha * g - t.sinAlpha * h;
  const double z = t.distance - gt * t.sinTilt;
  if (!(z > 0.0)) return false;
  const double m = t.cosTilt * t.distance * gt / z;
  const double lt = t.distance * l / z;
  xc = t.sinAlpha * lt + t.cosAlpha * m;
  yc = t.cosAlpha * lt - t.sinAlpha * m;
  return true;
}

// The tilt-corrected radius (metres) of the offsets; false as above.
inline bool MCorrectedRadius(const MDetectorTransform& t, double g, double h, double& radius) {
  const double l = t.sinAlpha * g + t.cosAlpha * h;
  const double gt = t.cosAlpha * g - t.sinAlpha * h;
  const double z = t.distance - gt * t.sinTilt;
  if (!(z > 0.0)) return false;
  const double m = t.cosTilt * t.distance * gt / z;
  const double lt = t.distance * l / z;
  radius = std::sqrt(m * m + lt * lt);
  return true;
}

// The scattering quantities of pixel (x, y): x and y are pixel indices (fractions allowed);
// the pixel's centre, x + 0.5, is transformed, and the corrected coordinate comes back in the
// same convention. A geometry with a non-positive distance, wavelength or pixel size fails
// with status 1017; a point that the sample cannot see with status 25.
int MDetector2DSpacing(const DataSet& dataSet, float pixelX, float pixelY, PixelGeometry& result,
                       int& status);

// Converts an ellipse given in metres (centre, two radii, angle of the first axis) into pixel
// units in place.
void MEllipse2IPC(const DataSet& dataSet, float& centreX, float& centreY, float& radius1,
                  float& radius2, float& angle);

// Photon energy (keV) from a wavelength (Angstrom) and back; 0 for a non-positive argument.
double MEnergyFromWavelength(double wavelengthAngstrom);
double MWavelengthFromEnergy(double energyKeV);

// 2-theta (radians) of the ring of d-spacing d (both lengths in the same unit); NaN when the
// ring cannot be seen (lambda > 2d).
double MRingTwoTheta(double wavelength, double dSpacing);

// The point (data coordinates: pixel i spans i to i + 1) where the ring of `twoTheta` (radians)
// crosses the ray from the beam centre at `direction` (radians, anticlockwise from the X axis,
// on the detector). False when the ring does not meet that ray (2-theta of 90 degrees or more,
// or the ray reaches the sample plane first).
bool MRingPoint(const MDetectorTransform& t, double twoTheta, double direction, double& x,
                double& y);

// Calibrant codes of the built-in d-spacing tables; 307 is a user file.
enum CalibrantCode : int {
  kCalibrantAlumina = 300,
  kCalibrantCalcite = 301,
  kCalibrantCeriumDioxide = 302,
  kCalibrantLanthanumHexaboride = 303,
  kCalibrantSodiumChloride = 304,
  kCalibrantSilicon = 305,
  kCalibrantQuartz = 306,
  kCalibrantUserFile = 307,
  kCalibrantParaffinWax = 308,
};

// The name and d-spacings (Angstrom, innermost first) of a built-in table. False for 307 and
// unknown codes.
bool MCalibrantTable(int code, std::string& name, std::vector<float>& dSpacings);
