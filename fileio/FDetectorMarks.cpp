#include "fileio/FDetectorMarks.h"

#include <cstdio>
#include <cstring>

#include "core/status.h"
#include "core/text.h"
#include "data/memory.h"

namespace {

// The value of the mini-header line that starts with `key` (after its "# "), or empty.
std::string LineValue(const std::string& text, const char* key) {
  const std::size_t length = std::strlen(key);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::size_t at = text.find_first_not_of(" \t#", start);
    if (at < end && text.compare(at, length, key) == 0) return text.substr(at + length, end - at - length);
    start = end + 1;
  }
  return {};
}

}  // namespace

bool FIsPilatusMiniHeader(const std::string& text) {
  return !LineValue(text, "Pixel_size").empty() &&
         (!LineValue(text, "Exposure_time").empty() || !LineValue(text, "Count_cutoff").empty());
}

std::int64_t FPilatusCountCutoff(const std::string& text) {
  const std::string value = LineValue(text, "Count_cutoff");
  long long cutoff = 0;
  char unit[16] = {0};
  // A cutoff is a positive count a 32-bit counter can hold.
  if (std::sscanf(value.c_str(), " %lld %15s", &cutoff, unit) == 2 &&
      std::strcmp(unit, "counts") == 0 && cutoff > 0 && cutoff <= 0x7fffffffLL) {
    return cutoff;
  }
  return 0;
}

FDetectorMarkCounts FMaskDetectorMarks(DataSet& d, std::int64_t cutoff, int& status) {
  FDetectorMarkCounts counts;
  if (!d.data) return counts;
  const std::size_t n = IElementCount(d);
  const float* data = d.data.get();
  // Reals hold every count up to 2^24 exactly; a cutoff above it compares as its nearest real.
  const float top = cutoff > 0 ? static_cast<float>(cutoff) : 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    counts.gaps += data[i] == -1.0f;
    counts.bad += data[i] == -2.0f;
    counts.overloaded += cutoff > 0 && data[i] >= top;
  }
  if (counts.gaps + counts.bad + counts.overloaded == 0) return counts;
  IArray<unsigned char> mask;
  int local = kStatusGood;
  if (!IAllocateMemory("FMaskDetectorMarks", static_cast<std::int64_t>(n), mask, local)) {
    return {};  // the image reads without its mask
  }
  for (std::size_t i = 0; i < n; ++i) {
    mask[i] = data[i] == -1.0f || data[i] == -2.0f || (cutoff > 0 && data[i] >= top);
  }
  d.mask = std::move(mask);
  d.maskAllocated = d.maskDefined = d.maskInUse = kTrue;
  FSayDetectorMarks(counts, cutoff, status);
  return counts;
}

void FSayDetectorMarks(const FDetectorMarkCounts& counts, std::int64_t cutoff, int& status) {
  if (counts.gaps + counts.bad > 0) {
    IInfo(IFormat("Masked %lld module-gap pixel(s) (-1) and %lld bad pixel(s) (-2) the detector "
                  "marks",
                  static_cast<long long>(counts.gaps), static_cast<long long>(counts.bad)),
          status);
  }
  if (counts.overloaded > 0) {
    IInfo(IFormat("Masked %lld overloaded pixel(s): at or above the detector's count cutoff of "
                  "%lld counts",
                  static_cast<long long>(counts.overloaded), static_cast<long long>(cutoff)),
          status);
  }
}
