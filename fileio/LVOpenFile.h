// Opening an image: the whole input step with its data-set and image choice, and the
// "Open_File" command.
#pragma once

#include <string>

#include "data/DataSet.h"

// prompt: the user picked the file in the dialog, so data-set and image are asked for.
int FInputData(const std::string& fileName, int prompt, DataSet& dataSet, int& status);
// argument "?" asks with the file dialog; an empty argument is an error.
int LVOpenFile(const std::string& argument, DataSet& dataSet, int& status);

void LVRegisterFileCommands();
