// Detection and the Chiplot reader, and the 1-D ASCII list of reals, on the same text.
#include <vector>

#include "core/status.h"
#include "fileio/FInput.h"
#include "fileio/FScanFiles.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatChiplot, kFormatNone};
  const std::string path = FuzzWriteFile("input.chi", {reinterpret_cast<const char*>(data), size});
  FuzzReadImage(path, kForced);

  // The capacity the callers use is a store's width; a small one reaches the "too many"
  // path as well.
  static std::vector<float> values(4096);
  for (int capacity : {4096, 3}) {
    int status = kStatusGood, count = 0;
    FInput1DASCII(path, capacity, count, values.data(), status);
    if (count < 0 || count > capacity) __builtin_trap();
  }
  FuzzReset();
  return 0;
}
