// Peak shapes that are added to data sets or fitted to them: the one-dimensional Gaussian with
// three accuracy methods, the elliptical 2-D Gaussian, the polar Gaussian (Gaussian in radius
// and azimuth about a symmetry centre, optionally with a twin at the opposite azimuth), the
// 2-D Gaussian fit with its start estimate, and the error estimate of a finished fit.
//
// Coordinates are data coordinates: pixel i spans i to i + 1 and its centre is i + 0.5.
#pragma once

#include <vector>

#include "data/DataSet.h"
#include "maths/MModelFit.h"

enum GaussianMethod : int {
  kGaussianNearest = 876,      // nearest entry of the table
  kGaussianInterpolate = 877,  // linear interpolation in the table
  kGaussianExact = 878,        // exp(-x^2 / 2) computed
};

struct Gaussian2DPeak {
  float centreX = 0.0f, centreY = 0.0f;
  float intensity = 0.0f;
  float angle = 0.0f;                  // first axis, radians anti-clockwise from X
  float sigma1 = 1.0f, sigma2 = 1.0f;  // pixels
  int maxSigmas = 5;                   // 0 to 20
  int method = kGaussianInterpolate;
};

struct PolarGaussianPeak {
  float symmetryX = 0.0f, symmetryY = 0.0f;  // the beam centre
  float centreX = 0.0f, centreY = 0.0f;      // the peak
  float intensity = 0.0f;
  float radialSigma = 1.0f;      // pixels
  float azimuthalSigma = 0.1f;   // radians
  int twin = 0;                  // truth value: a twin at the opposite azimuth
  float twinRatio = 1.0f;        // twin intensity / intensity
  int maxSigmas = 5;
  int method = kGaussianInterpolate;
};

// A rectangle of pixels, inclusive.
struct PixelRegion {
  int startX = 0, startY = 0, endX = 0, endY = 0;
};

// exp(-x^2 / 2) for x >= 0 (x in sigmas) by `method`. A negative x gives status 21 and
// -3.4028235e38; an unknown method status 21. NaN gives 0 (a point nowhere near the peak).
float MGaussian(float x, int method, int& status);

// Adds the peak to the data over its region of interest. Status 21 for an unknown method, 25
// for maxSigmas outside 0 to 20. Sigmas that are not positive finite numbers, or a centre or
// intensity that is not finite, add nothing and give a warning (false, status untouched).
// `added` (optional) receives the number of pixels changed.
int MGaussian2D(const Gaussian2DPeak& peak, DataSet& data, int& status, long long* added = nullptr);

// Adds the polar peak (and its twin) over the data's region, with the same checks.
int MPolarGaussian2D(const PolarGaussianPeak& peak, DataSet& data, int& status,
                     long long* added = nullptr);

// The objective of the 2-D Gaussian fits: the model's region := parameter 0 (background),
// then a 2-D Gaussian of parameters 1 to 6 (centre X, centre Y, intensity, angle, sigma 1,
// sigma 2), maxSigmas 5, method 877. A sigma that is zero or not finite adds no peak; a
// negative sigma acts as its absolute value.
int MModelCalculate(const DataSet& data, const ModelParameters& parameters, DataSet& model,
                    int& status);

// What a fit reports beside the parameters.
struct GaussianFitReport {
  ModelResult result;
  int converged = 0;            // truth value
  std::vector<float> errors;    // one standard error per parameter (background first)
  float rms = 0.0f;             // sqrt(sum of squares / residuals)
};

// The fit of background + 2-D Gaussian over the data's region. `model` must be allocated
// (status 1019) and cover the region (status 1014); its region becomes the data's. Seven free
// parameters: background, centre X, centre Y, intensity, angle, sigma 1, sigma 2.
//
// A run that stops at the evaluation limit (100) is continued from where it stopped, three
// runs at most. Only a converged fit with finite values and positive sigmas changes anything: then the
// values are returned in place (sigma 1 the larger, angle in [-pi, pi)) and `model` holds the
// fitted model over the region. A fit that does not converge gives a warning saying so and
// leaves `background`, `peak` and `model` as they were (false, status good).
int MDiz2IGaussian(const DataSet& data, float& background, Gaussian2DPeak& peak, DataSet& model,
                   int& status, GaussianFitReport* report = nullptr);

// MDiz2IGaussian with the parameters' scales given (background, centre X, centre Y,
// intensity, angle, sigma 1, sigma 2).
int MFitGaussian2D(const DataSet& data, const float scales[7], float& background,
                   Gaussian2DPeak& peak, DataSet& model, int& status,
                   GaussianFitReport* report = nullptr);

// Start estimate around the pixel (x, y): a square window about it grows until the maximum
// inside exceeds 1.5 times the maximum on its border. False (status good) when the pixel is
// outside the region or the window reaches the whole region (or 1001 x 1001 pixels) first.
int MInit2DGaussian(int x, int y, const DataSet& data, PixelRegion& region, float& background,
                    Gaussian2DPeak& peak, int& status);

// Standard errors of the free parameters of a finished fit: from the finite-difference
// Jacobian J at the parameters, covariance = A^-1 (sum r_i^2 g_i g_i^T) A^-1 m / (m - n) with
// A = J^T J and g_i the row of J at residual i (the sandwich form, right also when the noise
// differs from pixel to pixel as counting noise does). Fixed parameters get 0. False (status good) when the
// problem is singular or has no degrees of freedom.
int MModelErrors(const DataSet& data, const ModelControl& control, ModelParameters& parameters,
                 DataSet& model, std::vector<float>& errors, int& status);

// An angle brought into [-pi, pi).
double MIntoPlusMinusPi(double angle);
