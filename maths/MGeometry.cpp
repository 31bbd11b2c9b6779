#include "maths/MGeometry.h"

#include <cmath>
#include <limits>

#include "core/status.h"

void MSetDetectorTransform(const DataSet& d, MDetectorTransform& t) {
  const double alpha = M_PI / 2.0 - static_cast<double>(d.tiltAxisAngle);
  t.beamX = d.beamCentreX;
  t.beamY = d.beamCentreY;
  t.pixelX = d.pixelSizeX;
  t.pixelY = d.pixelSizeY;
  t.distance = d.distance;
  t.sinAlpha = std::sin(alpha);
  t.cosAlpha = std::cos(alpha);
  t.sinTilt = std::sin(static_cast<double>(d.tiltAngle));
  t.cosTilt = std::cos(static_cast<double>(d.tiltAngle));
  t.rotationZ = d.rotationZ;
  t.wavelength = d.wavelength;
}

bool MGeometryValid(const DataSet& d) {
  auto positive = [](float v) { return v > 0.0f && std::isfinite(v); };
  return positive(d.distance) && positive(d.wavelength) && positive(d.pixelSizeX) &&
         positive(d.pixelSizeY) && std::isfinite(d.beamCentreX) && std::isfinite(d.beamCentreY) &&
         std::isfinite(d.tiltAngle) && std::isfinite(d.tiltAxisAngle);
}

int MDetector2DSpacing(const DataSet& d, float pixelX, float pixelY, PixelGeometry& result,
                       int& status) {
  static constexpr IRoutine kR{"MDetector2DSpacing", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!MGeometryValid(d)) return IFail(kR, kStatusBadGeometry, status);
  MDetectorTransform t;
  MSetDetectorTransform(d, t);
  const double g = (static_cast<double>(pixelX) + 0.5 - t.beamX) * t.pixelX;
  const double h = (static_cast<double>(pixelY) + 0.5 - t.beamY) * t.pixelY;
  double xc = 0.0, yc = 0.0;
  if (!MCorrectOffsets(t, g, h, xc, yc)) return IFail(kR, kStatusRealRange1, status);

  const double r = std::sqrt(xc * xc + yc * yc);
  const double twoTheta = std::atan2(r, t.distance);
  const double sinTheta = std::sin(twoTheta / 2.0);
  const double lambdaAngstrom = t.wavelength * 1.0e10;
  result.radialDistance = static_cast<float>(r);
  result.twoTheta = static_cast<float>(twoTheta);
  result.azimuth = static_cast<float>(std::atan2(yc, xc) + t.rotationZ);
  result.dSpacing = sinTheta > 0.0 ? static_cast<float>(lambdaAngstrom / (2.0 * sinTheta))
                                   : std::numeric_limits<float>::infinity();
  result.q = static_cast<float>(4.0 * M_PI * sinTheta / (t.wavelength * 1.0e9));
  result.correctedX = static_cast<float>(xc / t.pixelX + t.beamX - 0.5);
  result.correctedY = static_cast<float>(yc / t.pixelY + t.beamY - 0.5);
  return kTrue;
}

void MEllipse2IPC(const DataSet& d, float& centreX, float& centreY, float& radius1,
                  float& radius2, float& angle) {
  const double px = d.pixelSizeX, py = d.pixelSizeY;
  const double a = angle;
  const double x1 = radius1 * std::cos(a) / px, y1 = radius1 * std::sin(a) / py;
  const double x2 = radius2 * std::cos(a + M_PI / 2.0) / px;
  const double y2 = radius2 * std::sin(a + M_PI / 2.0) / py;
  centreX = static_cast<float>(centreX / px);
  centreY = static_cast<float>(centreY / py);
  radius1 = static_cast<float>(std::sqrt(x1 * x1 + y1 * y1));
  radius2 = static_cast<float>(std::sqrt(x2 * x2 + y2 * y2));
  angle = static_cast<float>(std::atan2(y1, x1));
}

double MEnergyFromWavelength(double wavelengthAngstrom) {
  return wavelengthAngstrom > 0.0 ? kEnergyWavelength / wavelengthAngstrom : 0.0;
}

double MWavelengthFromEnergy(double energyKeV) {
  return energyKeV > 0.0 ? kEnergyWavelength / energyKeV : 0.0;
}

double MRingTwoTheta(double wavelength, double dSpacing) {
  if (!(dSpacing > 0.0) || !(wavelength > 0.0) || wavelength > 2.0 * dSpacing) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return 2.0 * std::asin(wavelength / (2.0 * dSpacing));
}

bool MCalibrantTable(int code, std::string& name, std::vector<float>& dSpacings) {
  switch (code) {
    case kCalibrantAlumina:
      name = "Alumina";
      dSpacings = {3.479f, 2.55f,  2.378f, 2.165f, 2.084f, 1.963f, 1.739f, 1.601f,
                   1.546f, 1.514f, 1.511f, 1.404f, 1.373f, 1.335f, 1.275f};
      return true;
    case kCalibrantCalcite:
      name = "Calcite";
      dSpacings = {3.8548f, 3.0355f, 2.8435f, 2.4948f, 2.2846f, 2.0944f, 1.9274f,
                   1.9124f, 1.8753f, 1.6258f, 1.6041f, 1.5869f, 1.5252f, 1.5178f,
                   1.5094f, 1.4732f, 1.4404f, 1.4217f, 1.3568f, 1.339f,  1.2967f};
      return true;
    case kCalibrantCeriumDioxide:
      // 0.90185 twice: two rings of their own.
      name = "Cerium dioxide";
      dSpacings = {3.1241f, 2.7056f, 1.9131f,  1.6315f,  1.5621f,  1.3528f,  1.2414f, 1.21f,
                   1.1045f, 1.0414f, 0.95656f, 0.91464f, 0.90185f, 0.90185f, 0.85557f};
      return true;
    case kCalibrantLanthanumHexaboride:
      name = "Lanthanum hexaboride";
      dSpacings = {4.1569f, 2.9394f, 2.4f,    2.0785f, 1.859f,  1.6971f, 1.4697f, 1.3856f,
                   1.3145f, 1.2534f, 1.2f,    1.1529f, 1.111f,  1.0392f, 1.0082f};
      return true;
    case kCalibrantSodiumChloride:
      // Starts with the second ring from the centre.
      name = "Sodium chloride";
      dSpacings = {2.821f,  1.994f,  1.701f,  1.628f,  1.41f,   1.294f,  1.261f, 1.1515f,
                   1.0855f, 0.9969f, 0.9533f, 0.9401f, 0.8917f, 0.8601f, 0.8503f};
      return true;
    case kCalibrantSilicon:
      name = "Silicon";
      dSpacings = {3.1355f, 1.9201f, 1.6375f, 1.3577f, 1.2459f, 1.1086f, 1.0452f, 0.96f,
                   0.918f,  0.8587f, 0.8282f, 0.7839f, 0.7605f, 0.7257f, 0.707f};
      return true;
    case kCalibrantQuartz:
      name = "Quartz";
      dSpacings = {4.255f,  3.3435f, 2.4569f, 2.2815f, 2.2361f, 2.1277f, 1.9799f,
                   1.818f,  1.8017f, 1.6717f, 1.6592f, 1.6083f, 1.5415f, 1.4529f,
                   1.4184f, 1.3821f, 1.375f,  1.3719f, 1.2879f, 1.256f,  1.2283f};
      return true;
    case kCalibrantParaffinWax:
      name = "Paraffin wax";
      dSpacings = {4.14f, 3.72f};
      return true;
    default:
      return false;
  }
}

bool MRingPoint(const MDetectorTransform& t, double twoTheta, double direction, double& x,
                double& y) {
  if (!(twoTheta > 0.0 && twoTheta < M_PI / 2.0) || !(t.distance > 0.0) || !(t.pixelX > 0.0) ||
      !(t.pixelY > 0.0)) {
    return false;
  }
  const double target = t.distance * std::tan(twoTheta);
  const double c = std::cos(direction), s = std::sin(direction);
  // Along the ray the corrected radius grows from 0 to infinity as the point nears the sample
  // plane, so a point beyond it counts as too far.
  auto tooFar = [&](double length) {
    double r = 0.0;
    return !MCorrectedRadius(t, length * c, length * s, r) || r >= target;
  };
  double low = 0.0, high = target;
  int doublings = 0;
  while (!tooFar(high)) {
    low = high;
    high *= 2.0;
    if (++doublings > 60) return false;
  }
  for (int i = 0; i < 60; ++i) {
    const double middle = 0.5 * (low + high);
    (tooFar(middle) ? high : low) = middle;
  }
  double r = 0.0;
  if (!MCorrectedRadius(t, low * c, low * s, r) || std::fabs(r - target) > 1.0e-6 * target) {
    return false;
  }
  x = t.beamX + low * c / t.pixelX;
  y = t.beamY + low * s / t.pixelY;
  return true;
}
