#include "data/DataStores.h"

#include "data/Experiment.h"

#include <string>

#include "core/database.h"
#include "core/status.h"

DataStores& LVStores() {
  static DataStores stores;
  return stores;
}

const char* IStoreInitialName(int index) {
  static const char* const kNames[kNumStores] = {
      "Main Data Store",        "Second Operand",         "Background Image",
      "Flat-Field Image",       "Fitted Model",           "Intermediate Results 1",
      "Intermediate Results 2", "Intermediate Results 3", "Intermediate Results 4",
      "Intermediate Results 5", "2-Theta Scan 1",         "2-Theta Scan 2",
      "2-Theta Scan 3",         "2-Theta Scan 4",         "2-Theta Scan 5",
      "2-Theta Scan 6",         "2-Theta Scan 7",         "2-Theta Scan 8",
      "2-Theta Scan 9",         "2-Theta Scan 10"};
  return index >= 0 && index < kNumStores ? kNames[index] : "";
}

int IInitialiseStores(DataStores& stores, int& status) {
  static constexpr IRoutine kR{"IInitialiseStores", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int magnification = 1;
  IGetDBIntItem("Image_Display_Magnification", magnification, status);
  // Only the sizes the display offers (magnify 1 to 8, reduce 2 to 8): a hand-edited 0 would
  // otherwise become a reduction by zero.
  if (!((magnification >= 1 && magnification <= 8) || (magnification >= -8 && magnification <= -2))) {
    magnification = 1;
  }
  for (int i = 0; i < kNumStores; ++i) {
    DataSet& store = stores.stores[static_cast<std::size_t>(i)];
    if (!IInitialiseData(store, status)) return kFalse;
    if (magnification > 0) {
      store.magnification = magnification;
    } else {
      store.magnification = 0;
      store.reduction = -magnification;
    }
    store.name = IStoreInitialName(i);
  }
  IStartExperiment(stores.stores[0]);
  stores.mainIndex = 0;
  stores.operandIndex = 1;
  stores.outputIndex = 2;
  stores.modelIndex = 4;
  return kTrue;
}
