// The data manipulation commands.
#include "commands/LVManipulate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/database.h"
#include "core/status.h"
#include "maths/MDataFlip.h"
#include "maths/MManipulate.h"
#include "maths/MStatistics.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/LVMenus.h"
#include "ui/WDialogs.h"
#include "ui/WWindow.h"

namespace {

constexpr double kDegrees = 57.295779513082321;

bool Defined(const DataSet& d) { return d.dataDefined && d.data; }

// The data must be defined; otherwise the command's warning and nothing else.
int NeedData(const DataSet& d, const char* warning, int& status) {
  if (Defined(d)) return kTrue;
  IWarning(warning, status);
  return kFalse;
}

// Asks a constant with its data-base default; a number that is not finite is refused (it
// would turn every element into an infinity or a NaN).
int AskConstant(const char* routine, const char* prompt, const char* key, float& value,
                int& status) {
  value = 0.0f;
  IGetDBRealItem(key, value, status);
  if (!WGetReal({prompt, kTrue, kFalse, 0.0f, 0.0f, value, status})) return kFalse;
  if (!std::isfinite(value)) {
    IWarning(IFormat("%s: The value must be a finite number", routine), status);
    return kFalse;
  }
  return kTrue;
}

// The checks of the data-set commands: main data defined, the operand defined over at least
// the main data's defined area.
int NeedBoth(const DataSet& operand, const DataSet& d, const char* notDefined,
             const char* notCovered, int& status) {
  if (!NeedData(d, notDefined, status)) return kFalse;
  if (!Defined(operand) || operand.numX < d.numX || operand.numY < d.numY) {
    IWarning(notCovered, status);
    return kFalse;
  }
  return kTrue;
}

// Sizes and region changed: the menus follow (a rebinned image may have become a scan).
void Reshaped(DataSet& d, int& status) { LVSetDataCommands(d, status); }

}  // namespace

// ---- Constants ------------------------------------------------------------------------------

int LVConstantAdd(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVConstantAdd", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVConstantAdd: Data is not defined", status)) return kFalse;
  float value = 0.0f;
  if (!AskConstant(kR.name, "ENTER VALUE TO ADD TO DATA-SET:", "Constant_Add_Value", value,
                   status)) {
    return kFalse;
  }
  if (!MConstantAdd(value, d, status)) return kFalse;
  ISetDBRealItem("Constant_Add_Value", value, status);
  IInfo(IFormat("%f added to main data", static_cast<double>(value)), status);
  return kTrue;
}

int LVConstantSubtract(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVConstantSubtract", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVConstantSubtract: Data is not defined", status)) return kFalse;
  float value = 0.0f;
  if (!AskConstant(kR.name, "ENTER VALUE TO SUBTRACT FROM DATA-SET:", "Constant_Subtract_Value",
                   value, status)) {
    return kFalse;
  }
  if (!MConstantAdd(-value, d, status)) return kFalse;
  ISetDBRealItem("Constant_Subtract_Value", value, status);
  IInfo(IFormat("%f subtracted from main data", static_cast<double>(value)), status);
  return kTrue;
}

int LVConstantMultiply(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVConstantMultiply", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVConstantMultiply: Data is not defined", status)) return kFalse;
  float value = 1.0f;
  if (!AskConstant(kR.name, kConstantMultiplyPrompt, "Constant_Multiply_Value", value, status)) {
    return kFalse;
  }
  if (!MConstantMultiply(value, d, status)) return kFalse;
  ISetDBRealItem("Constant_Multiply_Value", value, status);
  IInfo(IFormat("Main data multiplied by %f", static_cast<double>(value)), status);
  return kTrue;
}

int LVConstantDivide(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVConstantDivide", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVConstantDivide: Data is not defined", status)) return kFalse;
  float value = 1.0f;
  if (!AskConstant(kR.name, kConstantDividePrompt, "Constant_Divide_Value", value, status)) {
    return kFalse;
  }
  if (value == 0.0f) {
    IWarning("You cannot divide the data elements by zero !", status);
    return kFalse;
  }
  // The reciprocal of a divisor below the float range's end is held at that end, like every
  // other result, instead of becoming an infinity.
  const float reciprocal = std::clamp(1.0f / value, -kMHuge, kMHuge);
  if (!MConstantMultiply(reciprocal, d, status)) return kFalse;
  ISetDBRealItem("Constant_Divide_Value", value, status);
  IInfo(IFormat("Main data divided by %f", static_cast<double>(value)), status);
  return kTrue;
}

int LVConstantSet(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVConstantSet", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVConstantSet: Data is not defined", status)) return kFalse;
  float value = 0.0f;
  if (!AskConstant(kR.name, "ENTER VALUE TO SET ROI OF DATA-SET:", "Constant_Set_Value", value,
                   status)) {
    return kFalse;
  }
  if (!MROISetValue(value, d, status)) return kFalse;
  ISetDBRealItem("Constant_Set_Value", value, status);
  IInfo(IFormat("Main data ROI set to %g", static_cast<double>(value)), status);
  return kTrue;
}

// ---- Data-sets ------------------------------------------------------------------------------

int LVDatasetsAdd(const DataSet& operand, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDatasetsAdd", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedBoth(operand, d, "LVDatasetsAdd; Data is not defined",
                "LVDatasetAdd: The datasets are not completely defined for the ROI", status) ||
      !MDatasetsAdd(operand, d, status)) {
    return kFalse;
  }
  IInfo("Second data-set added to main data", status);
  return kTrue;
}

int LVDatasetsSubtract(const DataSet& operand, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDatasetsSubtract", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedBoth(operand, d, "LVDatasetsSubtract; Data is not defined",
                "LVDatasetSubtract: The datasets are not completely defined for the ROI",
                status) ||
      !MDatasetsSubtract(operand, d, status)) {
    return kFalse;
  }
  IInfo("Second data-set subtracted from main data", status);
  return kTrue;
}

int LVDatasetsMultiply(const DataSet& operand, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDatasetsMultiply", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedBoth(operand, d, "LVDatasetsMultiply; Data is not defined",
                "LVDatasetMultiply: The datasets are not completely defined for the ROI",
                status) ||
      !MDatasetsMultiply(operand, d, status)) {
    return kFalse;
  }
  IInfo("Main data multiplied with second data-set", status);
  return kTrue;
}

int LVDatasetsDivide(const DataSet& operand, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDatasetsDivide", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  std::int64_t zeros = 0;
  if (!NeedBoth(operand, d, "LVDatasetsDivide; Data is not defined",
                "LVDatasetDivide: The datasets are not completely defined for the ROI", status) ||
      !MDatasetsDivide(operand, d, zeros, status)) {
    return kFalse;
  }
  IInfo("Main data divided by second data-set", status);
  if (zeros > 0) {
    IInfo(IFormat("%lld element(s) divided by zero: set to +/-3.4028235e38 (0 / 0 stays 0)%s",
                  static_cast<long long>(zeros), d.maskInUse && d.mask ? " and masked" : ""),
          status);
  }
  return kTrue;
}

// ---- Region, crop, rebin --------------------------------------------------------------------

int LVDataCrop(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDataCrop", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVDataCrop; Data is not defined", status)) return kFalse;
  if (!MROICropData(d, status)) return kFalse;
  Reshaped(d, status);
  IInfo("Main data has been cropped to the ROI", status);
  return kTrue;
}

int LVDataRebin(int factor, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDataRebin", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVDataRebin; Data is not defined", status)) return kFalse;
  int factorX = factor, factorY = factor;
  const bool ask = factor <= 0;
  if (ask) {
    factorX = factorY = 2;
    IGetDBIntItem("Rebin_FactorX", factorX, status);
    IGetDBIntItem("Rebin_FactorY", factorY, status);
    factorX = std::clamp(factorX, 1, std::max(1, d.numX));
    factorY = std::clamp(factorY, 1, std::max(1, d.numY));
    if (!WGetInteger({"ENTER REBINNING FACTOR FOR THE X-DIRECTION", kTrue, kTrue, 1,
                      std::max(1, d.numX), factorX, status}) ||
        !WGetInteger({"ENTER REBINNING FACTOR FOR THE Y-DIRECTION", kTrue, kTrue, 1,
                      std::max(1, d.numY), factorY, status})) {
      return kFalse;
    }
  }
  {
    PBusyCursor busy;
    const int done = factorX == 2 && factorY == 2 ? MRebin2(d, status)
                                                  : MRebin(factorX, factorY, d, status);
    if (!done) return kFalse;
  }
  if (ask) {
    ISetDBIntItem("Rebin_FactorX", factorX, status);
    ISetDBIntItem("Rebin_FactorY", factorY, status);
  }
  Reshaped(d, status);
  if (factorX == 2 && factorY == 2) {
    IInfo("Main data rebinned by a factor of 2", status);
  } else {
    IInfo(IFormat("Main data rebinned by factor of %i in X-direction, %i in Y-direction", factorX,
                  factorY),
          status);
  }
  WDrawWindow(status);
  return kTrue;
}

int LVROISet(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVROISet", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedData(d, "LVROISet; Data is not defined", status) || d.numX < 1 || d.numY < 1) {
    return kFalse;
  }
  const int lastX = d.numX - 1, lastY = d.numY - 1;
  int startX = std::clamp(d.startX, 0, lastX);
  int startY = std::clamp(d.startY, 0, lastY);
  if (!WGetInteger({"ENTER LEFT-HAND (LOWER X) LIMIT OF REGION OF INTEREST", kTrue, kTrue, 0,
                    lastX, startX, status}) ||
      !WGetInteger({"ENTER BOTTOM (LOWER Y) LIMIT OF REGION OF INTEREST", kTrue, kTrue, 0, lastY,
                    startY, status})) {
    return kFalse;
  }
  int endX = std::clamp(d.endX, startX, lastX);
  int endY = std::clamp(d.endY, startY, lastY);
  if (!WGetInteger({"ENTER RIGHT-HAND (UPPER X) LIMIT OF REGION OF INTEREST", kTrue, kTrue,
                    startX, lastX, endX, status}) ||
      !WGetInteger({"ENTER TOP (UPPER Y) LIMIT OF REGION OF INTEREST", kTrue, kTrue, startY,
                    lastY, endY, status})) {
    return kFalse;
  }
  d.startX = startX;
  d.startY = startY;
  d.endX = endX;
  d.endY = endY;
  IInfo(IFormat("The ROI is set to (%i, %i) to (%i, %i)", startX, startY, endX, endY), status);
  return kTrue;
}

int LVCircularFunction(const DataSet& profile, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVCircularFunction", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  IInfo("Adding circular Function", status);
  if (!NeedData(d, "LVCircularFunction; Data is not defined", status)) return kFalse;
  PBusyCursor busy;
  return MCircularFunction(profile, d, status);
}

// ---- Information ----------------------------------------------------------------------------

int LVDataInformation(const DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDataInformation", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  auto line = [&status](const std::string& text) { IWrite(text, status); };
  auto g = [](float v) { return static_cast<double>(v); };
  line(IFormat("Dataset name: %s", d.name.c_str()));
  line(IFormat("Input file name: %s", d.fileName.c_str()));
  line(IFormat("Title: %s", d.title.c_str()));
  line(IFormat("X-axis label: %s", d.xLabel.c_str()));
  line(IFormat("Y-axis label: %s", d.yLabel.c_str()));
  line(IFormat("Z-axis label: %s", d.zLabel.c_str()));
  line(" ");
  line(IFormat("Radiation wavelength: %g Angstroms", g(d.wavelength) * 1.0e10));
  line(IFormat("Beam polarisation factor: %g ({I_h - I_v} / {I_h + I_v})", g(d.polarisation)));
  line(IFormat("Detector pixel sizes: %g by %g microns (horizontal, vertical)",
               g(d.pixelSizeX) * 1.0e6, g(d.pixelSizeY) * 1.0e6));
  line(IFormat("The beam centre is at pixel coordinate (%g, %g)", g(d.beamCentreX),
               g(d.beamCentreY)));
  line(IFormat("Sample to detector distance (at 0 2-theta): %g metres", g(d.distance)));
  line(IFormat("Detector 2-theta angle: %g degrees", g(d.twoThetaAngle) * kDegrees));
  line(IFormat("Detector tilt axis angle: %g degrees", g(d.tiltAxisAngle) * kDegrees));
  line(IFormat("Detector tilt angle: %g degrees", g(d.tiltAngle) * kDegrees));
  line(IFormat("Detector Z-axis rotation angle: %g degrees", g(d.rotationZ) * kDegrees));
  line(" ");
  if (!Defined(d)) {
    IWarning("No data is defined", status);
    return kTrue;
  }
  if (!ICheckDataLayout(kR.name, d, status)) return kFalse;
  line(IFormat("The data array is dimensioned %i by %i pixels.", d.dimX, d.dimY));
  line(IFormat("The defined data is %i by %i pixels", d.numX, d.numY));
  line(IFormat("The Region Of Interest is (%i, %i) to (%i, %i) inclusive", d.startX, d.startY,
               d.endX, d.endY));
  float minimum = 0.0f, maximum = 0.0f;
  if (!MROIMinMax(d, minimum, maximum, status)) return kFalse;
  line(IFormat("ROI Minimum value = %f; Maximum value = %f", g(minimum), g(maximum)));
  float mean = 0.0f, sigma = 0.0f;
  if (MROIMeanSigma(d, mean, sigma, status)) {
    line(IFormat("ROI Mean = %f; Standard deviation = %f", g(mean), g(sigma)));
  } else if (status == kStatusGood) {
    IInfo("There were not enough un-masked data elements to calculate the mean and standard "
          "deviation",
          status);
  }
  return status == kStatusGood ? kTrue : kFalse;
}

// ---- Declarations ---------------------------------------------------------------------------

void LVRegisterManipulateCommands() {
  struct MainRow {
    const char* name;
    int (*routine)(DataSet&, int&);
  };
  const MainRow rows[] = {
      {"Constant_Add", LVConstantAdd},           {"Constant_Subtract", LVConstantSubtract},
      {"Constant_Multiply", LVConstantMultiply}, {"Constant_Divide", LVConstantDivide},
      {"Constant_Set", LVConstantSet},           {"Data_Crop", LVDataCrop},
      {"ROI_Set", LVROISet},                     {"Data_FlipLR", MDataFlipLR},
      {"Data_FlipTB", MDataFlipTB},
  };
  for (const MainRow& row : rows) {
    LVRegisterCommand({.name = row.name, .work = [routine = row.routine](LVCommandCall& call) {
                         return routine(call.main, call.status);
                       }});
  }
  LVRegisterCommand({.name = "Data_Rebin", .work = [](LVCommandCall& call) {
                       return LVDataRebin(call.event.value, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Data_Information", .work = [](LVCommandCall& call) {
                       return LVDataInformation(call.main, call.status);
                     }});

  struct OperandRow {
    const char* name;
    int (*routine)(const DataSet&, DataSet&, int&);
    const char* prompt;
  };
  const OperandRow operandRows[] = {
      {"Datasets_Add", LVDatasetsAdd, "Select data-set to add to main data"},
      {"Datasets_Divide", LVDatasetsDivide, "Select data-set to divide main data"},
      {"Datasets_Multiply", LVDatasetsMultiply, "Select data-set to multiply with main data"},
      {"Datasets_Subtract", LVDatasetsSubtract, "Select data-set to subtract from main data"},
  };
  for (const OperandRow& row : operandRows) {
    LVRegisterCommand({.name = row.name,
                       .work = [routine = row.routine](LVCommandCall& call) {
                         return routine(*call.chosen, call.main, call.status);
                       },
                       .choose = LVChoose::kOperand,
                       .prompt = row.prompt,
                       .definedOnly = true});
  }

  // The transposed data becomes the main data; a main store without data is left shown.
  LVRegisterCommand({.name = "Data_Transpose",
                     .work = [](LVCommandCall& call) {
                       return MDataTranspose(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOperand,
                     .prompt = "Select data-set for transposed data",
                     .then = LVThen::kMainIsChosenOnSuccess});

  LVRegisterCommand({.name = "Circular_Function",
                     .work = [](LVCommandCall& call) {
                       return LVCircularFunction(*call.chosen, call.main, call.status);
                     },
                     .choose = LVChoose::kOutput,
                     .prompt = "Select data-set containing 1-D function",
                     .definedOnly = true,
                     .then = LVThen::kMainIsChosen});
}
