#include "fileio/FPoni.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "core/status.h"
#include "core/text.h"
#include "core/outputfile.h"
#include "fileio/FRawData.h"

namespace {

std::string Trim(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The whole text as one finite real.
bool ParseReal(const std::string& text, double& value) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v)) {
    errno = 0;
    return false;
  }
  value = v;
  return true;
}

// The value after "key": in the detector configuration (a small JSON object). kAbsent when the
// key is not there, kNumber with the value, kNull for null, kJunk for anything else.
enum class ConfigItem { kAbsent, kNumber, kNull, kJunk };
ConfigItem ConfigReal(const std::string& config, const char* key, double& value) {
  const std::string quoted = std::string("\"") + key + "\"";
  const std::size_t at = config.find(quoted);
  if (at == std::string::npos) return ConfigItem::kAbsent;
  std::size_t colon = config.find_first_not_of(" \t", at + quoted.size());
  if (colon == std::string::npos || config[colon] != ':') return ConfigItem::kJunk;
  const std::size_t first = config.find_first_not_of(" \t", colon + 1);
  if (first != std::string::npos && config.compare(first, 4, "null") == 0) return ConfigItem::kNull;
  const char* begin = config.c_str() + colon + 1;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(begin, &end);
  // The number must end where the item does.
  const std::size_t after = config.find_first_not_of(" \t", static_cast<std::size_t>(end - config.c_str()));
  const bool ends = after != std::string::npos && (config[after] == ',' || config[after] == '}');
  if (end == begin || errno == ERANGE || !std::isfinite(v) || !ends) {
    errno = 0;
    return ConfigItem::kJunk;
  }
  value = v;
  return ConfigItem::kNumber;
}

// "max_shape": [rows, columns]; true also when the key is absent or null (no shape given).
bool ConfigShape(const std::string& config, int& rows, int& columns) {
  const std::size_t at = config.find("\"max_shape\"");
  if (at == std::string::npos) return true;
  const std::size_t colon = config.find(':', at);
  const std::size_t first =
      colon == std::string::npos ? colon : config.find_first_not_of(" \t", colon + 1);
  if (first != std::string::npos && config.compare(first, 4, "null") == 0) return true;
  const std::size_t open = config.find('[', at);
  const std::size_t close = config.find(']', at);
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  long r = 0, c = 0;
  if (std::sscanf(config.c_str() + open, "[%ld , %ld ]", &r, &c) != 2) return false;
  if (r <= 0 || c <= 0 || r > 1000000 || c > 1000000) return false;
  rows = static_cast<int>(r);
  columns = static_cast<int>(c);
  return true;
}

int BadValue(const IRoutine& r, const std::string& what, const std::string& fileName,
             int& status, const char* expected = nullptr) {
  std::string line = IFormat("FReadPoni: Bad value for %s in %s", what.c_str(), fileName.c_str());
  if (expected) line += IFormat(" (%s expected)", expected);
  IWarning(line, status);
  return IFail(r, kStatusBadFileData, status);
}

// What a detector can be: a value outside these is a broken file, not an experiment, and
// taken as it stands it overflows a 32-bit real (a distance of 1e300 m becomes infinite, a
// wavelength of 1e-300 m zero) or asks an integration for gigabytes.
constexpr double kDistanceLow = 1.0e-3, kDistanceHigh = 100.0;     // metres
constexpr double kWavelengthLow = 1.0e-12, kWavelengthHigh = 1.0e-8;  // 0.01 to 100 Angstroms
constexpr double kPixelLow = 1.0e-6, kPixelHigh = 1.0e-2;           // 1 micron to 10 mm
constexpr double kBeamPixels = 1.0e6;  // the point of normal incidence, in pixels
constexpr double kRotationLimit = 2.0 * M_PI;

bool Within(double value, double low, double high) { return value >= low && value <= high; }

// One axis, two senses: the axis is kept in [0, pi] and the tilt turns with it.
void NormaliseAxis(double& tilt, double& axis) {
  axis = std::remainder(axis, 2.0 * M_PI);
  if (axis < 0.0) {
    axis += M_PI;
    tilt = -tilt;
  }
}

}  // namespace

int FReadPoni(const std::string& fileName, PoniGeometry& poni, int& status) {
  static constexpr IRoutine kR{"FReadPoni", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  bool refused = false;
  std::FILE* file = FOpenInputFile(kR.name, fileName, "r", refused, status);
  if (refused) return kFalse;
  if (!file) {
    errno = 0;
    return IFail(kR, kStatusFileOpen, status);
  }
  // Lines "Key: value"; comments start with '#'; keys compare without case.
  std::map<std::string, std::string> items;
  std::string line;
  while (IReadLine(file, 4096, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    items[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
  }
  std::fclose(file);

  PoniGeometry p;
  p.version = 1.0;
  if (items.count("poni_version") && !ParseReal(items["poni_version"], p.version)) {
    return BadValue(kR, "poni_version", fileName, status);
  }
  const std::string config = items.count("detector_config") ? items["detector_config"] : "";
  // The configuration is a JSON object; anything else is a broken file, not one without it.
  if (items.count("detector_config") &&
      (config.size() < 2 || config.front() != '{' || config.back() != '}')) {
    return BadValue(kR, "Detector_config", fileName, status);
  }
  double orientation = 3.0;
  const ConfigItem orientationItem = ConfigReal(config, "orientation", orientation);
  if (orientationItem == ConfigItem::kJunk) {
    return BadValue(kR, "orientation in Detector_config", fileName, status);
  }
  const bool oriented = orientationItem == ConfigItem::kNumber;
  // 2.1 adds the detector's orientation; the classic one (3) is what versions 1 and 2 mean.
  const bool known = p.version == 1.0 || p.version == 2.0 ||
                     (p.version == 2.1 && (!oriented || orientation == 3.0));
  if (!known) {
    IWarning(IFormat("FReadPoni: %s is a PONI file of version %s, which this program does not "
                     "understand",
                     fileName.c_str(), items["poni_version"].c_str()),
             status);
    return IFail(kR, kStatusBadFileData, status);
  }

  if (items.count("detector")) p.detector = items["detector"];
  if (p.version == 1.0) {
    double pixel1 = 0.0, pixel2 = 0.0;
    const bool has1 = items.count("pixelsize1") != 0, has2 = items.count("pixelsize2") != 0;
    if (has1 && !ParseReal(items["pixelsize1"], pixel1)) {
      return BadValue(kR, "PixelSize1", fileName, status);
    }
    if (has2 && !ParseReal(items["pixelsize2"], pixel2)) {
      return BadValue(kR, "PixelSize2", fileName, status);
    }
    if (has1 && has2) {
      p.pixel1 = pixel1;
      p.pixel2 = pixel2;
      p.pixelSizesGiven = true;
    }
  } else {
    double pixel1 = 0.0, pixel2 = 0.0;
    // null says as much as leaving the size out.
    ConfigItem item1 = ConfigReal(config, "pixel1", pixel1);
    ConfigItem item2 = ConfigReal(config, "pixel2", pixel2);
    if (item1 == ConfigItem::kNull) item1 = ConfigItem::kAbsent;
    if (item2 == ConfigItem::kNull) item2 = ConfigItem::kAbsent;
    if (item1 == ConfigItem::kJunk) {
      return BadValue(kR, "pixel1 in Detector_config", fileName, status);
    }
    if (item2 == ConfigItem::kJunk) {
      return BadValue(kR, "pixel2 in Detector_config", fileName, status);
    }
    if (item1 != item2) return BadValue(kR, "the pixel sizes in Detector_config", fileName, status);
    if (item1 == ConfigItem::kNumber) {
      p.pixel1 = pixel1;
      p.pixel2 = pixel2;
      p.pixelSizesGiven = true;
    }
    if (!ConfigShape(config, p.rows, p.columns)) {
      return BadValue(kR, "max_shape in Detector_config", fileName, status);
    }
  }
  if (p.pixelSizesGiven && !(Within(p.pixel1, kPixelLow, kPixelHigh) &&
                             Within(p.pixel2, kPixelLow, kPixelHigh))) {
    return BadValue(kR, p.version == 1.0 ? "PixelSize1 or PixelSize2" : "the pixel sizes",
                    fileName, status, "1 micron to 10 mm");
  }

  const char* distanceKey = items.count("distance") ? "distance" : "dist";
  if (!items.count(distanceKey) || !ParseReal(items[distanceKey], p.distance) ||
      !Within(p.distance, kDistanceLow, kDistanceHigh)) {
    return BadValue(kR, "Distance", fileName, status, "1 mm to 100 m");
  }
  const struct {
    const char* key;
    const char* name;
    double* value;
  } angles[] = {{"poni1", "Poni1", &p.poni1}, {"poni2", "Poni2", &p.poni2},
                {"rot1", "Rot1", &p.rot1},    {"rot2", "Rot2", &p.rot2},
                {"rot3", "Rot3", &p.rot3}};
  for (const auto& item : angles) {
    if (items.count(item.key) && !ParseReal(items[item.key], *item.value)) {
      return BadValue(kR, item.name, fileName, status);
    }
  }
  // The point of normal incidence within a million pixels of the corner (the largest pixel
  // when the file gives none), the rotations within a turn.
  const double pixel1 = p.pixelSizesGiven ? p.pixel1 : kPixelHigh;
  const double pixel2 = p.pixelSizesGiven ? p.pixel2 : kPixelHigh;
  if (!(std::fabs(p.poni1) <= kBeamPixels * pixel1)) {
    return BadValue(kR, "Poni1", fileName, status, "a point within 10^6 pixels");
  }
  if (!(std::fabs(p.poni2) <= kBeamPixels * pixel2)) {
    return BadValue(kR, "Poni2", fileName, status, "a point within 10^6 pixels");
  }
  for (const auto& item : angles) {
    if (item.value == &p.poni1 || item.value == &p.poni2) continue;
    if (!(std::fabs(*item.value) <= kRotationLimit)) {
      return BadValue(kR, item.name, fileName, status, "an angle within one turn");
    }
  }
  if (items.count("wavelength")) {
    if (!ParseReal(items["wavelength"], p.wavelength) ||
        !Within(p.wavelength, kWavelengthLow, kWavelengthHigh)) {
      return BadValue(kR, "Wavelength", fileName, status, "0.01 to 100 Angstroms");
    }
    p.wavelengthGiven = true;
  }
  poni = p;
  return kTrue;
}

int FWritePoni(const std::string& fileName, const PoniGeometry& p, int& status) {
  static constexpr IRoutine kR{"FWritePoni", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  // Replaced only when complete, and only where a save may write (core/outputfile).
  IOutputFile out;
  if (!out.Open(fileName)) {
    errno = 0;
    IWarning(IFormat("FWritePoni: Could not open %s for writing", fileName.c_str()), status);
    return IFail(kR, kStatusFileOpen, status);
  }
  std::FILE* file = out.File();
  std::string now;
  int local = kStatusGood;
  IDateTime(now, local);
  std::string shape = "null";
  if (p.rows > 0 && p.columns > 0) shape = IFormat("[%i, %i]", p.rows, p.columns);
  bool ok = std::fprintf(file, "# Nota: C-Order, 1 refers to the Y axis, 2 to the X axis \n") > 0;
  ok = ok && std::fprintf(file, "# Written by Lumivane V1.17.00 on %s\n", now.c_str()) > 0;
  ok = ok && std::fprintf(file, "poni_version: 2\n") > 0;
  ok = ok && std::fprintf(file, "Detector: Detector\n") > 0;
  ok = ok && std::fprintf(file,
                          "Detector_config: {\"pixel1\": %.17g, \"pixel2\": %.17g, "
                          "\"max_shape\": %s}\n",
                          p.pixel1, p.pixel2, shape.c_str()) > 0;
  ok = ok && std::fprintf(file, "Distance: %.17g\n", p.distance) > 0;
  ok = ok && std::fprintf(file, "Poni1: %.17g\n", p.poni1) > 0;
  ok = ok && std::fprintf(file, "Poni2: %.17g\n", p.poni2) > 0;
  ok = ok && std::fprintf(file, "Rot1: %.17g\n", p.rot1) > 0;
  ok = ok && std::fprintf(file, "Rot2: %.17g\n", p.rot2) > 0;
  ok = ok && std::fprintf(file, "Rot3: %.17g\n", p.rot3) > 0;
  if (p.wavelengthGiven) ok = ok && std::fprintf(file, "Wavelength: %.17g\n", p.wavelength) > 0;
  if (!ok || !out.Commit()) {
    errno = 0;
    IWarning(IFormat("FWritePoni: Could not write %s", fileName.c_str()), status);
    return IFail(kR, kStatusWrite, status);
  }
  return kTrue;
}

bool FPoniDetectorPixelSizes(const std::string& detector, double& pixel1, double& pixel2) {
  const std::string name = Lower(detector);
  if (name.rfind("pilatus", 0) == 0) {
    pixel1 = pixel2 = 172.0e-6;
    return true;
  }
  if (name.rfind("eiger", 0) == 0) {
    pixel1 = pixel2 = 75.0e-6;
    return true;
  }
  return false;
}

void FPoniToBeamGeometry(const PoniGeometry& p, double pixel1, double pixel2, double& beamX,
                         double& beamY, double& distance, double& tilt, double& tiltAxis) {
  const double c1 = std::cos(p.rot1), s1 = std::sin(p.rot1);
  const double c2 = std::cos(p.rot2), s2 = std::sin(p.rot2);
  const double cosTilt = c1 * c2;
  // sin of the tilt without the cancellation of sqrt(1 - cos^2).
  const double sinTilt = std::sqrt(s1 * s1 * c2 * c2 + s2 * s2);
  beamX = (p.poni2 - p.distance * std::tan(p.rot1)) / pixel2;
  beamY = (p.poni1 + p.distance * std::tan(p.rot2) / c1) / pixel1;
  distance = p.distance / cosTilt;
  if (sinTilt == 0.0) {
    tilt = 0.0;
    tiltAxis = 0.0;
    return;
  }
  tilt = -std::atan2(sinTilt, cosTilt);
  tiltAxis = std::atan2(s2, -c2 * s1) + M_PI / 2.0;
  NormaliseAxis(tilt, tiltAxis);
}

void FMirrorBeamGeometryRows(int rows, double& beamY, double& tilt, double& tiltAxis) {
  beamY = rows - beamY;
  if (tilt == 0.0) return;
  tilt = -tilt;
  tiltAxis = -tiltAxis;
  NormaliseAxis(tilt, tiltAxis);
}

void FBeamGeometryToPoni(double beamX, double beamY, double distance, double tilt,
                         double tiltAxis, double pixel1, double pixel2, PoniGeometry& p) {
  const double st = std::sin(tilt), ct = std::cos(tilt);
  const double sa = std::sin(tiltAxis), ca = std::cos(tiltAxis);
  p.distance = distance * ct;
  p.poni1 = beamY * pixel1 - distance * st * ca;
  p.poni2 = beamX * pixel2 + distance * st * sa;
  p.rot1 = std::atan2(st * sa, ct);
  p.rot2 = std::asin(std::clamp(st * ca, -1.0, 1.0));
  p.rot3 = 0.0;
}
