#include "graphics/LVDisplaySize.h"

#include "core/status.h"

// Until the display exists there is nothing to fit the image to.
int LVAutosetMagnification(DataSet& /*dataSet*/, int& status) {
  static constexpr IRoutine kR{"LVAutosetMagnification", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  return kTrue;
}
