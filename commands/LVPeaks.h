// The peak commands: adding Gaussian and polar Gaussian peaks to the main data, the 2-D
// Gaussian fit ("Fit_Gaussian") and its direct-beam form ("Beam_Fit_Gaussian"), and the model
// commands: "Model_Define" builds a model of clicked peaks and polynomials in the model store,
// "Model_Optimise" fits every parameter of that model to the main data with the engine.
#pragma once

#include <vector>

#include "data/DataSet.h"
#include "maths/MBackground.h"
#include "maths/MPeaks.h"

enum ModelComponentKind : int {
  kModelEnd = 159,
  kModel2DPolynomial = 160,
  kModel2DGaussian = 161,
  kModelPolarGaussian = 162,
};

struct ModelComponent {
  int kind = kModel2DGaussian;
  Gaussian2DPeak gaussian;
  PolarGaussianPeak polar;
  // The 2-D polynomial of the background fit (maths/MBackground), fitted to the data minus the
  // model so far over the region it was defined on.
  Polynomial2D polynomial;
};

struct ModelDescription {
  std::vector<ModelComponent> components;
  int dataIndex = -1;  // the store whose data the model was defined on (-1: none)
};

// The description "Model_Define" fills (one for the program).
ModelDescription& LVModelDescription();

int LVAddGaussian(DataSet& data, int& status);
int LVAddPGaussian(DataSet& data, int& status);
int LVFitGaussian(DataSet& data, DataSet& model, int& status);
int LVBeamFitGaussian(DataSet& data, int& status);

// Pop-up menu 7: the kind chosen (159 ends the definition); false when cancelled.
int LVSelectFunction(int& kind, int& status);
int LVModelDefine(const DataSet& data, ModelDescription& components, DataSet& model, int& status);
int LVModel2DGaussian(const DataSet& data, DataSet& model, ModelComponent& component, int& status);
int LVModelPGaussian(const DataSet& data, DataSet& model, ModelComponent& component, int& status);
int LVModel2DPolynomial(const DataSet& data, DataSet& model, ModelComponent& component,
                        int& status);
int LVModelOptimise(const DataSet& data, ModelDescription& components, DataSet& model,
                    int& status);

// Adds one component to the model over the model's region.
int MModelAddComponent(const ModelComponent& component, DataSet& model, int& status);

void LVRegisterPeakCommands();
