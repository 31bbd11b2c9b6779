// The twenty data stores and the four remembered store indices.
#pragma once

#include <array>

#include "data/DataSet.h"

inline constexpr int kNumStores = 20;

struct DataStores {
  std::array<DataSet, kNumStores> stores;
  int mainIndex = 0;     // the store displayed and worked on
  int operandIndex = 1;  // last second operand, fitted-output or copy target
  int outputIndex = 2;   // last store chosen for generated output
  int modelIndex = 4;    // store chosen by "Model_Define"

  DataSet& Main() { return stores[static_cast<std::size_t>(mainIndex)]; }
};

// The program-wide table.
DataStores& LVStores();

// The name a store carries at start.
const char* IStoreInitialName(int index);

// Initialises every store: empty records with the data-base geometry defaults, the
// magnification from "Image_Display_Magnification" and the initial names; the remembered
// indices return to 0, 1, 2 and 4.
int IInitialiseStores(DataStores& stores, int& status);
