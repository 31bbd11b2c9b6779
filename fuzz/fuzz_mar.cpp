// Detection and the Mar reader: the old layout and the CCP4 packed image with its overflow table.
#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatMar, kFormatNone};
  const std::string path =
      FuzzWriteFile("input.mar", {reinterpret_cast<const char*>(data), size});
  FuzzReadImage(path, kForced);
  return 0;
}
