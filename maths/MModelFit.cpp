#include "maths/MModelFit.h"

#include <algorithm>
#include <cmath>

#include "core/status.h"

namespace {

constexpr double kDwarf = 1.1754944e-38;
constexpr double kRDwarf = 3.834e-20;
constexpr double kRGiant = 1.304e19;

// The norm without argument checks (the engine's own calls).
double Norm(int n, const float x[]) {
  double s1 = 0.0, s2 = 0.0, s3 = 0.0, x1max = 0.0, x3max = 0.0;
  const double agiant = kRGiant / std::max(n, 1);
  for (int i = 0; i < n; ++i) {
    const double xabs = std::fabs(static_cast<double>(x[i]));
    if (xabs > kRDwarf && xabs < agiant) {
      s2 += xabs * xabs;
    } else if (xabs > kRDwarf) {
      if (xabs > x1max) {
        s1 = 1.0 + s1 * (x1max / xabs) * (x1max / xabs);
        x1max = xabs;
      } else {
        s1 += (xabs / x1max) * (xabs / x1max);
      }
    } else if (xabs > x3max) {
      s3 = 1.0 + s3 * (x3max / xabs) * (x3max / xabs);
      x3max = xabs;
    } else if (xabs != 0.0) {
      s3 += (xabs / x3max) * (xabs / x3max);
    }
  }
  if (s1 != 0.0) return x1max * std::sqrt(s1 + (s2 / x1max) / x1max);
  if (s2 != 0.0) {
    if (s2 >= x3max) return std::sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)));
    return std::sqrt(x3max * ((s2 / x3max) + (x3max * s3)));
  }
  return x3max * std::sqrt(s3);
}

int gForward = kTrue;

// Real value of a free normalised value.
inline float Denormalise(const ModelParameters& p, int i, float v) {
  return p.scales[i] * (v - 100.0f) + p.offsets[i];
}

// The finite-difference step of a normalised value.
inline float DifferenceStep(float value, float s, int forward) {
  float h = s * std::fabs(value);
  if (h == 0.0f) h = s;
  return forward ? h : -h;
}

float StepRoot(const ModelControl& c) {
  return std::sqrt(std::max(c.differenceStep, kModelMachinePrecision));
}

void Say(int level, const ModelControl& c, const std::string& text, int& status) {
  if (c.outputLevel >= level) IInfo(text, status);
}

}  // namespace

void ModelParameters::Resize(int n) {
  count = n;
  freeCount = n;
  values.assign(static_cast<std::size_t>(n), 0.0f);
  fixed.assign(static_cast<std::size_t>(n), 0);
  scales.assign(static_cast<std::size_t>(n), 1.0f);
  offsets.assign(static_cast<std::size_t>(n), 0.0f);
}

int MModelJacobianDirection() { return gForward; }
void MSetModelJacobianDirection(int forward) { gForward = forward ? kTrue : kFalse; }

int MEuclideanNorm(int dimension, int n, const float vector[], float& norm, int& status) {
  static constexpr IRoutine kR{"MEuclideanNorm", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (dimension < 1) return IFail(kR, kStatusDim1Illegal, status);
  if (n < 1 || n > dimension) return IFail(kR, kStatusROI1, status);
  norm = static_cast<float>(Norm(n, vector));
  return kTrue;
}

int MFactorQR(int m, int n, float a[], int pivot[], float rDiagonal[], float columnNorms[],
              float work[], int& status) {
  static constexpr IRoutine kR{"MFactorQR", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  auto A = [&](int i, int j) -> float& {
    return a[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * m];
  };
  for (int j = 0; j < n; ++j) {
    columnNorms[j] = static_cast<float>(Norm(m, &A(0, j)));
    rDiagonal[j] = columnNorms[j];
    work[j] = rDiagonal[j];
    pivot[j] = j;
  }
  const int minmn = std::min(m, n);
  for (int j = 0; j < minmn; ++j) {
    int kmax = j;
    for (int k = j; k < n; ++k)
      if (rDiagonal[k] > rDiagonal[kmax]) kmax = k;
    if (kmax != j) {
      for (int i = 0; i < m; ++i) std::swap(A(i, j), A(i, kmax));
      rDiagonal[kmax] = rDiagonal[j];
      work[kmax] = work[j];
      std::swap(pivot[j], pivot[kmax]);
    }
    double ajnorm = Norm(m - j, &A(j, j));
    if (ajnorm != 0.0) {
      if (A(j, j) < 0.0f) ajnorm = -ajnorm;
      for (int i = j; i < m; ++i) A(i, j) = static_cast<float>(A(i, j) / ajnorm);
      A(j, j) += 1.0f;
      for (int k = j + 1; k < n; ++k) {
        double sum = 0.0;
        for (int i = j; i < m; ++i) sum += static_cast<double>(A(i, j)) * A(i, k);
        const double temp = sum / A(j, j);
        for (int i = j; i < m; ++i) A(i, k) = static_cast<float>(A(i, k) - temp * A(i, j));
        if (rDiagonal[k] != 0.0f) {
          const double t = A(j, k) / rDiagonal[k];
          rDiagonal[k] = static_cast<float>(rDiagonal[k] * std::sqrt(std::max(0.0, 1.0 - t * t)));
          const double ratio = work[k] != 0.0f ? rDiagonal[k] / work[k] : 0.0;
          if (0.05 * ratio * ratio <= kModelMachinePrecision) {
            rDiagonal[k] = static_cast<float>(j + 1 < m ? Norm(m - j - 1, &A(j + 1, k)) : 0.0);
            work[k] = rDiagonal[k];
          }
        }
      }
    }
    rDiagonal[j] = static_cast<float>(-ajnorm);
  }
  return kTrue;
}

int MQRSolve(int n, float r[], int ldr, const int pivot[], const float diag[], const float qtb[],
             float x[], float sDiagonal[], float work[], int& status) {
  static constexpr IRoutine kR{"MQRSolve", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  auto R = [&](int i, int j) -> float& {
    return r[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * ldr];
  };
  for (int j = 0; j < n; ++j) {
    for (int i = j; i < n; ++i) R(i, j) = R(j, i);
    x[j] = R(j, j);
    work[j] = qtb[j];
  }
  for (int j = 0; j < n; ++j) {
    const int l = pivot[j];
    if (diag[l] != 0.0f) {
      for (int k = j; k < n; ++k) sDiagonal[k] = 0.0f;
      sDiagonal[j] = diag[l];
      double qtbpj = 0.0;
      for (int k = j; k < n; ++k) {
        if (sDiagonal[k] == 0.0f) continue;
        double sine, cosine;
        if (std::fabs(R(k, k)) < std::fabs(sDiagonal[k])) {
          const double cotangent = static_cast<double>(R(k, k)) / sDiagonal[k];
          sine = 0.5 / std::sqrt(0.25 + 0.25 * cotangent * cotangent);
          cosine = sine * cotangent;
        } else {
          const double tangent = static_cast<double>(sDiagonal[k]) / R(k, k);
          cosine = 0.5 / std::sqrt(0.25 + 0.25 * tangent * tangent);
          sine = cosine * tangent;
        }
        R(k, k) = static_cast<float>(cosine * R(k, k) + sine * sDiagonal[k]);
        const double temp = cosine * work[k] + sine * qtbpj;
        qtbpj = -sine * work[k] + cosine * qtbpj;
        work[k] = static_cast<float>(temp);
        for (int i = k + 1; i < n; ++i) {
          const double t = cosine * R(i, k) + sine * sDiagonal[i];
          sDiagonal[i] = static_cast<float>(-sine * R(i, k) + cosine * sDiagonal[i]);
          R(i, k) = static_cast<float>(t);
        }
      }
    }
    sDiagonal[j] = R(j, j);
    R(j, j) = x[j];
  }
  int nsing = n;
  for (int j = 0; j < n; ++j) {
    if (sDiagonal[j] == 0.0f && nsing == n) nsing = j;
    if (nsing < n) work[j] = 0.0f;
  }
  for (int j = nsing - 1; j >= 0; --j) {
    double sum = 0.0;
    for (int i = j + 1; i < nsing; ++i) sum += static_cast<double>(R(i, j)) * work[i];
    work[j] = static_cast<float>((work[j] - sum) / sDiagonal[j]);
  }
  for (int j = 0; j < n; ++j) x[pivot[j]] = work[j];
  return kTrue;
}

int MLMParameter(int n, float r[], int ldr, const int pivot[], const float diag[],
                 const float qtb[], float delta, double& par, float x[], float sDiagonal[],
                 float work1[], float work2[], int& status) {
  static constexpr IRoutine kR{"MLMParameter", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  auto R = [&](int i, int j) -> float& {
    return r[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * ldr];
  };
  // Gauss-Newton direction; a singular R gives a least-squares solution.
  int nsing = n;
  for (int j = 0; j < n; ++j) {
    work1[j] = qtb[j];
    if (R(j, j) == 0.0f && nsing == n) nsing = j;
    if (nsing < n) work1[j] = 0.0f;
  }
  for (int j = nsing - 1; j >= 0; --j) {
    work1[j] /= R(j, j);
    const double temp = work1[j];
    for (int i = 0; i < j; ++i) work1[i] = static_cast<float>(work1[i] - R(i, j) * temp);
  }
  for (int j = 0; j < n; ++j) x[pivot[j]] = work1[j];

  for (int j = 0; j < n; ++j) work2[j] = diag[j] * x[j];
  double dxnorm = Norm(n, work2);
  double fp = dxnorm - delta;
  if (fp <= 0.1 * delta) {
    par = 0.0;
    return kTrue;
  }
  // Lower bound (when R has full rank) and upper bound of the parameter.
  double parl = 0.0;
  if (nsing >= n) {
    for (int j = 0; j < n; ++j) {
      const int l = pivot[j];
      work1[j] = static_cast<float>(diag[l] * (work2[l] / dxnorm));
    }
    for (int j = 0; j < n; ++j) {
      double sum = 0.0;
      for (int i = 0; i < j; ++i) sum += static_cast<double>(R(i, j)) * work1[i];
      work1[j] = static_cast<float>((work1[j] - sum) / R(j, j));
    }
    const double temp = Norm(n, work1);
    parl = ((fp / delta) / temp) / temp;
  }
  for (int j = 0; j < n; ++j) {
    double sum = 0.0;
    for (int i = 0; i <= j; ++i) sum += static_cast<double>(R(i, j)) * qtb[i];
    work1[j] = static_cast<float>(sum / diag[pivot[j]]);
  }
  const double gnorm = Norm(n, work1);
  double paru = gnorm / delta;
  if (paru == 0.0) paru = kDwarf / std::min(static_cast<double>(delta), 0.1);
  par = std::min(std::max(par, parl), paru);
  if (par == 0.0) par = gnorm / dxnorm;

  for (int iteration = 1;; ++iteration) {
    if (par == 0.0) par = std::max(kDwarf, 0.001 * paru);
    const double root = std::sqrt(par);
    for (int j = 0; j < n; ++j) work1[j] = static_cast<float>(root * diag[j]);
    if (!MQRSolve(n, r, ldr, pivot, work1, qtb, x, sDiagonal, work2, status)) return kFalse;
    for (int j = 0; j < n; ++j) work2[j] = diag[j] * x[j];
    dxnorm = Norm(n, work2);
    const double previous = fp;
    fp = dxnorm - delta;
    if (std::fabs(fp) <= 0.1 * delta || (parl == 0.0 && fp <= previous && previous < 0.0) ||
        iteration == 10) {
      break;
    }
    // Newton correction.
    for (int j = 0; j < n; ++j) {
      const int l = pivot[j];
      work1[j] = static_cast<float>(diag[l] * (work2[l] / dxnorm));
    }
    for (int j = 0; j < n; ++j) {
      work1[j] /= sDiagonal[j];
      const double temp = work1[j];
      for (int i = j + 1; i < n; ++i) work1[i] = static_cast<float>(work1[i] - R(i, j) * temp);
    }
    const double temp = Norm(n, work1);
    const double parc = ((fp / delta) / temp) / temp;
    if (fp > 0.0) parl = std::max(parl, par);
    if (fp < 0.0) paru = std::min(paru, par);
    par = std::max(parl, par + parc);
  }
  return kTrue;
}

int MModelResiduals(const DataSet& data, const ModelControl& c, ModelParameters& p,
                    DataSet& model, int& residualCount, float residuals[], double& sumOfSquares,
                    int& status) {
  static constexpr IRoutine kR{"MModelResiduals", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("MModelResiduals: data", data, status) ||
      !ICheckData("MModelResiduals: model", model, status)) {
    return kFalse;
  }
  // The objective sees real values; the normalised ones come back exactly as they were (a
  // round trip through the real values would move them by a rounding at every evaluation).
  thread_local std::vector<float> normalised;
  normalised.assign(p.values.begin(), p.values.begin() + p.count);
  for (int i = 0; i < p.count; ++i)
    if (!p.fixed[i]) p.values[i] = Denormalise(p, i, p.values[i]);
  const int ok = c.objective(data, p, model, status);
  for (int i = 0; i < p.count; ++i)
    if (!p.fixed[i]) p.values[i] = normalised[static_cast<std::size_t>(i)];
  if (!ok || status != kStatusGood) {
    if (status == kStatusGood) return IFail(kR, kStatusOther, status);
    return kFalse;
  }
  const unsigned char* mask =
      (data.maskInUse && data.maskAllocated && data.mask) ? data.mask.get() : nullptr;
  const bool weighted = c.weighted && data.variancesAllocated && data.variances;
  int m = 0;
  double sum = 0.0;
  for (int y = data.startY; y <= data.endY; ++y) {
    for (int x = data.startX; x <= data.endX; ++x) {
      const std::size_t index = IIndex(data, x, y);
      if (mask && mask[index]) continue;
      // A pixel without a positive variance has no weight to give: it is left out.
      if (weighted && !(data.variances[index] > 0.0f)) continue;
      const int mx = c.sameCoordinates ? x : x - data.startX;
      const int my = c.sameCoordinates ? y : y - data.startY;
      float value = model.data[IIndex(model, mx, my)];
      if (c.subtractData) value -= data.data[index];
      if (weighted) value /= data.variances[index];
      residuals[m++] = value;
      sum += static_cast<double>(value) * value;
    }
  }
  residualCount = m;
  sumOfSquares = sum;
  return kTrue;
}

int MModelJacobian(const DataSet& data, const ModelControl& c, int forward, int m,
                   ModelParameters& p, const float residuals[], DataSet& model, float jacobian[],
                   ModelResult& result, float work[], int& bestTestIndex, double& bestTestSum,
                   int& status) {
  static constexpr IRoutine kR{"MModelJacobian", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  Say(kModelIterations, c, "MModelJacobian: Calculating derivative matrix", status);
  const float s = StepRoot(c);
  int column = 0;
  for (int j = 0; j < p.count; ++j) {
    if (p.fixed[j]) continue;
    const float saved = p.values[j];
    const float h = DifferenceStep(saved, s, forward);
    p.values[j] = saved + h;
    const float step = p.values[j] - saved;  // the step the float really made
    int count = 0;
    double sum = 0.0;
    const int ok = MModelResiduals(data, c, p, model, count, work, sum, status);
    p.values[j] = saved;
    if (!ok) return kFalse;
    if (count != m) return IFail(kR, kStatusOther, status);
    Say(kModelIterations, c,
        IFormat("Parameter %i, RMS residual = %g", j + 1, std::sqrt(sum / std::max(m, 1))),
        status);
    float* col = jacobian + static_cast<std::size_t>(column) * m;
    const double divisor = step != 0.0f ? step : h;
    for (int i = 0; i < m; ++i) col[i] = static_cast<float>((work[i] - residuals[i]) / divisor);
    if (sum < bestTestSum) {
      bestTestSum = sum;
      bestTestIndex = j;
    }
    ++column;
  }
  (void)result;
  Say(kModelIterations, c, "MModelJacobian: Derivative matrix calculated", status);
  return kTrue;
}

int MModelNormalisedMinimise(const DataSet& data, const ModelControl& c, ModelParameters& p,
                             DataSet& model, ModelResult& result, int& status) {
  static constexpr IRoutine kR{"MModelNormalisedMinimise", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("MModelNormalisedMinimise: data", data, status) ||
      !ICheckData("MModelNormalisedMinimise: model", model, status)) {
    return kFalse;
  }
  if (!c.objective) return IFail(kR, kStatusOther, status);
  // The model must hold every element the residuals read from it.
  if (!model.data || !data.data || data.endX < data.startX || data.endY < data.startY ||
      (c.sameCoordinates ? (model.dimX <= data.endX || model.dimY <= data.endY)
                         : (model.dimX <= data.endX - data.startX ||
                            model.dimY <= data.endY - data.startY))) {
    return IFail(kR, kStatusROI2, status);
  }
  result.code = kModelRunning;
  result.evaluations = 0;

  const std::int64_t roi = static_cast<std::int64_t>(data.endX - data.startX + 1) *
                           static_cast<std::int64_t>(data.endY - data.startY + 1);
  int n = 0;
  for (int i = 0; i < p.count; ++i)
    if (!p.fixed[i]) ++n;
  const int nn = std::max(n, 1);

  IArray<float> fvec, wa4, trial;
  if (!IAllocateMemory("MModelNormalisedMinimise: RESIDUALS:", roi, fvec, status) ||
      !IAllocateMemory("MModelNormalisedMinimise: WORK4:", roi, wa4, status) ||
      !IAllocateMemory("MModelNormalisedMinimise: TRIAL:", std::max(p.count, 1), trial, status)) {
    return kFalse;
  }

  // The starting point.
  int m = 0;
  double sum = 0.0;
  if (!MModelResiduals(data, c, p, model, m, fvec.get(), sum, status)) return kFalse;
  result.evaluations = 1;
  result.sumOfSquares = static_cast<float>(sum);
  if (m <= 0) {
    IInfo("Cannot fit model as there are no valid data points", status);
    return kFalse;
  }
  if (m < n) {
    IWarning(IFormat("MModelNormalisedMinimise: %i data points cannot fit %i free parameters", m,
                     n),
             status);
    return IFail(kR, kStatusIntRange1, status);
  }
  if (!std::isfinite(sum)) {
    IWarning("MModelNormalisedMinimise: The model cannot be evaluated at the starting values",
             status);
    return kFalse;
  }
  Say(kModelInitialFinal, c, IFormat("Initial RMS residual = %g", std::sqrt(sum / m)), status);

  auto finish = [&]() {
    Say(kModelInitialFinal, c,
        IFormat("Final average mis-fit per element = %g",
                std::sqrt(static_cast<double>(result.sumOfSquares) / m)),
        status);
    return kTrue;
  };
  if (n == 0) {
    result.code = kModelReduction;  // nothing free: the model stands as it is
    return finish();
  }

  IArray<float> fjac, diag, qtf, wa1, wa2, wa3;
  IArray<int> ipvt;
  if (!IAllocateMemory("MModelNormalisedMinimise: JACOBIAN:",
                       static_cast<std::int64_t>(n) * m, fjac, status) ||
      !IAllocateMemory("MModelNormalisedMinimise: DIAG:", nn, diag, status) ||
      !IAllocateMemory("MModelNormalisedMinimise: PERMUTATION:", nn, ipvt, status) ||
      !IAllocateMemory("MModelNormalisedMinimise: QTF:", nn, qtf, status) ||
      !IAllocateMemory("MModelNormalisedMinimise: WORK1:", nn, wa1, status) ||
      !IAllocateMemory("MModelNormalisedMinimise: WORK2:", nn, wa2, status) ||
      !IAllocateMemory("MModelNormalisedMinimise: WORK3:", nn, wa3, status)) {
    return kFalse;
  }
  std::vector<int> freeIndex;
  for (int i = 0; i < p.count; ++i)
    if (!p.fixed[i]) freeIndex.push_back(i);
  auto J = [&](int i, int j) -> float& {
    return fjac[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * m];
  };
  auto xnormOf = [&]() {
    for (int j = 0; j < n; ++j) wa3[j] = diag[j] * p.values[freeIndex[j]];
    return Norm(n, wa3.get());
  };
  auto residualsAt = [&](float out[], double& s) {
    int count = 0;
    if (!MModelResiduals(data, c, p, model, count, out, s, status)) return kFalse;
    if (count != m) return IFail(kR, kStatusOther, status);
    return kTrue;
  };

  const float tol = c.tolerance;
  const float s = StepRoot(c);
  double bestTestSum = sum;
  int bestTestIndex = -1;
  double fnorm = Norm(m, fvec.get());
  double par = 0.0, delta = 0.0, xnorm = 0.0;
  int iteration = 1;

  // Moves the parameter of the best test point to where that point was evaluated (the step of
  // the last Jacobian, whose direction is the inverse of the next one).
  auto moveToTestPoint = [&]() {
    Say(kModelTestPoints, c, "Test position was lower than predicted position", status);
    float& v = p.values[bestTestIndex];
    v += DifferenceStep(v, s, !gForward);
    bestTestIndex = -1;
    result.sumOfSquares = static_cast<float>(bestTestSum);
  };

  for (;;) {
    if (c.progress && !c.progress(result.evaluations, result.sumOfSquares)) {
      result.code = kModelCancelled;
      return finish();
    }
    // Jacobian and its factorisation.
    if (!MModelJacobian(data, c, gForward, m, p, fvec.get(), model, fjac.get(), result,
                        wa4.get(), bestTestIndex, bestTestSum, status)) {
      return kFalse;
    }
    gForward = gForward ? kFalse : kTrue;
    result.evaluations += n;
    if (!MFactorQR(m, n, fjac.get(), ipvt.get(), wa1.get(), wa2.get(), wa3.get(), status)) {
      return kFalse;
    }
    if (iteration == 1) {
      for (int j = 0; j < n; ++j) diag[j] = wa2[j] != 0.0f ? wa2[j] : 1.0f;
      xnorm = xnormOf();
      delta = c.stepFactor * xnorm;
      if (delta == 0.0) delta = c.stepFactor;
    }
    // Q^T residuals, the first n kept.
    for (int i = 0; i < m; ++i) wa4[i] = fvec[i];
    for (int j = 0; j < n; ++j) {
      if (J(j, j) != 0.0f) {
        double t = 0.0;
        for (int i = j; i < m; ++i) t += static_cast<double>(J(i, j)) * wa4[i];
        const double temp = -t / J(j, j);
        for (int i = j; i < m; ++i) wa4[i] = static_cast<float>(wa4[i] + J(i, j) * temp);
      }
      J(j, j) = wa1[j];
      qtf[j] = wa4[j];
    }
    // Scaled gradient norm.
    double gnorm = 0.0;
    if (fnorm != 0.0) {
      for (int j = 0; j < n; ++j) {
        const int l = ipvt[j];
        if (wa2[l] != 0.0f) {
          double t = 0.0;
          for (int i = 0; i <= j; ++i) t += J(i, j) * (qtf[i] / fnorm);
          gnorm = std::max(gnorm, std::fabs(t / wa2[l]));
        }
      }
    }
    if (gnorm <= tol) {
      result.code = kModelGradient;
      if (bestTestIndex >= 0 && bestTestSum < result.sumOfSquares) {
        moveToTestPoint();
        double s2 = 0.0;
        if (!residualsAt(fvec.get(), s2)) return kFalse;
        result.sumOfSquares = static_cast<float>(s2);
      }
      return finish();
    }
    for (int j = 0; j < n; ++j) diag[j] = std::max(diag[j], wa2[j]);

    double ratio = 0.0;
    do {
      if (!MLMParameter(n, fjac.get(), m, ipvt.get(), diag.get(), qtf.get(),
                        static_cast<float>(delta), par, wa1.get(), wa2.get(), wa3.get(),
                        wa4.get(), status)) {
        return kFalse;
      }
      // The trial point.
      for (int i = 0; i < p.count; ++i) trial[i] = p.values[i];
      for (int j = 0; j < n; ++j) {
        wa1[j] = -wa1[j];
        trial[freeIndex[j]] = p.values[freeIndex[j]] + wa1[j];
        wa3[j] = diag[j] * wa1[j];
      }
      const double pnorm = Norm(n, wa3.get());
      if (iteration == 1) delta = std::min(delta, pnorm);

      std::vector<float> current(p.values);
      for (int i = 0; i < p.count; ++i) p.values[i] = trial[i];
      double sum1 = 0.0;
      const int ok = residualsAt(wa4.get(), sum1);
      for (int i = 0; i < p.count; ++i) p.values[i] = current[i];
      if (!ok) return kFalse;
      result.evaluations += 1;
      const double fnorm1 = std::sqrt(sum1);
      Say(kModelIterations, c, IFormat("Predicted position RMS residual = %g", std::sqrt(sum1 / m)),
          status);

      double actred = -1.0;
      if (0.1 * fnorm1 < fnorm) actred = 1.0 - (fnorm1 / fnorm) * (fnorm1 / fnorm);
      for (int j = 0; j < n; ++j) {
        wa3[j] = 0.0f;
        const double temp = wa1[ipvt[j]];
        for (int i = 0; i <= j; ++i) wa3[i] = static_cast<float>(wa3[i] + J(i, j) * temp);
      }
      const double temp1 = Norm(n, wa3.get()) / fnorm;
      const double temp2 = std::sqrt(par) * pnorm / fnorm;
      const double prered = temp1 * temp1 + temp2 * temp2 / 0.5;
      const double dirder = -(temp1 * temp1 + temp2 * temp2);
      ratio = prered != 0.0 ? actred / prered : 0.0;

      // The trust region.
      if (ratio <= 0.25) {
        double t = actred >= 0.0 ? 0.5 : 0.5 * dirder / (dirder + 0.5 * actred);
        if (0.1 * fnorm1 >= fnorm || t < 0.1) t = 0.1;
        delta = t * std::min(delta, pnorm / 0.1);
        par = par / t;
      } else if (par == 0.0 || ratio >= 0.75) {
        delta = pnorm / 0.5;
        par = 0.5 * par;
      }

      const bool worse = !(sum1 <= bestTestSum);
      if (!worse) {
        if (ratio >= 1.0e-4) {
          for (int j = 0; j < n; ++j) p.values[freeIndex[j]] = trial[freeIndex[j]];
          for (int i = 0; i < m; ++i) fvec[i] = wa4[i];
          fnorm = fnorm1;
          result.sumOfSquares = static_cast<float>(sum1);
          xnorm = xnormOf();
          ++iteration;
          bestTestSum = sum1;
          bestTestIndex = -1;
          Say(kModelIterations, c,
              IFormat("Iteration = %i, RMS residual = %g", iteration, std::sqrt(sum1 / m)),
              status);
        }
        const bool reduction =
            std::fabs(actred) <= tol && prered <= tol && 0.5 * ratio <= 1.0;
        if (reduction) result.code = kModelReduction;
        if (delta <= tol * xnorm) result.code = kModelStep;
        if (reduction && result.code == kModelStep) result.code = kModelReductionAndStep;
        if (result.code != kModelRunning) return finish();
        if (result.evaluations >= c.maximumEvaluations) result.code = kModelEvaluations;
        if (std::fabs(actred) <= kModelMachinePrecision && prered <= kModelMachinePrecision &&
            0.5 * ratio <= 1.0) {
          result.code = kModelTooSmallReduction;
        }
        if (delta <= kModelMachinePrecision * xnorm) result.code = kModelTooSmallStep;
        if (gnorm <= kModelMachinePrecision) result.code = kModelTooSmallGradient;
        if (result.code != kModelRunning) return finish();
      } else if (bestTestIndex >= 0) {
        // A point met while forming the derivatives is lower than the prediction: go there.
        moveToTestPoint();
        double s2 = 0.0;
        if (!residualsAt(fvec.get(), s2)) return kFalse;
        fnorm = std::sqrt(s2);
        result.sumOfSquares = static_cast<float>(s2);
        bestTestSum = s2;
        xnorm = xnormOf();
        Say(kModelIterations, c,
            IFormat("Iteration = %i, RMS residual = %g", iteration, std::sqrt(s2 / m)), status);
        ratio = 1.0;
        if (result.evaluations >= c.maximumEvaluations) {
          result.code = kModelEvaluations;
          return finish();
        }
      } else {
        // The trial was worse: the model data set shows the current parameters again.
        double s2 = 0.0;
        if (!residualsAt(wa4.get(), s2)) return kFalse;
        result.sumOfSquares = static_cast<float>(s2);
        // However the trust region shrinks, a fit never runs past its evaluation limit.
        if (result.evaluations >= c.maximumEvaluations) {
          result.code = kModelEvaluations;
          return finish();
        }
      }
    } while (ratio < 1.0e-4);
  }
}

int MModelMinimise(const DataSet& data, const ModelControl& c, ModelParameters& p,
                   DataSet& model, ModelResult& result, int& status) {
  static constexpr IRoutine kR{"MModelMinimise", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("MModelMinimise: data", data, status)) return kFalse;
  if (p.count < 0 || static_cast<int>(p.values.size()) < p.count ||
      static_cast<int>(p.fixed.size()) < p.count || static_cast<int>(p.scales.size()) < p.count) {
    return IFail(kR, kStatusIntRange1, status);
  }
  p.offsets.resize(static_cast<std::size_t>(p.count), 0.0f);
  if (!model.dataAllocated || !model.data) {
    if (!IAllocateData(data.numX, data.numY, model, status)) return kFalse;
    IDefineWholeImage(model, data.numX, data.numY);
    ISetText(model.title, "Minimise Fit Model");
    model.startX = data.startX;
    model.startY = data.startY;
    model.endX = data.endX;
    model.endY = data.endY;
  }
  p.freeCount = 0;
  for (int i = 0; i < p.count; ++i) {
    if (p.fixed[i]) continue;
    // A zero scale would make every step nothing; one unit stands in for it.
    if (!(p.scales[i] != 0.0f) || !std::isfinite(p.scales[i])) p.scales[i] = 1.0f;
    p.offsets[i] = p.values[i];
    p.values[i] = 100.0f;
    ++p.freeCount;
  }
  const int ok = MModelNormalisedMinimise(data, c, p, model, result, status);
  for (int i = 0; i < p.count; ++i)
    if (!p.fixed[i]) p.values[i] = Denormalise(p, i, p.values[i]);
  return ok;
}
