// The least-squares engine that serves every fit of the system: circles and ellipses through
// points, the powder-ring geometry, peak models and background models.
//
// Levenberg-Marquardt with a trust region: QR factorisation with column pivoting, the
// Levenberg-Marquardt parameter by More's method and the regularised subproblem solved by
// Givens rotations (the MINPACK scheme of lmdif, qrfac, lmpar, qrsolv, enorm and fdjac2), in
// 32-bit floats with wider sums. Beside the published method:
//   - free parameters are optimised as v with real value = scale (v - 100) + offset, v
//     starting at 100, so a parameter's scale is the size of one unit step;
//   - one tolerance serves the reduction, step and gradient tests;
//   - finite differences alternate between forward and backward steps, from one Jacobian to
//     the next and across fits (MModelJacobianDirection);
//   - the lowest point met while forming derivatives is remembered and taken when the
//     predicted step turns out worse (the test-point rule);
//   - result codes are numbered as in ModelResultCode.
//
// A client supplies a data set, a model data set and an objective function that fills the
// model over the data's region of interest. With subtract data false the objective writes the
// residuals themselves (one per element of the region), as the point fits do.
#pragma once

#include <array>
#include <functional>
#include <vector>

#include "core/status.h"
#include "data/DataSet.h"

// Message levels of ModelControl::outputLevel.
enum ModelOutputLevel : int {
  kModelSilent = 981,
  kModelInitialFinal = 982,   // initial and final RMS
  kModelIterations = 983,     // every iteration and derivative
  kModelTestPoints = 984,     // and the test-point rule
};

enum ModelResultCode : int {
  kModelRunning = -999,
  kModelReduction = 0,        // relative reduction of the sum of squares within the tolerance
  kModelStep = -1,            // relative change of the parameters within the tolerance
  kModelReductionAndStep = -2,
  kModelGradient = -3,        // gradient norm within the tolerance
  kModelEvaluations = 4,      // evaluations reached the maximum
  kModelTooSmallReduction = 5,
  kModelTooSmallStep = 6,
  kModelTooSmallGradient = 7,
  kModelCancelled = 8,        // the progress routine asked to stop
};

inline constexpr float kModelMachinePrecision = 1.1920929e-7f;

struct ModelParameters;

// Fills `model` from the real (de-normalised) parameter values; false (with the status set)
// stops the fit.
using ObjectiveFunction = int (*)(const DataSet& data, const ModelParameters& parameters,
                                  DataSet& model, int& status);

struct ModelControl {
  int weighted = kFalse;         // residuals divided by the data's variances
  int subtractData = kTrue;      // residual = model - data; false: the model value itself
  int sameCoordinates = kTrue;   // false: model (0, 0) is the data's region start
  int maximumEvaluations = 100;
  float tolerance = 1.0e-5f;     // ftol, xtol and gtol alike
  float stepFactor = 100.0f;     // initial trust-region bound factor
  float differenceStep = 1.0e-5f;  // relative finite-difference precision (epsfcn)
  int outputLevel = kModelSilent;
  ObjectiveFunction objective = nullptr;
  // Called before every iteration with the evaluations so far and the sum of squares; false
  // stops the fit at its best point so far (kModelCancelled). Long fits show progress with it.
  std::function<bool(int evaluations, float sumOfSquares)> progress;
};

struct ModelParameters {
  int count = 0;
  int freeCount = 0;             // set by MModelMinimise
  std::vector<float> values;
  std::vector<int> fixed;        // non-zero: never changed
  std::vector<float> scales;
  std::vector<float> offsets;    // set by MModelMinimise to the starting values
  // Passed through untouched to the objective function (point sets, model descriptions).
  std::array<const void*, 4> clientWords{};

  // `n` parameters, all free, scale 1.
  void Resize(int n);
};

struct ModelResult {
  int code = kModelRunning;
  int evaluations = 0;
  float sumOfSquares = 0.0f;
};

// The entry point: normalises the free parameters, runs the fit, and turns the values back.
// An unallocated model data set is allocated with the data's size. False when the fit could
// not run: no valid data points (a message, status good), the model could not be evaluated
// at the start (a warning, status good), fewer residuals than free parameters (status 21),
// or a failure of the objective function or an allocation (status set).
int MModelMinimise(const DataSet& data, const ModelControl& control, ModelParameters& parameters,
                   DataSet& model, ModelResult& result, int& status);

// The Levenberg-Marquardt loop on normalised free parameters (values of free parameters are
// v around 100, offsets and free count already set).
int MModelNormalisedMinimise(const DataSet& data, const ModelControl& control,
                             ModelParameters& parameters, DataSet& model, ModelResult& result,
                             int& status);

// Evaluates the objective at the (normalised) parameters and builds the residual vector over
// the data's region, row by row, leaving out masked pixels when the mask is in use.
// `residuals` holds at least the region's element count.
int MModelResiduals(const DataSet& data, const ModelControl& control, ModelParameters& parameters,
                    DataSet& model, int& residualCount, float residuals[], double& sumOfSquares,
                    int& status);

// Finite-difference Jacobian (n columns of m) at the parameters, forward steps when
// `forward` is true. A perturbed evaluation whose sum of squares is below `bestTestSum`
// becomes the best test point (its parameter index, counted over all parameters). `work`
// holds m floats.
int MModelJacobian(const DataSet& data, const ModelControl& control, int forward,
                   int residualCount, ModelParameters& parameters, const float residuals[],
                   DataSet& model, float jacobian[], ModelResult& result, float work[],
                   int& bestTestIndex, double& bestTestSum, int& status);

// The direction of the next Jacobian's differences (true: forward). One value for the whole
// program, inverted after every Jacobian and kept between fits.
int MModelJacobianDirection();
void MSetModelJacobianDirection(int forward);

// QR factorisation with column pivoting of the m x n matrix a (column-major, column j at
// a + j m): R's strict upper triangle is left in a, its diagonal in rDiagonal, the Householder
// vectors below; columnNorms holds the norms of the original columns; work n floats.
int MFactorQR(int m, int n, float a[], int pivot[], float rDiagonal[], float columnNorms[],
              float work[], int& status);

// The Levenberg-Marquardt parameter for the bound delta (r: n x n upper triangle in an
// array with leading dimension ldr; qtb: the first n of Q^T b). On return x solves the
// regularised problem and sDiagonal holds the diagonal of its triangular factor.
int MLMParameter(int n, float r[], int ldr, const int pivot[], const float diag[],
                 const float qtb[], float delta, double& parameter, float x[], float sDiagonal[],
                 float work1[], float work2[], int& status);

// Solves the least-squares problem [R; D] x = [Q^T b; 0] by Givens rotations; the strict
// lower triangle of r receives the transposed factor.
int MQRSolve(int n, float r[], int ldr, const int pivot[], const float diag[], const float qtb[],
             float x[], float sDiagonal[], float work[], int& status);

// Overflow- and underflow-safe Euclidean norm of the first n of `dimension` elements. Status
// 1 when the dimension is below 1, 9 when n is below 1 or above the dimension.
int MEuclideanNorm(int dimension, int n, const float vector[], float& norm, int& status);
