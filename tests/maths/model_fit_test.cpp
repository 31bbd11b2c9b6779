// The least-squares engine on problems of known answer: a straight line (exact linear least
// squares), an exponential decay, the Rosenbrock valley written as residuals, a 2-D image
// model with a masked region; fixed parameters, the refusal of too few residuals, result codes
// and the alternating difference direction.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/status.h"
#include "maths/MModelFit.h"
#include "tests/support/TestSupport.h"

namespace {

// A one-row data set of the values.
void Row(DataSet& d, const std::vector<float>& values) {
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(static_cast<int>(values.size()), 1, d, status));
  IDefineWholeImage(d, static_cast<int>(values.size()), 1);
  for (std::size_t i = 0; i < values.size(); ++i) d.data[i] = values[i];
}

// model(x) = a + b x over the data's row.
int Line(const DataSet& data, const ModelParameters& p, DataSet& model, int& status) {
  (void)status;
  for (int x = data.startX; x <= data.endX; ++x)
    model.data[static_cast<std::size_t>(x)] = p.values[0] + p.values[1] * static_cast<float>(x);
  return kTrue;
}

// model(x) = A exp(-x / tau) + c.
int Decay(const DataSet& data, const ModelParameters& p, DataSet& model, int& status) {
  (void)status;
  for (int x = data.startX; x <= data.endX; ++x)
    model.data[static_cast<std::size_t>(x)] =
        p.values[0] * std::exp(-static_cast<float>(x) / p.values[1]) + p.values[2];
  return kTrue;
}

// Rosenbrock's function as two residuals: 10 (y - x^2) and 1 - x (minimum at (1, 1)).
int Rosenbrock(const DataSet& data, const ModelParameters& p, DataSet& model, int& status) {
  (void)data;
  (void)status;
  const float x = p.values[0], y = p.values[1];
  model.data[0] = 10.0f * (y - x * x);
  model.data[1] = 1.0f - x;
  return kTrue;
}

// A 2-D Gaussian spot on an image: height, centre x, centre y, width, background.
int Spot(const DataSet& data, const ModelParameters& p, DataSet& model, int& status) {
  (void)status;
  for (int y = data.startY; y <= data.endY; ++y)
    for (int x = data.startX; x <= data.endX; ++x) {
      const float dx = x + 0.5f - p.values[1], dy = y + 0.5f - p.values[2];
      model.data[IIndex(model, x, y)] =
          p.values[0] * std::exp(-(dx * dx + dy * dy) / (2.0f * p.values[3] * p.values[3])) +
          p.values[4];
    }
  return kTrue;
}

// Residual = (real value)^2: its difference quotient shows the step taken.
int Square(const DataSet& data, const ModelParameters& p, DataSet& model, int& status) {
  (void)data;
  (void)status;
  model.data[0] = p.values[0] * p.values[0];
  return kTrue;
}

// Collects the message lines.
class Lines : public IMessageSink {
 public:
  void AddLine(const std::string& line) override { lines.push_back(line); }
  void MessageBox(const std::string&, const std::string&, IBoxIcon, bool) override {}
  IAnswer Question(const std::string&, bool) override { return IAnswer::kYes; }
  bool Has(const std::string& text) const {
    for (const auto& l : lines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines;
};

int Failing(const DataSet&, const ModelParameters&, DataSet&, int& status) {
  status = kStatusOther;
  return kFalse;
}

class ModelFit : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  ModelControl Control(ObjectiveFunction f) {
    ModelControl c;
    c.objective = f;
    c.maximumEvaluations = 400;
    c.tolerance = 1.0e-6f;
    c.stepFactor = 100.0f;
    c.differenceStep = 1.0e-6f;
    return c;
  }
  int status = kStatusGood;
};

TEST_F(ModelFit, AStraightLineGetsTheExactLeastSquaresAnswer) {
  // y = 2 + 0.5 x with alternating +-0.1: the least-squares line is known exactly.
  std::vector<float> y;
  for (int x = 0; x < 20; ++x) y.push_back(2.0f + 0.5f * x + (x % 2 ? 0.1f : -0.1f));
  DataSet data, model;
  Row(data, y);
  // Closed form.
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int x = 0; x < 20; ++x) {
    sx += x;
    sy += y[x];
    sxx += x * x;
    sxy += x * y[x];
  }
  const double b = (20 * sxy - sx * sy) / (20 * sxx - sx * sx), a = (sy - b * sx) / 20;

  ModelParameters p;
  p.Resize(2);
  p.values = {0.0f, 0.0f};
  p.scales = {0.1f, 0.01f};
  ModelResult r;
  ASSERT_TRUE(MModelMinimise(data, Control(Line), p, model, r, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_NEAR(p.values[0], a, 1e-3);
  EXPECT_NEAR(p.values[1], b, 1e-4);
  EXPECT_EQ(p.freeCount, 2);
  EXPECT_FLOAT_EQ(p.offsets[0], 0.0f);  // the starting values
  EXPECT_GE(r.code, -3);
  EXPECT_LE(r.code, 7);
  EXPECT_NE(r.code, kModelRunning);
  EXPECT_GT(r.evaluations, 3);
  EXPECT_NEAR(r.sumOfSquares, 20 * 0.01, 0.02);
  // The unallocated model was made with the data's shape.
  EXPECT_TRUE(model.dataAllocated);
  EXPECT_EQ(model.numX, 20);
  EXPECT_EQ(model.title, "Minimise Fit Model");
}

TEST_F(ModelFit, AnExponentialDecayConvergesToItsParameters) {
  std::vector<float> y;
  for (int x = 0; x < 60; ++x) y.push_back(50.0f * std::exp(-x / 12.0f) + 3.0f);
  DataSet data, model;
  Row(data, y);
  ModelParameters p;
  p.Resize(3);
  p.values = {30.0f, 6.0f, 0.0f};
  p.scales = {1.0f, 0.5f, 0.1f};
  ModelResult r;
  ASSERT_TRUE(MModelMinimise(data, Control(Decay), p, model, r, status));
  EXPECT_NEAR(p.values[0], 50.0f, 0.05f);
  EXPECT_NEAR(p.values[1], 12.0f, 0.02f);
  EXPECT_NEAR(p.values[2], 3.0f, 0.02f);
  EXPECT_LT(r.sumOfSquares, 1e-3f);
}

TEST_F(ModelFit, TheRosenbrockValleyIsFollowedToItsMinimum) {
  DataSet data, model;
  Row(data, {0.0f, 0.0f});
  ModelParameters p;
  p.Resize(2);
  p.values = {-1.2f, 1.0f};
  p.scales = {0.05f, 0.05f};
  ModelControl c = Control(Rosenbrock);
  c.subtractData = kFalse;
  ModelResult r;
  ASSERT_TRUE(MModelMinimise(data, c, p, model, r, status));
  EXPECT_NEAR(p.values[0], 1.0f, 2e-3f);
  EXPECT_NEAR(p.values[1], 1.0f, 4e-3f);
  EXPECT_LT(r.sumOfSquares, 1e-5f);
}

TEST_F(ModelFit, FixedParametersStayFixedAndOnlyTheFreeOnesCount) {
  std::vector<float> y;
  for (int x = 0; x < 60; ++x) y.push_back(50.0f * std::exp(-x / 12.0f) + 3.0f);
  DataSet data, model;
  Row(data, y);
  ModelParameters p;
  p.Resize(3);
  p.values = {40.0f, 12.0f, 3.0f};
  p.scales = {1.0f, 0.5f, 0.1f};
  p.fixed = {0, 1, 1};  // only the height is free: n = 1, one column
  ModelResult r;
  ASSERT_TRUE(MModelMinimise(data, Control(Decay), p, model, r, status));
  EXPECT_EQ(p.freeCount, 1);
  EXPECT_FLOAT_EQ(p.values[1], 12.0f);
  EXPECT_FLOAT_EQ(p.values[2], 3.0f);
  EXPECT_NEAR(p.values[0], 50.0f, 0.01f);
}

TEST_F(ModelFit, MaskedPixelsAreLeftOutOfA2DFit) {
  DataSet data, model;
  ASSERT_TRUE(IAllocateData(32, 24, data, status));
  IDefineWholeImage(data, 32, 24);
  ASSERT_TRUE(IAllocateMask(data, status));
  data.maskInUse = kTrue;
  data.maskDefined = kTrue;
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) {
      const float dx = x + 0.5f - 15.3f, dy = y + 0.5f - 11.7f;
      data.data[IIndex(data, x, y)] = 100.0f * std::exp(-(dx * dx + dy * dy) / 8.0f) + 5.0f;
      // A hot corner that is masked: it must not pull the fit.
      const bool hot = x > 25 && y > 18;
      data.mask[IIndex(data, x, y)] = hot ? 1 : 0;
      if (hot) data.data[IIndex(data, x, y)] = 1.0e4f;
    }
  ModelParameters p;
  p.Resize(5);
  p.values = {80.0f, 14.0f, 12.5f, 2.5f, 0.0f};
  p.scales = {1.0f, 0.1f, 0.1f, 0.05f, 0.1f};
  ModelResult r;
  ASSERT_TRUE(MModelMinimise(data, Control(Spot), p, model, r, status));
  EXPECT_NEAR(p.values[0], 100.0f, 0.05f);
  EXPECT_NEAR(p.values[1], 15.3f, 1e-3f);
  EXPECT_NEAR(p.values[2], 11.7f, 1e-3f);
  EXPECT_NEAR(std::fabs(p.values[3]), 2.0f, 1e-3f);
  EXPECT_NEAR(p.values[4], 5.0f, 0.01f);
}

TEST_F(ModelFit, AllMaskedGivesTheNoPointsMessageAndKeepsTheStatus) {
  DataSet data, model;
  Row(data, {1.0f, 2.0f, 3.0f});
  ASSERT_TRUE(IAllocateMask(data, status));
  data.maskInUse = kTrue;
  for (int i = 0; i < 3; ++i) data.mask[i] = 1;
  ModelParameters p;
  p.Resize(2);
  ModelResult r;
  EXPECT_FALSE(MModelMinimise(data, Control(Line), p, model, r, status));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(ModelFit, FewerResidualsThanFreeParametersAreRefusedWithAStatus) {
  DataSet data, model;
  Row(data, {1.0f, 2.0f});
  ModelParameters p;
  p.Resize(3);
  p.values = {1.0f, 1.0f, 1.0f};
  ModelResult r;
  EXPECT_FALSE(MModelMinimise(data, Control(Decay), p, model, r, status));
  EXPECT_EQ(status, kStatusIntRange1);
  EXPECT_NE(IErrorTraceText().find("MModelNormalisedMinimise"), std::string::npos);
  // The values are given back as they came.
  EXPECT_FLOAT_EQ(p.values[0], 1.0f);
  EXPECT_FLOAT_EQ(p.values[2], 1.0f);
}

TEST_F(ModelFit, TheEvaluationLimitGivesCode4) {
  std::vector<float> y;
  for (int x = 0; x < 60; ++x) y.push_back(50.0f * std::exp(-x / 12.0f) + 3.0f);
  DataSet data, model;
  Row(data, y);
  ModelParameters p;
  p.Resize(3);
  p.values = {10.0f, 3.0f, 0.0f};
  p.scales = {1.0f, 0.5f, 0.1f};
  ModelControl c = Control(Decay);
  c.maximumEvaluations = 8;
  ModelResult r;
  ASSERT_TRUE(MModelMinimise(data, c, p, model, r, status));
  EXPECT_EQ(r.code, kModelEvaluations);
  EXPECT_GE(r.evaluations, 8);
  EXPECT_LE(r.evaluations, 8 + 4);
}

TEST_F(ModelFit, AnExactFitEndsOnAConvergenceCode) {
  std::vector<float> y;
  for (int x = 0; x < 10; ++x) y.push_back(1.0f + 2.0f * x);
  DataSet data, model;
  Row(data, y);
  ModelParameters p;
  p.Resize(2);
  p.values = {0.5f, 1.5f};
  p.scales = {0.1f, 0.1f};
  ModelResult r;
  ASSERT_TRUE(MModelMinimise(data, Control(Line), p, model, r, status));
  const std::vector<int> converged = {kModelReduction, kModelStep, kModelReductionAndStep,
                                      kModelGradient, kModelTooSmallReduction,
                                      kModelTooSmallStep, kModelTooSmallGradient};
  EXPECT_NE(std::find(converged.begin(), converged.end(), r.code), converged.end()) << r.code;
  EXPECT_NEAR(p.values[0], 1.0f, 1e-4f);
  EXPECT_NEAR(p.values[1], 2.0f, 1e-5f);
}

TEST_F(ModelFit, SuccessiveFitsStartWithOppositeDifferenceDirections) {
  std::vector<float> y;
  for (int x = 0; x < 10; ++x) y.push_back(1.0f + 2.0f * x);
  DataSet data, model;
  Row(data, y);
  MSetModelJacobianDirection(kTrue);
  int jacobians = 0;
  for (int fit = 0; fit < 2; ++fit) {
    const int before = MModelJacobianDirection();
    ModelParameters p;
    p.Resize(2);
    p.values = {0.0f, 0.0f};
    ModelControl c = Control(Line);
    c.maximumEvaluations = 3;  // one Jacobian (2) and one trial
    ModelResult r;
    ASSERT_TRUE(MModelMinimise(data, c, p, model, r, status));
    EXPECT_EQ(r.code, kModelEvaluations);
    ++jacobians;
    EXPECT_NE(MModelJacobianDirection(), before);  // inverted once per Jacobian
  }
  EXPECT_EQ(jacobians, 2);
  EXPECT_EQ(MModelJacobianDirection(), kTrue);
}

TEST_F(ModelFit, TheJacobianStepsFromZeroAndRemembersTheLowestTestPoint) {
  DataSet data, model;
  Row(data, {0.0f, 0.0f});
  ModelParameters p;
  p.Resize(2);
  p.values = {0.0f, 1.0f};  // raw values: Rosenbrock residuals 10, 1
  p.offsets = {0.0f, 0.0f};
  p.values[0] = 100.0f;    // normalised: real = 1 (v - 100) + 0 = 0
  p.values[1] = 101.0f;    // real 1
  ModelControl c = Control(Rosenbrock);
  c.subtractData = kFalse;
  c.differenceStep = 1.0e-10f;  // raised to the machine precision
  ASSERT_TRUE(IAllocateData(2, 1, model, status));
  IDefineWholeImage(model, 2, 1);
  float residuals[2];
  int m = 0;
  double sum = 0.0;
  ASSERT_TRUE(MModelResiduals(data, c, p, model, m, residuals, sum, status));
  EXPECT_EQ(m, 2);
  EXPECT_NEAR(sum, 101.0, 1e-4);
  float jacobian[4], work[2];
  int best = -1;
  double bestSum = sum;
  ModelResult r;
  ASSERT_TRUE(MModelJacobian(data, c, kTrue, 2, p, residuals, model, jacobian, r, work, best,
                             bestSum, status));
  // d/dy of 10 (y - x^2) is 10 and of 1 - x is 0; d/dx of 1 - x is -1.
  EXPECT_NEAR(jacobian[2], 10.0f, 0.01f);
  EXPECT_NEAR(jacobian[3], 0.0f, 1e-3f);
  EXPECT_NEAR(jacobian[1], -1.0f, 0.01f);
  // Stepping x forward lowers 1 - x, stepping y forward raises 10 y: x is the best test.
  EXPECT_EQ(best, 0);
  EXPECT_LT(bestSum, sum);
  EXPECT_FLOAT_EQ(p.values[0], 100.0f);  // restored
}

TEST_F(ModelFit, AZeroValueStepsBySAndTheDirectionGivesTheSign) {
  DataSet data, model;
  Row(data, {0.0f});
  ASSERT_TRUE(IAllocateData(1, 1, model, status));
  IDefineWholeImage(model, 1, 1);
  ModelParameters p;
  p.Resize(1);
  p.offsets = {100.0f};
  p.values = {0.0f};  // normalised 0: the real value is 1 (0 - 100) + 100 = 0
  ModelControl c = Control(Square);
  c.subtractData = kFalse;
  c.differenceStep = 1.0e-12f;  // raised to the machine precision
  float residuals[1], jacobian[1], work[1];
  int m = 0, best = -1;
  double sum = 0.0, bestSum = 0.0;
  ASSERT_TRUE(MModelResiduals(data, c, p, model, m, residuals, sum, status));
  ModelResult r;
  const float s = std::sqrt(kModelMachinePrecision);
  ASSERT_TRUE(MModelJacobian(data, c, kTrue, 1, p, residuals, model, jacobian, r, work, best,
                             bestSum, status));
  EXPECT_NEAR(jacobian[0], s, s * 0.02f);  // (s^2 - 0) / s, real values rounded near 100
  ASSERT_TRUE(MModelJacobian(data, c, kFalse, 1, p, residuals, model, jacobian, r, work, best,
                             bestSum, status));
  EXPECT_NEAR(jacobian[0], -s, s * 0.02f);  // (s^2 - 0) / -s
  EXPECT_EQ(best, -1);  // no step went below the start
}

TEST_F(ModelFit, MessagesFollowTheOutputLevel) {
  Lines sink;
  IInstallMessageSink(&sink);
  std::vector<float> y;
  for (int x = 0; x < 10; ++x) y.push_back(1.0f + 2.0f * x);
  DataSet data;
  Row(data, y);
  auto fit = [&](int level) {
    DataSet model;
    ModelParameters p;
    p.Resize(2);
    ModelControl c = Control(Line);
    c.outputLevel = level;
    ModelResult r;
    sink.lines.clear();
    EXPECT_TRUE(MModelMinimise(data, c, p, model, r, status));
  };
  fit(kModelSilent);
  EXPECT_TRUE(sink.lines.empty());
  fit(kModelInitialFinal);
  EXPECT_TRUE(sink.Has("Initial RMS residual = "));
  EXPECT_TRUE(sink.Has("Final average mis-fit per element = "));
  EXPECT_FALSE(sink.Has("Iteration = "));
  fit(kModelIterations);
  EXPECT_TRUE(sink.Has("MModelJacobian: Calculating derivative matrix"));
  EXPECT_TRUE(sink.Has("MModelJacobian: Derivative matrix calculated"));
  EXPECT_TRUE(sink.Has("Parameter 2, RMS residual = "));
  EXPECT_TRUE(sink.Has("Predicted position RMS residual = "));
  EXPECT_TRUE(sink.Has("Iteration = 2, RMS residual = "));

  // No valid points: the message, false, status good.
  ASSERT_TRUE(IAllocateMask(data, status));
  data.maskInUse = kTrue;
  for (int i = 0; i < 10; ++i) data.mask[i] = 1;
  DataSet model;
  ModelParameters p;
  p.Resize(2);
  ModelResult r;
  EXPECT_FALSE(MModelMinimise(data, Control(Line), p, model, r, status));
  EXPECT_TRUE(sink.Has("Cannot fit model as there are no valid data points"));
  EXPECT_EQ(status, kStatusGood);
  IInstallMessageSink(nullptr);
}

TEST_F(ModelFit, AFailingObjectiveStopsTheFitWithItsStatus) {
  DataSet data, model;
  Row(data, {1.0f, 2.0f, 3.0f});
  ModelParameters p;
  p.Resize(1);
  ModelResult r;
  EXPECT_FALSE(MModelMinimise(data, Control(Failing), p, model, r, status));
  EXPECT_EQ(status, kStatusOther);
}

TEST_F(ModelFit, WeightsAndAModelTooSmallForTheRegion) {
  // Weighted: the point of tiny variance dominates, the one without a variance is left out.
  DataSet data, model;
  Row(data, {1.0f, 3.0f, 100.0f});
  ASSERT_TRUE(IAllocateVariances(data, status));
  data.variancesDefined = kTrue;
  data.variances[0] = 1.0f;
  data.variances[1] = 1.0e-4f;
  data.variances[2] = 0.0f;
  ModelParameters p;
  p.Resize(2);
  p.values = {0.0f, 0.0f};
  p.fixed = {0, 1};  // a constant model
  ModelControl c = Control(Line);
  c.weighted = kTrue;
  ModelResult r;
  ASSERT_TRUE(MModelMinimise(data, c, p, model, r, status));
  EXPECT_NEAR(p.values[0], 3.0f, 0.01f);
  EXPECT_TRUE(std::isfinite(r.sumOfSquares));

  DataSet small;
  ASSERT_TRUE(IAllocateData(2, 1, small, status));
  IDefineWholeImage(small, 2, 1);
  p.values = {0.0f, 0.0f};
  EXPECT_FALSE(MModelMinimise(data, Control(Line), p, small, r, status));
  EXPECT_EQ(status, kStatusROI2);
}

TEST_F(ModelFit, TheEuclideanNormIsSafeAndChecksItsArguments) {
  const float big[3] = {3.0e19f, 4.0e19f, 0.0f};
  float norm = 0.0f;
  ASSERT_TRUE(MEuclideanNorm(3, 3, big, norm, status));
  EXPECT_NEAR(norm / 5.0e19f, 1.0f, 1e-6f);
  const float small[2] = {3.0e-25f, 4.0e-25f};
  ASSERT_TRUE(MEuclideanNorm(2, 2, small, norm, status));
  EXPECT_NEAR(norm / 5.0e-25f, 1.0f, 1e-6f);
  const float mixed[3] = {3.0f, 4.0f, 1.0e-30f};
  ASSERT_TRUE(MEuclideanNorm(3, 2, mixed, norm, status));
  EXPECT_FLOAT_EQ(norm, 5.0f);
  EXPECT_FALSE(MEuclideanNorm(0, 1, mixed, norm, status));
  EXPECT_EQ(status, kStatusDim1Illegal);
  status = kStatusGood;
  ResetCoreState();
  EXPECT_FALSE(MEuclideanNorm(3, 4, mixed, norm, status));
  EXPECT_EQ(status, 9);
  status = kStatusGood;
  ResetCoreState();
  EXPECT_FALSE(MEuclideanNorm(3, 0, mixed, norm, status));
  EXPECT_EQ(status, 9);
}

TEST_F(ModelFit, QRFactorisationAndSolveGiveTheLeastSquaresSolution) {
  // Overdetermined A x = b (4 x 2); the normal equations give the answer.
  float a[8] = {1, 1, 1, 1, 1, 2, 3, 4};  // column-major: ones, then 1..4
  const float b[4] = {6, 5, 7, 10};
  int pivot[2];
  float rdiag[2], norms[2], work[2];
  ASSERT_TRUE(MFactorQR(4, 2, a, pivot, rdiag, norms, work, status));
  EXPECT_NEAR(norms[0], 2.0f, 1e-6f);
  EXPECT_NEAR(norms[1], std::sqrt(30.0f), 1e-5f);
  // Q^T b.
  float qtb[4] = {b[0], b[1], b[2], b[3]};
  for (int j = 0; j < 2; ++j) {
    double s = 0.0;
    for (int i = j; i < 4; ++i) s += a[i + j * 4] * qtb[i];
    const double t = -s / a[j + j * 4];
    for (int i = j; i < 4; ++i) qtb[i] = static_cast<float>(qtb[i] + a[i + j * 4] * t);
    a[j + j * 4] = rdiag[j];
  }
  const float diag[2] = {0.0f, 0.0f};  // no regularisation
  float x[2], sdiag[2], w[2];
  ASSERT_TRUE(MQRSolve(2, a, 4, pivot, diag, qtb, x, sdiag, w, status));
  // Least squares: intercept 3.5, slope 1.4.
  EXPECT_NEAR(x[0], 3.5f, 1e-4f);
  EXPECT_NEAR(x[1], 1.4f, 1e-4f);
}

}  // namespace
