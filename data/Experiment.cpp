#include "data/Experiment.h"

#include <cmath>

#include "core/status.h"

namespace {

// How a field's value reads in a message.
std::string Describe(const IGeometryField& f, float value) {
  const auto v = static_cast<double>(value);
  switch (f.bit) {
    case kGeometryDistance: return IFormat("%s %g mm", f.words, v * 1.0e3);
    case kGeometryPixelSizeX:
    case kGeometryPixelSizeY: return IFormat("%s %g microns", f.words, v * 1.0e6);
    case kGeometryWavelength: return IFormat("%s %g Angstroms", f.words, v * 1.0e10);
    case kGeometryBeamCentreX:
    case kGeometryBeamCentreY: return IFormat("%s %g pixels", f.words, v);
    case kGeometryPolarisation: return IFormat("%s %g", f.words, v);
    default: return IFormat("%s %g degrees", f.words, v * 57.29577951308232);
  }
}

std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

}  // namespace

const std::array<IGeometryField, kGeometryFieldCount>& IGeometryFields() {
  static const std::array<IGeometryField, kGeometryFieldCount> fields{{
      {&DataSet::beamCentreX, kGeometryBeamCentreX, "beam centre X"},
      {&DataSet::beamCentreY, kGeometryBeamCentreY, "beam centre Y"},
      {&DataSet::twoThetaAngle, kGeometryTwoTheta, "detector 2-theta"},
      {&DataSet::distance, kGeometryDistance, "distance"},
      {&DataSet::pixelSizeX, kGeometryPixelSizeX, "pixel width"},
      {&DataSet::pixelSizeY, kGeometryPixelSizeY, "pixel height"},
      {&DataSet::polarisation, kGeometryPolarisation, "polarisation"},
      {&DataSet::tiltAngle, kGeometryTiltAngle, "tilt"},
      {&DataSet::tiltAxisAngle, kGeometryTiltAxis, "tilt axis"},
      {&DataSet::rotationZ, kGeometryRotationZ, "rotation"},
      {&DataSet::wavelength, kGeometryWavelength, "wavelength"},
  }};
  return fields;
}

Experiment& IExperiment() {
  static Experiment experiment;
  return experiment;
}

std::array<float, kGeometryFieldCount> IGeometryValues(const DataSet& d) {
  std::array<float, kGeometryFieldCount> values{};
  for (std::size_t i = 0; i < kGeometryFieldCount; ++i) values[i] = d.*IGeometryFields()[i].member;
  return values;
}

void IStartExperiment(const DataSet& initialised) {
  Experiment& e = IExperiment();
  e.values = IGeometryValues(initialised);
  e.origin = IGeometryOrigin::kStart;
}

void IExperimentTakeChanges(const std::array<float, kGeometryFieldCount>& before,
                            const DataSet& after) {
  Experiment& e = IExperiment();
  const std::array<float, kGeometryFieldCount> now = IGeometryValues(after);
  for (std::size_t i = 0; i < kGeometryFieldCount; ++i) {
    // A command may set a field to the value it had (the same wavelength typed again): the
    // experiment already holds it unless the field was the store's own (a scan's step).
    if (now[i] != before[i] && std::isfinite(now[i])) e.values[i] = now[i];
  }
  e.origin = IGeometryOrigin::kUser;
}

void IExperimentApply(DataSet& d, std::vector<std::string>& said) {
  said.clear();
  const unsigned header = d.headerGeometry;
  if (header & kGeometryOwnAxes) return;
  Experiment& e = IExperiment();
  const bool seed = e.origin != IGeometryOrigin::kUser;
  std::vector<std::string> taken, kept;
  for (std::size_t i = 0; i < kGeometryFieldCount; ++i) {
    const IGeometryField& f = IGeometryFields()[i];
    float& field = d.*f.member;
    const bool given = (header & f.bit) != 0 && std::isfinite(field);
    if (given && seed) {
      e.values[i] = field;
      taken.push_back(Describe(f, field));
    } else {
      if (given && field != e.values[i]) kept.push_back(Describe(f, field));
      field = e.values[i];
    }
  }
  if (!taken.empty()) {
    e.origin = IGeometryOrigin::kHeader;
    said.push_back("Geometry from the file header: " + Join(taken));
  }
  if (!kept.empty()) {
    said.push_back("The file header's " + Join(kept) +
                   " not used: the geometry set in this session is kept");
  }
}

bool IGeometryNeverSet(const DataSet& d) {
  return d.beamCentreX == 0.0f && d.beamCentreY == 0.0f && d.distance == 0.3f &&
         d.wavelength == 1.0e-10f;
}
