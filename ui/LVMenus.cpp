#include "ui/LVMenus.h"

#include <initializer_list>
#include <utility>

#include "core/status.h"
#include "core/text.h"
#include "platform/Platform.h"

namespace {

using Range = std::pair<int, int>;

// Menu id ranges, inclusive. "Add Circular Function" (552) goes with the images it adds to
// (greyed at start-up and never enabled, it could not be reached from the menu at all).
constexpr Range k1DGroup[] = {{101, 104}, {106, 106}, {500, 501}, {510, 510}, {512, 513},
                              {570, 578}, {610, 610}, {802, 802}};
constexpr Range k2DGroup[] = {{101, 106}, {300, 301}, {310, 310}, {312, 313}, {401, 406},
                              {422, 422}, {440, 448}, {450, 450}, {500, 501}, {510, 513}, {530, 534},
                              {550, 555}, {570, 578}, {590, 591}, {610, 612},
                              {630, 632}, {801, 802}, {804, 804}, {901, 901}};
constexpr Range kMaskGroup[] = {{302, 309}, {311, 311}, {314, 314}};

template <std::size_t N>
void SetGroup(const Range (&group)[N], bool enabled) {
  PBackend& backend = PCurrentBackend();
  for (const auto& [first, last] : group) {
    for (int id = first; id <= last; ++id) backend.SetMenuItemEnabled(id, enabled);
  }
}

}  // namespace

int LVSet1DDataCommands(bool enabled, int& status) {
  static constexpr IRoutine kR{"LVSet1DDataCommands", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  SetGroup(k1DGroup, enabled);
  return kTrue;
}

int LVSet2DDataCommands(bool enabled, int& status) {
  static constexpr IRoutine kR{"LVSet2DDataCommands", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  SetGroup(k2DGroup, enabled);
  return kTrue;
}

int LVSetMaskCommands(bool enabled, int& status) {
  static constexpr IRoutine kR{"LVSetMaskCommands", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  SetGroup(kMaskGroup, enabled);
  return kTrue;
}

int LVSetDataCommands(const DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSetDataCommands", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  PBackend& backend = PCurrentBackend();
  if (d.dimX <= 0) {
    LVSet1DDataCommands(false, status);
    LVSet2DDataCommands(false, status);
    LVSetMaskCommands(false, status);
    return kTrue;
  }
  if (d.numY == 1) {
    LVSetMaskCommands(false, status);
    LVSet2DDataCommands(false, status);
    LVSet1DDataCommands(true, status);
  } else {
    if (d.maskDefined) {
      LVSetMaskCommands(true, status);
      backend.SetMenuItemChecked(311, !d.maskInUse);
    } else {
      LVSetMaskCommands(false, status);
    }
    LVSet1DDataCommands(false, status);
    LVSet2DDataCommands(true, status);
  }
  if (d.magnification >= 1) {
    backend.SetMenuRadio(130, 144, 136 + d.magnification);
  } else {
    backend.SetMenuRadio(130, 144, 138 - d.reduction);
  }
  return kTrue;
}

namespace {

std::vector<std::pair<std::string, std::string>>& MenuWords() {
  static std::vector<std::pair<std::string, std::string>> words;
  return words;
}

}  // namespace

void LVSetMenuWords(std::vector<std::pair<std::string, std::string>> commandLabels) {
  MenuWords() = std::move(commandLabels);
}

std::string LVMenuWords(const std::string& command) {
  for (const auto& [name, label] : MenuWords()) {
    if (!IStringsEqual(name, command)) continue;
    // "&&" stands for the character itself; a single '&' marks the mnemonic.
    std::string words;
    for (std::size_t i = 0; i < label.size(); ++i) {
      if (label[i] == '&' && i + 1 < label.size()) ++i;
      words.push_back(label[i]);
    }
    return words;
  }
  return command;
}
