// The start of a calibration found from the image alone: the beam centre, the sample to
// detector distance and points on one ring of the calibrant, with only the wavelength, the
// pixel sizes and the calibrant's d-spacings known.
//
// The centre: every pixel of a binned copy of the image whose intensity changes steeply
// votes along the line of its gradient (across a ring the gradient points at the ring's
// centre); the most voted cell is the centre, voted for again over the inner rings, then
// moved to where the inner rings' radial profile is sharpest. The rings: the radial profile
// about that centre, its significant peaks matched against the ratios of tan 2-theta of the
// calibrant's rings (one scale, the distance, for all; the inner rings weigh most); the
// centre refined on a ring found, the profile made and matched again. Three rings must
// match (fewer for a shorter table), two of them running round the centre (most azimuthal
// segments on the detector see them above their flanks), so that the spots of a single
// crystal, a flat image or noise give no start at all.
#pragma once

#include <string>
#include <vector>

#include "data/DataSet.h"

struct PowderStart {
  double centreX = 0.0, centreY = 0.0;  // metres (pixel coordinate x pixel size)
  double distance = 0.0;                // metres
  int ringsFound = 0;                   // rings of the calibrant seen running round the centre
  int ring = -1;                        // the calibrant ring (index into the d-spacings) of x, y
  std::vector<float> x, y;              // points (metres) on that ring
  std::string reason;                   // why there is no start, when there is none
};

// `dSpacings` (metres, `rings` of them) of the calibrant, `wavelength` in metres. A
// `distanceHint` above zero (metres) decides between equally good matches. True with the
// start; false with the status good and `start.reason` set when the image shows no rings of
// the calibrant. Masked pixels, and pixels below zero (the gaps and bad pixels detectors mark
// so), take no part.
int MFindPowderStart(const DataSet& dataSet, double wavelength, int rings,
                     const float dSpacings[], double distanceHint, PowderStart& start,
                     int& status);
