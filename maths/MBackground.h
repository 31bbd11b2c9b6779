// Background models: least-squares polynomials of scans and images (Chebyshev series built
// from Forsythe's orthogonal polynomials) and the elliptically symmetric background of a
// plane plus a radial profile, with its objective function for the fitting engine.
//
// Series convention: c0 / 2 + sum ck Tk(t), with t = ((x - minimum) - (maximum - x)) /
// (maximum - minimum) held to -1 .. 1; samples of data sets sit at pixel centres (index + 0.5).
#pragma once

#include <vector>

#include "data/DataSet.h"
#include "maths/MModelFit.h"

// Fits order n to N equally spaced samples first + k * step. Status 21: order below 0 or N
// below 2; 17: N below n + 1; 25: step 0 or less. `coefficients` holds n + 1 values. With
// `weighted` only samples of positive weight count (none: false, status 21), and fewer than
// n + 1 of them lower the order (the higher coefficients 0).
int MFitPolynomial1D(int order, int weighted, float first, float step, int n, const float* values,
                     const float* weights, float& minimum, float& maximum, float* coefficients,
                     float& rms, int& status);

// Adds the series at the positions firstIndex + i + 0.5 (i = 0 .. n - 1) to output[i].
int MPolynomial1D(int order, float minimum, float maximum, const float* coefficients,
                  int firstIndex, int n, float* output, int& status);

struct Polynomial2D {
  int orderX = 0, orderY = 0;
  float minimumX = 0.0f, maximumX = 1.0f, minimumY = 0.0f, maximumY = 1.0f;
  // orderX + 1 rows (one per X coefficient) of orderY + 1 Y coefficients.
  std::vector<float> coefficients;
  float At(int kx, int ky) const { return coefficients[static_cast<std::size_t>(kx) * (orderY + 1) + ky]; }
};

// Rows of the region fitted in X, each X coefficient then fitted across the rows in Y.
// maskFlag: masked pixels weigh 0; weighted: pixels weigh 1 / sqrt(variance) (without
// variances a note and an unweighted fit). Rows with fewer pixels of positive weight than
// orderX + 1 are left out (one information line counts them); with none left, a warning and
// false, the status untouched.
int MFitPolynomial2D(int orderX, int orderY, int maskFlag, int weighted, const DataSet& data,
                     Polynomial2D& polynomial, int& status);
// Adds the polynomial over the output's region.
int MPolynomial2D(const Polynomial2D& polynomial, DataSet& output, int& status);

// Adds the radial profile (bins of pixelSizeX) on ellipses about the beam centre to the
// model's region; beyond the profile's end its last value.
int MEllipticalFunction(const std::vector<float>& profile, float angle, float ellipticity,
                        DataSet& model, int& status);
// model := plane a + b x + c y plus the elliptical radial Chebyshev profile.
int MPlaneElliptical(float a, float b, float c, float angle, float ellipticity, int order,
                     float minimum, float maximum, const float* coefficients, DataSet& model,
                     int& status);

// Client words of MObFunPlaneEllipse: the order (int*), the 1-D fit's minimum and maximum
// (float*). Parameters: a, b, c, angle, ellipticity, order + 1 coefficients, and with five
// more the twin polar Gaussian (X, Y, intensity, radial sigma, angular sigma).
int MObFunPlaneEllipse(const DataSet& data, const ModelParameters& parameters, DataSet& model,
                       int& status);

// Adds intensity * exp(-dr^2 / 2 sr^2 - dphi^2 / 2 sphi^2) around the peak at (x, y), polar
// about the data's beam centre, and its twin at the opposite angle, within 5 sigmas.
int MAddTwinPolarGaussian(float x, float y, float intensity, float radialSigma,
                          float angularSigma, DataSet& model, int& status);
