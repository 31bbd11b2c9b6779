#include "ui/LVDataStores.h"

#include "ui/LVMenus.h"
#include "core/status.h"
#include "platform/Platform.h"

int LVSelectDataset(const std::string& prompt, int count, const DataStores& stores,
                    int definedOnly, int excluded, int& choice, int& status) {
  static constexpr IRoutine kR{"LVSelectDataset", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (count <= 0 || count > kNumStores) return IFail(kR, kStatusDim1Illegal, status);
  if (excluded < -1 || excluded > count - 1) return IFail(kR, kStatusIntRange1, status);

  PPopupMenu menu;
  menu.title = prompt;
  for (int i = 0; i < count; ++i) {
    const DataSet& store = stores.stores[static_cast<std::size_t>(i)];
    PMenuEntry entry;
    entry.id = 1301 + i;
    entry.label = store.name;
    entry.enabled = !(definedOnly && !store.dataDefined) && i != excluded;
    entry.checked = (i == choice);
    menu.entries.push_back(entry);
  }
  const int id = PCurrentBackend().PopupMenu(menu, 100, 100);
  if (id >= 1301 && id < 1301 + count) {
    choice = id - 1301;
    return kTrue;
  }
  return kFalse;  // cancelled: the status stays good
}

int LVSetNewDataset(DataStores& stores, int index, int& mainIndex, int& status) {
  static constexpr IRoutine kR{"LVSetNewDataset", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (index < 0 || index >= kNumStores) return IFail(kR, kStatusIntRange1, status);
  if (!LVSetDataCommands(stores.stores[static_cast<std::size_t>(index)], status)) return kFalse;
  PCurrentBackend().SetMenuRadio(700, 700 + kNumStores - 1, 700 + index);
  mainIndex = index;
  return kTrue;
}

int LVSetStoreMenuNames(const DataStores& stores, int& status) {
  static constexpr IRoutine kR{"LVSetStoreMenuNames", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  for (int i = 0; i < kNumStores; ++i) {
    PCurrentBackend().SetMenuItemText(700 + i, stores.stores[static_cast<std::size_t>(i)].name);
  }
  return kTrue;
}
