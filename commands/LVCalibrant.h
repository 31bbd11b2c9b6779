// "Fit_Calibrant": the whole diffraction geometry (beam centre, detector tilt, distance and
// wavelength) from the rings of a known calibrant powder. The user clicks points on the
// innermost ring of the table; the rings are then predicted, searched and fitted one after
// another, outliers are rejected and all rings are fitted together.
#pragma once

#include <string>

#include "data/DataSet.h"

class PCanvas;

// `code` is a calibrant code (300 to 308, see maths/MGeometry.h).
int LVFitCalibrant(int code, DataSet& dataSet, int& status);

// "Fit_Calibrant_Auto": the same fit with no clicks. The beam centre and the rings are found
// from the image alone (the wavelength and the pixel sizes must be known; the current
// distance decides between equally good readings), then the fit runs as above. No rings of
// the calibrant in the image (spots, a flat image, noise): a warning, the geometry unchanged
// and the command fails. Code 0 asks which calibrant.
int LVFitCalibrantAuto(int code, DataSet& dataSet, int& status);

// Reads up to `maximum` d-spacings (Angstrom in the file, metres out) from a file the user
// chooses, proposed from "Calibrant_User_File" and written back there.
int LVCalibrantUserInput(int maximum, int& count, float dSpacings[], int& status);

// The remembered answers (all true at program start).
void LVResetCalibrantAnswers();

// The rings of the current calibrant (the last one fitted; cerium dioxide at first) as the
// current geometry predicts them, drawn over the image so the user sees at once whether they
// sit on the data. Shown while the toggle "Calibrant_Rings" is on (kept in the data-base).
bool LVCalibrantRingsShown();
// Draws them on the main window's canvas over an image `dataSet`, clipped to the image.
void LVDrawCalibrantRings(PCanvas* canvas, const DataSet& dataSet, int& status);

void LVRegisterCalibrantCommands();
