// Mirroring the region of interest in place.
#include "maths/MDataFlip.h"

#include <algorithm>

#include "core/status.h"

namespace {

template <class T>
void SwapRows(T* array, const DataSet& d) {
  const auto width = static_cast<std::size_t>(d.endX - d.startX + 1);
  for (int top = d.startY, bottom = d.endY; top < bottom; ++top, --bottom) {
    std::swap_ranges(array + IIndex(d, d.startX, top), array + IIndex(d, d.startX, top) + width,
                     array + IIndex(d, d.startX, bottom));
  }
}

template <class T>
void SwapColumns(T* array, const DataSet& d) {
  for (int y = d.startY; y <= d.endY; ++y) {
    std::reverse(array + IIndex(d, d.startX, y), array + IIndex(d, d.endX, y) + 1);
  }
}

// The arrays that describe the ROI's pixels, each mirrored by the same rule.
template <class Mirror>
int MirrorAll(const IRoutine& routine, DataSet& d, Mirror mirror, int& status) {
  if (IBad(routine, status)) return kFalse;
  if (!ICheckDataLayout(routine.name, d, status)) return kFalse;
  if (!d.dataAllocated || !d.dataDefined || !d.data) return kFalse;
  mirror(d.data.get(), d);
  if (d.maskAllocated && d.maskDefined && d.mask) mirror(d.mask.get(), d);
  if (d.variancesAllocated && d.variancesDefined && d.variances) mirror(d.variances.get(), d);
  return kTrue;
}

}  // namespace

int MDataFlipTB(DataSet& d, int& status) {
  static constexpr IRoutine kR{"MDataFlipTB", "V0.2"};
  return MirrorAll(kR, d, [](auto* array, const DataSet& s) { SwapRows(array, s); }, status);
}

int MDataFlipLR(DataSet& d, int& status) {
  static constexpr IRoutine kR{"MDataFlipLR", "V0.2"};
  return MirrorAll(kR, d, [](auto* array, const DataSet& s) { SwapColumns(array, s); }, status);
}
