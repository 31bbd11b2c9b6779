// The data manipulation commands on the main data-set: constant arithmetic, arithmetic with a
// second data-set, region of interest, cropping, rebinning, flips and transposition, the
// circular function and the data information listing.
//
// Each command that needs data checks it first and, without it, writes its warning and asks
// nothing. Values are asked with their data-base defaults and written back after use; a
// cancelled dialog changes nothing.
#pragma once

#include "data/DataSet.h"

inline constexpr const char* kConstantMultiplyPrompt = "ENTER VALUE TO MULTIPLY DATA-SET BY:";
inline constexpr const char* kConstantDividePrompt = "ENTER VALUE TO DIVIDE DATA-SET BY:";

int LVConstantAdd(DataSet& data, int& status);
int LVConstantSubtract(DataSet& data, int& status);
int LVConstantMultiply(DataSet& data, int& status);
int LVConstantDivide(DataSet& data, int& status);
int LVConstantSet(DataSet& data, int& status);

// The operand must be defined over at least the main data's defined area.
int LVDatasetsAdd(const DataSet& operand, DataSet& data, int& status);
int LVDatasetsSubtract(const DataSet& operand, DataSet& data, int& status);
int LVDatasetsMultiply(const DataSet& operand, DataSet& data, int& status);
int LVDatasetsDivide(const DataSet& operand, DataSet& data, int& status);

int LVDataCrop(DataSet& data, int& status);
// factor > 0: that factor in both directions without questions; otherwise both are asked.
int LVDataRebin(int factor, DataSet& data, int& status);
int LVROISet(DataSet& data, int& status);
int LVCircularFunction(const DataSet& profile, DataSet& data, int& status);
int LVDataInformation(const DataSet& data, int& status);

void LVRegisterManipulateCommands();
