// PONI geometry files: the reader, then the conversions to our geometry and back with
// whatever values the file held.
#include "core/status.h"
#include "fileio/FPoni.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzReset();
  const std::string path = FuzzWriteFile("input.poni", {reinterpret_cast<const char*>(data), size});
  PoniGeometry poni;
  int status = kStatusGood;
  if (FReadPoni(path, poni, status)) {
    double pixel1 = poni.pixel1, pixel2 = poni.pixel2;
    if (!poni.pixelSizesGiven) FPoniDetectorPixelSizes(poni.detector, pixel1, pixel2);
    double beamX = 0, beamY = 0, distance = 0, tilt = 0, axis = 0;
    FPoniToBeamGeometry(poni, pixel1, pixel2, beamX, beamY, distance, tilt, axis);
    FMirrorBeamGeometryRows(poni.rows > 0 ? poni.rows : 1000, beamY, tilt, axis);
    PoniGeometry back;
    FBeamGeometryToPoni(beamX, beamY, distance, tilt, axis, pixel1, pixel2, back);
    status = kStatusGood;
    FWritePoni(FuzzFolder() + "/saved.poni", poni, status);
  }
  FuzzReset();
  return 0;
}
