#include "data/DataSet.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/database.h"
#include "core/status.h"

namespace {

// The generation and the scope depths. Commands run on the main thread; the counter is
// atomic so that a worker thread that allocates (an integration pool) cannot tear it.
std::atomic<std::uint64_t> gGeneration{1};
int gSteadyDepth = 0;
int gChangeDepth = 0;

}  // namespace

std::uint64_t IDataGeneration() { return gGeneration.load(std::memory_order_relaxed); }
void IDataChanged() { gGeneration.fetch_add(1, std::memory_order_relaxed); }
bool IDataSteady() { return gSteadyDepth > 0 && gChangeDepth == 0; }

IDataChangeScope::IDataChangeScope() {
  ++gChangeDepth;
  IDataChanged();
}
IDataChangeScope::~IDataChangeScope() {
  IDataChanged();
  --gChangeDepth;
}
IDataSteadyScope::IDataSteadyScope() { ++gSteadyDepth; }
IDataSteadyScope::~IDataSteadyScope() { --gSteadyDepth; }

void ISetText(std::string& field, const std::string& text) {
  field = text.size() > kLineLength ? text.substr(0, kLineLength) : text;
}

void IDefineWholeImage(DataSet& d, int numX, int numY) {
  IDataChanged();
  d.numX = numX;
  d.numY = numY;
  d.startX = d.startY = 0;
  d.endX = numX - 1;
  d.endY = numY - 1;
  d.dataDefined = kTrue;
  d.variancesDefined = kFalse;
  d.mask.reset();
  d.maskAllocated = d.maskDefined = d.maskInUse = kFalse;
}

int IInitialiseData(DataSet& d, int& status) {
  static constexpr IRoutine kR{"IInitialiseData", "V0.6"};
  if (IBad(kR, status)) return kFalse;
  IDataChanged();
  d.name.clear();
  d.fileName.clear();
  d.dataAllocated = d.dataDefined = kFalse;
  d.data.reset();
  d.maskAllocated = d.maskDefined = d.maskInUse = kFalse;
  d.mask.reset();
  d.variancesAllocated = d.variancesDefined = kFalse;
  d.variances.reset();
  d.dimX = d.dimY = d.numX = d.numY = 0;
  d.startX = d.startY = d.endX = d.endY = 0;
  d.title = "Untitled";
  d.xLabel = "X-axis";
  d.yLabel = "Y-axis";
  d.zLabel = "Intensity";
  d.magnification = 1;
  d.reduction = 1;
  d.displayStartX = d.displayStartY = 0;
  d.xAxisInPixels = kTrue;
  d.xAxisStart = d.yAxisStart = 0.0f;

  // Geometry defaults come from the data-base in its user units.
  float value = 0.0f;
  IGetDBRealItem("Beam_CentreX", value, status);
  d.beamCentreX = value;
  value = 0.0f;
  IGetDBRealItem("Beam_CentreY", value, status);
  d.beamCentreY = value;
  value = 100.0f;
  IGetDBRealItem("Pixel_SizeX", value, status);
  d.pixelSizeX = value * 1.0e-6f;
  value = 100.0f;
  IGetDBRealItem("Pixel_SizeY", value, status);
  d.pixelSizeY = value * 1.0e-6f;
  value = 1.0f;
  IGetDBRealItem("Wavelength", value, status);
  d.wavelength = value * 1.0e-10f;
  value = 0.3f;
  IGetDBRealItem("Sample_Detector_Distance", value, status);
  d.distance = value;
  value = 1.0f;
  IGetDBRealItem("Polarisation", value, status);
  d.polarisation = value;
  value = 0.0f;
  IGetDBRealItem("Tilt_Axis_Angle", value, status);
  d.tiltAxisAngle = value * 0.017453292f;
  value = 0.0f;
  IGetDBRealItem("Tilt_Angle", value, status);
  d.tiltAngle = value * 0.017453292f;
  d.twoThetaAngle = 0.0f;
  d.rotationZ = 0.0f;
  d.headerGeometry = 0;
  d.resultUnsaved = 0;
  return kTrue;
}

int IAllocateData(int numX, int numY, DataSet& d, int& status) {
  static constexpr IRoutine kR{"IAllocateData", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  IDataChanged();
  if (numX <= 0) return IFail(kR, kStatusIntRange1, status);
  if (numY <= 0) return IFail(kR, kStatusIntRange2, status);

  // A mask or variance array of other dimensions cannot describe the new data; keeping it
  // would let later loops run past its end.
  if (numX != d.dimX || numY != d.dimY) {
    d.mask.reset();
    d.maskAllocated = d.maskDefined = d.maskInUse = kFalse;
    d.variances.reset();
    d.variancesAllocated = d.variancesDefined = kFalse;
  }

  d.data.reset();
  d.dataAllocated = d.dataDefined = kFalse;
  const std::int64_t count = static_cast<std::int64_t>(numX) * numY;
  if (!IAllocateMemory("IAllocateData", count, d.data, status)) return kFalse;
  d.dimX = numX;
  d.dimY = numY;
  d.dataAllocated = kTrue;
  d.dataDefined = kFalse;
  return kTrue;
}

int IAllocateMask(DataSet& d, int& status) {
  static constexpr IRoutine kR{"IAllocateMask", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  IDataChanged();
  if (!d.dataAllocated) {
    IError("IAllocateMask; The data array has not been allocated", status);
    return IFail(kR, kStatusNotAllocated, status);
  }
  d.mask.reset();
  d.maskAllocated = kFalse;
  if (!IAllocateMemory("IAllocateMask", static_cast<std::int64_t>(IElementCount(d)), d.mask,
                       status)) {
    return kFalse;
  }
  std::memset(d.mask.get(), 0, IElementCount(d));
  d.maskAllocated = kTrue;
  d.maskDefined = kFalse;
  d.maskInUse = kFalse;
  return kTrue;
}

int IAllocateVariances(DataSet& d, int& status) {
  static constexpr IRoutine kR{"IAllocateVariances", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  IDataChanged();
  if (!d.dataAllocated) return kFalse;
  d.variances.reset();
  d.variancesAllocated = d.variancesDefined = kFalse;
  if (!IAllocateMemory("IAllocateVariances", static_cast<std::int64_t>(IElementCount(d)),
                       d.variances, status)) {
    return kFalse;
  }
  d.variancesAllocated = kTrue;
  return kTrue;
}

int IFreeData(DataSet& d, int& status) {
  static constexpr IRoutine kR{"IFreeData", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  IDataChanged();
  d.data.reset();
  d.mask.reset();
  d.variances.reset();
  d.dataAllocated = d.dataDefined = kFalse;
  d.maskAllocated = d.maskDefined = d.maskInUse = kFalse;
  d.variancesAllocated = d.variancesDefined = kFalse;
  return kTrue;
}

namespace {

// Sizes and region of interest against the arrays; failures recorded under `routine`.
int CheckLayout(const IRoutine& routine, const std::string& label, const DataSet& d, int& status) {
  const char* l = label.c_str();
  if (d.dataAllocated) {
    if (d.dimX <= 0) {
      IError(IFormat("%s ICheckData: Data allocated but data->dimX = %i", l, d.dimX), status);
      return IFail(routine, kStatusDim1Illegal, status);
    }
    if (d.dimY < 0) {
      IError(IFormat("%s ICheckData: Data allocated but data->dimY = %i", l, d.dimY), status);
      return IFail(routine, kStatusDim2Illegal, status);
    }
  }
  if (!d.dataDefined) return kTrue;
  if (d.numX < 0 || d.numX > d.dimX) {
    IError(IFormat("%s ICheckData: data->dimX = %i, data->numX = %i", l, d.dimX, d.numX), status);
    return IFail(routine, kStatusNumDefined1, status);
  }
  if (d.numY < 0 || d.numY > d.dimY) {
    IError(IFormat("%s ICheckData: data->dimY = %i, data->numY = %i", l, d.dimY, d.numY), status);
    return IFail(routine, kStatusNumDefined1, status);
  }
  if (d.startX < 0 || d.endX > d.numX - 1 || d.endX < d.startX) {
    IError(IFormat("%s Bad ROI for X: data.numX, start, end =  %i %i %i", l, d.numX, d.startX,
                   d.endX),
           status);
    return IFail(routine, kStatusROI1, status);
  }
  if (d.startY < 0 || d.endY > d.numY - 1 || d.endY < d.startY) {
    IError(IFormat("%s Bad ROI for Y: data.numY, start, end =  %i %i %i", l, d.numY, d.startY,
                   d.endY),
           status);
    return IFail(routine, kStatusROI2, status);
  }
  return kTrue;
}

}  // namespace

int ICheckDataLayout(const std::string& label, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"ICheckDataLayout", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  return CheckLayout(kR, label, d, status);
}

int ICheckData(const std::string& label, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"ICheckData", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  if (!CheckLayout(kR, label, d, status)) return kFalse;
  if (!d.dataDefined) return kTrue;
  if (!(d.distance > 0.0f) || !(d.wavelength > 0.0f) || !(d.pixelSizeX > 0.0f) ||
      !(d.pixelSizeY > 0.0f)) {
    return IFail(kR, kStatusBadGeometry, status);
  }
  return kTrue;
}

int MDataCopy(const DataSet& s, DataSet& t, int& status) {
  static constexpr IRoutine kR{"MDataCopy", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  IDataChanged();
  if (&s == &t) return kTrue;  // a store copied onto itself already holds the copy

  if (!IAllocateData(s.dimX, s.dimY, t, status)) return kFalse;
  if (s.dataDefined && s.data) {
    const auto rowLength = static_cast<std::size_t>(std::clamp(s.numX, 0, s.dimX));
    const int rows = std::clamp(s.numY, 0, s.dimY);
    for (int y = 0; y < rows; ++y) {
      std::memcpy(t.data.get() + IIndex(t, 0, y), s.data.get() + IIndex(s, 0, y),
                  rowLength * sizeof(float));
    }
    t.numX = s.numX;
    t.numY = s.numY;
    t.dataDefined = kTrue;
    t.startX = s.startX;
    t.startY = s.startY;
    t.endX = s.endX;
    t.endY = s.endY;
  }
  if (s.maskAllocated && s.mask) {
    if (!IAllocateMask(t, status)) return kFalse;
    if (s.maskDefined) {
      std::memcpy(t.mask.get(), s.mask.get(), IElementCount(s));
      t.maskDefined = kTrue;
    }
  }
  t.maskInUse = s.maskInUse;
  IDescriptionCopy(s, t);
  return kTrue;
}

void IDescriptionCopy(const DataSet& s, DataSet& t) {
  if (&s == &t) return;
  t.fileName = s.fileName;
  t.title = s.title;
  t.xLabel = s.xLabel;
  t.yLabel = s.yLabel;
  t.zLabel = s.zLabel;
  t.beamCentreX = s.beamCentreX;
  t.beamCentreY = s.beamCentreY;
  t.twoThetaAngle = s.twoThetaAngle;
  t.distance = s.distance;
  t.pixelSizeX = s.pixelSizeX;
  t.pixelSizeY = s.pixelSizeY;
  t.polarisation = s.polarisation;
  t.tiltAngle = s.tiltAngle;
  t.tiltAxisAngle = s.tiltAxisAngle;
  t.rotationZ = s.rotationZ;
  t.wavelength = s.wavelength;
  t.displayStartX = s.displayStartX;
  t.displayStartY = s.displayStartY;
  t.magnification = s.magnification;
  t.reduction = s.reduction;
  t.xAxisInPixels = s.xAxisInPixels;
  t.xAxisStart = s.xAxisStart;
  t.yAxisStart = s.yAxisStart;
}

int ICalROICornerDistance(const DataSet& d, int& minPixels, int& maxPixels, float& minDistance,
                          float& maxDistance, int& status) {
  static constexpr IRoutine kR{"ICalROICornerDistance", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("ICalROICornerDistance:", d, status)) return kFalse;
  const float cornersX[4] = {static_cast<float>(d.startX), static_cast<float>(d.startX),
                             static_cast<float>(d.endX) + 1.0f, static_cast<float>(d.endX) + 1.0f};
  const float cornersY[4] = {static_cast<float>(d.startY), static_cast<float>(d.endY) + 1.0f,
                             static_cast<float>(d.startY), static_cast<float>(d.endY) + 1.0f};
  float minPix = std::numeric_limits<float>::max();
  float maxPix = -std::numeric_limits<float>::max();
  minDistance = std::numeric_limits<float>::max();
  maxDistance = -std::numeric_limits<float>::max();
  for (int i = 0; i < 4; ++i) {
    const double dx = static_cast<double>(cornersX[i]) - d.beamCentreX;
    const double dy = static_cast<double>(cornersY[i]) - d.beamCentreY;
    const auto pixels = static_cast<float>(std::sqrt(dx * dx + dy * dy));
    const double mx = dx * d.pixelSizeX;
    const double my = dy * d.pixelSizeY;
    const auto metres = static_cast<float>(std::sqrt(mx * mx + my * my));
    minPix = std::min(minPix, pixels);
    maxPix = std::max(maxPix, pixels);
    minDistance = std::min(minDistance, metres);
    maxDistance = std::max(maxDistance, metres);
  }
  // A beam centre far outside any sensible range must not overflow the integer results.
  constexpr float kIntLimit = 2.0e9f;
  auto toInt = [](float v) {
    if (!(v >= 0.0f)) return 0;  // also NaN
    return v > kIntLimit ? static_cast<int>(kIntLimit) : static_cast<int>(v);
  };
  minPixels = toInt(minPix);
  maxPixels = toInt(maxPix + 0.499f);
  return kTrue;
}
