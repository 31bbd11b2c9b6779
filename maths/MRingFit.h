// Fits through points on rings: circles and ellipses through clicked or found points, the
// simultaneous fit of powder rings for the diffraction geometry (beam centre, distance,
// wavelength, detector tilt and the rings' d-spacings), outlier rejection, and the small
// vector helpers the ring search needs. All fits run on the engine of maths/MModelFit.
//
// Point coordinates are in one unit throughout a call: the powder fits take metres on the
// detector (pixel coordinate x pixel size, the pixel coordinate of pixel i spanning i to
// i + 1), the circle and ellipse fits any unit.
#pragma once

#include "data/DataSet.h"
#include "maths/MModelFit.h"

// Arithmetic mean of the first n of `dimension` values; status 21 when n < 1 or n > dimension.
int MVectorMean(int dimension, int n, const float vector[], float& mean, int& status);

// Centre of mass of values[start..end] (end included) with element i at i + 0.5. With
// background removal a straight line is subtracted first: through the means of the first
// and last three elements (at start + 1.5 and end - 0.5) from 9 elements on, else through
// the first and last elements. Status 21 when start < 0, end < start or end >= dimension.
// False with the status good when the profile holds no positive weight (no centre).
int MVectorCentreOfMass(int dimension, int start, int end, const float values[],
                        int subtractBackground, float& centre, int& status);

// Circle through `points` points: centre and radius in/out (starting values in), RMS of the
// radial residuals out. Status 21 with fewer than 3 points or more than maxPoints.
int MFitCircle(int maxPoints, int points, const float x[], const float y[], float& centreX,
               float& centreY, float& radius, float& rms, int& status);

// Ellipse through the points: centre (fixed unless centreFree), radii and angle of the first
// axis in/out. Afterwards radius 1 >= radius 2 (exchanged with the angle turned by pi/2) and
// the angle lies in [-pi, pi]. Status 21 with fewer than 5 points.
int MFitEllipse(int maxPoints, int points, const float x[], const float y[], int centreFree,
                float& centreX, float& centreY, float& radius1, float& radius2, float& angle,
                float& rms, int& status);

// Objective functions of the point fits: one residual per point of the point set that the
// parameters' first client word points at (MObFunPowderRings: the RingTable).
int MObFunCircle(const DataSet& data, const ModelParameters& parameters, DataSet& model,
                 int& status);
int MObFunEllipse(const DataSet& data, const ModelParameters& parameters, DataSet& model,
                  int& status);
int MObFunPowderRings(const DataSet& data, const ModelParameters& parameters, DataSet& model,
                      int& status);

// The diffraction geometry of the powder fits, lengths in metres, angles in radians; the beam
// centre is a position on the detector in metres (pixel coordinate x pixel size).
struct PowderGeometry {
  float beamX = 0.0f, beamY = 0.0f;
  float distance = 0.0f;
  float wavelength = 0.0f;
  float tiltAxisAngle = 0.0f;
  float tiltAngle = 0.0f;
};

// What a powder-ring fit may change.
struct PowderFitFlags {
  int beamCentre = kFalse;
  int distance = kFalse;
  int wavelength = kFalse;
  int tilt = kFalse;
  int dSpacings = kFalse;
};

// Rings as a table: ring k's points are x[k maxPoints ...], counts[k] of them.
struct RingTable {
  int maxPoints = 0;
  int maxRings = 0;
  int rings = 0;
  const int* counts = nullptr;
  const float* x = nullptr;
  const float* y = nullptr;
};

// The tilt-corrected radius (metres) of a detector position (metres) for the geometry; false
// when the sample cannot see the point.
bool MPowderRadius(const PowderGeometry& geometry, double x, double y, double& radius);
// The same, and the distance (metres) from the sample to the point.
bool MPowderRadiusAndPath(const PowderGeometry& geometry, double x, double y, double& radius,
                          double& path);

// The residual of a point on a ring of 2-theta twoTheta: its radius - D tan 2theta.
bool MPowderResidual(const PowderGeometry& geometry, double twoTheta, double x, double y,
                     double& residual);

// Fits the rings' points simultaneously; the geometry and the d-spacings (metres, one per
// ring) are starting values in and fitted values out, the RMS of the radial residuals
// (metres) out. Status 21 when maxPoints < 6 or no ring has a point, 22 when maxRings < 1,
// 18 when there are more rings than maxRings. False with a warning and the status good when
// the fit did not give a usable result (the geometry and d-spacings are then left as given).
int MFitPowderRings(const RingTable& table, const PowderFitFlags& flags, PowderGeometry& geometry,
                    float dSpacings[], float& rms, int& status);

// Removes the points whose radial residual |r - D tan 2theta| exceeds factor x RMS; the rest
// are packed in order and the count updated.
int MRingRejectOutliers(const PowderGeometry& geometry, float dSpacing, float rms, float factor,
                        int maxPoints, int& points, float x[], float y[], int& status);

// The d-spacing (metres) of each point (pixel coordinates) for the geometry: element 0 is the
// reference d-spacing, element i + 1 the point i's; count grows by one. A point the geometry
// cannot see or at the beam centre gets 0.
int LVRingDSpacings(const DataSet& dataSet, const PowderGeometry& geometry,
                    float referenceDSpacing, int maximum, const float x[], const float y[],
                    int& count, float dSpacings[], int& status);

// The ellipse (metres) on which a ring of 2-theta twoTheta lies for the geometry, found by
// fitting an ellipse to points of the ring worked out all round it. False (status good)
// when the ring does not reach the detector plane everywhere.
int MPredictRingEllipse(const PowderGeometry& geometry, double twoTheta, float& centreX,
                        float& centreY, float& radius1, float& radius2, float& angle,
                        int& status);

// Points found on a ring of the image: each of `segments` azimuthal segments of the annulus
// within `searchLimit` of the ellipse contributes the centre of mass of its radial profile.
// Ellipse, limit and points in metres. Masked pixels spoil their segment; a segment with
// fewer pixels than its profile has bins gives no point. Warnings with status 25 (a limit
// that is not positive) and 21 (no segments).
int LVFindRingCoordinates(const DataSet& dataSet, float centreX, float centreY, float radius1,
                          float radius2, float angle, float searchLimit, int segments,
                          int maxPoints, int& points, float x[], float y[], int& status);
// The same search about a circle.
int LVFindCircleCoordinates(const DataSet& dataSet, float centreX, float centreY, float radius,
                            float searchLimit, int segments, int maxPoints, int& points,
                            float x[], float y[], int& status);

// Points on the rings of the image located about a geometry (metres, radians): every pixel
// is placed at its 2-theta, and in each of `segments` azimuthal segments each ring's pixels
// are fitted as a Gaussian peak in 2-theta over a straight background, with the tails of the
// neighbouring rings that reach into its window as peaks of their own. The peak's 2-theta on
// the segment's mean azimuth gives the point. Rings of one d-spacing share their points;
// rings the wavelength cannot reach have none. Points (metres) go into the ring table x, y of
// row length maxPoints, counts[k] for ring k. Masked pixels take no part. `widths` (one per
// ring, pixels), when given, takes the rings' peak widths out; given with every ring's width
// above zero it brings them in instead, and the widths are not measured again (the costlier
// half of the work, which a geometry refined a little leaves as it was).
int MRingProfilePoints(const DataSet& dataSet, const PowderGeometry& geometry, int rings,
                       const float dSpacings[], int segments, int maxPoints, int counts[],
                       float x[], float y[], int& status, float widths[] = nullptr);
