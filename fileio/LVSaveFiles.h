// The save commands: "Save_Chiplot" writes the main data-set as a Chiplot file, "Save_File"
// as a BSL pair. The argument "?" asks for the name in the save dialog, which proposes the
// data-set's file name with the format's extension; any other non-empty argument is the name.
#pragma once

#include <string>

#include "data/DataSet.h"

int LVSaveChiplot(const std::string& argument, DataSet& dataSet, int& status);
int LVSaveFile(const std::string& argument, DataSet& dataSet, int& status);

void LVRegisterSaveCommands();
