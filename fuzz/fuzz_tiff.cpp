// Detection and the TIFF reader.
#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatTIFF, kFormatNone};
  const std::string path =
      FuzzWriteFile("input.tif", {reinterpret_cast<const char*>(data), size});
  FuzzReadImage(path, kForced);
  return 0;
}
