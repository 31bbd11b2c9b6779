// Choosing a data store from the pop-up, and changing the main store.
#pragma once

#include <string>

#include "data/DataStores.h"

// The store pop-up "Select Data Objects": the prompt as its title and the store names as its
// items. definedOnly greys stores without defined data; `excluded` (-1 for none) is greyed
// too. True with the index in `choice`; false, choice untouched, when cancelled.
int LVSelectDataset(const std::string& prompt, int count, const DataStores& stores,
                    int definedOnly, int excluded, int& choice, int& status);

// Makes store `index` the main store: its menus, the radio mark of items 700 to 719, and
// mainIndex.
int LVSetNewDataset(DataStores& stores, int index, int& mainIndex, int& status);

// Writes the twenty store names into the main-menu items 700 to 719.
int LVSetStoreMenuNames(const DataStores& stores, int& status);
