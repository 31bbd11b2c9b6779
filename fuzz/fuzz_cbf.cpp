// Detection and the CBF reader (through CBFlib). Sections of 32 elements and more are decoded
// in 2 to 4 parts (the number taken from the input's length), so that the split decoding and
// its falls back to the whole call are fuzzed on small inputs too.
#include "fileio/FCBF.h"
#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatCBF, kFormatNone};
  FCBFSetSplit(16, 2 + static_cast<unsigned>(size % 3));
  const std::string path =
      FuzzWriteFile("input.cbf", {reinterpret_cast<const char*>(data), size});
  FuzzReadImage(path, kForced);
  return 0;
}
