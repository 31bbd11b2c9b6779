// The demonstration image a newcomer sees first: a CeO2 powder pattern on a 172-micron
// pixel detector, slightly tilted, with counting noise.
#include "commands/LVDemo.h"

#include <string>

#include "core/status.h"
#include "data/Experiment.h"
#include "maths/MGeometry.h"
#include "maths/MSimulate.h"

int LVMakeDemoImage(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMakeDemoImage", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!IAllocateData(1000, 1000, d, status)) return kFalse;
  d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
  d.distance = 0.2f;
  d.wavelength = 0.4066e-10f;
  d.beamCentreX = 480.5f;
  d.beamCentreY = 520.5f;
  d.tiltAngle = 0.02f;
  d.tiltAxisAngle = 0.3f;
  PowderSimulation simulation;
  std::string name;
  MCalibrantTable(302, name, simulation.dSpacings);
  simulation.fwhm = 0.0015f;
  simulation.peakIntensity = 4000.0f;
  simulation.fallOff = 0.35f;
  simulation.background = 40.0f;
  simulation.poissonNoise = kTrue;
  if (!MSimulatePowder(d, simulation, status)) return kFalse;
  ISetText(d.title, "Simulated powder pattern of " + name);
  d.fileName = "demonstration";
  // The geometry it was made with is the experiment's, as a header's would be.
  d.headerGeometry = kGeometryPixelSizeX | kGeometryPixelSizeY | kGeometryDistance |
                     kGeometryWavelength | kGeometryBeamCentreX | kGeometryBeamCentreY |
                     kGeometryTiltAngle | kGeometryTiltAxis;
  std::vector<std::string> said;
  IExperimentApply(d, said);
  IInfo("Demonstration image: simulated powder pattern of " + name, status);
  return kTrue;
}
