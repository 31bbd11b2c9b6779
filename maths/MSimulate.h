// Synthetic data: the system's own random numbers, Poisson counting noise, and a powder
// pattern simulator that draws a calibrant's rings at a data set's geometry (tilt included).
// The simulated rings are the reference image that the integration is checked against.
#pragma once

#include <vector>

#include "data/DataSet.h"

// The next uniform deviate in [0, 1) from a small generator of fixed seeds, so a run of the
// program reproduces the same noise.
double MRandomUniform();
// Restarts the generator at its seeds (tests).
void MRandomRestart();
// An integer drawn from the Poisson distribution of the given mean (normal approximations from
// a mean of 30 on); 0 for a mean that is not positive (or NaN), INT_MAX for a mean at or
// beyond the integer range.
int MPoissonDeviate(double mean);
// MPoissonDeviate, except that a mean beyond the integer range gets the normal approximation
// as a real count (an infinite mean stays infinite).
double MPoissonDeviateReal(double mean);
// Replaces every element v of the region by a Poisson deviate of mean v; masks are ignored.
// Elements that are not finite numbers are left as they are, with one warning that counts them.
int MROIPoissonNoise(DataSet& dataSet, int& status);

struct PowderSimulation {
  std::vector<float> dSpacings;  // Angstrom, one ring each
  float fwhm = 0.0f;             // ring width, radians of 2-theta (full width at half maximum)
  float peakIntensity = 0.0f;    // height of a ring extrapolated to 2-theta = 0
  float fallOff = 0.0f;          // radians: ring heights fall as exp(-2theta / fallOff)
  float background = 0.0f;       // flat, added everywhere
  int poissonNoise = 0;          // truth value: counting noise over the result
};

// Fills the whole allocated array of `dataSet` with the rings at its geometry: every pixel
// centre gets background + sum of height_k exp(-(2theta - 2theta_k)^2 / (2 sigma^2)) with
// 2theta_k = 2 asin(lambda / 2 d_k). Rings the wavelength cannot reach are left out. The data
// become defined over the whole array with the region of interest covering it.
int MSimulatePowder(DataSet& dataSet, const PowderSimulation& simulation, int& status);
