// The mask file reader, into a store of the size the file's header gives (when it is small)
// so that the reader gets past the size check to the bits.
#include <cstring>

#include "core/status.h"
#include "data/DataSet.h"
#include "fileio/FScanFiles.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzReset();
  const std::string path = FuzzWriteFile("input.msk", {reinterpret_cast<const char*>(data), size});
  std::int32_t width = 17, height = 5;
  if (size >= 24) {
    std::int32_t w = 0, h = 0;
    std::memcpy(&w, data + 16, 4);
    std::memcpy(&h, data + 20, 4);
    if (w > 0 && h > 0 && w <= 2048 && h <= 2048 && std::int64_t{w} * h <= (1 << 18)) {
      width = w;
      height = h;
    }
  }
  DataSet d;
  int status = kStatusGood;
  if (IAllocateData(width, height, d, status)) {
    IDefineWholeImage(d, width, height);
    d.dataDefined = kTrue;
    FInputMask(path, d, status);
    if (d.maskDefined && (!d.mask || !d.maskAllocated)) __builtin_trap();
  }
  FuzzReset();
  return 0;
}
