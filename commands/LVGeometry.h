// The geometry commands: the values of a data set's diffraction geometry asked from the user
// (with the data-base's user units as defaults and the accepted values written back), the
// beam centre, the detector rotation and the distance between two points.
#pragma once

#include <string>

#include "data/DataSet.h"

int LVSetDistance(DataSet& dataSet, int& status);
int LVSetEnergy(DataSet& dataSet, int& status);
int LVSetWavelength(DataSet& dataSet, int& status);
int LVSetPixelSizes(DataSet& dataSet, int& status);
int LVSetPolarisation(DataSet& dataSet, int& status);
int LVSetDetectorTilt(DataSet& dataSet, int& status);

// Modes of the beam-centre and rotation commands.
enum CoordinateMode : int {
  kModeClick = 852,      // one point clicked on the image
  kModeSymmetric = 853,  // two points clicked symmetrically about the centre
  kModeKeyboard = 854,   // values typed
};

int LVBeamCentre(int mode, DataSet& dataSet, int& status);
int LVDetectorRotation(int mode, DataSet& dataSet, int& status);
int LVDistance(DataSet& dataSet, int& status);

// `count` points clicked on the image of the main store (data pixel coordinates), with a
// marker at each and lines between them; false when the input was cancelled before all were
// given.
int LVClickPoints(const char* routine, const std::string& prompt, int count, float x[],
                  float y[], int& status);

// Asks one real with `value` as the default. The range given with the prompt is kept: an
// answer outside it (or not a number) is refused with a warning and the result is false.
int LVAskReal(const char* routine, const std::string& prompt, float lower, float upper,
              float& value, int& status);

// Before a command that needs the geometry: true when it was set (typed, fitted, loaded or
// read from a header). The built-in start geometry (beam centre 0, 0, distance 0.3 m,
// wavelength 1 Angstrom) makes a wrong result, so the window asks once a run whether to go on,
// and a script is refused with a warning.
int LVCheckGeometrySet(const char* routine, const DataSet& dataSet, int& status);

void LVRegisterGeometryCommands();
