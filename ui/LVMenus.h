// Menu enabling by the kind of data in the main store: the 1-D, 2-D and mask command groups;
// and the words of the menu items by the commands they issue.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "data/DataSet.h"

int LVSetDataCommands(const DataSet& dataSet, int& status);
int LVSet1DDataCommands(bool enabled, int& status);
int LVSet2DDataCommands(bool enabled, int& status);
int LVSetMaskCommands(bool enabled, int& status);

// The words a user knows a command by: the label of the first menu item that issues it, its
// mnemonic '&' left out ("Integrate Series" for "FS_Integrate"); the command's own name where
// no item issues it. The menu table (app/LVMenus) hands over its (command, label) pairs when
// the commands are declared, so windows titled after a command say what its menu item says.
void LVSetMenuWords(std::vector<std::pair<std::string, std::string>> commandLabels);
std::string LVMenuWords(const std::string& command);
