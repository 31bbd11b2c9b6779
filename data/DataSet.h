// The data-set record: a float image or scan with its sizes, region of interest, mask,
// variances, labels, diffraction geometry and display placement.
//
// Element (x, y) lives at x + y * dimX; index arithmetic is 64-bit (IIndex) so very large
// images never wrap. A DataSet owns its three arrays; it is copied only through MDataCopy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "data/memory.h"

struct DataSet {
  std::string name;
  std::string fileName;

  int dataAllocated = 0;
  int dataDefined = 0;
  int dimX = 0, dimY = 0;
  int numX = 0, numY = 0;
  IArray<float> data;

  int maskAllocated = 0;
  int maskDefined = 0;
  int maskInUse = 0;
  IArray<unsigned char> mask;

  int variancesAllocated = 0;
  int variancesDefined = 0;
  IArray<float> variances;

  int startX = 0, startY = 0, endX = 0, endY = 0;  // region of interest, inclusive

  std::string title = "Untitled";
  std::string xLabel = "X-axis";
  std::string yLabel = "Y-axis";
  std::string zLabel = "Intensity";

  // Experiment geometry: lengths in metres, angles in radians.
  float beamCentreX = 0.0f, beamCentreY = 0.0f;  // pixels
  float twoThetaAngle = 0.0f;
  float distance = 0.3f;
  float pixelSizeX = 1.0e-4f, pixelSizeY = 1.0e-4f;
  float polarisation = 1.0f;
  float tiltAngle = 0.0f;
  float tiltAxisAngle = 0.0f;
  float rotationZ = 0.0f;
  float wavelength = 1.0e-10f;
  // Which geometry fields the header of the file last read gave (data/Experiment.h bits;
  // kGeometryOwnAxes for a scan read from a file). Set by the reader, used once after it.
  unsigned headerGeometry = 0;
  // A command's output that no save has written yet (cleared by a save and by a file read).
  int resultUnsaved = 0;

  int displayStartX = 0, displayStartY = 0;
  int magnification = 1;  // >= 1 magnify; 0 reduced by `reduction`
  int reduction = 1;
  int xAxisInPixels = -1;
  float xAxisStart = 0.0f;
  float yAxisStart = 0.0f;

  DataSet() = default;
  DataSet(const DataSet&) = delete;
  DataSet& operator=(const DataSet&) = delete;
  DataSet(DataSet&&) = default;
  DataSet& operator=(DataSet&&) = default;
};

inline std::size_t IIndex(const DataSet& d, int x, int y) {
  return static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * static_cast<std::size_t>(d.dimX);
}
inline std::size_t IElementCount(const DataSet& d) {
  return static_cast<std::size_t>(d.dimX) * static_cast<std::size_t>(d.dimY);
}

int IInitialiseData(DataSet& dataSet, int& status);
int IAllocateData(int numX, int numY, DataSet& dataSet, int& status);
int IAllocateMask(DataSet& dataSet, int& status);
int IAllocateVariances(DataSet& dataSet, int& status);
int IFreeData(DataSet& dataSet, int& status);
int ICheckData(const std::string& label, const DataSet& dataSet, int& status);
// The checks of ICheckData without the diffraction geometry: for routines that never use it
// (graphs, writers), where the X pixel size of a scan is its step and may be negative.
int ICheckDataLayout(const std::string& label, const DataSet& dataSet, int& status);
int MDataCopy(const DataSet& source, DataSet& target, int& status);
// Copies what describes the data but is not the data: file name, title, labels, geometry,
// display placement and axis description (not the name, the arrays, their sizes or flags).
void IDescriptionCopy(const DataSet& source, DataSet& target);

// Distances from the beam centre to the four corners of the region of interest.
int ICalROICornerDistance(const DataSet& dataSet, int& minPixels, int& maxPixels,
                          float& minDistance, float& maxDistance, int& status);

// Marks numX x numY of the array as the defined data and the whole of it as the region, as a
// freshly read image is: no variances, no mask.
void IDefineWholeImage(DataSet& dataSet, int numX, int numY);

// ---- Data generation ------------------------------------------------------------------------
// A count that moves on whenever the data of any store may have changed, so that what is
// derived from the data (the intensity range a repaint shows) can be kept while it stands
// still. The command interpreter moves it before and after every command that may change
// data (all but plain redraws), the allocation routines (IInitialiseData, IAllocateData,
// IAllocateMask, IAllocateVariances, IFreeData, MDataCopy, IDefineWholeImage) move it too, and any other code that changes data
// outside a command calls IDataChanged.
std::uint64_t IDataGeneration();
void IDataChanged();

// True only while a redraw runs (an IDataSteadyScope lives) and no command that may change
// data does (no IDataChangeScope lives). A result derived from data may be reused against
// the generation only then: outside a redraw nobody has promised that data changes are
// announced, and inside a changing command the data may change between two draws.
bool IDataSteady();

// Marks a command that may change data: moves the generation on at its start and its end.
class IDataChangeScope {
 public:
  IDataChangeScope();
  ~IDataChangeScope();
  IDataChangeScope(const IDataChangeScope&) = delete;
  IDataChangeScope& operator=(const IDataChangeScope&) = delete;
};

// Marks a plain redraw: it changes no data.
class IDataSteadyScope {
 public:
  IDataSteadyScope();
  ~IDataSteadyScope();
  IDataSteadyScope(const IDataSteadyScope&) = delete;
  IDataSteadyScope& operator=(const IDataSteadyScope&) = delete;
};

// Sets a text field, keeping to the 255 characters a record holds.
void ISetText(std::string& field, const std::string& text);
