// The beam-centre fits: a circle or an ellipse through clicked points, and the powder-ring
// fit that finds the beam centre and the detector tilt from the rings of a powder pattern.
//
// Clicked points name pixels; the fits take the centre of the clicked pixel (index + 0.5),
// the convention of the diffraction geometry, so a fitted centre is the beam centre itself.
#pragma once

#include "data/DataSet.h"

int LVBeamFitCircle(DataSet& dataSet, int& status);
int LVBeamFitEllipse(DataSet& dataSet, int& status);
int LVBeamFitPowder(DataSet& dataSet, int& status);

// The remembered answers of "Beam_Fit_Powder" (both true at program start).
void LVResetBeamFitAnswers();

void LVRegisterBeamFitCommands();
